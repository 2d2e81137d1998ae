#include "support/BridgeFixture.h"

namespace Lumenbox::testing {
namespace {

using LoopbackPolicy = BridgeFixture;

// Foreign hosts (DNS rebinding) and foreign origins (cross-site pages) are refused before any
// route, the WebSocket upgrade included; local pages and clients without Origin are served.
TEST_F(LoopbackPolicy, RequestsFromForeignHostsOrOriginsAreRefusedBeforeAnyRoute) {
    auto webviewer = connectWebviewer("Invoices");
    const std::string upgrade = "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    const std::string call = R"({"connectedFileName":"Invoices","scriptName":"Delete everything"})";
    const std::string postCall = "POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(call.size()) + "\r\n";
    const std::string host = R"({"error":"Host not allowed."})", origin = R"({"error":"Origin not allowed."})";
    const std::tuple<std::string, const char*, std::string> cases[] = {
        {"GET /health HTTP/1.1\r\nHost: attacker.example:1365\r\n", "403 Forbidden", host},
        {"GET /nope HTTP/1.1\r\n", "403 Forbidden", host},  // no Host at all, and before the 404
        {postCall + "Origin: https://attacker.example\r\n", "403 Forbidden", origin},
        {postCall + "Origin: null\r\n", "403 Forbidden", origin},
        {"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:1365\r\nOrigin: https://attacker.example\r\n" + upgrade, "403 Forbidden", origin},
        {"GET /ws HTTP/1.1\r\nHost: attacker.example\r\n" + upgrade, "403 Forbidden", host},
        {"GET /health HTTP/1.1\r\nHost: localhost:1365\r\nOrigin: http://localhost:5173\r\n", "200 OK", ""},
        {"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:1365\r\nOrigin: http://127.0.0.1:1365\r\n" + upgrade, "101 Switching Protocols", ""},
    };
    for (const auto& [head, statusLine, body] : cases) {
        HttpClient client(port());
        client.sendRaw(head + "\r\n" + (head.starts_with("POST") ? call : ""));
        auto reply = client.readReply();
        EXPECT_EQ(std::make_tuple(reply.statusLine, body.empty() ? "" : reply.body), std::make_tuple(statusLine, body)) << head;
    }
    EXPECT_TRUE(webviewer->quiet());
}

}  // namespace
}  // namespace Lumenbox::testing
