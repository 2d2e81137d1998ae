#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace Lumenbox::mcp {

// Every JSON-RPC error and every text an agent reads comes from here, so that what agents see
// is worded once. Pure: safe from any thread.

// The protocol versions the endpoint speaks: the session-based ones, newest first, and the
// stateless one.
inline constexpr std::string_view kLatestLegacyVersion = "2025-11-25";
inline constexpr std::string_view kLegacyVersions[] = {"2025-11-25", "2025-06-18", "2025-03-26", "2024-11-05"};
inline constexpr std::string_view kModernVersion = "2026-07-28";
bool isLegacyVersion(std::string_view version);

inline constexpr std::string_view kServerName = "lumenbox";
// Recorded for a session that a client without a name uses.
inline constexpr std::string_view kDefaultClientName = "lumenbox-mcp";
// How long a client may keep the tool list and the discovery answer: the list is fixed.
inline constexpr std::int64_t kListTtlMs = 3600 * 1000;

// The refusals and errors of the endpoint. Each has its HTTP status (which may differ by era)
// and its JSON-RPC code and message.
enum class McpError {
    UnsupportedMediaType,  // Content-Type is not application/json
    NotAcceptable,         // Accept allows neither JSON nor an event stream
    ParseError,            // the body is not JSON
    InvalidRequest,        // not one JSON-RPC message object
    SessionRequired,       // a legacy request other than initialize without Mcp-Session-Id
    UnknownSession,        // an Mcp-Session-Id the endpoint does not know (or ended)
    BadVersionHeader,      // MCP-Protocol-Version that is not a legacy version, in a session
    HeaderMismatch,        // stateless: a header disagrees with the body
    MissingMeta,           // stateless: params._meta lacks the version or client capabilities
    UnsupportedVersion,    // stateless: a version this endpoint does not speak
    MethodNotFound,        // unknown method (and, stateless, the session-only methods)
    InvalidParams,         // the params of a known method are unusable
    UnknownTool,           // tools/call names no tool of the list
    MethodNotAllowed,      // GET /mcp: the endpoint offers no stream of its own
};

struct McpErrorInfo {
    std::string_view legacyStatus;  // within a live session: 200, so the client keeps it
    std::string_view modernStatus;
    int code;
    std::string_view message;
};
const McpErrorInfo& errorInfo(McpError error);

// {"jsonrpc":"2.0","id":id,"error":{"code","message"[,"data"]}}; `detail`, when given, follows
// the table's message after ": ".
nlohmann::json errorMessage(McpError error, const nlohmann::json& id, std::string_view detail = {},
                            const nlohmann::json& data = nullptr);
nlohmann::json resultMessage(const nlohmann::json& id, nlohmann::json result);

// What the endpoint tells agents about itself.
std::string_view instructions();

// The texts of tool results that failed (isError), each one an agent can act on.
namespace text {
std::string fileNotConnected(std::string_view fileName, const std::vector<std::string>& connectedFiles);
std::string scriptTimedOut(std::string_view fileName, std::string_view scriptName, std::int64_t timeoutMs);
std::string webviewerGone(std::string_view fileName);
std::string sendFailed(std::string_view fileName);
std::string requestTooLarge(std::string_view fileName);
std::string scriptFailed(std::string_view fileName, std::string_view scriptName, std::string_view error);
std::string resultTooLarge(std::string_view fileName, const nlohmann::json* resultBytes);
std::string noSession();
std::string notApproved(std::string_view fileName);
std::string denied(std::string_view fileName);
std::string approvalTimedOut(std::string_view fileName);
std::string tooManyQuestions();
std::string argumentsNotAnObject();
std::string missingFileName();
std::string missingScriptName();
std::string badTimeout(std::int64_t maximum);
// The progress messages.
std::string_view waitingForScript();
std::string_view waitingForApproval();
std::string_view waitingForPong();
// What the user's dialog shows about the client, which only claims to be what it says.
std::string clientDescription(std::string_view name, std::string_view version);
// Appended to a result's text that was cut at `limit` characters.
std::string cutNote(std::size_t limit, std::size_t fullLength);
}  // namespace text

}  // namespace Lumenbox::mcp
