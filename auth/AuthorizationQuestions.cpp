#include "auth/AuthorizationQuestions.h"

#include <algorithm>
#include <atomic>

#include "auth/SessionStore.h"
#include "base/MonotonicClock.h"

namespace Lumenbox {

namespace {

class SilentApprovalPrompt final : public ApprovalPrompt {
public:
    std::uint64_t ask(const ApprovalQuestion&, std::function<void(bool)>) override { return ++lastTicket_; }
    void dismiss(std::uint64_t) override {}
    void dismissAll() override {}

private:
    std::atomic<std::uint64_t> lastTicket_{0};
};

}  // namespace

ApprovalPrompt& silentApprovalPrompt() {
    static SilentApprovalPrompt prompt;
    return prompt;
}

AuthorizationQuestions::AuthorizationQuestions(transport::Loop& loop, const MonotonicClock& clock, SessionStore& store,
                                               ApprovalPrompt& prompt, Settings settings, DeferToLoop deferToLoop)
    : clock_(clock),
      store_(store),
      prompt_(prompt),
      settings_(std::move(settings)),
      deferToLoop_(std::move(deferToLoop)),
      questions_(loop) {}

AuthorizationQuestions::~AuthorizationQuestions() = default;

bool AuthorizationQuestions::isEnhancedSecurityOn() const {
    return settings_.enhancedSecurity && settings_.enhancedSecurity();
}

bool AuthorizationQuestions::isAuthorized(const std::string& session, const std::string& fileName) {
    return !session.empty() && store_.isAuthorized(session, fileName, isEnhancedSecurityOn());
}

bool AuthorizationQuestions::approveOnFirstUse(const std::string& session, const std::string& fileName,
                                               const AuthApproval& approval) {
    if (isEnhancedSecurityOn()) return false;
    store_.approve(session, fileName, approval.clientName, approval.idleTimeoutSeconds, /*autoApproved=*/true);
    return true;
}

void AuthorizationQuestions::awaitApproval(const void* owner, const AuthRequestKey& key, const AuthApproval& approval,
                                           std::function<void(AuthAnswer)> answer) {
    if (isDenialCoolingDown(key)) return answer(AuthAnswer::Denied);
    Question* question = questionFor(key, approval);
    if (!question) return answer(AuthAnswer::TooManyQuestions);
    const auto held = std::count_if(question->waiters.begin(), question->waiters.end(),
                                    [owner](const Waiter& waiter) { return waiter.owner == owner; });
    if (static_cast<std::size_t>(held) >= kMaxWaitersPerOwner) return answer(AuthAnswer::TooManyQuestions);
    question->waiters.push_back({owner, std::move(answer)});
}

void AuthorizationQuestions::abandonAuthorizationsOf(const void* owner) {
    std::vector<AuthRequestKey> left;
    questions_.forEach([owner, &left](const AuthRequestKey& key, Question& question) {
        if (std::erase_if(question.waiters, [owner](const Waiter& waiter) { return waiter.owner == owner; }) > 0) {
            left.push_back(key);
        }
    });
    for (const auto& key : left) closeIfUnwaited(key);
}

std::size_t AuthorizationQuestions::waitersOf(const AuthRequestKey& key) {
    const Question* question = questions_.find(key);
    return question ? question->waiters.size() : 0;
}

void AuthorizationQuestions::clear() {
    questions_.clear();
}

bool AuthorizationQuestions::isDenialCoolingDown(const AuthRequestKey& key) {
    const auto now = clock_.now();
    std::erase_if(deniedUntil_, [now](const auto& denial) { return denial.second <= now; });
    return deniedUntil_.contains(key);
}

AuthorizationQuestions::Question* AuthorizationQuestions::questionFor(const AuthRequestKey& key,
                                                                      const AuthApproval& approval) {
    if (Question* open = questions_.find(key)) return open;
    std::size_t forFile = 0;
    questions_.forEach([&key, &forFile](const AuthRequestKey& open, Question&) { forFile += open.second == key.second; });
    if (questions_.size() >= kMaxOpenQuestions || forFile >= kMaxOpenQuestionsPerFile) return nullptr;

    Question& question = questions_.add(key, Question{approval, {}, ++lastSerial_, 0}, settings_.timeout,
                                        [this](const AuthRequestKey&, Question expired) { timedOut(std::move(expired)); });
    // The serial keeps the late answer of a dismissed dialog from answering a newer question for
    // the same key; an answer given after the loop stopped taking work is dropped.
    question.dialogTicket = prompt_.ask(
        {key.second, approval.clientName, approval.clientDescription, shownPrefix(key.first),
         approval.idleTimeoutSeconds},
        [weak = weak_from_this(), defer = deferToLoop_, key, serial = question.serial](bool allowed) {
            defer([weak, key, serial, allowed] {
                if (auto self = weak.lock()) self->complete(key, serial, allowed);
            });
        });
    return &question;
}

// A question whose every waiter has gone concerns no one: it closes, and so does its dialog.
void AuthorizationQuestions::closeIfUnwaited(const AuthRequestKey& key) {
    const Question* question = questions_.find(key);
    if (!question || !question->waiters.empty()) return;
    prompt_.dismiss(questions_.take(key)->dialogTicket);
}

void AuthorizationQuestions::complete(const AuthRequestKey& key, std::uint64_t serial, bool allowed) {
    const Question* open = questions_.find(key);
    // Timed out, or every waiter went away: the answer no longer concerns anyone.
    if (!open || open->serial != serial) return;
    // Out of the map before any answer: an answer may let the next request of its connection in,
    // and that one must not join a question that is already answered.
    Question question = std::move(*questions_.take(key));
    if (allowed) {
        store_.approve(key.first, key.second, question.approval.clientName, question.approval.idleTimeoutSeconds);
    } else if (serial > dismissedThroughSerial_) {
        // Only the user's own denial holds the session off; a dismissal by a time-out is no answer.
        deniedUntil_[key] = clock_.now() + settings_.denialCooldown;
    }
    for (auto& waiter : question.waiters) waiter.answer(allowed ? AuthAnswer::Allowed : AuthAnswer::Denied);
}

// The time limit has taken the question out already.
void AuthorizationQuestions::timedOut(Question question) {
    // Every open dialog goes, this question's and all others, each answering its own waiters as
    // denied. Asked before the answers go out, so that a client that has its "timeout" knows the
    // dialogs are on their way out.
    prompt_.dismissAll();
    dismissedThroughSerial_ = lastSerial_;
    for (auto& waiter : question.waiters) waiter.answer(AuthAnswer::TimedOut);
}

}  // namespace Lumenbox
