// POST and DELETE /mcp with fuzzed headers and body, sent to a real bridge. The first byte picks
// the Content-Type, Accept and MCP-Protocol-Version headers and whether a live session, an
// unknown one or none is named; the second, which header gets the bytes up to the first newline
// (Mcp-Method, Mcp-Name, Accept, x-lumenbox-session or Mcp-Session-Id) and whether to DELETE;
// the rest is the body. The bridge's web viewer holds every script call and ping, so a held
// request ends by its client going away, as a cancelled stream does.
#include <string_view>

#include "fuzz/FuzzBridge.h"

namespace {

using Lumenbox::fuzz::FuzzBridge;

constexpr const char* kInitialize =
    R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},)"
    R"("clientInfo":{"name":"fuzz","version":"1"}}})";

// A live legacy session, opened afresh now and then: fuzzed initializes and DELETEs may end it.
const std::string& liveSession() {
    static std::string session;
    static std::size_t uses = 0;
    if (session.empty() || ++uses % 32 == 0) {
        const std::string reply = FuzzBridge::instance().exchange(Lumenbox::fuzz::httpRequest(
            "POST", "/mcp", "Content-Type: application/json\r\n", kInitialize));
        constexpr std::string_view kHeader = "Mcp-Session-Id: ";
        const std::size_t at = reply.find(kHeader);
        session = at == std::string::npos ? "none" : reply.substr(at + kHeader.size(), reply.find('\r', at) - at - kHeader.size());
    }
    return session;
}

// A header value keeps its bytes but may not end the head early.
std::string headerSafe(std::string_view bytes) {
    std::string out;
    for (char c : bytes) out += (c == '\r' || c == '\n' || c == '\0') ? ' ' : c;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* const kContentTypes[] = {"application/json", "Application/JSON; charset=utf-8", "text/plain", nullptr};
    static const char* const kAccepts[] = {nullptr, "application/json, text/event-stream", "text/event-stream", "text/html"};
    static const char* const kVersions[] = {nullptr, "2025-06-18", "2026-07-28", "2099-01-01"};
    static const char* const kFuzzedHeaders[] = {"Mcp-Method", "Mcp-Name", "Accept", "x-lumenbox-session", "Mcp-Session-Id"};
    if (size < 2) return 0;
    const std::uint8_t flags = data[0];
    const std::uint8_t choice = data[1];
    const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::size_t newline = rest.find('\n');
    const std::string value = headerSafe(rest.substr(0, newline == std::string_view::npos ? 0 : newline));
    const std::string body(newline == std::string_view::npos ? rest : rest.substr(newline + 1));

    std::string headers;
    if (const char* type = kContentTypes[flags & 3]) headers += std::string("Content-Type: ") + type + "\r\n";
    if (const char* accept = kAccepts[(flags >> 2) & 3]) headers += std::string("Accept: ") + accept + "\r\n";
    if (const char* version = kVersions[(flags >> 4) & 3]) headers += std::string("MCP-Protocol-Version: ") + version + "\r\n";
    if (flags & 64) headers += "Mcp-Session-Id: " + liveSession() + "\r\n";
    else if (flags & 128) headers += "Mcp-Session-Id: 0123456789abcdef0123456789abcdef\r\n";
    if (!value.empty()) headers += std::string(kFuzzedHeaders[choice % 5]) + ": " + value + "\r\n";
    const char* method = (choice & 0xF0) == 0xF0 ? "DELETE" : "POST";
    FuzzBridge::instance().exchange(Lumenbox::fuzz::httpRequest(method, "/mcp", headers, body));
    return 0;
}
