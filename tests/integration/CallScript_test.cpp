#include <regex>

#include "support/BridgeFixture.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {
namespace {

constexpr const char* kInvalidTimeout = R"({"error":"Invalid timeout query parameter. Expected positive integer milliseconds."})";
constexpr const char* kInvalidJson = R"({"error":"Invalid JSON body."})";
constexpr const char* kInvalidPayload = R"({"error":"Invalid payload. Expected { connectedFileName, scriptName, data }."})";
// Deep enough to overflow the server thread's stack if such a value were ever built and written
// again (the sanitizer's larger frames need fewer levels).
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kOverflowingDepth = 10000;
#else
constexpr std::size_t kOverflowingDepth = 100000;
#endif
// Calls that a callback is meant to answer get a limit that ends a failing test in good time.
constexpr const char* kCallTarget = "/callScript?timeout=10000";

std::string callBody(const std::string& fileName, const std::string& scriptName,
                     const std::optional<nlohmann::json>& data = std::nullopt) {
    nlohmann::json body{{"connectedFileName", fileName}, {"scriptName", scriptName}};
    if (data) body["data"] = *data;
    return body.dump();
}
std::string nestedArrays(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }
std::string bodyWithData(const std::string& scriptName, const std::string& dataJson) {
    return R"({"connectedFileName":"Invoices","scriptName":")" + scriptName + R"(","data":)" + dataJson + "}";
}
std::map<std::string, std::string> sessionHeader(const std::string& session) { return {{"x-lumenbox-session", session}}; }

class CallScript : public BridgeFixture {
protected:
    // Sends a call for "Invoices", checks that it reaches `webviewer` and answers it.
    HttpReply callThrough(WsClient& webviewer, const std::map<std::string, std::string>& headers = {},
                          const std::string& scriptName = "Report") {
        auto reply = httpPostAsync(port(), kCallTarget, callBody("Invoices", scriptName), headers);
        sendResult(webviewer, "ok", receiveForwardedCall(webviewer).fetchId);
        return reply.get();
    }
};

TEST_F(CallScript, RequestsAreRefusedTimeLimitFirstThenBodyThenFile) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);  // the body and the file are judged before any authorization
    for (const std::string timeout : {"0", "-5", "2147483648", "10ms", "abc", "1.5", "%20", "99999999999999999999",
                                      "5%00abc", "2+5" /* "2 5" */}) {
        SCOPED_TRACE(timeout);
        expectJsonReply(httpPost(port(), "/callScript?timeout=" + timeout, "not json"), "400 Bad Request", kInvalidTimeout);
    }
    const std::tuple<std::string, const char*, const char*> bodies[] = {
        {"", "400 Bad Request", kInvalidJson},
        {"not json", "400 Bad Request", kInvalidJson},
        {R"({"connectedFileName":"Invoices","scriptName":"Report"} // note)", "400 Bad Request", kInvalidJson},
        {R"({"connectedFileName":"Invoices","scriptName":"Report",})", "400 Bad Request", kInvalidJson},
        {"{\"connectedFileName\":\"Invoices\xff\",\"scriptName\":\"Report\"}", "400 Bad Request", kInvalidJson},
        {std::string(kOverflowingDepth, '{'), "400 Bad Request", kInvalidJson},
        {R"(["Invoices","Report"])", "400 Bad Request", kInvalidPayload},
        {R"("Invoices")", "400 Bad Request", kInvalidPayload},
        {R"({"connectedFileName":"Invoices","scriptName":7})", "400 Bad Request", kInvalidPayload},
        {R"({"connectedFileName":"Invoices"})", "400 Bad Request", kInvalidPayload},
        {R"({"scriptName":"Report"})", "400 Bad Request", kInvalidPayload},
        {R"({"connectedFileName":null,"scriptName":"Report"})", "400 Bad Request", kInvalidPayload},
        {R"({"connectedFileName":"Invoices","scriptName":" \t\r\n\f\u000b"})", "400 Bad Request", kInvalidPayload},
        {R"({"connectedFileName":" \t","scriptName":"Report"})", "400 Bad Request", kInvalidPayload},
        {R"({"connectedFileName":"?fileName=&x=1","scriptName":"Report"})", "400 Bad Request", kInvalidPayload},
        {R"({"connectedFileName":"Unknown","scriptName":false})", "400 Bad Request", kInvalidPayload},
        {callBody("  Unknown\t", "Report"), "404 Not Found", R"({"error":"No active WebSocket for Unknown"})"},
    };
    for (const auto& [body, status, expected] : bodies) {
        SCOPED_TRACE(body.substr(0, 60));
        for (const auto& headers : {std::map<std::string, std::string>{}, sessionHeader("session-1")}) {
            expectJsonReply(httpPost(port(), "/callScript", body, headers), status, expected);
        }
    }
    EXPECT_TRUE(webviewer->quiet());
    EXPECT_EQ(pendingCallCount(), 0u);
    setEnhancedSecurityEnabled(false);  // no approval for a file that is not there
    httpPost(port(), "/callScript", callBody("Unknown", "Report"), sessionHeader("session-1"));
    EXPECT_TRUE(store_.listSessions().empty());
}

