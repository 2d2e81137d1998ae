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

#include "auth/MonotonicClock.h"

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
    std::string tokenPrefix;         // the token's first 8 bytes, or all of it if shorter
    std::vector<std::string> files;  // ascending byte order
};

enum class SharedTokenRevokeResult { Revoked = 0, NotFound = 1, Ambiguous = 2 };

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
    // Bytes of a token shown in listings.
    static constexpr std::size_t kTokenPrefixBytes = 8;

    // REQUIRES: clock outlives the store.
    explicit SessionStore(const MonotonicClock& clock = realMonotonicClock());
    SessionStore(const SessionStore&) = delete;
    SessionStore& operator=(const SessionStore&) = delete;

    // True when sessionId is a shared token registered for fileName, or an unexpired session
    // approved for fileName. A shared token wins and touches nothing; otherwise expired sessions
    // are erased first and a session that passes has its idle window restarted. A session that
    // is not approved for fileName is not refreshed. Empty arguments are never authorized.
    bool isAuthorized(const std::string& sessionId, const std::string& fileName);

    // Approves sessionId for fileName, keeping files approved earlier. Replaces the client name
    // (kDefaultClientName when empty) and the idle timeout (clamped to 1..3600 s) and restarts
    // the idle window, also for an entry that has expired but has not been erased yet.
    // Ignored when sessionId or fileName is empty.
    void approve(const std::string& sessionId, const std::string& fileName, const std::string& clientName,
                 std::int64_t idleTimeoutSeconds);

    // Grants token access to fileName until revoked. Ignored when either is empty.
    void registerSharedToken(const std::string& token, const std::string& fileName);

    // Erases expired sessions, then returns the rest in ascending session-id order.
    std::vector<SessionSnapshot> listSessions();

    // All shared tokens in ascending token order, shortened to their prefixes. Changes nothing.
    std::vector<SharedTokenSnapshot> listSharedTokens() const;

    // Removes the session with exactly this id, if any.
    void revoke(const std::string& sessionId);

    // Removes every session. Shared tokens stay.
    void revokeAll();

    // Removes the shared token equal to token, if any.
    void revokeSharedToken(const std::string& token);

    // Removes the one shared token that starts with prefix (of any length, up to the whole
    // token). Two or more matches remove nothing and give Ambiguous; an empty prefix or no match
    // gives NotFound.
    SharedTokenRevokeResult revokeSharedTokenByPrefix(const std::string& prefix);

private:
    using TimePoint = std::chrono::steady_clock::time_point;

    struct SessionEntry {
        std::string clientName;        // never empty once approved
        std::set<std::string> files;   // files this session is approved for
        TimePoint lastUsed{};          // last approval or last successful check
        std::int64_t idleTimeout = 0;  // seconds, kMinIdleTimeoutSeconds..kMaxIdleTimeoutSeconds
    };

    // Erases every session whose idle time has run out at now; exactly the idle timeout is
    // still valid.
    // REQUIRES: mutex_ is held.
    void pruneExpiredLocked(TimePoint now);

    const MonotonicClock& clock_;
    mutable std::mutex mutex_;
    std::map<std::string, SessionEntry> sessions_;                // Guarded by mutex_
    std::map<std::string, std::set<std::string>> sharedTokens_;  // Guarded by mutex_
};

}  // namespace Lumenbox
