#include "support/BridgeFixture.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {
namespace {

constexpr const char* kRevoked = R"({"status":"revoked"})";
constexpr const char* kInvalidJson = R"({"error":"Invalid JSON body."})";

using SessionRoutes = BridgeFixture;

TEST_F(SessionRoutes, ListingShowsSessionsInIdOrderAndSecretsOnlyByPrefixes) {
    expectJsonReply(httpGet(port(), "/sessions"), "200 OK", R"({"enhancedSecurityEnabled":false,"persistentTokens":[],"sessions":[],"sharedTokens":[]})");
    setEnhancedSecurityEnabled(true);
    store_.approve("zz-session-with-a-long-id", "Invoices", "agent-one", 600);
    store_.approve("zz-session-with-a-long-id", "Contacts", "agent-one", 600);
    store_.approve("short", "Invoices", "", 60);
    store_.registerSharedToken("secret-token-value", "Invoices");
    auto body = httpGet(port(), "/sessions").json();
    auto second = body["sessions"][1];
    EXPECT_GE(second["idleRemainingSeconds"].get<std::int64_t>(), 590);
    second.erase("idleRemainingSeconds");
    EXPECT_EQ(second.dump(), R"({"files":["Contacts","Invoices"],"idleTimeoutSeconds":600,"serviceName":"agent-one","sessionIdPrefix":"zz-sessi"})");
    EXPECT_EQ(std::make_tuple(body["enhancedSecurityEnabled"], body["sessions"][0]["sessionIdPrefix"], body["sessions"][0]["serviceName"]),
              std::make_tuple(true, "sh", "lumenbox-mcp"));
    const std::string tokens = R"([{"files":["Invoices"],"tokenPrefix":"secret-t"}])";
    EXPECT_EQ(std::make_tuple(body["persistentTokens"].dump(), body["sharedTokens"].dump()), std::make_tuple(tokens, tokens));
}

TEST_F(SessionRoutes, SessionsAndTokensAreRevokedByIdOrUnambiguousPrefixAndUnreadableBodiesAreRefused) {
    for (const char* id : {"5d41402a-aaaa-0001", "5d41402a-bbbb-0002", "one"}) store_.approve(id, "Invoices", "agent", 600);
    for (const char* token : {"abcdefgh-1111", "abcdefgh-2222"}) store_.registerSharedToken(token, "Invoices");
    const std::string missing = R"({"error":"Missing sessionId or sessionIdPrefix."})";
    const std::tuple<const char*, std::string, const char*, std::string> cases[] = {
        {"/sessions/revoke", "{}", "400 Bad Request", missing},
        {"/sessions/revoke", R"({"sessionId":"\t","sessionIdPrefix":" "})", "400 Bad Request", missing},
        {"/sessions/revoke", R"({"sessionIdPrefix":1})", "400 Bad Request", kInvalidJson},
        {"/sessions/revoke", R"({"sessionId":["one"]})", "400 Bad Request", kInvalidJson},
        {"/sessions/revoke", "[]", "400 Bad Request", kInvalidJson},
        {"/sessions/revoke", R"({"sessionIdPrefix":"5d41402a"})", "409 Conflict", R"({"error":"Session prefix is ambiguous."})"},
        {"/sessions/revoke", R"({"sessionIdPrefix":"0000"})", "404 Not Found", R"({"error":"Session not found."})"},
        {"/tokens/revoke", R"({"tokenPrefix":{}})", "400 Bad Request", kInvalidJson},
        {"/tokens/revoke", R"({"sessionId":"one")", "400 Bad Request", kInvalidJson},
        {"/tokens/revoke", R"({"tokenPrefix":""})", "404 Not Found", R"({"error":"Token not found."})"},
        {"/tokens/revoke", R"({"tokenPrefix":"abcdefgh"})", "409 Conflict", R"({"error":"Token prefix is ambiguous."})"},
        {"/sessions/revoke", R"({"sessionIdPrefix":"5d41402a-b"})", "200 OK", kRevoked},
        {"/sessions/revoke", R"({"sessionId":"never-approved"})", "200 OK", kRevoked},  // an unknown id is no error
        {"/tokens/revoke", R"({"tokenPrefix":"abcdefgh-2"})", "200 OK", kRevoked},
        {"/sessions/revokeAll", "not json at all", "200 OK", kRevoked},  // every session, but no token
    };
    for (const auto& [route, body, status, expected] : cases) expectJsonReply(httpPost(port(), route, body), status, expected);
    EXPECT_TRUE(store_.listSessions().empty());
    EXPECT_EQ(store_.listSharedTokens().size(), 1u);
    EXPECT_TRUE(store_.isAuthorized("abcdefgh-1111", "Invoices", false));
}

TEST_F(SessionRoutes, BodyArrivingInPiecesIsReadWhole) {
    store_.approve("one", "Invoices", "agent", 600);
    HttpClient client(port());
    client.sendRaw("POST /sessions/revoke HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 19\r\n\r\n{\"sessionId\"");
    client.sendRaw(":\"one\"}");
    EXPECT_EQ(client.readReply().body, kRevoked);
    EXPECT_TRUE(store_.listSessions().empty());
}

}  // namespace
}  // namespace Lumenbox::testing
