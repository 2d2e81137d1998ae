#include "support/BridgeFixture.h"

namespace Lumenbox::testing {
namespace {

class LoopbackPolicyRoutes : public BridgeFixture {
protected:
    HttpReply rawGet(const std::string& target, const std::string& headerLines) {
        HttpClient client(port());
        client.sendRaw("GET " + target + " HTTP/1.1\r\n" + headerLines + "\r\n");
        return client.readReply();
    }

    static std::string upgradeHeaders(const std::string& host, const std::string& origin) {
        return "Host: " + host + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" + (origin.empty() ? "" : "Origin: " + origin + "\r\n");
    }
};

TEST_F(LoopbackPolicyRoutes, ARequestNamingAForeignHostIsRefusedBeforeAnyRoute) {
    auto reply = rawGet("/health", "Host: attacker.example:1365\r\n");
    expectJsonReply(reply, "403 Forbidden", R"({"error":"Host not allowed."})");
    EXPECT_EQ(rawGet("/health", "").body, R"({"error":"Host not allowed."})") << "a request without Host";
    EXPECT_EQ(rawGet("/nope", "Host: localhost.\r\n").statusLine, "403 Forbidden") << "refused before the 404";
}

TEST_F(LoopbackPolicyRoutes, ACrossSiteScriptCallIsRefusedAndNeverReachesTheWebviewer) {
    auto webviewer = connectWebviewer("Invoices");
    HttpClient client(port());
    auto reply = client.post("/callScript", R"({"connectedFileName":"Invoices","scriptName":"Delete everything"})",
                             {{"Origin", "https://attacker.example"}, {"Content-Type", "text/plain"}});
    EXPECT_EQ(reply.statusLine, "403 Forbidden");
    EXPECT_EQ(reply.body, R"({"error":"Origin not allowed."})");
    EXPECT_TRUE(webviewer->quiet());
    EXPECT_EQ(client.post("/callScript", "{}", {{"Origin", "null"}}).statusLine, "403 Forbidden");
}

TEST_F(LoopbackPolicyRoutes, LocalPagesAndClientsWithoutOriginAreServed) {
    EXPECT_EQ(rawGet("/health", "Host: localhost:1365\r\nOrigin: http://localhost:5173\r\n").status, 200);
    EXPECT_EQ(rawGet("/health", "Host: [::1]:1365\r\n").status, 200);
    EXPECT_EQ(rawGet("/health", "Host: 127.0.0.1\r\nOrigin: https://127.0.0.1:8443\r\n").status, 200);
}

TEST_F(LoopbackPolicyRoutes, AWebSocketUpgradeFromAForeignOriginOrHostGetsTheSameRefusal) {
    auto fromPage = rawGet("/ws", upgradeHeaders("127.0.0.1:1365", "https://attacker.example"));
    EXPECT_EQ(fromPage.statusLine, "403 Forbidden");
    EXPECT_EQ(fromPage.body, R"({"error":"Origin not allowed."})");
    auto rebound = rawGet("/ws", upgradeHeaders("attacker.example", ""));
    EXPECT_EQ(rebound.body, R"({"error":"Host not allowed."})");
    EXPECT_EQ(rawGet("/ws", upgradeHeaders("127.0.0.1:1365", "http://127.0.0.1:1365")).status, 101);
    EXPECT_EQ(httpGet(port(), "/connectedFiles").body, "[]");
}

}  // namespace
}  // namespace Lumenbox::testing
