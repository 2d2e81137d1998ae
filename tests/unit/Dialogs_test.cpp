// What the dialogs show and how they answer, apart from whatever draws them, the setting they change,
// and the stand-in dialogs used where there is no window system.
#include <gtest/gtest.h>

#include <filesystem>
#include <deque>
#include <fstream>
#include <functional>
#include <set>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "support/ScopedEnv.h"
#include "ui/AuthDialogState.h"
#include "ui/AuthDialogTexts.h"
#include "ui/EnhancedSecurity.h"
#include "ui/PreferencesTexts.h"
#if !defined(__APPLE__)
#include "base/Log.h"
#include "ui/AuthDialog.h"
#include "ui/MainQueue.h"
#include "ui/PreferencesDialog.h"
#include "ui/headless/ApprovalHook.h"
#include "ui/headless/TerminalApproval.h"
#endif

namespace Lumenbox {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using Json = nlohmann::json;
using Events = std::vector<std::string>;

// What dialogs reported, in order: "close" for a window going, then "allow" or "deny".
struct Reports {
    Events events;
    std::shared_ptr<AuthDialogState> open() {
        auto dialog = AuthDialogState::create([this](bool allowed) { events.push_back(allowed ? "allow" : "deny"); });
        dialog->show([this] { events.push_back("close"); });
        return dialog;
    }
};

class AuthDialogStateTest : public ::testing::Test {
protected:
    // Dialogs left open answer into the fixture's records, which outlive this.
    ~AuthDialogStateTest() override { dismissOpenAuthDialogs(); }
    Reports a_, b_, c_;
};

TEST_F(AuthDialogStateTest, FirstEventAnswersAndEveryLaterOneIsIgnored) {
    const std::pair<std::function<void(AuthDialogState&)>, const char*> events[] = {
        {[](AuthDialogState& d) { d.allow(); }, "allow"}, {[](AuthDialogState& d) { d.deny(); }, "deny"},
        {[](AuthDialogState& d) { d.windowWillClose(); }, "deny"}, {[](auto&) { dismissOpenAuthDialogs(); }, "deny"}};
    for (std::size_t first = 0; first < 4; ++first)
        for (std::size_t second = 0; second < 4; ++second) {
            Reports reports;
            auto dialog = reports.open();
            for (auto event : {first, second, first}) events[event].first(*dialog);
            EXPECT_EQ(reports.events, (Events{"close", events[first].second})) << first << " then " << second;
            EXPECT_TRUE(dialog->isCompleted() && openAuthDialogCount() == 0);
        }
}

TEST_F(AuthDialogStateTest, OpenDialogsAreKeptAliveUntilAnsweredAndDismissalDeniesThemAll) {
    std::weak_ptr<AuthDialogState> first = a_.open(), second = b_.open();
    c_.open()->allow();
    ASSERT_EQ(openAuthDialogs(), (std::vector{first.lock(), second.lock()}));
    first.lock()->allow();
    EXPECT_TRUE(first.expired() && !second.expired());  // the set held the last reference
    dismissOpenAuthDialogs();
    const Events allowed{"close", "allow"}, denied{"close", "deny"};
    EXPECT_EQ(std::tie(a_.events, b_.events, c_.events), std::tie(allowed, denied, allowed));
}

TEST_F(AuthDialogStateTest, AnAnswerMayOpenANewDialogOrDropTheLastReferenceToItsOwn) {
    std::shared_ptr<AuthDialogState> opened;
    AuthDialogState::create([this, &opened](bool) { opened = a_.open(); })->show();
    dismissOpenAuthDialogs();
    ASSERT_TRUE(opened);
    EXPECT_TRUE(!opened->isCompleted() && openAuthDialogCount() == 1);  // opened during the dismissal: stays open
    opened.reset();

    bool answered = false;
    std::shared_ptr<AuthDialogState> holder = AuthDialogState::create([&](bool) { holder.reset(), answered = true; });
    holder->show(), holder->deny();
    EXPECT_TRUE(answered);
}

TEST(AuthDialogContent, NamesTheIdleTimeInItsLargestWholeUnitAndShowsTextThatIsNotUtf8AsEmpty) {
    for (const auto& [seconds, text] : std::initializer_list<std::pair<std::int64_t, const char*>>{{7200, "2 hours"}, {3600, "1 hour"},
             {86400, "24 hours"}, {120, "2 minutes"}, {60, "1 minute"}, {3660, "61 minutes"}, {61, "61 seconds"}, {1, "1 second"}})
        EXPECT_EQ(formatIdleDuration(seconds), text) << seconds;
    // The session id is cut after 8 bytes inside a character.
    auto content = makeAuthDialogContent("Rechnungen \xC3\xBC", "agent\xFF", "", "ab\xE2\x82", 7200);
    for (const auto& text : {content.body, content.bodyAccessibilityLabel}) EXPECT_NE(text.find("idle for 2 hours."), std::string::npos) << text;
    EXPECT_EQ(std::make_tuple(content.fileName, content.clientName, rowValue(content.clientDescription), rowValue(content.sessionIdPrefix)),
              std::make_tuple("Rechnungen \xC3\xBC", "", "Not provided", "Not provided"));
}

TEST(PreferencesLogo, FollowsTheAppearanceThenFallsBackToTheBitmap) {
    auto chosen = [](bool dark, std::set<std::string> available) {
        auto logo = choosePreferencesLogo(dark, [&](const LogoResource& resource) {
            return available.count(std::string(resource.name) + "." + std::string(resource.type)) > 0;
        });
        return logo ? std::string(logo->name) + "." + std::string(logo->type) : std::string("none");
    };
    const std::set<std::string> all = {"lumenbox-horiz-dark.svg", "lumenbox-horiz-light.svg", "lumenbox-horiz.png"};
    EXPECT_EQ(std::make_tuple(chosen(true, all), chosen(false, all), chosen(true, {"lumenbox-horiz-light.svg", "lumenbox-horiz.png"}),
                              chosen(false, {"lumenbox-horiz-dark.svg"})),
              std::make_tuple("lumenbox-horiz-dark.svg", "lumenbox-horiz-light.svg", "lumenbox-horiz.png", "none"));
}

class EnhancedSecuritySettingTest : public ::testing::Test {
protected:
    fs::path file() const { return config_.path() / "lumenbox" / "defaults.json"; }
    void write(const std::string& text) {
        fs::create_directories(file().parent_path());
        std::ofstream(file(), std::ios::binary) << text;
    }
    Json stored() const { return Json::parse(testing::readFile(file()), nullptr, false); }
    // Files a write left beside the settings file (a temporary file it did not rename).
    auto strays() const {
        return std::distance(fs::directory_iterator(file().parent_path()), {}) - fs::exists(file());
    }