TEST_F(CallScript, TimeLimitIsReadFromTheDecodedQueryAndReportedWhenItRunsOut) {
    auto webviewer = connectWebviewer("Invoices");
    auto agentBrowser = connectAgentBrowser("Invoices");
    EXPECT_EQ(webviewer->receiveJson()["type"], "status");
    const std::pair<std::string, int> expiring[] = {
        {"?timeout=%2B5", 5},
        {"?timeout=+5", 5},  // "+" is a space in a query: leading space is allowed
        {"?other=1&timeout=7", 7},
        {"?note=a%26timeout%3D1&time%6Fut=%32%35", 25},  // an escaped "&" and "=" make no parameter
    };
    for (const auto& [query, timeoutMs] : expiring) {
        SCOPED_TRACE(query);
        auto reply = httpPostAsync(port(), "/callScript" + query, callBody("Invoices", " Report "));
        auto call = receiveForwardedCall(*webviewer);
        expectJsonReply(reply.get(), "502 Bad Gateway",
                        R"({"code":"script_timeout","connectedFileName":"Invoices","error":"Timed out waiting for FileMaker callback",)"
                        R"("scriptName":"Report","timeoutMs":)" + std::to_string(timeoutMs) + R"(,"webviewerConnected":true})");
        sendResult(*webviewer, "late", call.fetchId);  // reaches no one: it carries the caller's data
    }
    EXPECT_TRUE(agentBrowser->quiet());
    EXPECT_EQ(pendingCallCount(), 0u);
    // Limits long enough for the callback: the default (30 s), an empty one and the largest.
    for (const char* query : {"", "?timeout=", "?timeout=2147483647"}) {
        auto reply = httpPostAsync(port(), std::string("/callScript") + query, callBody("Invoices", "Report"));
        sendResult(*webviewer, "ok", receiveForwardedCall(*webviewer).fetchId);
        EXPECT_EQ(reply.get().statusLine, "200 OK") << query;
    }
}

