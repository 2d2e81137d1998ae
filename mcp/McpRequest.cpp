#include "mcp/McpRequest.h"

#include <algorithm>
#include <cctype>

#include "base/Text.h"
#include "server/json/JsonText.h"

namespace Lumenbox::mcp {

namespace {

constexpr std::string_view kMetaVersion = "io.modelcontextprotocol/protocolVersion";
constexpr std::string_view kMetaCapabilities = "io.modelcontextprotocol/clientCapabilities";

std::string lowered(std::string_view text) {
    std::string out(trimAsciiWhitespace(text));
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

// The media type of a header value, without parameters, trimmed and in lower case.
std::string mediaTypeOf(std::string_view value) {
    return lowered(value.substr(0, value.find(';')));
}

// A media range with "q=0" is one the client refuses.
bool refusedByQuality(std::string_view range) {
    for (std::size_t semicolon = range.find(';'); semicolon != std::string_view::npos;
         semicolon = range.find(';', semicolon + 1)) {
        std::string parameter = lowered(range.substr(semicolon + 1, range.find(';', semicolon + 1) - semicolon - 1));
        if (parameter.rfind("q=", 0) == 0) return parameter.find_first_not_of("0.", 2) == std::string::npos;
    }
    return false;
}

void readAccept(const std::optional<std::string>& accept, PostDecision& decision) {
    if (!accept || trimAsciiWhitespace(*accept).empty()) return;  // no preference: JSON
    decision.allowsJson = decision.allowsEventStream = false;
    std::string_view rest = *accept;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        std::string_view range = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (refusedByQuality(range)) continue;
        const std::string type = mediaTypeOf(range);
        const bool any = type == "*/*";
        decision.allowsJson |= any || type == "application/json" || type == "application/*";
        decision.allowsEventStream |= any || type == "text/event-stream" || type == "text/*";
    }
}

// A version as the protocol writes them: YYYY-MM-DD.
bool looksLikeVersion(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return c == '-' || (c >= '0' && c <= '9'); });
}

const nlohmann::json* memberOf(const nlohmann::json& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

const nlohmann::json* metaOf(const nlohmann::json& message) {
    const nlohmann::json* params = memberOf(message, "params");
    return params ? memberOf(*params, "_meta") : nullptr;
}

PostDecision refuse(PostDecision decision, McpError error, std::string detail = {}) {
    decision.kind = PostDecision::Kind::Refused;
    decision.error = error;
    decision.detail = std::move(detail);
    return decision;
}

// One JSON-RPC 2.0 message: a request or notification (a string method, an id that is a string or
// an integer when present), or a response (an id and a result or an error).
bool isValidMessage(const nlohmann::json& message) {
    auto version = message.find("jsonrpc");
    if (version == message.end() || *version != "2.0") return false;
    auto id = message.find("id");
    const bool hasId = id != message.end();
    if (hasId && !id->is_string() && !id->is_number_integer()) return false;
    auto method = message.find("method");
    if (method != message.end()) {
        auto params = message.find("params");
        return method->is_string() && (params == message.end() || params->is_object() || params->is_array());
    }
    return hasId && (message.contains("result") || message.contains("error"));
}

PostDecision checkModern(PostDecision decision, const PostHeaders& headers) {
    const nlohmann::json& message = decision.message;
    if (!message.contains("method")) {  // a client's response: nothing to check, nothing to answer
        decision.kind = PostDecision::Kind::Modern;
        return decision;
    }
    const std::string method = message.value("method", "");
    const nlohmann::json* meta = metaOf(message);
    const nlohmann::json* version = meta ? memberOf(*meta, kMetaVersion) : nullptr;
    // The headers first: they must say what the body says.
    if (!headers.method || *headers.method != method) {
        return refuse(std::move(decision), McpError::HeaderMismatch, "Mcp-Method does not match the method");
    }
    if (!headers.protocolVersion || (version && *version != *headers.protocolVersion)) {
        return refuse(std::move(decision), McpError::HeaderMismatch,
                      "MCP-Protocol-Version does not match params._meta");
    }
    if (method == "tools/call") {
        const nlohmann::json* name = memberOf(message["params"], "name");
        const auto headerName = headers.name ? decodeHeaderValue(*headers.name) : std::nullopt;
        if (!headerName || !name || !name->is_string() || *name != *headerName) {
            return refuse(std::move(decision), McpError::HeaderMismatch, "Mcp-Name does not match the tool name");
        }
    }
    // Then _meta, then the version itself.
    const nlohmann::json* capabilities = meta ? memberOf(*meta, kMetaCapabilities) : nullptr;
    if (!version || !version->is_string() || !capabilities || !capabilities->is_object()) {
        return refuse(std::move(decision), McpError::MissingMeta,
                      "params._meta must carry io.modelcontextprotocol/protocolVersion and io.modelcontextprotocol/clientCapabilities");
    }
    if (*version != kModernVersion) {
        decision.data = {{"supported", {kModernVersion}}, {"requested", *version}};
        return refuse(std::move(decision), McpError::UnsupportedVersion);
    }
    decision.kind = PostDecision::Kind::Modern;
    return decision;
}

}  // namespace

