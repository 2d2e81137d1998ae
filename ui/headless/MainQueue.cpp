#include "ui/MainQueue.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "base/Log.h"

namespace Lumenbox {

namespace {
std::mutex g_mainQueueMutex;
std::deque<std::function<void()>> g_mainQueue;  // Guarded by g_mainQueueMutex
std::condition_variable g_mainQueueChanged;
}  // namespace

void runOnMainQueue(std::function<void()> task) {
    std::lock_guard lock(g_mainQueueMutex);
    g_mainQueue.push_back(std::move(task));
    g_mainQueueChanged.notify_all();
}

std::size_t drainMainQueue() {
    std::deque<std::function<void()>> tasks;
    {
        std::lock_guard lock(g_mainQueueMutex);
        tasks.swap(g_mainQueue);
    }
    // One failing task must not take the rest of the batch with it: those may be the answer to
    // another authorization question or the dismissal of a dialog.
    for (auto& task : tasks) {
        try {
            task();
        } catch (...) {
            appendPluginLog("main_queue_task_exception", exceptionDetails(std::current_exception()));
        }
    }
    return tasks.size();
}

std::size_t queuedMainQueueTasks() {
    std::lock_guard lock(g_mainQueueMutex);
    return g_mainQueue.size();
}

std::size_t waitAndDrainMainQueue(std::chrono::milliseconds wait) {
    {
        std::unique_lock lock(g_mainQueueMutex);
        g_mainQueueChanged.wait_for(lock, wait, [] { return !g_mainQueue.empty(); });
    }
    return drainMainQueue();
}

}  // namespace Lumenbox
