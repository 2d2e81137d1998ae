// The stand-in dialogs used where there is no window system.
#if !defined(__APPLE__)

#include <gtest/gtest.h>

#include <deque>
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
    // Asks one question; the answer lands in the returned slot, which outlives the dialog.
    std::optional<bool>& ask(std::uint64_t* ticket = nullptr) {
        auto& answer = answers_.emplace_back();
        const auto issued = requestSessionAuthorization("F", "", "", "0123abcd", 60, [&answer](bool allowed) { answer = allowed; });
        if (ticket) *ticket = issued;
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
    auto &a = ask(&first), &b = ask(&second);
    EXPECT_TRUE(shown.empty() && first != second);  // nothing happens off the main thread
    dismissAuthDialog(first);
    drainMainQueue();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(a, false);
    dismissAuthDialog(first);  // gone already: nothing else closes
    drainMainQueue();
    EXPECT_TRUE(shown[1].isOpen());
    bool closedNoticed = false;
    shown[1].whenClosed([&] { closedNoticed = true; });
    shown[1].allow();
    EXPECT_TRUE(b == true && closedNoticed && !shown[1].isOpen());
    auto& c = ask();
    dismissNativeAuthDialogs();
    EXPECT_EQ(c, std::nullopt);
    drainMainQueue();
    EXPECT_TRUE(c == false && openAuthDialogCount() == 0);
}

TEST_F(HeadlessDialogs, ATaskThatThrowsIsLoggedAndTheRestOfTheQueueStillRuns) {
    std::vector<int> ran;
    runOnMainQueue([&] { ran.push_back(1); }), runOnMainQueue([] { throw std::runtime_error("dialog failed"); });
    runOnMainQueue([&] { ran.push_back(3); });
    EXPECT_EQ(drainMainQueue(), 3u);
    EXPECT_EQ(ran, (std::vector<int>{1, 3}));
    EXPECT_NE(testing::readFile(pluginLogPath().value()).find("main_queue_task_exception error=\"dialog failed\""),
              std::string::npos);
}

TEST_F(HeadlessDialogs, ModeFromTheEnvironmentAnswersUnlessAHookIsInstalled) {
    for (const auto& [mode, hooked, expected] : std::initializer_list<std::tuple<std::optional<std::string>, bool, std::optional<bool>>>{
             {"allow", false, true}, {"deny", false, false}, {"never", false, std::nullopt}, {"sometimes", false, std::nullopt},
             {std::nullopt, false, std::nullopt}, {"allow", true, false}}) {  // the hook closes the window
        ScopedEnv env(kApprovalModeVariable, mode);
        if (hooked) setApprovalHook([](const AuthDialogContent&, AuthDialogHandle dialog) { dialog.close(); });
        auto& answer = ask();
        drainMainQueue();
        EXPECT_EQ(answer, expected) << mode.value_or("(unset)") << (hooked ? " hooked" : "");
    }
}

TEST_F(HeadlessDialogs, TerminalAnswersAreUnderstoodOnlyWhenUnambiguous) {
    for (const auto& [line, answer] : std::initializer_list<std::pair<const char*, std::optional<bool>>>{{"a", true}, {" Yes ", true},
             {"ALLOW\r", true}, {"d", false}, {"No", false}, {"", std::nullopt}, {"allowed", std::nullopt}, {"maybe", std::nullopt}})
        EXPECT_EQ(parseApprovalAnswer(line), answer) << line;
    // Return keeps the checkbox as it is.
    EXPECT_EQ(std::make_tuple(parseCheckboxAnswer(" ", true), parseCheckboxAnswer("off", true), parseCheckboxAnswer("x", true)),
              std::make_tuple(std::optional(true), std::optional(false), std::optional<bool>()));
}

TEST_F(HeadlessDialogs, PreferencesWindowSavesTheCheckboxWhenItClosesAndAWindowNobodyPlaysChangesNothing) {
    std::vector<bool> opened;
    setPreferencesHook([&](PreferencesWindow& window) {
        opened.push_back(window.enhancedSecurityChecked);
        window.enhancedSecurityChecked = !window.enhancedSecurityChecked;
    });
    for (const bool expected : {true, false}) {
        showNativePreferencesDialog();
        EXPECT_EQ(isEnhancedSecurityEnabled(), expected);
    }
    EXPECT_EQ(opened, (std::vector<bool>{false, true}));
    setEnhancedSecurityEnabled(true);
    setPreferencesHook({});
    showNativePreferencesDialog();
    EXPECT_TRUE(isEnhancedSecurityEnabled());
}

}  // namespace
}  // namespace Lumenbox

#endif
