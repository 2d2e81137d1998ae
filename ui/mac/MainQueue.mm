#include "ui/MainQueue.h"

#include <dispatch/dispatch.h>

#include <memory>
#include <utility>

namespace Lumenbox {

// The main dispatch queue: serviced by the host's run loop on its main thread, first in first out.
void runOnMainQueue(std::function<void()> task) {
    auto shared = std::make_shared<std::function<void()>>(std::move(task));
    dispatch_async(dispatch_get_main_queue(), ^{
      (*shared)();
    });
}

// The run loop drains the main dispatch queue by itself.
std::size_t drainMainQueue() {
    return 0;
}

std::size_t queuedMainQueueTasks() {
    return 0;
}

std::size_t waitAndDrainMainQueue(std::chrono::milliseconds) {
    return 0;
}

}  // namespace Lumenbox
