#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "auth/ApprovalPrompt.h"
#include "server/transport/PendingReplies.h"

namespace Lumenbox {

class MonotonicClock;
class SessionStore;

// A question to the user: (session id, normalised file name). Ordered by session id, then by
// file name, byte by byte.
using AuthRequestKey = std::pair<std::string, std::string>;

// What the first asker of a question brings: the client name and idle timeout that an allowed
// question records in the session store, and the description the dialog shows (never stored).
struct AuthApproval {
    std::string clientName;
    std::int64_t idleTimeoutSeconds = 0;
    std::string clientDescription;
};

// How a question ended for one waiter. TooManyQuestions and a Denied during a denial cool-down
// are given at once, before anything is asked.
enum class AuthAnswer { Allowed, Denied, TimedOut, TooManyQuestions };

// Who may reach a file, and the questions to the user about who may: one open question per
// (session, file) however many wait for it, each with a time limit, caps on how many are open,
// and a cool-down after the user's denial. A waiter is anything that can be answered once: a held
// `POST /authorizeSession` request, an agent browser's held script call. Each names an `owner` (the
// request, the connection); when the owner goes, its waiters go unanswered, and a question that
// nobody waits for any more closes with its dialog.
//
// Loop thread only, and the loop must outlive the component. The prompt answers on its own
// thread; the answer reaches the loop through `deferToLoop`, so create the component with
// std::make_shared (an answer arriving after it has gone is dropped).
class AuthorizationQuestions : public std::enable_shared_from_this<AuthorizationQuestions> {
public:
    struct Settings {
        // How long a question waits for the user before it times out; a time-out also dismisses
        // every other open dialog, whose questions then end as denied (without a cool-down).
        std::chrono::milliseconds timeout{std::chrono::seconds(120)};
        // After the user denies a session for a file, how long the same pair is refused at once.
        std::chrono::milliseconds denialCooldown{std::chrono::seconds(60)};
        // The user's enhanced-security setting, read at each check; empty reads as off.
        std::function<bool()> enhancedSecurity;
    };
    // Hands a task to the loop from any thread; false when the loop takes no more work (the
    // task is then dropped).
    using DeferToLoop = std::function<bool(std::function<void()>)>;

    // Open questions at once, for one file and in all: a client cannot bury the user in dialogs.
    static constexpr std::size_t kMaxOpenQuestionsPerFile = 3;
    static constexpr std::size_t kMaxOpenQuestions = 8;
    // Waiters one owner may have on a question (an agent browser page queues its calls).
    static constexpr std::size_t kMaxWaitersPerOwner = 100;

    // REQUIRES: loop, clock, store and prompt outlive the component.
    AuthorizationQuestions(transport::Loop& loop, const MonotonicClock& clock, SessionStore& store,
                           ApprovalPrompt& prompt, Settings settings, DeferToLoop deferToLoop);
    ~AuthorizationQuestions();
    AuthorizationQuestions(const AuthorizationQuestions&) = delete;
    AuthorizationQuestions& operator=(const AuthorizationQuestions&) = delete;

    bool isEnhancedSecurityOn() const;

    // True when `session` (non-empty) holds an approval or a shared token for `fileName`. Approves
    // nothing; a session that passes has its idle time restarted, as every use does.
    bool isAuthorized(const std::string& session, const std::string& fileName);
    // With enhanced security off every client is trusted: records `session` (when not empty) as
    // approved for `fileName` without the user, so that it shows in the session list and goes
    // when the setting is switched on, and returns true. With enhanced security on, does nothing
    // and returns false: then only the user approves.
    bool approveOnFirstUse(const std::string& session, const std::string& fileName, const AuthApproval& approval);

    // Calls `answer` exactly once with the outcome of the question for `key`, opening it (and its
    // dialog) when none is open, unless `owner` goes first (abandonAuthorizationsOf) or the
    // component is cleared. Only the first asker's approval is shown and recorded. `answer` may
    // run before this returns (cool-down, caps).
    void awaitApproval(const void* owner, const AuthRequestKey& key, const AuthApproval& approval,
                       std::function<void(AuthAnswer)> answer);
    // Drops every waiter of `owner` unanswered; questions left without waiters close and their
    // dialogs are dismissed.
    void abandonAuthorizationsOf(const void* owner);

    // Open questions, and the waiters of one (0 when it is not open).
    std::size_t size() const { return questions_.size(); }
    std::size_t waitersOf(const AuthRequestKey& key);

    // Drops every question and waiter unanswered and cancels their time limits (the server
    // stops). Dialogs still open answer into nothing.
    void clear();

private:
    struct Waiter {
        const void* owner = nullptr;
        std::function<void(AuthAnswer)> answer;
    };
    struct Question {
        AuthApproval approval;        // the first asker's
        std::vector<Waiter> waiters;  // in arrival order
        std::uint64_t serial = 0;     // tells this question's answer from that of an earlier one
        std::uint64_t dialogTicket = 0;
    };

    bool isDenialCoolingDown(const AuthRequestKey& key);
    // The open question for `key`, or a new one with its dialog and time limit; null when the
    // caps leave no room for a new one.
    Question* questionFor(const AuthRequestKey& key, const AuthApproval& approval);
    // Closes the question, and its dialog, when nobody waits for it any more.
    void closeIfUnwaited(const AuthRequestKey& key);
    void complete(const AuthRequestKey& key, std::uint64_t serial, bool allowed);
    void timedOut(Question question);

    const MonotonicClock& clock_;
    SessionStore& store_;
    ApprovalPrompt& prompt_;
    const Settings settings_;
    const DeferToLoop deferToLoop_;
    transport::PendingReplies<AuthRequestKey, Question> questions_;  // each with its time limit
    std::map<AuthRequestKey, std::chrono::steady_clock::time_point> deniedUntil_;
    std::uint64_t lastSerial_ = 0;
    std::uint64_t dismissedThroughSerial_ = 0;  // questions whose dialogs a time-out dismissed
};

}  // namespace Lumenbox