PostDecision decidePost(const PostHeaders& headers, std::string_view body) {
    PostDecision decision;
    decision.id = nullptr;
    if (!headers.contentType || mediaTypeOf(*headers.contentType) != "application/json") {
        return refuse(std::move(decision), McpError::UnsupportedMediaType);
    }
    readAccept(headers.accept, decision);
    if (!decision.allowsJson && !decision.allowsEventStream) return refuse(std::move(decision), McpError::NotAcceptable);

    // A tool's data is handed on as the agent wrote it, as POST /callScript does, so it is
    // written out while the body is read rather than built into the tree.
    auto parsed = json::parseStrictCapturing(body, {"params", "arguments", "data"}, decision.argumentsData);
    if (!parsed) return refuse(std::move(decision), McpError::ParseError);
    if (!parsed->is_object()) return refuse(std::move(decision), McpError::InvalidRequest);
    decision.message = std::move(*parsed);
    const nlohmann::json& message = decision.message;
    if (auto id = message.find("id"); id != message.end() && (id->is_string() || id->is_number_integer())) {
        decision.id = *id;
    }
    if (!isValidMessage(message)) return refuse(std::move(decision), McpError::InvalidRequest);
    decision.isRequest = message.contains("method") && message.contains("id");

    // A header value that is no version at all is a session client's mistake, refused as such
    // below; one that names a version other than the session-based ones is the stateless kind.
    const nlohmann::json* meta = metaOf(message);
    const bool headerNamesModern = headers.protocolVersion && looksLikeVersion(*headers.protocolVersion) &&
                                   !isLegacyVersion(*headers.protocolVersion);
    if ((meta && memberOf(*meta, kMetaVersion)) || headerNamesModern) return checkModern(std::move(decision), headers);

    decision.legacyError = true;
    if (headers.protocolVersion && !isLegacyVersion(*headers.protocolVersion)) {
        return refuse(std::move(decision), McpError::BadVersionHeader, *headers.protocolVersion);
    }
    if (headers.sessionId) {
        decision.kind = PostDecision::Kind::Session;
        return decision;
    }
    if (message.value("method", "") == "initialize" && decision.isRequest) {
        decision.kind = PostDecision::Kind::Handshake;
        return decision;
    }
    return refuse(std::move(decision), McpError::SessionRequired);
}

std::optional<std::string> decodeHeaderValue(std::string_view value) {
    constexpr std::string_view kPrefix = "=?base64?";
    constexpr std::string_view kSuffix = "?=";
    if (value.size() < kPrefix.size() + kSuffix.size() || value.substr(0, kPrefix.size()) != kPrefix ||
        value.substr(value.size() - kSuffix.size()) != kSuffix) {
        return std::string(value);
    }
    std::string_view encoded = value.substr(kPrefix.size(), value.size() - kPrefix.size() - kSuffix.size());
    std::string decoded;
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : encoded) {
        int digit;
        if (c >= 'A' && c <= 'Z') digit = c - 'A';
        else if (c >= 'a' && c <= 'z') digit = c - 'a' + 26;
        else if (c >= '0' && c <= '9') digit = c - '0' + 52;
        else if (c == '+') digit = 62;
        else if (c == '/') digit = 63;
        else if (c == '=') break;
        else return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(digit);
        count += 6;
        if (count >= 8) {
            count -= 8;
            decoded.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return decoded;
}

nlohmann::json progressTokenOf(const nlohmann::json& message) {
    const nlohmann::json* meta = metaOf(message);
    const nlohmann::json* token = meta ? memberOf(*meta, "progressToken") : nullptr;
    if (token && (token->is_string() || token->is_number_integer())) return *token;
    return nullptr;
}

}  // namespace Lumenbox::mcp
