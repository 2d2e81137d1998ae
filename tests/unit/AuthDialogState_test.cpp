#include "ui/AuthDialogState.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace Lumenbox {
namespace {

// What one dialog reported, in order: "close" for its window going, then "allow" or "deny".
struct Reports {
    std::vector<std::string> events;

    std::shared_ptr<AuthDialogState> openDialog() {
        auto dialog = AuthDialogState::create([this](bool allowed) { events.push_back(allowed ? "allow" : "deny"); });
        dialog->show([this] { events.push_back("close"); });
        return dialog;
    }
};

using Event = std::function<void(AuthDialogState&)>;

struct NamedEvent {
    const char* name;
    Event apply;
    const char* answer;  // what it reports when it comes first
};

const NamedEvent kEvents[] = {
    {"allow", [](AuthDialogState& d) { d.allow(); }, "allow"},
    {"deny", [](AuthDialogState& d) { d.deny(); }, "deny"},
    {"window closed", [](AuthDialogState& d) { d.windowWillClose(); }, "deny"},
    {"dismissed", [](AuthDialogState&) { dismissOpenAuthDialogs(); }, "deny"},
};

class AuthDialogStateTest : public ::testing::Test {
protected:
    // Dialogs left open answer into the fixture's own records, which outlive this.
    ~AuthDialogStateTest() override { dismissOpenAuthDialogs(); }

    Reports reports_;
    Reports others_;
    Reports answered_;
};

TEST_F(AuthDialogStateTest, FirstEventAnswersAndEveryLaterOneIsIgnored) {
    for (const auto& first : kEvents) {
        for (const auto& second : kEvents) {
            for (const auto& third : kEvents) {
                SCOPED_TRACE(std::string(first.name) + ", " + second.name + ", " + third.name);
                Reports reports;
                auto dialog = reports.openDialog();
                first.apply(*dialog);
                second.apply(*dialog);
                third.apply(*dialog);
                EXPECT_EQ(reports.events, (std::vector<std::string>{"close", first.answer}));
                EXPECT_TRUE(dialog->isCompleted());
                EXPECT_EQ(openAuthDialogCount(), 0u);
            }
        }
    }
}

TEST_F(AuthDialogStateTest, OpenDialogsAreKeptAliveUntilAnswered) {
    std::weak_ptr<AuthDialogState> first = reports_.openDialog();
    std::weak_ptr<AuthDialogState> second = reports_.openDialog();
    ASSERT_FALSE(first.expired());
    EXPECT_EQ(openAuthDialogCount(), 2u);
    EXPECT_EQ(openAuthDialogs().front(), first.lock());

    first.lock()->allow();
    EXPECT_TRUE(first.expired());  // the set held the last reference
    EXPECT_EQ(openAuthDialogCount(), 1u);
    EXPECT_FALSE(second.expired());
}

TEST_F(AuthDialogStateTest, DismissalDeniesEveryOpenDialogAndEmptiesTheSet) {
    auto a = reports_.openDialog();
    auto b = others_.openDialog();
    auto c = answered_.openDialog();
    c->allow();

    dismissOpenAuthDialogs();
    EXPECT_EQ(openAuthDialogCount(), 0u);
    EXPECT_EQ(reports_.events, (std::vector<std::string>{"close", "deny"}));
    EXPECT_EQ(others_.events, (std::vector<std::string>{"close", "deny"}));
    EXPECT_EQ(answered_.events, (std::vector<std::string>{"close", "allow"}));
}

TEST_F(AuthDialogStateTest, DialogOpenedByAnAnswerDuringDismissalStaysOpen) {
    std::shared_ptr<AuthDialogState> opened;
    auto dialog = AuthDialogState::create([this, &opened](bool) { opened = reports_.openDialog(); });
    dialog->show();
    dialog.reset();

    dismissOpenAuthDialogs();
    ASSERT_TRUE(opened);
    EXPECT_FALSE(opened->isCompleted());
    EXPECT_EQ(openAuthDialogCount(), 1u);
    opened.reset();
}

TEST_F(AuthDialogStateTest, AnswerCanDropTheLastReferenceToItsOwnDialog) {
    std::shared_ptr<AuthDialogState> holder;
    bool answered = false;
    holder = AuthDialogState::create([&](bool) {
        holder.reset();
        answered = true;
    });
    holder->show();
    holder->deny();
    EXPECT_TRUE(answered);
    EXPECT_EQ(openAuthDialogCount(), 0u);
}

}  // namespace
}  // namespace Lumenbox
