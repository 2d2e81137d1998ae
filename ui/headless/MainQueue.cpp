#include "ui/MainQueue.h"

#include <condition_variable>
#include <deque>
#include <mutex>

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
    for (auto& task : tasks) task();
    return tasks.size();
}

std::size_t waitAndDrainMainQueue(std::chrono::milliseconds wait) {
    {
        std::unique_lock lock(g_mainQueueMutex);
        g_mainQueueChanged.wait_for(lock, wait, [] { return !g_mainQueue.empty(); });
    }
    return drainMainQueue();
}

}  // namespace Lumenbox
