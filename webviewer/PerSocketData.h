#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "server/transport/WebSocket.h"

namespace Lumenbox {

// What a registered connection is for its file: the file's page in its web viewer, or a
// developer's page running the file's scripts through it (fm-mock.js).
enum class Role { None, Webviewer, AgentBrowser };

// The role's name in a register message ("webviewer", "agent-browser"); nullopt for any other text.
std::optional<Role> roleFromWire(std::string_view text);

// What the bridge knows about one WebSocket connection; created empty at the upgrade. Touched on
// the loop thread only.
struct PerSocketData {
    std::string fileName;     // normalised name of the last accepted registration
    Role role = Role::None;   // None until the first accepted registration
    bool showedKey = false;   // a web viewer that registered with its file's connector key
    // An agent browser's session and client name from its register message; its script calls
    // need that session approved for the file while enhanced security is on.
    std::string session;
    std::string clientName;

    bool registered() const { return role != Role::None; }
    bool is(Role asked) const { return role == asked; }
};

using WebSocketConnection = transport::WebSocket<PerSocketData>;

// How the features send to a page: the wiring passes the connection's own send, a component test
// a recorder.
using PageSender = std::function<transport::SendStatus(WebSocketConnection* page, std::string_view text)>;

// The largest WebSocket message either side may send. The bridge closes a connection that sends
// more (1009), so it refuses a script call whose message would exceed it, and the web viewer page,
// which is told this value, answers a result that would exceed it with an error instead.
inline constexpr std::size_t kMaxWebSocketMessageBytes = 16 * 1024 * 1024;

}  // namespace Lumenbox
