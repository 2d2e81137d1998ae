#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "ui/AuthDialogTexts.h"

namespace Lumenbox {

class AuthDialogState;

// Without a window system, an authorization dialog is "shown" by handing it to the approval hook,
// which plays the user: tests answer programmatically, the development host asks on its terminal
// or answers by flag (ui/headless/TerminalApproval.h). The dialog keeps the behaviour of the
// native one: it answers exactly once, counts in the set of open dialogs while open, and is
// dismissed as denied by dismissNativeAuthDialogs.

// One open stand-in dialog. Copies refer to the same dialog.
class AuthDialogHandle {
public:
    AuthDialogHandle(std::weak_ptr<AuthDialogState> state,
                     std::shared_ptr<std::vector<std::function<void()>>> closedListeners);

    // The dialog's buttons and its close box. Main thread only; nothing happens once the dialog
    // has been answered.
    void allow() const;
    void deny() const;
    void close() const;
    // Runs `listener` on the main thread when the dialog goes away, however it was answered (at
    // once if it has gone already). Main thread only.
    void whenClosed(std::function<void()> listener) const;

    // Safe from any thread.
    bool isOpen() const;

private:
    std::weak_ptr<AuthDialogState> state_;
    std::shared_ptr<std::vector<std::function<void()>>> closedListeners_;
};

// Called on the main thread for every dialog that opens, with what the dialog shows and a handle
// to answer it, now or later. A hook that never answers leaves the question open until it times
// out or is dismissed.
using ApprovalHook = std::function<void(const AuthDialogContent& content, AuthDialogHandle dialog)>;

// Installs the hook for dialogs opened from now on; an empty function removes it. Without a
// programmatic hook, the mode in the environment variable LUMENBOX_APPROVE decides (see
// ui/headless/TerminalApproval.h). Safe from any thread.
void setApprovalHook(ApprovalHook hook);

// The hook in force: the installed one, else the one for LUMENBOX_APPROVE; empty when neither.
ApprovalHook currentApprovalHook();

}  // namespace Lumenbox
