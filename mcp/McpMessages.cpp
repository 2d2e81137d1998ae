#include "mcp/McpMessages.h"

#include <algorithm>

#include "server/json/JsonReply.h"

namespace Lumenbox::mcp {

namespace {
constexpr std::string_view kNotAcceptable = "406 Not Acceptable";
constexpr std::string_view kUnsupportedMediaType = "415 Unsupported Media Type";
constexpr std::string_view kMethodNotAllowed = "405 Method Not Allowed";

// Indexed by McpError.
constexpr McpErrorInfo kErrors[] = {
    {kUnsupportedMediaType, kUnsupportedMediaType, -32600, "Unsupported Media Type: Content-Type must be application/json"},
    {kNotAcceptable, kNotAcceptable, -32600, "Not Acceptable: Accept must allow application/json or text/event-stream"},
    {status::kBadRequest, status::kBadRequest, -32700, "Parse error: the body is not JSON"},
    {status::kBadRequest, status::kBadRequest, -32600, "Invalid Request: the body must be one JSON-RPC 2.0 message object"},
    {status::kBadRequest, status::kBadRequest, -32600, "Bad Request: Mcp-Session-Id required"},
    {status::kNotFound, status::kNotFound, -32001, "Session not found"},
    {status::kBadRequest, status::kBadRequest, -32600, "Bad Request: unsupported MCP-Protocol-Version"},
    {status::kBadRequest, status::kBadRequest, -32020, "Header mismatch"},
    {status::kBadRequest, status::kBadRequest, -32602, "Invalid params: missing _meta fields"},
    {status::kBadRequest, status::kBadRequest, -32022, "Unsupported protocol version"},
    {status::kOk, status::kNotFound, -32601, "Method not found"},
    {status::kOk, status::kOk, -32602, "Invalid params"},
    {status::kOk, status::kOk, -32602, "Unknown tool"},
    {kMethodNotAllowed, kMethodNotAllowed, -32000, "Method Not Allowed: POST a JSON-RPC message, or DELETE a session"},
};
static_assert(std::size(kErrors) == static_cast<std::size_t>(McpError::MethodNotAllowed) + 1);
}  // namespace

bool isLegacyVersion(std::string_view version) {
    return std::find(std::begin(kLegacyVersions), std::end(kLegacyVersions), version) != std::end(kLegacyVersions);
}

const McpErrorInfo& errorInfo(McpError error) {
    return kErrors[static_cast<std::size_t>(error)];
}

nlohmann::json errorMessage(McpError error, const nlohmann::json& id, std::string_view detail,
                            const nlohmann::json& data) {
    const McpErrorInfo& info = errorInfo(error);
    std::string message(info.message);
    if (!detail.empty()) message.append(": ").append(detail);
    nlohmann::json body = {{"code", info.code}, {"message", std::move(message)}};
    if (!data.is_null()) body["data"] = data;
    return {{"jsonrpc", "2.0"}, {"id", id}, {"error", std::move(body)}};
}

nlohmann::json resultMessage(const nlohmann::json& id, nlohmann::json result) {
    return {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

std::string_view instructions() {
    return "Lumenbox runs FileMaker scripts in the FileMaker files the user has open. Call list_files first to "
           "learn which files are connected, then run_script with one of those file names and a script name. "
           "ping_file tells whether a file's page still answers. With enhanced security on, the user approves "
           "each session for each file in a dialog; a call may wait for that answer.";
}

namespace text {

std::string fileNotConnected(std::string_view fileName, const std::vector<std::string>& connectedFiles) {
    std::string text = "The file \"" + std::string(fileName) + "\" is not connected to Lumenbox (it is not open in "
                       "FileMaker, or its Lumenbox web viewer is not showing). ";
    if (connectedFiles.empty()) return text + "No file is connected now; ask the user to open one.";
    text += "Connected files: ";
    for (std::size_t i = 0; i < connectedFiles.size(); ++i) {
        if (i > 0) text += ", ";
        text += "\"" + connectedFiles[i] + "\"";
    }
    return text + ". Call list_files for the current list.";
}

std::string scriptTimedOut(std::string_view fileName, std::string_view scriptName, std::int64_t timeoutMs) {
    return "No result from script \"" + std::string(scriptName) + "\" in \"" + std::string(fileName) + "\" within " +
           std::to_string(timeoutMs) + " ms. The script may still be running in FileMaker: check before running it "
           "again, or pass a larger timeoutMs.";
}

std::string webviewerGone(std::string_view fileName) {
    return "The web viewer of \"" + std::string(fileName) + "\" went away before the script answered (the file was "
           "closed or its layout changed). The script may or may not have run. Call list_files to see whether it is "
           "back.";
}

std::string sendFailed(std::string_view fileName) {
    return "The call could not be sent to the web viewer of \"" + std::string(fileName) + "\" (its connection is "
           "busy). Try again shortly.";
}

std::string requestTooLarge(std::string_view fileName) {
    return "The data is too large to send to the web viewer of \"" + std::string(fileName) + "\". Send less data.";
}

std::string scriptFailed(std::string_view fileName, std::string_view scriptName, std::string_view error) {
    return "Script \"" + std::string(scriptName) + "\" ran in \"" + std::string(fileName) +
           "\" and reported an error: " + std::string(error);
}

std::string resultTooLarge(std::string_view fileName, const nlohmann::json* resultBytes) {
    std::string size = resultBytes ? " (" + resultBytes->dump() + " bytes)" : "";
    return "The script in \"" + std::string(fileName) + "\" ran, but its result" + size +
           " is too large for the web viewer to send back. Make the script return less.";
}

std::string noSession() {
    return "Enhanced security is on in Lumenbox, and this client sends no session. Add the header "
           "\"x-lumenbox-session: <a random id>\" to the MCP server's settings (the Lumenbox configuration page "
           "at http://127.0.0.1:1365/config shows ready settings), then call again: the user is asked once to "
           "approve the session.";
}

std::string notApproved(std::string_view fileName) {
    return "This session is not approved for \"" + std::string(fileName) + "\". Ask the user to approve it in the "
           "Lumenbox dialog, then call again.";
}

std::string denied(std::string_view fileName) {
    return "The user denied this session access to \"" + std::string(fileName) + "\". Do not retry unless the user "
           "asks you to.";
}

std::string approvalTimedOut(std::string_view fileName) {
    return "The user did not answer the approval question for \"" + std::string(fileName) + "\" in time. Ask the "
           "user to watch for the Lumenbox dialog, then call again.";
}

std::string tooManyQuestions() {
    return "Too many approval questions are open in Lumenbox. Try again later.";
}

std::string argumentsNotAnObject() {
    return "Invalid arguments: the arguments must be an object.";
}

std::string missingFileName() {
    return "Invalid arguments: fileName (a file name as list_files gives it) is required.";
}

std::string missingScriptName() {
    return "Invalid arguments: scriptName (the name of a script in the file) is required.";
}

std::string badTimeout(std::int64_t maximum) {
    return "Invalid arguments: timeoutMs must be a whole number of milliseconds from 1 to " + std::to_string(maximum) + ".";
}

std::string_view waitingForScript() {
    return "Waiting for FileMaker to run the script";
}

std::string_view waitingForApproval() {
    return "Waiting for the user to approve this session in Lumenbox";
}

std::string_view waitingForPong() {
    return "Waiting for the file's page to answer";
}

std::string clientDescription(std::string_view name, std::string_view version) {
    std::string text = "An MCP client that says it is " + std::string(name);
    if (!version.empty()) text += " " + std::string(version);
    return text + ".";
}

std::string cutNote(std::size_t limit, std::size_t fullLength) {
    return "\n[Lumenbox cut this text at " + std::to_string(limit) + " of " + std::to_string(fullLength) +
           " characters; structuredContent holds the whole result.]";
}

}  // namespace text

}  // namespace Lumenbox::mcp
