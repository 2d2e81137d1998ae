#include "ui/MainQueue.h"

#include <deque>
#include <mutex>

namespace Lumenbox {

namespace {
std::mutex g_mainQueueMutex;
std::deque<std::function<void()>> g_mainQueue;  // Guarded by g_mainQueueMutex
}  // namespace

void runOnMainQueue(std::function<void()> task) {
    std::lock_guard lock(g_mainQueueMutex);
    g_mainQueue.push_back(std::move(task));
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

}  // namespace Lumenbox
