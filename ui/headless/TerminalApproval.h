#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ui/AuthDialogTexts.h"
#include "ui/headless/ApprovalHook.h"
#include "ui/headless/PreferencesHook.h"

namespace Lumenbox {

// How the development host plays the user at an authorization dialog:
//   Ask    shows the dialog's texts on the terminal and reads the answer from it;
//   Allow  and Deny answer at once (the texts are still shown);
//   Never  shows the texts and leaves the question open, so that it runs into its time limit.
// The host passes the mode to the plug-in it loads in the environment variable
// LUMENBOX_APPROVE ("ask", "allow", "deny" or "never"), read afresh for every dialog.
enum class ApprovalMode { Ask, Allow, Deny, Never };

inline constexpr const char* kApprovalModeVariable = "LUMENBOX_APPROVE";

std::optional<ApprovalMode> parseApprovalMode(std::string_view text);
// The mode in LUMENBOX_APPROVE; nullopt when it is unset or not one of the four words.
std::optional<ApprovalMode> approvalModeFromEnvironment();

// The hook that plays the user in `mode` on the terminal.
ApprovalHook terminalApprovalHook(ApprovalMode mode);

// A line typed at the question: "a", "allow", "y" or "yes" allows, "d", "deny", "n" or "no"
// denies (any case, surrounding white space ignored); anything else is no answer.
std::optional<bool> parseApprovalAnswer(std::string_view line);
// A line typed at the preferences checkbox: "y"/"yes"/"on" checks it, "n"/"no"/"off" clears it,
// an empty line leaves it as it is; anything else is no answer.
std::optional<bool> parseCheckboxAnswer(std::string_view line, bool current);

// The dialog as the terminal shows it: the window's texts, one per line.
std::string describeAuthDialog(const AuthDialogContent& content);

// The preferences window on the terminal: its texts, then, in Ask mode, a question about the
// checkbox that blocks the calling (main) thread until it is answered, as a modal window does.
// In the other modes it shows the texts and closes unchanged; without a mode it shows nothing.
void showPreferencesOnTerminal(PreferencesWindow& window);

}  // namespace Lumenbox
