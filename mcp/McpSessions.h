#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

#include "base/MonotonicClock.h"

namespace Lumenbox::mcp {

// The legacy generation's sessions: each made by an initialize, named by an id of 192 bits from
// the OS CSPRNG, ended by DELETE, by an hour without use, or by the cap (the one idle longest
// goes first). Expiry is read from the clock when the table is used, so nothing waits on a timer.
// Loop thread only.
class McpSessions {
public:
    static constexpr std::size_t kMaxSessions = 100;
    static constexpr std::chrono::seconds kIdleLimit{3600};

    struct Session {
        std::string protocolVersion;
        std::string clientName;     // clientInfo.name as sent, empty when none
        std::string clientVersion;  // clientInfo.version as sent
        std::chrono::steady_clock::time_point lastUse;
    };

    explicit McpSessions(const MonotonicClock& clock) : clock_(clock) {}

    // A new session; the idle longest is ended first when the table is full. Returns its id;
    // `ended` (when given) receives the id of a session ended to make room, else stays as it is.
    std::string open(Session session, std::string* ended = nullptr);
    // The live session under `id`, its idle time restarted; null when unknown, ended or expired.
    Session* use(const std::string& id);
    // Ends the session; false when there was none.
    bool end(const std::string& id);
    std::size_t size() const { return sessions_.size(); }

private:
    void dropExpired();

    const MonotonicClock& clock_;
    std::map<std::string, Session> sessions_;
};

}  // namespace Lumenbox::mcp