    testing::TempDir config_, home_;
    ScopedEnv xdg_{"XDG_CONFIG_HOME", config_.path().string()};
    ScopedEnv homeEnv_{"HOME", home_.path().string()};
};

TEST_F(EnhancedSecuritySettingTest, OffUntilWrittenThenReadBackKeepingOtherSettingsAndReplacingACorruptFile) {
    EXPECT_FALSE(isEnhancedSecurityEnabled());
    setEnhancedSecurityEnabled(true);
    EXPECT_TRUE(isEnhancedSecurityEnabled() && stored() == Json({{"EnableEnhancedSecurity", true}}));
    write(R"({"Other": [1, 2], "EnableEnhancedSecurity": true})");
    setEnhancedSecurityEnabled(false);
    EXPECT_TRUE(!isEnhancedSecurityEnabled() && strays() == 0 &&
                stored() == Json::parse(R"({"Other": [1, 2], "EnableEnhancedSecurity": false})"));
    write("{garbage");
    setEnhancedSecurityEnabled(true);
    EXPECT_TRUE(isEnhancedSecurityEnabled());
}

TEST_F(EnhancedSecuritySettingTest, XdgConfigHomeWinsAndHomeConfigIsTheFallback) {
    const fs::path homeFile = home_.path() / ".config" / "lumenbox" / "defaults.json";
    setEnhancedSecurityEnabled(true);
    EXPECT_FALSE(fs::exists(homeFile));
    for (const std::optional<std::string>& xdg : {std::optional<std::string>(""), std::optional<std::string>()}) {
        ScopedEnv noXdg("XDG_CONFIG_HOME", xdg);
        EXPECT_FALSE(isEnhancedSecurityEnabled());
        setEnhancedSecurityEnabled(true);
        EXPECT_TRUE(isEnhancedSecurityEnabled() && fs::exists(homeFile));
        fs::remove(homeFile);
    }
    ScopedEnv noXdg("XDG_CONFIG_HOME", std::nullopt), noHome("HOME", std::nullopt);
    setEnhancedSecurityEnabled(true);
    EXPECT_FALSE(isEnhancedSecurityEnabled());
}

// A file rewritten in place at the same size within the file system's time resolution is still
// read afresh.
TEST_F(EnhancedSecuritySettingTest, OnlyABooleanTrueReadsAsOnAndEveryReadIsFresh) {
    for (const auto& [text, on] : std::initializer_list<std::pair<const char*, bool>>{{"", false}, {"not json", false},
             {R"({"EnableEnhancedSecurity": true)", false}, {"// note\n{\"EnableEnhancedSecurity\": true}", false}, {"true", false},
             {R"([{"EnableEnhancedSecurity": true}])", false}, {R"({"enableEnhancedSecurity": true})", false},
             {R"({"EnableEnhancedSecurity": 1})", false},
             {R"({"EnableEnhancedSecurity": "true"})", false}, {"{\"EnableEnhancedSecurity\": true}\xff", false},
             {R"({"EnableEnhancedSecurity": true })", true}, {R"({"EnableEnhancedSecurity": false})", false},
             {R"({"EnableEnhancedSecurity": true})", true}}) {
        write(text);
        EXPECT_EQ(isEnhancedSecurityEnabled(), on) << text;
    }
    fs::remove(file());
    EXPECT_FALSE(isEnhancedSecurityEnabled());
}

// Permission bits do not stop root, so the failures are made with paths that cannot work at all.
TEST_F(EnhancedSecuritySettingTest, FailedWriteIsSilentAndLeavesNothingBehind) {
    std::ofstream(config_.path() / "plain-file") << "x";
    {
        ScopedEnv xdgIsAFile("XDG_CONFIG_HOME", (config_.path() / "plain-file").string());
        setEnhancedSecurityEnabled(true);
        EXPECT_FALSE(isEnhancedSecurityEnabled());
    }
    fs::create_directories(file() / "in-the-way");
    setEnhancedSecurityEnabled(true);
    EXPECT_TRUE(!isEnhancedSecurityEnabled() && strays() == 0);
}

#if !defined(__APPLE__)
class HeadlessDialogs : public ::testing::Test {
protected:
    ~HeadlessDialogs() override {
        setApprovalHook({}), setPreferencesHook({}), drainMainQueue(), dismissOpenAuthDialogs();
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
    ScopedEnv homeEnv_{"HOME", home_.path().string()}, configEnv_{"XDG_CONFIG_HOME", std::nullopt};
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
    dismissAuthDialog(first), drainMainQueue();
    ASSERT_EQ(std::tuple(shown.size(), a), std::tuple(2ul, std::optional(false)));
    dismissAuthDialog(first), drainMainQueue();  // gone already: nothing else closes
    EXPECT_TRUE(shown[1].isOpen());
    bool closedNoticed = false;
    shown[1].whenClosed([&] { closedNoticed = true; }), shown[1].allow();
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
    EXPECT_EQ(std::tuple(drainMainQueue(), ran), std::tuple(3ul, std::vector<int>{1, 3}));
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
    for (const bool on : {true, false}) EXPECT_EQ((showNativePreferencesDialog(), isEnhancedSecurityEnabled()), on);
    EXPECT_EQ(opened, (std::vector<bool>{false, true}));
    setEnhancedSecurityEnabled(true), setPreferencesHook({}), showNativePreferencesDialog();
    EXPECT_TRUE(isEnhancedSecurityEnabled());
}
#endif

}  // namespace
}  // namespace Lumenbox
