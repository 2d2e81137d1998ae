#include "ui/AuthDialogState.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace Lumenbox {
namespace {

// What dialogs reported, in order: "close" for a window going, then "allow" or "deny".
struct Reports {
    std::vector<std::string> events;
    std::shared_ptr<AuthDialogState> open() {
        auto dialog = AuthDialogState::create([this](bool allowed) { events.push_back(allowed ? "allow" : "deny"); });
        dialog->show([this] { events.push_back("close"); });
        return dialog;
    }
};
using Events = std::vector<std::string>;

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
            EXPECT_TRUE(dialog->isCompleted());
            EXPECT_EQ(openAuthDialogCount(), 0u);
        }
    }
}

TEST_F(AuthDialogStateTest, OpenDialogsAreKeptAliveUntilAnsweredAndDismissalDeniesThemAll) {
    std::weak_ptr<AuthDialogState> first = a_.open();
    std::weak_ptr<AuthDialogState> second = b_.open();
    c_.open()->allow();
    ASSERT_FALSE(first.expired());
    ASSERT_EQ(openAuthDialogs().size(), 2u);
    EXPECT_EQ(openAuthDialogs().front(), first.lock());
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

    std::shared_ptr<AuthDialogState> holder;
    bool answered = false;
    holder = AuthDialogState::create([&](bool) {
        holder.reset();
        answered = true;
    });
    holder->show();
    holder->deny();
    EXPECT_TRUE(answered);
}

}  // namespace
}  // namespace Lumenbox
