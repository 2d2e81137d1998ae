#include "auth/AuthorizationQuestions.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "auth/SessionStore.h"
#include "server/transport/Loop.h"
#include "support/FakeClock.h"

namespace Lumenbox {
namespace {

using namespace std::chrono_literals;
using Answers = std::vector<AuthAnswer>;

// Records every question; ticket n is the n-th question. dismissAll answers every dialog still
// unanswered as denied, as the dialogs do.
struct FakePrompt final : ApprovalPrompt {
    struct Asked { ApprovalQuestion question; std::function<void(bool)> done; };
    std::uint64_t ask(const ApprovalQuestion& question, std::function<void(bool)> done) override {
        return asked.push_back({question, std::move(done)}), asked.size();
    }
    void dismiss(std::uint64_t ticket) override { dismissed.push_back(ticket); }
    void dismissAll() override {
        ++dismissAllCount;
        for (auto& dialog : asked)
            if (auto done = std::exchange(dialog.done, nullptr)) done(false);
    }
    std::vector<Asked> asked;
    std::vector<std::uint64_t> dismissed;
    int dismissAllCount = 0;
};

class AuthorizationQuestionsTest : public ::testing::Test {
protected:
    AuthorizationQuestionsTest() { create(120s); }

    void create(std::chrono::milliseconds timeout) {
        questions_ = std::make_shared<AuthorizationQuestions>(
            loop_, clock_, store_, prompt_, AuthorizationQuestions::Settings{timeout, 60s, [this] { return secure_; }},
            [this](std::function<void()> task) { return deferred_.push_back(std::move(task)), true; });
    }
    // `owner` waits for the question of (session, file); its answers are kept under `name`.
    void wait(const std::string& name, const void* owner, const std::string& session, const std::string& file,
              AuthApproval approval = {"agent", 600, "reads invoices"}) {
        answers_[name];
        questions_->awaitApproval(owner, {session, file}, approval, [this, name](AuthAnswer a) {
            if (answers_[name].push_back(a); onAnswer_) onAnswer_();
        });
    }
    // The user answers dialog `ticket`; the answer then reaches the loop.
    void answer(std::uint64_t ticket, bool allowed) {
        if (auto done = std::exchange(prompt_.asked.at(ticket - 1).done, nullptr)) done(allowed);
        runDeferred();
    }
    void runDeferred() { for (auto tasks = std::move(deferred_); auto& task : tasks) task(); }

