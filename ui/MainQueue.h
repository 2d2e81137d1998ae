#pragma once

#include <cstddef>
#include <functional>

namespace Lumenbox {

// Work that must run on the host's main thread (native dialogs). On macOS this is the main
// dispatch queue; elsewhere a queue that the host's main thread drains (the development host
// does so between its idle ticks). Safe to call from any thread.
void runOnMainQueue(std::function<void()> task);

// Runs every task queued so far, in order, on the calling thread; returns how many ran. Tasks
// queued while draining wait for the next call. Headless builds only: the host's main thread
// calls it.
std::size_t drainMainQueue();

}  // namespace Lumenbox
