#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "mcp/McpMessages.h"

namespace Lumenbox::mcp {

// What the endpoint reads of a POST /mcp: the headers that matter (absent: nullopt) and the body.
struct PostHeaders {
    std::optional<std::string> contentType = std::nullopt;
    std::optional<std::string> accept = std::nullopt;
    std::optional<std::string> sessionId = std::nullopt;        // Mcp-Session-Id, empty counts as absent
    std::optional<std::string> protocolVersion = std::nullopt;  // MCP-Protocol-Version
    std::optional<std::string> method = std::nullopt;           // Mcp-Method
    std::optional<std::string> name = std::nullopt;             // Mcp-Name, as sent
};

// Which generation a POST belongs to, and what to do with it. Decided in this order: (1) the
// Host/Origin policy (before this, by the transport's filter), (2) Content-Type, then Accept, (3)
// one JSON object, (4) stateless when params._meta names a protocol version or the
// MCP-Protocol-Version header names one that is not a session-based one (an Mcp-Session-Id is
// then ignored), (5) an Mcp-Session-Id: that session, (6) initialize: a new session, (7) refused.
struct PostDecision {
    enum class Kind {
        Refused,    // answer `error` (with `detail`, `data`) and stop
        Modern,     // stateless, its headers and _meta checked
        Session,    // a legacy request in the session `sessionId` (its existence not yet checked)
        Handshake,  // a legacy initialize without a session
    };
    Kind kind = Kind::Refused;
    McpError error = McpError::InvalidRequest;
    std::string detail;
    nlohmann::json data;       // error data, null when none
    nlohmann::json message;    // the parsed message (once it parsed)
    // params.arguments.data as compact JSON text with members in the caller's order (it stands as
    // null in `message`); empty when absent.
    std::string argumentsData;
    nlohmann::json id;         // the request's id, null for a notification or before parsing
    bool isRequest = false;    // has a method and an id: it needs a response
    bool allowsJson = true;    // what Accept allows for the response
    bool allowsEventStream = true;
    bool legacyError = false;  // a refusal that names its status by the legacy column
};

PostDecision decidePost(const PostHeaders& headers, std::string_view body);

// The value of an Mcp-Name header: as sent, or decoded when it has the form "=?base64?...?=";
// nullopt when that form does not decode.
std::optional<std::string> decodeHeaderValue(std::string_view value);

// The progress token of a request (params._meta.progressToken, a string or an integer), or null.
nlohmann::json progressTokenOf(const nlohmann::json& message);

}  // namespace Lumenbox::mcp