    transport::Loop loop_;  // first: the questions' timers go before it
    testing::FakeClock clock_;
    SessionStore store_{clock_};
    FakePrompt prompt_;
    bool secure_ = true;
    std::vector<std::function<void()>> deferred_;
    std::map<std::string, Answers> answers_;
    std::function<void()> onAnswer_;
    const int a_ = 0, b_ = 0;  // two owners
    std::shared_ptr<AuthorizationQuestions> questions_;
};

TEST_F(AuthorizationQuestionsTest, CapsRefuseANewQuestionButNotAWaiterJoiningAnOpenOne) {
    for (const char* session : {"s1", "s2", "s3", "s4"}) wait(session, &a_, session, "F");
    wait("joins s1", &b_, "s1", "F");
    for (const char* file : {"G1", "G2", "G3", "G4", "G5", "H"}) wait(file, &a_, "s", file);
    const std::map<std::string, Answers> refused = {{"s4", {AuthAnswer::TooManyQuestions}},
                                                    {"H", {AuthAnswer::TooManyQuestions}}};
    for (const auto& [name, got] : answers_) EXPECT_EQ(got, refused.contains(name) ? refused.at(name) : Answers{}) << name;
    EXPECT_EQ(std::make_tuple(questions_->size(), prompt_.asked.size()),
              std::make_tuple(AuthorizationQuestions::kMaxOpenQuestions, AuthorizationQuestions::kMaxOpenQuestions));

    // One owner queues only so many waiters on one question.
    for (std::size_t i = 1; i < AuthorizationQuestions::kMaxWaitersPerOwner; ++i) wait("queued", &a_, "s1", "F");
    wait("one too many", &a_, "s1", "F");
    EXPECT_EQ(std::tie(answers_["queued"], answers_["one too many"]),
              std::make_tuple(Answers{}, Answers{AuthAnswer::TooManyQuestions}));
}

TEST_F(AuthorizationQuestionsTest, TheUsersAnswerReachesEveryWaiterOnceAndOnlyADenialCoolsDown) {
    for (const bool allowed : {true, false}) {
        SCOPED_TRACE(allowed);
        const std::string session = allowed ? "session-allowed" : "session-denied";
        const std::size_t ticket = prompt_.asked.size() + 1;
        wait("first", &a_, session, "F");
        wait("second", &b_, session, "F", {"other", 60, ""});
        ASSERT_EQ(prompt_.asked.size(), ticket);
        const auto& asked = prompt_.asked.back().question;  // the first asker's name
        EXPECT_EQ(std::tie(asked.clientName, asked.sessionIdPrefix), std::make_tuple("agent", shownPrefix(session)));
        answer(ticket, allowed);
        const auto expected = Answers{allowed ? AuthAnswer::Allowed : AuthAnswer::Denied};
        const bool approved = store_.isAuthorized(session, "F", true);
        EXPECT_EQ(std::tuple(answers_["first"], answers_["second"], questions_->size(), approved),
                  std::tuple(expected, expected, 0u, allowed));
        answers_.clear();
        if (allowed) {
            EXPECT_EQ(store_.listSessions().at(0).idleTimeoutSeconds, 600);
            continue;
        }
        wait("again", &a_, session, "F");  // denied at once, without a dialog
        EXPECT_EQ(std::tuple(answers_["again"], prompt_.asked.size()), std::tuple(Answers{AuthAnswer::Denied}, ticket));
        clock_.advance(60s);
        wait("after the cool-down", &a_, session, "F");
        EXPECT_EQ(prompt_.asked.size(), ticket + 1);
    }
}

TEST_F(AuthorizationQuestionsTest, AWaiterThatGoesTakesOnlyItsOwnAndTheLastOneClosesTheDialog) {
    wait("a", &a_, "s", "F");
    wait("b", &b_, "s", "F");
    questions_->abandonAuthorizationsOf(&a_);
    EXPECT_TRUE(questions_->waitersOf({"s", "F"}) == 1u && prompt_.dismissed.empty());
    questions_->abandonAuthorizationsOf(&b_);
    EXPECT_TRUE(questions_->size() == 0u && prompt_.dismissed == std::vector<std::uint64_t>{1});

    // The dismissed dialog's late answer neither approves nor answers a newer question.
    wait("newer", &a_, "s", "F");
    answer(1, true);
    EXPECT_TRUE(!store_.isAuthorized("s", "F", true) && answers_["newer"].empty());
    questions_->clear();
    answer(2, true);
    EXPECT_TRUE(answers_["newer"].empty() && answers_["a"].empty());  // cleared: dropped unanswered
}

TEST_F(AuthorizationQuestionsTest, ATimeOutAnswersOnceAndTheDismissalsItCausesAreNoDenial) {
    create(1ms);
    wait("times out", &a_, "s1", "F");
    wait("dismissed", &b_, "s2", "F");
    // The dismissal's answers reach the loop while the second question is still open.
    onAnswer_ = [this] { runDeferred(); };
    loop_.run();
    EXPECT_EQ(std::tuple(answers_["times out"], answers_["dismissed"], prompt_.dismissAllCount),
              std::tuple(Answers{AuthAnswer::TimedOut}, Answers{AuthAnswer::Denied}, 1));
    EXPECT_FALSE(store_.isAuthorized("s1", "F", true));
    wait("asks again", &b_, "s2", "F");
    EXPECT_EQ(prompt_.asked.size(), 3u);  // a new dialog: no cool-down
}

TEST_F(AuthorizationQuestionsTest, OnlyApprovalOnFirstUseApprovesAndOnlyWithEnhancedSecurityOff) {
    using Case = std::tuple<bool, std::string, bool, bool>;  // secure, session, approves, authorized after
    for (const auto& [secure, session, approves, after] : {Case{false, "s", true, true}, Case{false, "", true, false},
                                                          Case{true, "t", false, false}}) {
        secure_ = secure;
        EXPECT_FALSE(questions_->isAuthorized(session, "F") || questions_->isAuthorized(session, "F")) << session;
        EXPECT_EQ(questions_->approveOnFirstUse(session, "F", {"agent", 600, ""}), approves);
        EXPECT_EQ(questions_->isAuthorized(session, "F"), after);
    }
}

}  // namespace
}  // namespace Lumenbox
