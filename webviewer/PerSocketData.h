#pragma once

#include <cstddef>
#include <string>

#include "server/transport/WebSocket.h"

namespace Lumenbox {

// What the bridge knows about one WebSocket connection; created empty at the upgrade.
struct PerSocketData {
    std::string fileName;     // normalised name of the last accepted registration
    std::string role;         // "webviewer" or "agent-browser" once registered
    bool registered = false;  // true from the first accepted registration on
    bool showedKey = false;   // a web viewer that registered with its file's connector key
    // An agent browser's session and client name from its register message; its script calls
    // need that session approved for the file while enhanced security is on.
    std::string session;
    std::string clientName;
};

using WebSocketConnection = transport::WebSocket<PerSocketData>;

inline constexpr const char* kRoleWebviewer = "webviewer";
inline constexpr const char* kRoleAgentBrowser = "agent-browser";

// The largest WebSocket message either side may send. The bridge closes a connection that sends
// more (1009), so it refuses a script call whose message would exceed it, and the web viewer page,
// which is told this value, answers a result that would exceed it with an error instead.
inline constexpr std::size_t kMaxWebSocketMessageBytes = 16 * 1024 * 1024;

}  // namespace Lumenbox
