#include "support/BridgeFixture.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {
namespace {

constexpr const char* kRevoked = R"({"status":"revoked"})";
constexpr const char* kInvalidJson = R"({"error":"Invalid JSON body."})";
constexpr const char* kTokenNotFound = R"({"error":"Token not found."})";

class SessionRoutes : public BridgeFixture {
protected:
    std::vector<std::string> tokenPrefixes() {
        std::vector<std::string> prefixes;
        for (const auto& token : store_.listSharedTokens()) prefixes.push_back(token.tokenPrefix);
        return prefixes;
    }
    std::vector<std::string> sessionIds() {
        std::vector<std::string> ids;
        for (const auto& session : store_.listSessions()) ids.push_back(session.sessionId);
        return ids;
    }
};

TEST_F(SessionRoutes, ListingShowsSessionsInIdOrderAndSecretsOnlyByPrefixesOfAtMostHalf) {
    expectJsonReply(httpGet(port(), "/sessions"), "200 OK",
                    R"({"enhancedSecurityEnabled":false,"persistentTokens":[],"sessions":[],"sharedTokens":[]})");
    setEnhancedSecurityEnabled(true);
    store_.approve("zz-session-with-a-long-id", "Invoices", "agent-one", 600);
    store_.approve("zz-session-with-a-long-id", "Contacts", "agent-one", 600);
    store_.approve("short", "Invoices", "", 60);
    store_.registerSharedToken("secret-token-value", "Invoices");
    store_.registerSharedToken("tok", "Contacts");

    auto reply = httpGet(port(), "/sessions");
    auto body = reply.json();
    EXPECT_EQ(body["enhancedSecurityEnabled"], true);
    auto second = body["sessions"][1];
    const auto remaining = second["idleRemainingSeconds"].get<std::int64_t>();
    EXPECT_LE(remaining, 600);
    EXPECT_GE(remaining, 590);
    second.erase("idleRemainingSeconds");
    EXPECT_EQ(second.dump(), R"({"files":["Contacts","Invoices"],"idleTimeoutSeconds":600,"serviceName":"agent-one","sessionIdPrefix":"zz-sessi"})");
    EXPECT_EQ(body["sessions"][0]["sessionIdPrefix"], "sh");
    EXPECT_EQ(body["sessions"][0]["serviceName"], "lumenbox-mcp");
    const std::string tokens = R"([{"files":["Invoices"],"tokenPrefix":"secret-t"},{"files":["Contacts"],"tokenPrefix":"t"}])";
    EXPECT_EQ(body["persistentTokens"].dump(), tokens);
    EXPECT_EQ(body["sharedTokens"].dump(), tokens);
    for (const char* secret : {"secret-token-value", "zz-session-with-a-long-id", "short", "tok\""}) {
        EXPECT_EQ(reply.body.find(secret), std::string::npos) << secret;
    }
}

TEST_F(SessionRoutes, SessionsAndTokensAreRevokedByIdOrUnambiguousPrefixAndUnreadableBodiesAreRefused) {
    for (const char* id : {"5d41402a-aaaa-0001", "5d41402a-bbbb-0002", "9e107d9d-cccc-0003", "one"}) {
        store_.approve(id, "Invoices", "agent", 600);
    }
    for (const char* token : {"abcdefgh-1111", "abcdefgh-2222", "zyxwvuts-3333"}) store_.registerSharedToken(token, "Invoices");
    const std::string missing = R"({"error":"Missing sessionId or sessionIdPrefix."})";
    const std::tuple<const char*, std::string, const char*, std::string> refused[] = {
        {"/sessions/revoke", "{}", "400 Bad Request", missing},
        {"/sessions/revoke", R"({"other":1})", "400 Bad Request", missing},
        {"/sessions/revoke", R"({"sessionId":"  "})", "400 Bad Request", missing},
        {"/sessions/revoke", R"({"sessionIdPrefix":""})", "400 Bad Request", missing},
        {"/sessions/revoke", R"({"sessionId":"\t","sessionIdPrefix":" "})", "400 Bad Request", missing},
        {"/sessions/revoke", R"({"sessionIdPrefix":1})", "400 Bad Request", kInvalidJson},
        {"/sessions/revoke", R"({"sessionId":1})", "400 Bad Request", kInvalidJson},
        {"/sessions/revoke", R"({"sessionId":null})", "400 Bad Request", kInvalidJson},
        {"/sessions/revoke", R"({"sessionId":["one"]})", "400 Bad Request", kInvalidJson},
        {"/sessions/revoke", R"({"sessionIdPrefix":"5d41402a"})", "409 Conflict", R"({"error":"Session prefix is ambiguous."})"},
        {"/sessions/revoke", R"({"sessionIdPrefix":"0000"})", "404 Not Found", R"({"error":"Session not found."})"},
        {"/tokens/revoke", R"({"tokenPrefix":1})", "400 Bad Request", kInvalidJson},
        {"/tokens/revoke", R"({"tokenPrefix":{}})", "400 Bad Request", kInvalidJson},
        {"/tokens/revoke", R"({"tokenPrefix":true})", "400 Bad Request", kInvalidJson},
        {"/tokens/revoke", "{}", "404 Not Found", kTokenNotFound},
        {"/tokens/revoke", R"({"tokenPrefix":""})", "404 Not Found", kTokenNotFound},
        {"/tokens/revoke", R"({"tokenPrefix":"nothing"})", "404 Not Found", kTokenNotFound},
        // The listed prefix of two tokens names neither.
        {"/tokens/revoke", R"({"tokenPrefix":"abcdefgh"})", "409 Conflict", R"({"error":"Token prefix is ambiguous."})"},
    };
    std::vector<std::tuple<const char*, std::string, const char*, std::string>> cases(std::begin(refused), std::end(refused));
    // Not JSON, cut off, not an object: all alike.
    for (const char* route : {"/sessions/revoke", "/tokens/revoke"}) {
        for (const char* body : {"", "{", R"({"sessionId":"one")", "not json", "[]", "null", "\"one\"", "42"}) {
            cases.emplace_back(route, body, "400 Bad Request", kInvalidJson);
        }
    }
    for (const auto& [route, body, status, expected] : cases) {
        SCOPED_TRACE(std::string(route) + " " + body);
        expectJsonReply(httpPost(port(), route, body), status, expected);
    }
    EXPECT_EQ(sessionIds().size(), 4u);
    EXPECT_EQ(tokenPrefixes().size(), 3u);

    // What the listing shows is enough to revoke one, and nothing else; an unknown id is no error.
    const auto shown = httpGet(port(), "/sessions").json()["sessions"][2]["sessionIdPrefix"].get<std::string>();
    for (const auto& [route, body] : std::vector<std::pair<const char*, std::string>>{
             {"/sessions/revoke", nlohmann::json{{"sessionIdPrefix", shown}}.dump()},
             {"/sessions/revoke", R"({"sessionIdPrefix":"5d41402a-b"})"},
             {"/sessions/revoke", R"({"sessionId":"one"})"},
             {"/sessions/revoke", R"({"sessionId":"never-approved"})"},
             {"/tokens/revoke", R"({"tokenPrefix":"zyxwvuts"})"},
             {"/tokens/revoke", R"({"tokenPrefix":"abcdefgh-2"})"}}) {
        expectJsonReply(httpPost(port(), route, body), "200 OK", kRevoked);
    }
    EXPECT_EQ(sessionIds(), std::vector<std::string>{"5d41402a-aaaa-0001"});
    EXPECT_EQ(tokenPrefixes(), std::vector<std::string>{"abcdef"});
    EXPECT_TRUE(store_.isAuthorized("abcdefgh-1111", "Invoices", false));
}

TEST_F(SessionRoutes, RevokeAllEndsEverySessionButKeepsTokensWhateverTheBody) {
    store_.approve("one", "Invoices", "agent", 600);
    store_.approve("two", "Contacts", "agent", 600);
    store_.registerSharedToken("token-a", "Invoices");
    expectJsonReply(httpPost(port(), "/sessions/revokeAll", "not json at all"), "200 OK", kRevoked);
    EXPECT_TRUE(store_.listSessions().empty());
    EXPECT_TRUE(store_.isAuthorized("token-a", "Invoices", false));
}

TEST_F(SessionRoutes, BodyArrivingInPiecesIsReadWhole) {
    store_.approve("one", "Invoices", "agent", 600);
    HttpClient client(port());
    const std::string body = R"({"sessionId":"one"})";
    client.sendRaw("POST /sessions/revoke HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\n\r\n" + body.substr(0, 7));
    client.sendRaw(body.substr(7));
    EXPECT_EQ(client.readReply().body, kRevoked);
    EXPECT_TRUE(store_.listSessions().empty());
}

}  // namespace
}  // namespace Lumenbox::testing
