// What the dialogs show and how they answer, apart from whatever draws them.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "ui/AuthDialogState.h"
#include "ui/AuthDialogTexts.h"
#include "ui/PreferencesTexts.h"

namespace Lumenbox {
namespace {

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
        {[](AuthDialogState& d) { d.allow(); }, "allow"},
        {[](AuthDialogState& d) { d.deny(); }, "deny"},
        {[](AuthDialogState& d) { d.windowWillClose(); }, "deny"},
        {[](AuthDialogState&) { dismissOpenAuthDialogs(); }, "deny"},
    };
    for (std::size_t first = 0; first < 4; ++first) {
        for (std::size_t second = 0; second < 4; ++second) {
            Reports reports;
            auto dialog = reports.open();
            for (auto event : {first, second, first}) events[event].first(*dialog);
            EXPECT_EQ(reports.events, (Events{"close", events[first].second})) << first << " then " << second;
            EXPECT_TRUE(dialog->isCompleted() && openAuthDialogCount() == 0);
        }
    }
}

TEST_F(AuthDialogStateTest, OpenDialogsAreKeptAliveUntilAnsweredAndDismissalDeniesThemAll) {
    std::weak_ptr<AuthDialogState> first = a_.open();
    std::weak_ptr<AuthDialogState> second = b_.open();
    c_.open()->allow();
    ASSERT_EQ(openAuthDialogs(), (std::vector{first.lock(), second.lock()}));
    first.lock()->allow();
    EXPECT_TRUE(first.expired());  // the set held the last reference
    EXPECT_FALSE(second.expired());
    dismissOpenAuthDialogs();
    EXPECT_EQ(openAuthDialogCount(), 0u);
    EXPECT_EQ(a_.events, (Events{"close", "allow"}));
    EXPECT_EQ(b_.events, (Events{"close", "deny"}));
    EXPECT_EQ(c_.events, (Events{"close", "allow"}));
}

TEST_F(AuthDialogStateTest, AnAnswerMayOpenANewDialogOrDropTheLastReferenceToItsOwn) {
    std::shared_ptr<AuthDialogState> opened;
    AuthDialogState::create([this, &opened](bool) { opened = a_.open(); })->show();
    dismissOpenAuthDialogs();
    ASSERT_TRUE(opened);
    EXPECT_FALSE(opened->isCompleted());  // opened during the dismissal: stays open
    EXPECT_EQ(openAuthDialogCount(), 1u);
    opened.reset();

    bool answered = false;
    std::shared_ptr<AuthDialogState> holder = AuthDialogState::create([&](bool) {
        holder.reset();
        answered = true;
    });
    holder->show();
    holder->deny();
    EXPECT_TRUE(answered);
}

TEST(AuthDialogContent, NamesTheIdleTimeInItsLargestWholeUnitAndShowsTextThatIsNotUtf8AsEmpty) {
    const std::pair<std::int64_t, const char*> durations[] = {
        {7200, "2 hours"}, {3600, "1 hour"}, {86400, "24 hours"}, {120, "2 minutes"}, {60, "1 minute"},
        {3660, "61 minutes"}, {61, "61 seconds"}, {1, "1 second"}, {3599, "3599 seconds"},
    };
    for (const auto& [seconds, text] : durations) EXPECT_EQ(formatIdleDuration(seconds), text) << seconds;
    auto content = makeAuthDialogContent("Rechnungen \xC3\xBC", "agent\xFF", "", "ab\xE2\x82", 7200);
    EXPECT_NE(content.body.find("idle for 2 hours."), std::string::npos);
    EXPECT_NE(content.bodyAccessibilityLabel.find("idle for 2 hours."), std::string::npos);
    EXPECT_EQ(content.fileName, "Rechnungen \xC3\xBC");
    EXPECT_EQ(content.clientName, "");
    EXPECT_EQ(rowValue(content.clientDescription), "Not provided");
    EXPECT_EQ(rowValue(content.sessionIdPrefix), "Not provided");  // an id cut after 8 bytes inside a character
}

TEST(PreferencesLogo, FollowsTheAppearanceThenFallsBackToTheBitmap) {
    auto chosen = [](bool dark, std::set<std::string> available) {
        auto logo = choosePreferencesLogo(dark, [&](const LogoResource& resource) {
            return available.count(std::string(resource.name) + "." + std::string(resource.type)) > 0;
        });
        return logo ? std::string(logo->name) + "." + std::string(logo->type) : std::string("none");
    };
    const std::set<std::string> all = {"lumenbox-horiz-dark.svg", "lumenbox-horiz-light.svg", "lumenbox-horiz.png"};
    EXPECT_EQ(chosen(true, all), "lumenbox-horiz-dark.svg");
    EXPECT_EQ(chosen(false, all), "lumenbox-horiz-light.svg");
    EXPECT_EQ(chosen(true, {"lumenbox-horiz-light.svg", "lumenbox-horiz.png"}), "lumenbox-horiz.png");
    EXPECT_EQ(chosen(false, {"lumenbox-horiz-dark.svg"}), "none");
}

}  // namespace
}  // namespace Lumenbox
