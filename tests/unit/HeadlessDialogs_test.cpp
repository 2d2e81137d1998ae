// The stand-in dialogs used where there is no window system.
#if !defined(__APPLE__)

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/Log.h"
#include "support/ScopedEnv.h"
#include "ui/AuthDialog.h"
#include "ui/AuthDialogState.h"
#include "ui/EnhancedSecurity.h"
#include "ui/MainQueue.h"
#include "ui/PreferencesDialog.h"
#include "ui/headless/ApprovalHook.h"
#include "ui/headless/TerminalApproval.h"

namespace Lumenbox {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

class HeadlessDialogs : public ::testing::Test {
protected:
    ~HeadlessDialogs() override {
        setApprovalHook({});
        setPreferencesHook({});
        drainMainQueue();
        dismissOpenAuthDialogs();
    }

    // Asks one question and runs the main queue; the answer, if one came.
    std::optional<bool> ask(const std::string& clientName = "agent") {
        // A dialog left open answers later, into this fixture's record of it.
        auto& answer = answers_.emplace_back();
        requestSessionAuthorization("Invoices", clientName, "", "0123abcd", 3600, [&answer](bool allowed) { answer = allowed; });
        EXPECT_FALSE(answer) << "answered before the main queue ran";
        drainMainQueue();
        return answer;
    }

    std::deque<std::optional<bool>> answers_;

