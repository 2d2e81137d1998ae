#include "support/BridgeFixture.h"

namespace Lumenbox::testing {
namespace {

using LoopbackPolicy = BridgeFixture;

// Foreign hosts (DNS rebinding) and foreign origins (cross-site pages) are refused before any
// route, the WebSocket upgrade included; local pages and clients without Origin are served.
TEST_F(LoopbackPolicy, RequestsFromForeignHostsOrOriginsAreRefusedBeforeAnyRoute) {
    auto webviewer = connectWebviewer("Invoices");
    const std::string upgrade = "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    const std::string call = R"({"connectedFileName":"Invoices","scriptName":"Delete everything"})";
    const std::string postCall = "POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\nContent-Length: " +
                                 std::to_string(call.size()) + "\r\n";
    const std::string hostRefused = R"({"error":"Host not allowed."})";
    const std::string originRefused = R"({"error":"Origin not allowed."})";
    const std::tuple<std::string, const char*, std::string> cases[] = {
        {"GET /health HTTP/1.1\r\nHost: attacker.example:1365\r\n", "403 Forbidden", hostRefused},
        {"GET /health HTTP/1.1\r\n", "403 Forbidden", hostRefused},  // no Host at all
        {"GET /nope HTTP/1.1\r\nHost: localhost.\r\n", "403 Forbidden", hostRefused},  // before the 404
        {postCall + "Origin: https://attacker.example\r\n", "403 Forbidden", originRefused},
        {postCall + "Origin: null\r\n", "403 Forbidden", originRefused},
        {"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:1365\r\nOrigin: https://attacker.example\r\n" + upgrade, "403 Forbidden", originRefused},
        {"GET /ws HTTP/1.1\r\nHost: attacker.example\r\n" + upgrade, "403 Forbidden", hostRefused},
        {"GET /health HTTP/1.1\r\nHost: localhost:1365\r\nOrigin: http://localhost:5173\r\n", "200 OK", ""},
        {"GET /health HTTP/1.1\r\nHost: [::1]:1365\r\n", "200 OK", ""},
        {"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://127.0.0.1:8443\r\n", "200 OK", ""},
        {"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:1365\r\nOrigin: http://127.0.0.1:1365\r\n" + upgrade, "101 Switching Protocols", ""},
    };
    for (const auto& [head, statusLine, body] : cases) {
        SCOPED_TRACE(head);
        HttpClient client(port());
        client.sendRaw(head + "\r\n" + (head.rfind("POST", 0) == 0 ? call : ""));
        auto reply = client.readReply();
        if (body.empty()) {
            EXPECT_EQ(reply.statusLine, statusLine);
        } else {
            expectJsonReply(reply, statusLine, body);
        }
    }
    EXPECT_TRUE(webviewer->quiet());
    EXPECT_EQ(httpGet(port(), "/connectedFiles").body, R"(["Invoices"])");
}

}  // namespace
}  // namespace Lumenbox::testing
