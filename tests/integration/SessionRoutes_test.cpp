#include "support/BridgeFixture.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {
namespace {

constexpr const char* kRevoked = R"({"status":"revoked"})";
constexpr const char* kInvalidJson = R"({"error":"Invalid JSON body."})";
constexpr const char* kTokenNotFound = R"({"error":"Token not found."})";

class SessionRoutes : public BridgeFixture {
protected:
    nlohmann::json listing() {
        auto reply = httpGet(port(), "/sessions");
        EXPECT_EQ(reply.statusLine, "200 OK");
        EXPECT_EQ(reply.headers["content-type"], "application/json");
        return reply.json();
    }

    std::vector<std::string> tokenPrefixes() {
        std::vector<std::string> prefixes;
        for (const auto& token : store_.listSharedTokens()) prefixes.push_back(token.tokenPrefix);
        return prefixes;
    }
};

TEST_F(SessionRoutes, EmptyStoreIsListedWithAllFourKeys) {
    expectJsonReply(httpGet(port(), "/sessions"), "200 OK",
                R"({"enhancedSecurityEnabled":false,"persistentTokens":[],"sessions":[],"sharedTokens":[]})");
    setEnhancedSecurityEnabled(true);
    EXPECT_EQ(listing()["enhancedSecurityEnabled"], true);
}

TEST_F(SessionRoutes, ListingShowsSessionsInIdOrderAndBothOnlyByPrefixesOfAtMostHalf) {
    store_.approve("zz-session-with-a-long-id", "Invoices", "agent-one", 600);
    store_.approve("zz-session-with-a-long-id", "Contacts", "agent-one", 600);
    store_.approve("short", "Invoices", "", 60);
    store_.registerSharedToken("secret-token-value", "Invoices");
    store_.registerSharedToken("tok", "Contacts");

    auto body = listing();
    ASSERT_EQ(body["sessions"].size(), 2u);
    auto first = body["sessions"][0];
    EXPECT_FALSE(first.contains("sessionId"));
    EXPECT_EQ(first["sessionIdPrefix"], "sh");
    EXPECT_EQ(first["serviceName"], "lumenbox-mcp");
    EXPECT_EQ(first["idleTimeoutSeconds"], 60);
    auto second = body["sessions"][1];
    EXPECT_EQ(second["sessionIdPrefix"], "zz-sessi");
    EXPECT_EQ(second["serviceName"], "agent-one");
    EXPECT_EQ(second["files"], nlohmann::json({"Contacts", "Invoices"}));
    EXPECT_EQ(second["idleTimeoutSeconds"], 600);
    const auto remaining = second["idleRemainingSeconds"].get<std::int64_t>();
    EXPECT_LE(remaining, 600);
    EXPECT_GE(remaining, 590);
    // Exactly the five keys, in byte order.
    EXPECT_EQ(second.dump().substr(0, 9), R"({"files":)");
    EXPECT_EQ(second.size(), 5u);

    const nlohmann::json tokens = nlohmann::json::parse(
        R"([{"files":["Invoices"],"tokenPrefix":"secret-t"},{"files":["Contacts"],"tokenPrefix":"t"}])");
    EXPECT_EQ(body["persistentTokens"], tokens);
    EXPECT_EQ(body["sharedTokens"], tokens);
    const std::string text = httpGet(port(), "/sessions").body;
    for (const char* secret : {"secret-token-value", "zz-session-with-a-long-id", "short", "tok\""}) {
        EXPECT_EQ(text.find(secret), std::string::npos) << secret;
    }
}

TEST_F(SessionRoutes, RevokingASessionRemovesItAndAnUnknownIdIsNoError) {
    store_.approve("one", "Invoices", "agent", 600);
    store_.approve("two", "Invoices", "agent", 600);
    expectJsonReply(httpPost(port(), "/sessions/revoke", R"({"sessionId":"one"})"), "200 OK", kRevoked);
    EXPECT_FALSE(store_.isAuthorized("one", "Invoices", false));
    EXPECT_TRUE(store_.isAuthorized("two", "Invoices", false));

    expectJsonReply(httpPost(port(), "/sessions/revoke", R"({"sessionId":"never-approved"})"), "200 OK", kRevoked);
    EXPECT_TRUE(store_.isAuthorized("two", "Invoices", false));
}

TEST_F(SessionRoutes, SessionIsRevokedByAnUnambiguousPrefixAndABodyNamingNoneIsRefused) {
    store_.approve("5d41402a-aaaa-0001", "Invoices", "agent", 600);
    store_.approve("5d41402a-bbbb-0002", "Invoices", "agent", 600);
    store_.approve("9e107d9d-cccc-0003", "Invoices", "agent", 600);
    const std::string missing = R"({"error":"Missing sessionId or sessionIdPrefix."})";
    for (const char* body : {"{}", R"({"other":1})", R"({"sessionId":"  "})", R"({"sessionIdPrefix":""})",
                             R"({"sessionId":"\t","sessionIdPrefix":" "})"}) {
        expectJsonReply(httpPost(port(), "/sessions/revoke", body), "400 Bad Request", missing);
    }
    expectJsonReply(httpPost(port(), "/sessions/revoke", R"({"sessionIdPrefix":1})"), "400 Bad Request", kInvalidJson);
    expectJsonReply(httpPost(port(), "/sessions/revoke", R"({"sessionIdPrefix":"5d41402a"})"), "409 Conflict",
                    R"({"error":"Session prefix is ambiguous."})");
    expectJsonReply(httpPost(port(), "/sessions/revoke", R"({"sessionIdPrefix":"0000"})"), "404 Not Found",
                    R"({"error":"Session not found."})");
    EXPECT_EQ(store_.listSessions().size(), 3u);

    // What the listing shows is enough to revoke the session, and to revoke nothing else.
    const auto shown = listing()["sessions"][2]["sessionIdPrefix"].get<std::string>();
    expectJsonReply(httpPost(port(), "/sessions/revoke", nlohmann::json{{"sessionIdPrefix", shown}}.dump()), "200 OK",
                    kRevoked);
    expectJsonReply(httpPost(port(), "/sessions/revoke", R"({"sessionIdPrefix":"5d41402a-b"})"), "200 OK", kRevoked);
    EXPECT_TRUE(store_.isAuthorized("5d41402a-aaaa-0001", "Invoices", false));
    EXPECT_EQ(store_.listSessions().size(), 1u);
}

TEST_F(SessionRoutes, UnreadableBodiesAreRefusedAndTheServerKeepsRunning) {
    store_.approve("one", "Invoices", "agent", 600);
    store_.registerSharedToken("token-a", "Invoices");
    // Not JSON, cut off, not an object, or the key of another type: all alike.
    const std::vector<std::string> unreadable = {"", "{", R"({"sessionId":"one")", "not json", "[]", "null", "\"one\"", "42"};
    for (const auto& route : {"/sessions/revoke", "/tokens/revoke"}) {
        for (const auto& body : unreadable) {
            SCOPED_TRACE(std::string(route) + " " + body);
            expectJsonReply(httpPost(port(), route, body), "400 Bad Request", kInvalidJson);
        }
    }
    for (const char* body : {R"({"sessionId":1})", R"({"sessionId":null})", R"({"sessionId":["one"]})"}) {
        expectJsonReply(httpPost(port(), "/sessions/revoke", body), "400 Bad Request", kInvalidJson);
    }
    for (const char* body : {R"({"tokenPrefix":1})", R"({"tokenPrefix":{}})", R"({"tokenPrefix":true})"}) {
        expectJsonReply(httpPost(port(), "/tokens/revoke", body), "400 Bad Request", kInvalidJson);
    }
    EXPECT_TRUE(store_.isAuthorized("one", "Invoices", false));
    EXPECT_EQ(tokenPrefixes(), std::vector<std::string>{"tok"});
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
}

TEST_F(SessionRoutes, RevokeAllEndsEverySessionButKeepsTokens) {
    store_.approve("one", "Invoices", "agent", 600);
    store_.approve("two", "Contacts", "agent", 600);
    store_.registerSharedToken("token-a", "Invoices");
    // Whatever the body, it is not read.
    expectJsonReply(httpPost(port(), "/sessions/revokeAll", "not json at all"), "200 OK", kRevoked);
    auto body = listing();
    EXPECT_EQ(body["sessions"], nlohmann::json::array());
    EXPECT_EQ(body["persistentTokens"].size(), 1u);
    EXPECT_TRUE(store_.isAuthorized("token-a", "Invoices", false));
}

TEST_F(SessionRoutes, TokenIsRevokedByAnUnambiguousPrefix) {
    store_.registerSharedToken("abcdefgh-1111", "Invoices");
    store_.registerSharedToken("abcdefgh-2222", "Invoices");
    store_.registerSharedToken("zyxwvuts-3333", "Contacts");

    expectJsonReply(httpPost(port(), "/tokens/revoke", "{}"), "404 Not Found", kTokenNotFound);
    expectJsonReply(httpPost(port(), "/tokens/revoke", R"({"tokenPrefix":""})"), "404 Not Found", kTokenNotFound);
    expectJsonReply(httpPost(port(), "/tokens/revoke", R"({"tokenPrefix":"nothing"})"), "404 Not Found", kTokenNotFound);
    // The listed prefix of two tokens names neither.
    expectJsonReply(httpPost(port(), "/tokens/revoke", R"({"tokenPrefix":"abcdefgh"})"), "409 Conflict",
                R"({"error":"Token prefix is ambiguous."})");
    EXPECT_EQ(tokenPrefixes().size(), 3u);

    expectJsonReply(httpPost(port(), "/tokens/revoke", R"({"tokenPrefix":"zyxwvuts"})"), "200 OK", kRevoked);
    expectJsonReply(httpPost(port(), "/tokens/revoke", R"({"tokenPrefix":"abcdefgh-2"})"), "200 OK", kRevoked);
    EXPECT_EQ(tokenPrefixes(), std::vector<std::string>{"abcdef"});
    EXPECT_TRUE(store_.isAuthorized("abcdefgh-1111", "Invoices", false));
    EXPECT_FALSE(store_.isAuthorized("abcdefgh-2222", "Invoices", false));
}

TEST_F(SessionRoutes, BodyArrivingInPiecesIsReadWhole) {
    store_.approve("one", "Invoices", "agent", 600);
    HttpClient client(port());
    const std::string body = R"({"sessionId":"one"})";
    client.sendRaw("POST /sessions/revoke HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\n\r\n" + body.substr(0, 7));
    client.sendRaw(body.substr(7));
    auto reply = client.readReply();
    EXPECT_EQ(reply.body, kRevoked);
    EXPECT_FALSE(store_.isAuthorized("one", "Invoices", false));
}

}  // namespace
}  // namespace Lumenbox::testing
