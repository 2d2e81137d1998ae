#include <regex>

#include "support/BridgeFixture.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {
namespace {

constexpr const char* kInvalidJson = R"({"error":"Invalid JSON body."})";
constexpr const char* kInvalidPayload = R"({"error":"Invalid payload. Expected { connectedFileName, scriptName, data }."})";
// Deep enough to overflow the server thread's stack if such a value were ever built and written
// again (the sanitizer's larger frames need fewer levels).
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kOverflowingDepth = 10000;
#else
constexpr std::size_t kOverflowingDepth = 100000;
#endif
constexpr const char* kCallTarget = "/callScript?timeout=10000";  // ends a failing test in good time

std::string callBody(const std::string& scriptName, const std::string& dataJson = "null", const std::string& fileName = "Invoices") {
    return R"({"connectedFileName":)" + nlohmann::json(fileName).dump() + R"(,"scriptName":)" + nlohmann::json(scriptName).dump() + R"(,"data":)" + dataJson + "}";
}
std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

using CallScript = BridgeFixture;
using clients::Headers;

TEST_F(CallScript, RequestsAreRefusedTimeLimitFirstThenBodyThenFileWhateverTheSession) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);  // the body and the file are judged before any authorization
    const std::tuple<std::string, std::string, const char*, std::string> cases[] = {
        {"?timeout=0", "not json", "400 Bad Request", R"({"error":"Invalid timeout query parameter. Expected positive integer milliseconds."})"},
        {"?timeout=2147483648", "not json", "400 Bad Request", R"({"error":"Invalid timeout query parameter. Expected positive integer milliseconds."})"},
        {"", "", "400 Bad Request", kInvalidJson},
        {"", R"({"connectedFileName":"Invoices","scriptName":"Report",})", "400 Bad Request", kInvalidJson},
        {"", "{\"connectedFileName\":\"Invoices\xff\",\"scriptName\":\"Report\"}", "400 Bad Request", kInvalidJson},
        {"", std::string(kOverflowingDepth, '{'), "400 Bad Request", kInvalidJson},
        {"", callBody("Report", nested(256)), "400 Bad Request", kInvalidJson},  // the body's own object is the first level
        {"", callBody("LB_get_version", nested(kOverflowingDepth)), "400 Bad Request", kInvalidJson},
        {"", R"(["Invoices","Report"])", "400 Bad Request", kInvalidPayload},
        {"", R"({"connectedFileName":"Invoices","scriptName":7})", "400 Bad Request", kInvalidPayload},
        {"", R"({"scriptName":"Report"})", "400 Bad Request", kInvalidPayload},
        {"", R"({"connectedFileName":"Invoices","scriptName":" \t\r\n\f\u000b"})", "400 Bad Request", kInvalidPayload},
        {"", R"({"connectedFileName":"?fileName=&x=1","scriptName":"Report"})", "400 Bad Request", kInvalidPayload},
        {"", R"({"connectedFileName":"  Unknown\t","scriptName":"Report"})", "404 Not Found", R"({"error":"No active WebSocket for Unknown"})"},
    };
    for (const auto& [query, body, status, expected] : cases) {
        for (const Headers& headers : {Headers{}, Headers{{"x-lumenbox-session", "session-1"}}}) {
            expectJsonReply(httpPost(port(), "/callScript" + query, body, headers), status, expected);
        }
    }
    for (const char* route : {"/authorizeSession", "/sessions/revoke"}) {
        EXPECT_EQ(httpPost(port(), route, R"({"sessionId":)" + nested(kOverflowingDepth) + "}").status, 400) << route;
    }
    EXPECT_TRUE(webviewer->quiet());
    EXPECT_EQ(pendingCallCount(), 0u);
    setEnhancedSecurityEnabled(false);  // no approval for a file that is not there
    httpPost(port(), "/callScript", callBody("Report", "null", "Unknown"), {{"x-lumenbox-session", "session-1"}});
    EXPECT_TRUE(store_.listSessions().empty());
}

TEST_F(CallScript, ACallIsForwardedOnceUnderItsOwnIdWithTheLimitAskedForAndAnsweredByItsCallback) {
    auto webviewer = connectWebviewer("Invoices");
    auto first = httpPostAsync(port(), kCallTarget, callBody(" Monthly report\t", R"({"a":[1,"b",null],"year":2024})", "https://host/app?x=1&fileName=Invoices&y=2"));
    auto call = receiveForwardedCall(*webviewer);
    EXPECT_TRUE(std::regex_match(call.fetchId, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}"))) << call.fetchId;
    EXPECT_EQ(call.text, R"({"param":"{\"callback\":{\"fetchId\":\")" + call.fetchId +
                             R"(\"},\"data\":{\"a\":[1,\"b\",null],\"year\":2024}}","script":"Monthly report","type":"callScript"})");
    // The route passes the decoded limit through: an escaped "&" and "=" make no parameter.
    auto expiring = httpPostAsync(port(), "/callScript?note=a%26timeout%3D1&time%6Fut=+%32%35", callBody("Report"));
    auto expired = receiveForwardedCall(*webviewer);
    EXPECT_NE(expired.fetchId, call.fetchId);
    expectJsonReply(expiring.get(), "502 Bad Gateway",
                    R"({"code":"script_timeout","connectedFileName":"Invoices","error":"Timed out waiting for FileMaker callback",)"
                    R"("scriptName":"Report","timeoutMs":25,"webviewerConnected":true})");
    sendResult(*webviewer, "done", call.fetchId);
    expectJsonReply(first.get(), "200 OK", R"({"fetchId":")" + call.fetchId + R"(","result":"done"})");
    EXPECT_EQ(pendingCallCount(), 0u);
}

TEST_F(CallScript, VersionProbeIsNeverRefusedButCarriesNoDataOfAnUnapprovedClient) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);
    auto reply = httpPostAsync(port(), kCallTarget, callBody(" LB_get_version\n", "[1,2]"), {{"x-lumenbox-session", "stranger"}});
    auto call = receiveForwardedCall(*webviewer);
    EXPECT_EQ(call.envelope["data"], nullptr);
    sendResult(*webviewer, "1.0.0", call.fetchId);
    EXPECT_EQ(reply.get().status, 200);
    EXPECT_EQ(httpPost(port(), kCallTarget, callBody("lb_get_version")).status, 401);  // the exact name only
}

TEST_F(CallScript, CallWhoseMessageWouldExceedTheWebSocketLimitIsRefusedUpFront) {
    auto webviewer = connectWebviewer("Invoices");
    // Under the body limit, but each quote is escaped once more inside the envelope's text.
    std::string quotes = "[";
    while (quotes.size() < 11 * 1024 * 1024) quotes += R"("",)";
    quotes.back() = ']';
    expectJsonReply(httpPost(port(), kCallTarget, callBody("Report", quotes)), "413 Payload Too Large",
                    R"({"error":"Request too large to send to the web viewer of Invoices"})");
    EXPECT_TRUE(webviewer->quiet());
    EXPECT_EQ(pendingCallCount(), 0u);
}

}  // namespace
}  // namespace Lumenbox::testing
