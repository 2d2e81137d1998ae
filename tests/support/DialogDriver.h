#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "ui/AuthDialogTexts.h"
#include "ui/headless/ApprovalHook.h"

namespace Lumenbox::testing {

// Plays the host's main thread and the user in front of it: a thread that runs the main queue, and
// an approval hook that records every authorization dialog that opens, for the test to answer.
class DialogDriver {
public:
    struct Dialog { AuthDialogContent content; AuthDialogHandle handle; };

    DialogDriver();
    ~DialogDriver() { shutdown(); }

    // The next dialog that opened, in order; nullopt and a failure if none opens in five seconds.
    std::optional<Dialog> nextDialog();
    // Dialogs opened so far and open now, after every task already queued for the main thread has run.
    std::size_t openedCount();
    std::size_t openCount();

    // Runs `task` on the main thread and waits for it; every task queued before it has run by then.
    void onMainThread(const std::function<void()>& task);
    // The user's actions, each done on the main thread.
    void allow(const Dialog& dialog) { onMainThread([&] { dialog.handle.allow(); }); }
    void deny(const Dialog& dialog) { onMainThread([&] { dialog.handle.deny(); }); }
    void close(const Dialog& dialog) { onMainThread([&] { dialog.handle.close(); }); }

    // Denies every open dialog, stops the main thread, runs what was queued after that and removes
    // the hook, so that nothing carries over into the next test. Call after the server has stopped.
    void shutdown();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Dialog> unclaimed_;  // Guarded by mutex_
    std::size_t opened_ = 0;        // Guarded by mutex_
    bool stopping_ = false;         // main thread only
    std::thread mainThread_;
};

}  // namespace Lumenbox::testing
