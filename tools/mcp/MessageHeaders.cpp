#include "tools/mcp/MessageHeaders.h"

#include <algorithm>

namespace Lumenbox::mcpstdio {

namespace {

constexpr std::string_view kVersionKey = "io.modelcontextprotocol/protocolVersion";

const nlohmann::json* member(const nlohmann::json& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::string stringMember(const nlohmann::json& object, std::string_view key) {
    const auto* value = member(object, key);
    return value && value->is_string() ? value->get<std::string>() : std::string{};
}

// The parameter that names what a method acts on, for Mcp-Name.
std::string_view nameParameter(std::string_view method) {
    if (method == "tools/call" || method == "prompts/get") return "name";
    if (method == "resources/read") return "uri";
    return {};
}

}  // namespace

Routing routeMessage(const nlohmann::json& message, const LegacySession& session, const std::string& lumenboxSession) {
    Routing routing;
    if (!lumenboxSession.empty()) routing.headers["x-lumenbox-session"] = headerValue(lumenboxSession);
    const auto* params = member(message, "params");
    const auto* meta = params ? member(*params, "_meta") : nullptr;
    const std::string version = meta ? stringMember(*meta, kVersionKey) : std::string{};
    if (!version.empty()) {
        routing.modern = true;
        routing.headers["MCP-Protocol-Version"] = headerValue(version);
        const std::string method = stringMember(message, "method");
        if (!method.empty()) routing.headers["Mcp-Method"] = headerValue(method);
        if (const auto key = nameParameter(method); !key.empty()) {
            if (const auto* name = member(*params, key); name && name->is_string()) {
                routing.headers["Mcp-Name"] = headerValue(name->get<std::string>());
            }
        }
        return routing;
    }
    if (!session.id.empty()) routing.headers["Mcp-Session-Id"] = session.id;
    if (!session.protocolVersion.empty()) routing.headers["MCP-Protocol-Version"] = headerValue(session.protocolVersion);
    return routing;
}

std::string headerValue(std::string_view value) {
    const bool plain = std::all_of(value.begin(), value.end(), [](char c) { return c >= 0x20 && c <= 0x7e; }) &&
                       (value.empty() || (value.front() != ' ' && value.back() != ' ')) &&
                       !(value.starts_with("=?") && value.ends_with("?="));
    return plain ? std::string(value) : "=?base64?" + base64(value) + "?=";
}

std::string base64(std::string_view bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 3; ++j) {
            group = (group << 8) | (j < n ? static_cast<unsigned char>(bytes[i + j]) : 0u);
        }
        for (std::size_t j = 0; j < 4; ++j) {
            out += j <= n ? kAlphabet[(group >> (18 - 6 * j)) & 0x3f] : '=';
        }
    }
    return out;
}

}  // namespace Lumenbox::mcpstdio
