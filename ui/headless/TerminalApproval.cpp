#include "ui/headless/TerminalApproval.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <future>
#include <memory>

#include "ui/MainQueue.h"
#include "ui/PreferencesTexts.h"
#include "ui/headless/TerminalConsole.h"
#include "base/Text.h"

namespace Lumenbox {

namespace {

std::string lowerTrimmed(std::string_view text) {
    std::string lower(trimAsciiWhitespace(text));
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

std::string quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

const char* modeWord(ApprovalMode mode) {
    switch (mode) {
        case ApprovalMode::Ask: return "ask";
        case ApprovalMode::Allow: return "allow";
        case ApprovalMode::Deny: return "deny";
        case ApprovalMode::Never: return "never";
    }
    return "";
}

ApprovalHook askOnTerminal() {
    return [](const AuthDialogContent& content, AuthDialogHandle dialog) {
        auto& console = TerminalConsole::instance();
        const std::string question = "Allow file access to " + quoted(content.fileName) + "? [a]llow / [d]eny: ";
        // Set once the answer typed here is on its way, so that the dialog closing because of it
        // is not reported as a time-out.
        auto answeredHere = std::make_shared<std::atomic<bool>>(false);
        const auto id = console.ask(
            "\n" + describeAuthDialog(content) + question, "Please type allow or deny: ",
            [dialog, answeredHere](const std::string& line) {
                const auto answer = parseApprovalAnswer(line);
                if (!answer) return false;
                answeredHere->store(true);
                runOnMainQueue([dialog, allowed = *answer] { allowed ? dialog.allow() : dialog.deny(); });
                return true;
            });
        dialog.whenClosed([id, answeredHere, file = content.fileName] {
            TerminalConsole::instance().withdraw(
                id, answeredHere->load() ? std::string()
                                         : "\n(the question for " + quoted(file) +
                                               " has closed without an answer: timed out or dismissed)\n");
        });
    };
}

}  // namespace

std::optional<ApprovalMode> parseApprovalMode(std::string_view text) {
    if (text == "ask") return ApprovalMode::Ask;
    if (text == "allow") return ApprovalMode::Allow;
    if (text == "deny") return ApprovalMode::Deny;
    if (text == "never") return ApprovalMode::Never;
    return std::nullopt;
}

std::optional<ApprovalMode> approvalModeFromEnvironment() {
    const char* value = std::getenv(kApprovalModeVariable);
    return value ? parseApprovalMode(value) : std::nullopt;
}

std::optional<bool> parseApprovalAnswer(std::string_view line) {
    const std::string word = lowerTrimmed(line);
    if (word == "a" || word == "allow" || word == "y" || word == "yes") return true;
    if (word == "d" || word == "deny" || word == "n" || word == "no") return false;
    return std::nullopt;
}

std::optional<bool> parseCheckboxAnswer(std::string_view line, bool current) {
    const std::string word = lowerTrimmed(line);
    if (word.empty()) return current;
    if (word == "y" || word == "yes" || word == "on") return true;
    if (word == "n" || word == "no" || word == "off") return false;
    return std::nullopt;
}

std::string describeAuthDialog(const AuthDialogContent& content) {
    auto row = [](std::string_view label, std::string_view value) {
        std::string line = "  " + std::string(label) + ":";
        line.resize(19, ' ');
        return line + rowValue(value) + "\n";
    };
    std::string text = "── " + std::string(authDialogText::kWindowTitle) + " ──\n";
    text += std::string(authDialogText::kHeading) + "\n";
    text += row(authDialogText::kFileCaption, content.fileName);
    text += row(authDialogText::kServiceRow, content.clientName);
    text += row(authDialogText::kDescriptionRow, content.clientDescription);
    text += row(authDialogText::kSessionRow, content.sessionIdPrefix);
    text += content.body + "\n";
    return text;
}

ApprovalHook terminalApprovalHook(ApprovalMode mode) {
    if (mode == ApprovalMode::Ask) return askOnTerminal();
    return [mode](const AuthDialogContent& content, AuthDialogHandle dialog) {
        std::string text = "\n" + describeAuthDialog(content);
        switch (mode) {
            case ApprovalMode::Allow: text += "→ allowed"; break;
            case ApprovalMode::Deny: text += "→ denied"; break;
            default: text += "→ left open until it times out"; break;
        }
        TerminalConsole::instance().print(text + " (" + kApprovalModeVariable + "=" + modeWord(mode) + ")\n");
        if (mode == ApprovalMode::Allow) dialog.allow();
        if (mode == ApprovalMode::Deny) dialog.deny();
    };
}

void showPreferencesOnTerminal(PreferencesWindow& window) {
    const auto mode = approvalModeFromEnvironment();
    if (!mode) return;
    auto& console = TerminalConsole::instance();
    const auto state = [](bool on) { return on ? std::string("on") : std::string("off"); };
    console.print("\n── " + std::string(preferencesText::kWindowTitle) + " ──\n" + preferencesVersionText() + "\n[" +
                  (window.enhancedSecurityChecked ? "x" : " ") + "] " + std::string(preferencesText::kCheckboxTitle) +
                  "\n    " + std::string(preferencesText::kExplanation) + "\n");
    if (mode != ApprovalMode::Ask) {
        console.print("(closed unchanged: enhanced security stays " + state(window.enhancedSecurityChecked) + ")\n");
        return;
    }
    // Modal, like the native window: the main thread waits here until the checkbox is answered.
    auto choice = std::make_shared<std::promise<std::optional<bool>>>();
    const bool current = window.enhancedSecurityChecked;
    console.ask(
        std::string(preferencesText::kCheckboxTitle) + "? [y/n, Return keeps it " + state(current) + "]: ",
        "Please type y or n: ",
        [choice, current](const std::string& line) {
            const auto answer = parseCheckboxAnswer(line, current);
            if (!answer) return false;
            choice->set_value(answer);
            return true;
        },
        [choice] { choice->set_value(std::nullopt); });
    if (const auto checked = choice->get_future().get()) window.enhancedSecurityChecked = *checked;
    console.print("Enhanced security is " + state(window.enhancedSecurityChecked) + ".\n");
}

}  // namespace Lumenbox
