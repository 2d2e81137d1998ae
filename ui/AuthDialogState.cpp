#include "ui/AuthDialogState.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "ui/AuthDialog.h"
#include "ui/MainQueue.h"

namespace Lumenbox {

namespace {

// Main thread only.
std::vector<std::shared_ptr<AuthDialogState>>& openSet() {
    static std::vector<std::shared_ptr<AuthDialogState>> dialogs;
    return dialogs;
}

}  // namespace

std::shared_ptr<AuthDialogState> AuthDialogState::create(Done done, std::uint64_t ticket) {
    return std::shared_ptr<AuthDialogState>(new AuthDialogState(std::move(done), ticket));
}

AuthDialogState::AuthDialogState(Done done, std::uint64_t ticket) : ticket_(ticket), done_(std::move(done)) {}

void AuthDialogState::show(std::function<void()> closeWindow) {
    if (isCompleted() || shown_) return;
    shown_ = true;
    closeWindow_ = std::move(closeWindow);
    openSet().push_back(shared_from_this());
}

bool AuthDialogState::complete(bool allowed) {
    if (completed_.exchange(true)) return false;
    // Leaving the set may drop the last owner; the callbacks below may open or dismiss dialogs.
    auto self = shared_from_this();
    auto& dialogs = openSet();
    dialogs.erase(std::remove(dialogs.begin(), dialogs.end(), self), dialogs.end());
    auto closeWindow = std::move(closeWindow_);
    auto done = std::move(done_);
    closeWindow_ = nullptr;
    done_ = nullptr;
    if (closeWindow) closeWindow();
    if (done) done(allowed);
    return true;
}

std::vector<std::shared_ptr<AuthDialogState>> openAuthDialogs() {
    return openSet();
}

std::size_t openAuthDialogCount() {
    return openSet().size();
}

void dismissOpenAuthDialogs() {
    // A copy: each answer changes the set.
    for (const auto& dialog : openAuthDialogs()) dialog->complete(false);
}

void dismissNativeAuthDialogs() {
    runOnMainQueue([] { dismissOpenAuthDialogs(); });
}

void dismissAuthDialog(std::uint64_t ticket) {
    runOnMainQueue([ticket] {
        for (const auto& dialog : openAuthDialogs()) {
            if (dialog->ticket() == ticket) dialog->complete(false);
        }
    });
}

std::uint64_t nextAuthDialogTicket() {
    static std::atomic<std::uint64_t> last{0};
    return ++last;
}

}  // namespace Lumenbox
