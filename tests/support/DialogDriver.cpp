#include "support/DialogDriver.h"

#if !defined(__APPLE__)  // the headless stand-in only; macOS shows real panels

#include <chrono>
#include <future>

#include <gtest/gtest.h>

#include "ui/AuthDialogState.h"
#include "ui/MainQueue.h"

namespace Lumenbox::testing {

DialogDriver::DialogDriver() {
    setApprovalHook([this](const AuthDialogContent& content, AuthDialogHandle handle) {
        std::lock_guard lock(mutex_);
        unclaimed_.push_back(Dialog{content, handle}), ++opened_;
        changed_.notify_all();
    });
    mainThread_ = std::thread([this] { while (!stopping_) waitAndDrainMainQueue(std::chrono::hours(1)); });
}

std::optional<DialogDriver::Dialog> DialogDriver::nextDialog() {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(5), [this] { return !unclaimed_.empty(); }))
        return ADD_FAILURE() << "no authorization dialog opened", std::nullopt;
    Dialog dialog = unclaimed_.front();
    return unclaimed_.pop_front(), dialog;
}

std::size_t DialogDriver::openedCount() {
    onMainThread([] {});
    std::lock_guard lock(mutex_);
    return opened_;
}

std::size_t DialogDriver::openCount() {
    std::size_t count = 0;
    onMainThread([&] { count = openAuthDialogCount(); });
    return count;
}

void DialogDriver::onMainThread(const std::function<void()>& task) {
    if (!mainThread_.joinable()) return task();
    std::promise<void> done;
    runOnMainQueue([&] { task(), done.set_value(); });
    done.get_future().wait();
}

void DialogDriver::shutdown() {
    if (!mainThread_.joinable()) return;
    runOnMainQueue([this] { dismissOpenAuthDialogs(), stopping_ = true; });
    mainThread_.join();
    setApprovalHook({});
    drainMainQueue();
    dismissOpenAuthDialogs();
}

}  // namespace Lumenbox::testing

#endif
