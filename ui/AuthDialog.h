#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "auth/ApprovalPrompt.h"

namespace Lumenbox {

// The authorization dialog: asks the user whether a client session may reach a FileMaker file.
// On macOS it is a floating panel (ui/mac/AuthDialog.mm); elsewhere the stand-in of
// ui/headless/ApprovalHook.h answers it. Both share the state and texts of ui/AuthDialogState.h
// and ui/AuthDialogTexts.h.

// Opens a dialog for one question and returns at once; safe to call from any thread (the bridge
// calls it on its loop thread). The arguments are copied; an empty client name is shown as
// "lumenbox-mcp". The dialog is built by a task on the main queue and calls `done` exactly once,
// on the main thread, with true only when the user allowed: denying, closing the window and a
// dismissal all answer false. Returns the ticket by which dismissAuthDialog closes this dialog
// alone; tickets are never 0 and never reused.
std::uint64_t requestSessionAuthorization(const std::string& fileName, const std::string& clientName,
                                 const std::string& clientDescription, const std::string& sessionIdPrefix,
                                 std::int64_t idleTimeoutSeconds, std::function<void(bool allowed)> done);

// Answers every open authorization dialog as denied. Safe to call from any thread: the work is
// queued on the main queue, so a dialog whose task is queued before this call is dismissed too.
void dismissNativeAuthDialogs();

// Answers the one dialog of `ticket` as denied, if it is still open (or still queued: the work is
// queued on the main queue after it). Safe to call from any thread. The bridge calls it when
// every client waiting for the question has gone.
void dismissAuthDialog(std::uint64_t ticket);

// A fresh ticket for requestSessionAuthorization's implementations. Safe from any thread.
std::uint64_t nextAuthDialogTicket();

// The dialogs above as the bridge's prompt: ask is requestSessionAuthorization, dismiss is
// dismissAuthDialog, dismissAll is dismissNativeAuthDialogs. Lives for the whole process.
ApprovalPrompt& nativeApprovalPrompt();

}  // namespace Lumenbox
