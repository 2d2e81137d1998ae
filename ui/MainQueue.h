#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

namespace Lumenbox {

// Work that must run on the host's main thread (native dialogs). On macOS this is the main
// dispatch queue; elsewhere a queue that the host's main thread drains (the plug-in does so at
// each idle message). Safe to call from any thread.
void runOnMainQueue(std::function<void()> task);

// Runs every task queued so far, in order, on the calling thread; returns how many ran. Tasks
// queued while draining wait for the next call. A task that throws is logged
// ("main_queue_task_exception") and the others still run. Headless builds only: the host's main thread
// calls it.
std::size_t drainMainQueue();

// How many tasks wait for the next drain (tests). Headless builds only; elsewhere 0.
std::size_t queuedMainQueueTasks();

// Waits until a task is queued or `wait` has passed, then drains as drainMainQueue does. For a
// thread that does nothing but play the main thread (tests). Headless builds only; elsewhere it
// returns 0 at once.
std::size_t waitAndDrainMainQueue(std::chrono::milliseconds wait);

}  // namespace Lumenbox