TEST_F(CallScript, CallIsForwardedAsOneCallScriptMessageAndAnsweredByItsOwnCallback) {
    auto webviewer = connectWebviewer("Invoices");
    auto first = httpPostAsync(port(), kCallTarget,
                               callBody("https://host/app?x=1&fileName=Invoices&y=2", " Monthly report\t",
                                        nlohmann::json{{"year", 2024}, {"a", {1, "b", nullptr}}}));
    auto call = receiveForwardedCall(*webviewer);
    EXPECT_TRUE(std::regex_match(call.fetchId, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")))
        << call.fetchId;
    EXPECT_EQ(call.text, R"({"param":"{\"callback\":{\"fetchId\":\")" + call.fetchId +
                             R"(\"},\"data\":{\"a\":[1,\"b\",null],\"year\":2024}}","script":"Monthly report","type":"callScript"})");
    auto second = httpPostAsync(port(), kCallTarget, callBody("Invoices", "Second"));
    auto secondCall = receiveForwardedCall(*webviewer);
    // A call without data forwards null data, under an id of its own.
    EXPECT_EQ(secondCall.message["param"], R"({"callback":{"fetchId":")" + secondCall.fetchId + R"("},"data":null})");
    EXPECT_NE(secondCall.fetchId, call.fetchId);

    // Answered in the order the callbacks come, each with its own result.
    sendResult(*webviewer, "second result", secondCall.fetchId);
    expectJsonReply(second.get(), "200 OK", R"({"fetchId":")" + secondCall.fetchId + R"(","result":"second result"})");
    EXPECT_EQ(pendingCallCount(), 1u);
    sendResult(*webviewer, "done", call.fetchId);
    expectJsonReply(first.get(), "200 OK", R"({"fetchId":")" + call.fetchId + R"(","result":"done"})");
    EXPECT_EQ(pendingCallCount(), 0u);
}

TEST_F(CallScript, VersionProbeIsNeverRefusedAndCarriesNoDataOfAnUnapprovedClientWithEnhancedSecurityOn) {
    auto webviewer = connectWebviewer("Invoices");
    const nlohmann::json payload{{"rows", {1, 2, 3}}, {"note", "from a stranger"}};
    store_.approve("approved", "Invoices", "desktop", 60);
    const std::tuple<bool, const char*, const char*, bool> cases[] = {
        // enhanced security, script, session, data forwarded
        {false, "LB_get_version", "", true},
        {true, "LB_get_version", "", false},
        {true, " LB_get_version\n", "stranger", false},
        {true, "Report", "approved", true},
    };
    for (const auto& [enhanced, script, session, forwarded] : cases) {
        SCOPED_TRACE(std::string(script) + " " + session);
        setEnhancedSecurityEnabled(enhanced);
        auto reply = httpPostAsync(port(), kCallTarget, callBody("Invoices", script, payload),
                                   *session ? sessionHeader(session) : std::map<std::string, std::string>{});
        auto call = receiveForwardedCall(*webviewer);
        EXPECT_EQ(call.envelope["data"], forwarded ? payload : nlohmann::json());
        sendResult(*webviewer, "1.0.0", call.fetchId);
        EXPECT_EQ(reply.get().status, 200);
    }
    EXPECT_EQ(store_.listSessions().size(), 1u);
    EXPECT_EQ(httpPost(port(), kCallTarget, callBody("Invoices", "lb_get_version")).status, 401);  // the exact name only
}

TEST_F(CallScript, BodiesNestedPastTheLimitAreRefusedAndTheBridgeStillServes) {
    auto webviewer = connectWebviewer("Invoices");
    // The body's own object is the first of at most 256 levels.
    auto deepest = httpPostAsync(port(), kCallTarget, bodyWithData("Report", nestedArrays(255)));
    auto call = receiveForwardedCall(*webviewer);
    EXPECT_EQ(call.envelope["data"].dump(), nestedArrays(255));
    sendResult(*webviewer, "ok", call.fetchId);
    EXPECT_EQ(deepest.get().status, 200);

    setEnhancedSecurityEnabled(true);  // the version probe is read before any authorization
    for (const std::string& script : {"Report", "LB_get_version"}) {
        for (std::size_t depth : {std::size_t{256}, kOverflowingDepth}) {
            SCOPED_TRACE(script + " " + std::to_string(depth));
            expectJsonReply(httpPost(port(), kCallTarget, bodyWithData(script, nestedArrays(depth))), "400 Bad Request",
                            kInvalidJson);
        }
    }
    for (const char* route : {"/authorizeSession", "/sessions/revoke"}) {
        EXPECT_EQ(httpPost(port(), route, R"({"sessionId":)" + nestedArrays(kOverflowingDepth) + "}").status, 400) << route;
    }
    EXPECT_TRUE(webviewer->quiet());
    EXPECT_EQ(callThrough(*webviewer, {}, "LB_get_version").status, 200);
}

TEST_F(CallScript, CallWhoseMessageWouldExceedTheWebSocketLimitIsRefusedUpFront) {
    auto webviewer = connectWebviewer("Invoices");
    // Under the body limit, but each quote is escaped once more inside the envelope's text.
    std::string quotes = "[";
    while (quotes.size() < 11 * 1024 * 1024) quotes += R"("",)";
    quotes.back() = ']';
    expectJsonReply(httpPost(port(), kCallTarget, bodyWithData("Report", quotes)), "413 Payload Too Large",
                    R"({"error":"Request too large to send to the web viewer of Invoices"})");
    EXPECT_TRUE(webviewer->quiet());
    EXPECT_EQ(pendingCallCount(), 0u);
    EXPECT_EQ(callThrough(*webviewer).status, 200);
}

}  // namespace
}  // namespace Lumenbox::testing
