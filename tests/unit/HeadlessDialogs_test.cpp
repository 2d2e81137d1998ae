// The stand-in dialogs used where there is no window system.
#if !defined(__APPLE__)

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <stdexcept>

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

class HeadlessDialogs : public ::testing::Test {
protected:
    ~HeadlessDialogs() override {
        setApprovalHook({});
        setPreferencesHook({});
        drainMainQueue();
        dismissOpenAuthDialogs();
    }

    // Asks one question for `file`; its answer lands in the returned slot, which outlives the
    // dialog (a dialog left open answers at the fixture's end).
    std::optional<bool>& ask(const std::string& file = "Invoices", std::uint64_t* ticket = nullptr) {
        auto& answer = answers_.emplace_back();
        const auto t = requestSessionAuthorization(file, "", "", "0123abcd", 3600, [&answer](bool allowed) { answer = allowed; });
        if (ticket) *ticket = t;
        return answer;
    }

    std::deque<std::optional<bool>> answers_;
    testing::TempDir home_;
    ScopedEnv homeEnv_{"HOME", home_.path().string()};
    ScopedEnv configEnv_{"XDG_CONFIG_HOME", std::nullopt};
    ScopedEnv modeEnv_{kApprovalModeVariable, std::nullopt};
};

// Work queued from any thread for the main thread runs in order there, so a dismissal queued
// after a question reaches its dialog even though the dialog was not open yet.
TEST_F(HeadlessDialogs, HookSeesDialogsOnTheMainQueueAndDismissalsByTicketOrOfAllReachOnlyTheirs) {
    std::vector<AuthDialogHandle> shown;
    setApprovalHook([&](const AuthDialogContent&, AuthDialogHandle dialog) { shown.push_back(dialog); });
    std::uint64_t first = 0, second = 0;
    auto& a = ask("A", &first);
    auto& b = ask("B", &second);
    EXPECT_TRUE(shown.empty());  // nothing happens off the main thread
    EXPECT_NE(first, second);
    dismissAuthDialog(first);
    drainMainQueue();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(a, false);
    EXPECT_EQ(b, std::nullopt);
    dismissAuthDialog(first);  // gone already: nothing else closes
    drainMainQueue();
    EXPECT_TRUE(shown[1].isOpen());

    bool closedNoticed = false;
    shown[1].whenClosed([&] { closedNoticed = true; });
    shown[1].allow();
    shown[1].deny();
    EXPECT_EQ(b, true);
    EXPECT_TRUE(closedNoticed);
    EXPECT_FALSE(shown[1].isOpen());

    auto& c = ask("C");
    dismissNativeAuthDialogs();
    EXPECT_EQ(c, std::nullopt);
    drainMainQueue();
    EXPECT_EQ(c, false);
    EXPECT_EQ(openAuthDialogCount(), 0u);
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

TEST_F(HeadlessDialogs, ModeFromTheEnvironmentAnswersUnlessAHookIsInstalled) {
    const std::pair<std::optional<std::string>, std::optional<bool>> cases[] = {
        {"allow", true}, {"deny", false}, {"never", std::nullopt}, {"sometimes", std::nullopt}, {std::nullopt, std::nullopt},
    };
    for (const auto& [mode, expected] : cases) {
        ScopedEnv env(kApprovalModeVariable, mode);
        auto& answer = ask();
        drainMainQueue();
        EXPECT_EQ(answer, expected) << mode.value_or("(unset)");
    }
    ScopedEnv mode(kApprovalModeVariable, "allow");
    setApprovalHook([](const AuthDialogContent&, AuthDialogHandle dialog) { dialog.close(); });
    auto& answer = ask();
    drainMainQueue();
    EXPECT_EQ(answer, false);
}

TEST_F(HeadlessDialogs, TerminalAnswersAreUnderstoodOnlyWhenUnambiguous) {
    const std::pair<const char*, std::optional<bool>> approvals[] = {
        {"a", true}, {" Yes ", true}, {"ALLOW\r", true}, {"d", false}, {"No", false},
        {"", std::nullopt}, {"allowed", std::nullopt}, {"maybe", std::nullopt},
    };
    for (const auto& [line, answer] : approvals) EXPECT_EQ(parseApprovalAnswer(line), answer) << line;
    EXPECT_EQ(parseCheckboxAnswer(" ", true), true);  // Return keeps the checkbox as it is
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
