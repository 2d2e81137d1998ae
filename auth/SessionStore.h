#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/MonotonicClock.h"
#include "base/Text.h"

namespace Lumenbox {

// A copy of one approved session, for listing.
struct SessionSnapshot {
    std::string sessionId;
    std::string clientName;
    std::vector<std::string> files;  // ascending byte order
    std::chrono::steady_clock::time_point lastUsed;
    // idleTimeoutSeconds minus the whole seconds elapsed since lastUsed; never negative.
    std::int64_t idleRemainingSeconds = 0;
    std::int64_t idleTimeoutSeconds = 0;
};

// A copy of one shared token, for listing. The full token is never handed out.
struct SharedTokenSnapshot {
    std::string tokenPrefix;         // shownPrefix(token)
    std::vector<std::string> files;  // ascending byte order
};

// What revoking a session or a token by the start of its id found.
enum class PrefixRevokeResult { Revoked = 0, NotFound = 1, Ambiguous = 2 };

// What a listing or a dialog shows of a secret (a session id or a token): at most its first 8
// bytes and never more than half of it, so that what is shown can never be replayed as the
// secret itself (a 1-byte id shows nothing). The cut never splits a UTF-8 sequence.
std::string shownPrefix(std::string_view secret);


// Who may reach which file while enhanced security is on. Holds two kinds of grant:
//
//  - approved sessions: a client-chosen session id approved for a set of files. A session expires
//    after its idle timeout; every successful check restarts the idle time.
//  - shared tokens: registered for a file by a calculation in that file; they never expire and
//    last until revoked or until the store is destroyed.
//
// Nothing is persisted. All strings are compared byte by byte; callers pass file names in the form
// in which they are to be compared. Expired sessions are erased lazily, by the next check or
// listing; there is no timer.
//
// Thread safety: every operation is safe to call from any thread. One mutex serialises them all;
// no operation calls out of the store or takes another lock while holding it, and results are
// returned as copies.
class SessionStore {
public:
    static constexpr std::int64_t kMinIdleTimeoutSeconds = 1;
    static constexpr std::int64_t kMaxIdleTimeoutSeconds = 3600;
    // Client name recorded when an approval names none.
    static constexpr std::string_view kDefaultClientName = "lumenbox-mcp";
    // At most this many bytes of a session id or token are shown (see shownPrefix).
    static constexpr std::size_t kShownPrefixBytes = 8;

    // REQUIRES: clock outlives the store.
    explicit SessionStore(const MonotonicClock& clock = realMonotonicClock());
    SessionStore(const SessionStore&) = delete;
    SessionStore& operator=(const SessionStore&) = delete;

    // True when sessionId is a shared token registered for fileName, or an unexpired session
    // approved for fileName. A shared token wins and touches nothing; otherwise expired sessions
    // are erased first and a session that passes has its idle window restarted. A session that
    // is not approved for fileName is not refreshed. Empty arguments are never authorized.
    // With enhanced security on, approvals the user never gave (autoApproved) are dropped first,
    // so that none of them outlives the switch to the setting.
    bool isAuthorized(const std::string& sessionId, const std::string& fileName, bool enhancedSecurityOn);

    // Approves sessionId for fileName, keeping files approved earlier. Replaces the client name
    // (kDefaultClientName when empty) and the idle timeout (clamped to 1..3600 s) and restarts
    // the idle window, also for an entry that has expired but has not been erased yet.
    // `autoApproved` marks an approval made without the user (enhanced security off); it never
    // turns a file the user approved into an automatic one.
    // Ignored when sessionId or fileName is empty.
    void approve(const std::string& sessionId, const std::string& fileName, const std::string& clientName,
                 std::int64_t idleTimeoutSeconds, bool autoApproved = false);

    // Drops every approval made without the user; sessions left without files go. Called when
    // enhanced security reads on.
    void dropAutoApproved();

    // Grants token access to fileName until revoked. Ignored when either is empty.
    void registerSharedToken(const std::string& token, const std::string& fileName);

    // Erases expired sessions, then returns the rest in ascending session-id order.
    std::vector<SessionSnapshot> listSessions();

    // All shared tokens in ascending token order, shortened to their prefixes. Changes nothing.
    std::vector<SharedTokenSnapshot> listSharedTokens() const;

    // Removes the session with exactly this id, if any.
    void revoke(const std::string& sessionId);

    // Removes the one session whose id starts with prefix, as revokeSharedTokenByPrefix does for
    // tokens.
    PrefixRevokeResult revokeByPrefix(const std::string& prefix);

    // Removes every session. Shared tokens stay.
    void revokeAll();

    // Removes the one shared token that starts with prefix (of any length, up to the whole
    // token). Two or more matches remove nothing and give Ambiguous; an empty prefix or no match
    // gives NotFound.
    PrefixRevokeResult revokeSharedTokenByPrefix(const std::string& prefix);

private:
    using TimePoint = std::chrono::steady_clock::time_point;

    struct SessionEntry {
        std::string clientName;        // never empty once approved
        std::set<std::string> files;   // files this session is approved for
        std::set<std::string> autoApprovedFiles;  // those of `files` approved without the user
        TimePoint lastUsed{};          // last approval or last successful check
        std::int64_t idleTimeout = 0;  // seconds, kMinIdleTimeoutSeconds..kMaxIdleTimeoutSeconds
    };

    // Erases every session whose idle time has run out at now; exactly the idle timeout is
    // still valid.
    // REQUIRES: mutex_ is held.
    void pruneExpiredLocked(TimePoint now);
    // REQUIRES: mutex_ is held.
    void dropAutoApprovedLocked();

    const MonotonicClock& clock_;
    mutable std::mutex mutex_;
    std::map<std::string, SessionEntry> sessions_;                // Guarded by mutex_
    std::map<std::string, std::set<std::string>> sharedTokens_;  // Guarded by mutex_
};

}  // namespace Lumenbox
