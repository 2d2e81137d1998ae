#include "auth/AuthorizationQuestions.h"

#include <algorithm>
#include <atomic>

#include "auth/SessionStore.h"
#include "base/MonotonicClock.h"
#include "server/transport/Loop.h"

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
    : loop_(loop),
      clock_(clock),
      store_(store),
      prompt_(prompt),
      settings_(std::move(settings)),
      deferToLoop_(std::move(deferToLoop)) {}

AuthorizationQuestions::~AuthorizationQuestions() {
    clear();
}

bool AuthorizationQuestions::isEnhancedSecurityOn() const {
    return settings_.isEnhancedSecurityOn && settings_.isEnhancedSecurityOn();
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
    for (auto entry = questions_.begin(); entry != questions_.end();) {
        auto next = std::next(entry);
        std::erase_if(entry->second.waiters, [owner](const Waiter& waiter) { return waiter.owner == owner; });
        closeIfUnwaited(entry);
        entry = next;
    }
}

std::size_t AuthorizationQuestions::waitersOf(const AuthRequestKey& key) const {
    auto entry = questions_.find(key);
    return entry == questions_.end() ? 0 : entry->second.waiters.size();
}

void AuthorizationQuestions::clear() {
    // Moved out first: dropping a waiter releases what it holds (a response), and nothing may
    // re-enter the map while it is being cleared.
    auto questions = std::move(questions_);
    questions_.clear();
    questions.clear();
}

bool AuthorizationQuestions::isDenialCoolingDown(const AuthRequestKey& key) {
    const auto now = clock_.now();
    std::erase_if(deniedUntil_, [now](const auto& denial) { return denial.second <= now; });
    return deniedUntil_.contains(key);
}

AuthorizationQuestions::Question* AuthorizationQuestions::questionFor(const AuthRequestKey& key,
                                                                      const AuthApproval& approval) {
    if (auto open = questions_.find(key); open != questions_.end()) return &open->second;
    const auto forFile = std::count_if(questions_.begin(), questions_.end(),
                                       [&key](const auto& open) { return open.first.second == key.second; });
    if (questions_.size() >= kMaxOpenQuestions || static_cast<std::size_t>(forFile) >= kMaxOpenQuestionsPerFile) {
        return nullptr;
    }

    Question& question = questions_[key];
    question.approval = approval;
    question.serial = ++lastSerial_;
    question.timer = std::make_unique<transport::Timer>(loop_);
    question.timer->start(settings_.timeout, [this, key] { timeOut(key); });
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
void AuthorizationQuestions::closeIfUnwaited(Questions::iterator entry) {
    if (!entry->second.waiters.empty()) return;
    const std::uint64_t ticket = entry->second.dialogTicket;
    questions_.erase(entry);
    prompt_.dismiss(ticket);
}

void AuthorizationQuestions::complete(const AuthRequestKey& key, std::uint64_t serial, bool allowed) {
    auto entry = questions_.find(key);
    // Timed out, or every waiter went away: the answer no longer concerns anyone.
    if (entry == questions_.end() || entry->second.serial != serial) return;
    // Out of the map before any answer: an answer may let the next request of its connection in,
    // and that one must not join a question that is already answered.
    auto waiters = std::move(entry->second.waiters);
    const AuthApproval approval = std::move(entry->second.approval);
    const bool dismissedByTimeout = serial <= dismissedThroughSerial_;
    questions_.erase(entry);
    if (allowed) {
        store_.approve(key.first, key.second, approval.clientName, approval.idleTimeoutSeconds);
    } else if (!dismissedByTimeout) {
        // Only the user's own denial holds the session off; a dismissal is no answer.
        deniedUntil_[key] = clock_.now() + settings_.denialCooldown;
    }
    for (auto& waiter : waiters) waiter.answer(allowed ? AuthAnswer::Allowed : AuthAnswer::Denied);
}

void AuthorizationQuestions::timeOut(const AuthRequestKey& key) {
    auto entry = questions_.find(key);
    if (entry == questions_.end()) return;
    auto waiters = std::move(entry->second.waiters);
    questions_.erase(entry);  // also ends the timer that called us, safely
    // Every open dialog goes, this question's and all others, each answering its own waiters as
    // denied. Asked before the answers go out, so that a client that has its "timeout" knows the
    // dialogs are on their way out.
    prompt_.dismissAll();
    dismissedThroughSerial_ = lastSerial_;
    for (auto& waiter : waiters) waiter.answer(AuthAnswer::TimedOut);
}

}  // namespace Lumenbox