    TempDir home_;
    ScopedEnv homeEnv_{"HOME", home_.path().string()};
    ScopedEnv configEnv_{"XDG_CONFIG_HOME", std::nullopt};
    ScopedEnv modeEnv_{kApprovalModeVariable, std::nullopt};
};

TEST_F(HeadlessDialogs, HookSeesTheDialogOnTheMainQueueAndAnswersThroughItsHandle) {
    std::vector<AuthDialogHandle> shown;
    setApprovalHook([&](const AuthDialogContent& content, AuthDialogHandle dialog) {
        EXPECT_EQ(content.fileName, "Invoices");
        EXPECT_EQ(content.clientName, "lumenbox-mcp");
        EXPECT_EQ(content.durationText, "1 hour");
        shown.push_back(dialog);
    });
    std::optional<bool> answer;
    requestSessionAuthorization("Invoices", "", "", "0123abcd", 3600, [&](bool allowed) { answer = allowed; });
    EXPECT_TRUE(shown.empty());  // nothing happens off the main thread
    drainMainQueue();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(shown[0].isOpen());
    EXPECT_EQ(openAuthDialogCount(), 1u);

    bool closedNoticed = false;
    shown[0].whenClosed([&] { closedNoticed = true; });
    shown[0].allow();
    shown[0].deny();
    EXPECT_EQ(answer, true);
    EXPECT_TRUE(closedNoticed);
    EXPECT_FALSE(shown[0].isOpen());
    EXPECT_EQ(openAuthDialogCount(), 0u);
}

TEST_F(HeadlessDialogs, DismissalFromAnyThreadWaitsForTheMainQueue) {
    std::optional<AuthDialogHandle> shown;
    setApprovalHook([&](const AuthDialogContent&, AuthDialogHandle dialog) { shown = dialog; });
    std::optional<bool> answer;
    requestSessionAuthorization("Invoices", "agent", "", "0123abcd", 60, [&](bool allowed) { answer = allowed; });
    // Queued after the dialog's task, so it reaches the dialog even though it was not open yet.
    dismissNativeAuthDialogs();
    EXPECT_FALSE(answer);
    drainMainQueue();
    EXPECT_EQ(answer, false);
    ASSERT_TRUE(shown);
    EXPECT_FALSE(shown->isOpen());
}

TEST_F(HeadlessDialogs, DismissingByTicketClosesThatDialogOnly) {
    std::vector<AuthDialogHandle> shown;
    setApprovalHook([&](const AuthDialogContent&, AuthDialogHandle dialog) { shown.push_back(dialog); });
    std::vector<std::optional<bool>> answers(2);
    const auto first = requestSessionAuthorization("A", "", "", "", 60, [&](bool allowed) { answers[0] = allowed; });
    const auto second = requestSessionAuthorization("B", "", "", "", 60, [&](bool allowed) { answers[1] = allowed; });
    EXPECT_NE(first, second);
    dismissAuthDialog(first);  // queued before the dialog opens: still reaches it
    drainMainQueue();
    EXPECT_EQ(answers[0], false);
    EXPECT_FALSE(answers[1]);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_TRUE(shown[1].isOpen());
    dismissAuthDialog(first);  // gone already: nothing else closes
    drainMainQueue();
    EXPECT_TRUE(shown[1].isOpen());
    shown[1].allow();
    EXPECT_EQ(answers[1], true);
}

TEST_F(HeadlessDialogs, ATaskThatThrowsIsLoggedAndTheRestOfTheQueueStillRuns) {
    std::vector<int> ran;
    runOnMainQueue([&] { ran.push_back(1); });
    runOnMainQueue([] { throw std::runtime_error("dialog failed"); });
    runOnMainQueue([&] { ran.push_back(3); });
    EXPECT_EQ(drainMainQueue(), 3u);
    EXPECT_EQ(ran, (std::vector<int>{1, 3}));
    ASSERT_TRUE(pluginLogPath());
    EXPECT_NE(testing::readFile(*pluginLogPath()).find("main_queue_task_exception error=\"dialog failed\""),
              std::string::npos);
}

TEST_F(HeadlessDialogs, ModeFromTheEnvironmentAnswersWhenNoHookIsInstalled) {
    {
        ScopedEnv mode(kApprovalModeVariable, "allow");
        EXPECT_EQ(ask(), true);
    }
    {
        ScopedEnv mode(kApprovalModeVariable, "deny");
        EXPECT_EQ(ask(), false);
    }
    for (const char* open : {"never", "sometimes", ""}) {
        SCOPED_TRACE(open);
        ScopedEnv mode(kApprovalModeVariable, open);
        EXPECT_EQ(ask(), std::nullopt);
    }
    EXPECT_EQ(ask(), std::nullopt);  // unset: nobody answers
    EXPECT_EQ(openAuthDialogCount(), 4u);
    dismissOpenAuthDialogs();
    EXPECT_EQ(openAuthDialogCount(), 0u);

    // An installed hook takes precedence over the environment.
    ScopedEnv mode(kApprovalModeVariable, "allow");
    setApprovalHook([](const AuthDialogContent&, AuthDialogHandle dialog) { dialog.close(); });
    EXPECT_EQ(ask(), false);
}

TEST_F(HeadlessDialogs, TerminalAnswersAreUnderstoodOnlyWhenUnambiguous) {
    for (const char* yes : {"a", " Yes ", "ALLOW\r"}) EXPECT_EQ(parseApprovalAnswer(yes), true) << yes;
    for (const char* no : {"d", "No"}) EXPECT_EQ(parseApprovalAnswer(no), false) << no;
    for (const char* unclear : {"", "allowed", "maybe"}) EXPECT_EQ(parseApprovalAnswer(unclear), std::nullopt) << unclear;
    // Return keeps the checkbox as it is.
    EXPECT_EQ(parseCheckboxAnswer(" ", true), true);
    EXPECT_EQ(parseCheckboxAnswer("off", true), false);
    EXPECT_EQ(parseCheckboxAnswer("x", true), std::nullopt);
}

TEST_F(HeadlessDialogs, PreferencesWindowSavesTheCheckboxWhenItCloses) {
    std::vector<bool> opened;
    setPreferencesHook([&](PreferencesWindow& window) {
        opened.push_back(window.enhancedSecurityChecked);
        window.enhancedSecurityChecked = !window.enhancedSecurityChecked;
    });
    showNativePreferencesDialog();
    EXPECT_TRUE(isEnhancedSecurityEnabled());
    showNativePreferencesDialog();
    EXPECT_FALSE(isEnhancedSecurityEnabled());
    EXPECT_EQ(opened, (std::vector<bool>{false, true}));

    // Closed without a change, by a user nobody plays (no hook, no mode): the setting stays.
    setEnhancedSecurityEnabled(true);
    setPreferencesHook({});
    showNativePreferencesDialog();
    EXPECT_TRUE(isEnhancedSecurityEnabled());
}

}  // namespace
}  // namespace Lumenbox

#endif
