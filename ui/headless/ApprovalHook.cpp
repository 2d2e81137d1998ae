#include "ui/headless/ApprovalHook.h"

#include <mutex>
#include <utility>

#include "ui/AuthDialog.h"
#include "ui/AuthDialogState.h"
#include "ui/MainQueue.h"
#include "ui/headless/TerminalApproval.h"

namespace Lumenbox {

namespace {

std::mutex g_hookMutex;
ApprovalHook g_hook;  // Guarded by g_hookMutex

}  // namespace

AuthDialogHandle::AuthDialogHandle(std::weak_ptr<AuthDialogState> state,
                                   std::shared_ptr<std::vector<std::function<void()>>> closedListeners)
    : state_(std::move(state)), closedListeners_(std::move(closedListeners)) {}

void AuthDialogHandle::allow() const {
    if (auto state = state_.lock()) state->allow();
}

void AuthDialogHandle::deny() const {
    if (auto state = state_.lock()) state->deny();
}

void AuthDialogHandle::close() const {
    if (auto state = state_.lock()) state->windowWillClose();
}

void AuthDialogHandle::whenClosed(std::function<void()> listener) const {
    if (!isOpen()) {
        listener();
        return;
    }
    closedListeners_->push_back(std::move(listener));
}

bool AuthDialogHandle::isOpen() const {
    auto state = state_.lock();
    return state && !state->isCompleted();
}

void setApprovalHook(ApprovalHook hook) {
    std::lock_guard lock(g_hookMutex);
    g_hook = std::move(hook);
}

ApprovalHook currentApprovalHook() {
    {
        std::lock_guard lock(g_hookMutex);
        if (g_hook) return g_hook;
    }
    auto mode = approvalModeFromEnvironment();
    return mode ? terminalApprovalHook(*mode) : ApprovalHook();
}

std::uint64_t requestSessionAuthorization(const std::string& fileName, const std::string& clientName,
                                          const std::string& clientDescription, const std::string& sessionIdPrefix,
                                          std::int64_t idleTimeoutSeconds, std::function<void(bool allowed)> done) {
    auto content = makeAuthDialogContent(fileName, clientName, clientDescription, sessionIdPrefix, idleTimeoutSeconds);
    const std::uint64_t ticket = nextAuthDialogTicket();
    runOnMainQueue([content = std::move(content), done = std::move(done), ticket]() mutable {
        auto state = AuthDialogState::create(std::move(done), ticket);
        auto listeners = std::make_shared<std::vector<std::function<void()>>>();
        // "Closing the window" tells whoever shows the dialog that it has gone.
        state->show([listeners] {
            auto notify = std::move(*listeners);
            listeners->clear();
            for (auto& listener : notify) listener();
        });
        if (auto hook = currentApprovalHook()) hook(content, AuthDialogHandle(state, listeners));
    });
    return ticket;
}

}  // namespace Lumenbox
