#pragma once

// Which generation of the protocol a message from the agent belongs to, and the HTTP headers it
// travels with to the bridge. Pure: safe from any thread.

#include <map>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace Lumenbox::mcpstdio {

using Headers = std::map<std::string, std::string>;

// What the session-based generation negotiated at initialize; empty before it, or after the bridge
// forgot the session.
struct LegacySession {
    std::string id;               // the bridge's Mcp-Session-Id
    std::string protocolVersion;  // the version the bridge answered initialize with
};

struct Routing {
    bool modern = false;  // the stateless generation: the message names its version in params._meta
    Headers headers;      // besides Host, Content-Type, Accept and Content-Length
};

// The stateless generation is recognised by params._meta["io.modelcontextprotocol/protocolVersion"];
// its messages carry MCP-Protocol-Version, Mcp-Method and, for a call of a named thing, Mcp-Name.
// Every other message is session-based and carries the session's id and version once known.
// `lumenboxSession` (when not empty) names the Lumenbox session for approvals in either case.
Routing routeMessage(const nlohmann::json& message, const LegacySession& session, const std::string& lumenboxSession);

// `value` as it may stand in a header: itself when it is printable ASCII without white space at
// either end (and does not look encoded), else "=?base64?<base64 of its UTF-8>?=".
std::string headerValue(std::string_view value);

std::string base64(std::string_view bytes);

}  // namespace Lumenbox::mcpstdio
