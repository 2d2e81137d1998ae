#include <regex>

#include "support/BridgeFixture.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {
namespace {

constexpr const char* kInvalidTimeout = R"({"error":"Invalid timeout query parameter. Expected positive integer milliseconds."})";
constexpr const char* kInvalidJson = R"({"error":"Invalid JSON body."})";
constexpr const char* kInvalidPayload = R"({"error":"Invalid payload. Expected { connectedFileName, scriptName, data }."})";
constexpr const char* kNotAuthorized = R"({"code":"session_not_authorized","error":"Session is not authorized for Invoices"})";
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

std::map<std::string, std::string> sessionHeader(const std::string& session) {
    return {{"x-lumenbox-session", session}};
}

class CallScript : public BridgeFixture {
protected:
    std::int32_t pendingTimeoutMs(const std::string& fetchId) { return pendingTimeLimit(fetchId); }

    // Sends a call for "Invoices", checks that it reaches `webviewer` and answers it.
    HttpReply callThrough(WsClient& webviewer, const std::map<std::string, std::string>& headers,
                          const std::string& scriptName = "Report") {
        auto reply = httpPostAsync(port(), kCallTarget, callBody("Invoices", scriptName), headers);
        auto call = receiveForwardedCall(webviewer);
        sendResult(webviewer, "ok", call.fetchId);
        return reply.get();
    }
};

TEST_F(CallScript, TimeLimitThatIsNotAWholePositiveInt32IsRefusedBeforeTheBody) {
    auto webviewer = connectWebviewer("Invoices");
    for (const char* timeout : {"0", "-5", "2147483648", "10ms", "abc", "1.5", "%20", "99999999999999999999", "5%00abc"}) {
        SCOPED_TRACE(timeout);
        auto reply = httpPost(port(), std::string("/callScript?timeout=") + timeout, "not json");
        expectJsonReply(reply, "400 Bad Request", kInvalidTimeout);
    }
    EXPECT_TRUE(webviewer->quiet());
}

TEST_F(CallScript, AcceptedTimeLimitsStayWithTheCall) {
    auto webviewer = connectWebviewer("Invoices");
    const std::pair<std::string, std::int32_t> cases[] = {
        {"/callScript", 30000},
        {"/callScript?timeout=", 30000},
        {"/callScript?timeout=2147483647", 2147483647},
        {"/callScript?timeout=%2B500", 500},
        {"/callScript?timeout=+500", 500},  // "+" is a space in a query: leading space is allowed
        {"/callScript?other=1&timeout=750", 750},
    };
    for (const auto& [target, expected] : cases) {
        SCOPED_TRACE(target);
        auto reply = httpPostAsync(port(), target, callBody("Invoices", "Report"));
        auto call = receiveForwardedCall(*webviewer);
        EXPECT_EQ(pendingTimeoutMs(call.fetchId), expected);
        sendResult(*webviewer, "ok", call.fetchId);
        EXPECT_EQ(reply.get().status, 200);
    }
}

TEST_F(CallScript, BodyProblemsAreReportedInValidationOrder) {
    auto webviewer = connectWebviewer("Invoices");
    const std::pair<std::string, const char*> cases[] = {
        {"", kInvalidJson},
        {"not json", kInvalidJson},
        {R"({"connectedFileName":"Invoices","scriptName":"Report"} // note)", kInvalidJson},
        {R"({"connectedFileName":"Invoices","scriptName":"Report",})", kInvalidJson},
        {"{\"connectedFileName\":\"Invoices\xff\",\"scriptName\":\"Report\"}", kInvalidJson},
        {R"(["Invoices","Report"])", kInvalidPayload},
        {R"("Invoices")", kInvalidPayload},
        {R"({"connectedFileName":"Invoices","scriptName":7})", kInvalidPayload},
        {R"({"connectedFileName":"Invoices"})", kInvalidPayload},
        {R"({"scriptName":"Report"})", kInvalidPayload},
        {R"({"connectedFileName":null,"scriptName":"Report"})", kInvalidPayload},
        {R"({"connectedFileName":"Invoices","scriptName":" \t\r\n\f\u000b"})", kInvalidPayload},
        {R"({"connectedFileName":" \t","scriptName":"Report"})", kInvalidPayload},
        {R"({"connectedFileName":"?fileName=&x=1","scriptName":"Report"})", kInvalidPayload},
        // The body is judged before the file is looked up.
        {R"({"connectedFileName":"Unknown","scriptName":false})", kInvalidPayload},
    };
    for (const auto& [body, expected] : cases) {
        SCOPED_TRACE(body);
        auto reply = httpPost(port(), "/callScript", body);
        expectJsonReply(reply, "400 Bad Request", expected);
    }
    EXPECT_TRUE(webviewer->quiet());
    EXPECT_EQ(pendingCallCount(), 0u);
}

TEST_F(CallScript, FileWithoutWebviewerIsNotFoundBeforeAnyAuthorization) {
    auto webviewer = connectWebviewer("Invoices");
    auto expectNotFound = [&](const std::map<std::string, std::string>& headers) {
        auto reply = httpPost(port(), "/callScript", callBody("  Unknown\t", "Report"), headers);
        expectJsonReply(reply, "404 Not Found", R"({"error":"No active WebSocket for Unknown"})");
    };
    expectNotFound({});
    expectNotFound(sessionHeader("session-1"));
    EXPECT_TRUE(store_.listSessions().empty());  // no approval for a file that is not there

    setEnhancedSecurityEnabled(true);
    expectNotFound({});
    expectNotFound(sessionHeader("session-1"));
    EXPECT_TRUE(webviewer->quiet());
}

TEST_F(CallScript, CallIsForwardedAsOneCallScriptMessageAndAnsweredByItsCallback) {
    auto webviewer = connectWebviewer("Invoices");
    auto reply = httpPostAsync(port(), kCallTarget,
                               callBody("https://host/app?x=1&fileName=Invoices&y=2", " Monthly report\t",
                                        nlohmann::json{{"year", 2024}, {"a", {1, "b", nullptr}}}));
    auto call = receiveForwardedCall(*webviewer);
    EXPECT_TRUE(std::regex_match(call.fetchId, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")))
        << call.fetchId;
    EXPECT_EQ(call.text, R"({"param":"{\"callback\":{\"fetchId\":\")" + call.fetchId +
                             R"(\"},\"data\":{\"a\":[1,\"b\",null],\"year\":2024}}","script":"Monthly report","type":"callScript"})");

    sendResult(*webviewer, "done", call.fetchId);
    auto answer = reply.get();
    expectJsonReply(answer, "200 OK", R"({"fetchId":")" + call.fetchId + R"(","result":"done"})");
    EXPECT_EQ(pendingCallCount(), 0u);
}

TEST_F(CallScript, CallWithoutCallbackTimesOutAndALateCallbackReachesNoOne) {
    auto webviewer = connectWebviewer("Invoices");
    auto agentBrowser = connectAgentBrowser("Invoices");
    EXPECT_EQ(webviewer->receiveJson()["type"], "status");

    auto reply = httpPostAsync(port(), "/callScript?timeout=150", callBody("Invoices", " Report "));
    auto call = receiveForwardedCall(*webviewer);
    auto answer = reply.get();
    expectJsonReply(answer, "502 Bad Gateway", R"({"code":"script_timeout","connectedFileName":"Invoices",)"
                           R"("error":"Timed out waiting for FileMaker callback","scriptName":"Report",)"
                           R"("timeoutMs":150,"webviewerConnected":true})");
    EXPECT_EQ(pendingCallCount(), 0u);

    sendResult(*webviewer, "late", call.fetchId);
    EXPECT_TRUE(agentBrowser->quiet());  // it carries the caller's data
}

TEST_F(CallScript, WebviewerClosingAnswersEveryCallItWasCarrying) {
    auto webviewer = connectWebviewer("Invoices");
    auto agentBrowser = connectAgentBrowser("Invoices");
    auto otherFile = connectWebviewer("Contacts");
    EXPECT_EQ(webviewer->receiveJson()["type"], "status");

    auto first = httpPostAsync(port(), kCallTarget, callBody("Invoices", "First"));
    receiveForwardedCall(*webviewer);
    auto second = httpPostAsync(port(), kCallTarget, callBody("Invoices", "Second"));
    receiveForwardedCall(*webviewer);
    auto unrelated = httpPostAsync(port(), kCallTarget, callBody("Contacts", "Report"));
    auto unrelatedCall = receiveForwardedCall(*otherFile);

    webviewer->close();
    for (auto* reply : {&first, &second}) {
        auto answer = reply->get();
        expectJsonReply(answer, "502 Bad Gateway", R"({"error":"WebSocket disconnected before callback for Invoices"})");
    }
    EXPECT_EQ(agentBrowser->receive(), R"({"agentBrowserConnected":true,"type":"status","webviewerConnected":false})");

    sendResult(*otherFile, 1, unrelatedCall.fetchId);
    EXPECT_EQ(unrelated.get().status, 200);
}

TEST_F(CallScript, ReplacedWebviewerClosingFailsOnlyTheCallsSentToIt) {
    auto older = connectWebviewer("Invoices");
    auto toOlder = httpPostAsync(port(), kCallTarget, callBody("Invoices", "First"));
    receiveForwardedCall(*older);

    auto newer = connectWebviewer("Invoices");
    auto toNewer = httpPostAsync(port(), kCallTarget, callBody("Invoices", "Second"));
    auto newerCall = receiveForwardedCall(*newer);

    older->close();
    auto olderAnswer = toOlder.get();
    EXPECT_EQ(olderAnswer.statusLine, "502 Bad Gateway");
    EXPECT_EQ(olderAnswer.body, R"({"error":"WebSocket disconnected before callback for Invoices"})");
    EXPECT_EQ(newer->receive(), R"({"agentBrowserConnected":false,"type":"status","webviewerConnected":true})");
    EXPECT_EQ(pendingCallCount(), 1u);

    sendResult(*newer, "from newer", newerCall.fetchId);
    auto newerAnswer = toNewer.get();
    EXPECT_EQ(newerAnswer.statusLine, "200 OK");
    EXPECT_EQ(newerAnswer.json()["result"], "from newer");
}

TEST_F(CallScript, ReplacedWebviewerCanStillAnswerTheCallsSentToIt) {
    auto older = connectWebviewer("Invoices");
    auto toOlder = httpPostAsync(port(), kCallTarget, callBody("Invoices", "First"));
    auto olderCall = receiveForwardedCall(*older);
    auto newer = connectWebviewer("Invoices");
    sendResult(*older, "from older", olderCall.fetchId);
    EXPECT_EQ(toOlder.get().json()["result"], "from older");
}

TEST_F(CallScript, ClientThatGoesAwayAbandonsItsCall) {
    auto webviewer = connectWebviewer("Invoices");
    auto agentBrowser = connectAgentBrowser("Invoices");
    EXPECT_EQ(webviewer->receiveJson()["type"], "status");

    HttpClient client(port());
    const std::string body = callBody("Invoices", "Report");
    client.sendRaw("POST /callScript?timeout=10000 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n\r\n" + body);
    auto call = receiveForwardedCall(*webviewer);
    client.close();
    ASSERT_TRUE(eventually([&] { return pendingCallCount() == 0; }));

    sendResult(*webviewer, "late", call.fetchId);
    EXPECT_TRUE(agentBrowser->quiet());  // it carries the caller's data
    EXPECT_EQ(callThrough(*webviewer, {}).status, 200);
}

TEST_F(CallScript, ConcurrentCallsGetTheirOwnFetchIdsAndAnswersInCallbackOrder) {
    auto webviewer = connectWebviewer("Invoices");
    auto first = httpPostAsync(port(), kCallTarget, callBody("Invoices", "First"));
    auto second = httpPostAsync(port(), kCallTarget, callBody("Invoices", "Second"));
    std::map<std::string, std::string> fetchIdOf;
    for (int i = 0; i < 2; ++i) {
        auto call = receiveForwardedCall(*webviewer);
        fetchIdOf[call.message["script"]] = call.fetchId;
        // A call without data forwards null data.
        EXPECT_EQ(call.message["param"], R"({"callback":{"fetchId":")" + call.fetchId + R"("},"data":null})");
    }
    ASSERT_EQ(fetchIdOf.size(), 2u);
    EXPECT_NE(fetchIdOf["First"], fetchIdOf["Second"]);

    sendResult(*webviewer, "second result", fetchIdOf["Second"]);
    auto secondAnswer = second.get();
    EXPECT_EQ(secondAnswer.body, R"({"fetchId":")" + fetchIdOf["Second"] + R"(","result":"second result"})");
    EXPECT_EQ(pendingCallCount(), 1u);

    sendResult(*webviewer, "first result", fetchIdOf["First"]);
    EXPECT_EQ(first.get().body, R"({"fetchId":")" + fetchIdOf["First"] + R"(","result":"first result"})");
}

TEST_F(CallScript, WithoutEnhancedSecurityASessionIsApprovedOnFirstUse) {
    auto webviewer = connectWebviewer("Invoices");
    EXPECT_EQ(callThrough(*webviewer, {}).status, 200);
    EXPECT_TRUE(store_.listSessions().empty());

    EXPECT_EQ(callThrough(*webviewer, sessionHeader("session-1")).status, 200);
    auto sessions = store_.listSessions();
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].sessionId, "session-1");
    EXPECT_EQ(sessions[0].clientName, "lumenbox-mcp");
    EXPECT_EQ(sessions[0].files, std::vector<std::string>{"Invoices"});
    EXPECT_EQ(sessions[0].idleTimeoutSeconds, 3600);

    // An empty header is no session at all.
    EXPECT_EQ(callThrough(*webviewer, sessionHeader("")).status, 200);
    EXPECT_EQ(store_.listSessions().size(), 1u);
}

TEST_F(CallScript, WithEnhancedSecurityOnlyApprovedSessionsAndSharedTokensGetThrough) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);
    store_.approve("approved", "Invoices", "desktop", 60);
    store_.approve("elsewhere", "Contacts", "desktop", 60);
    store_.registerSharedToken("shared-token", "Invoices");

    for (const auto& headers : {std::map<std::string, std::string>{}, sessionHeader(""), sessionHeader("stranger"),
                                sessionHeader("elsewhere"), sessionHeader("APPROVED")}) {
        SCOPED_TRACE(headers.empty() ? "no header" : headers.begin()->second);
        auto reply = httpPost(port(), kCallTarget, callBody("Invoices", "Report"), headers);
        expectJsonReply(reply, "401 Unauthorized", kNotAuthorized);
    }
    EXPECT_TRUE(webviewer->quiet());
    EXPECT_EQ(store_.listSessions().size(), 2u);  // refusals approve nothing

    EXPECT_EQ(callThrough(*webviewer, sessionHeader("approved")).status, 200);
    EXPECT_EQ(callThrough(*webviewer, sessionHeader("shared-token")).status, 200);
}

TEST_F(CallScript, VersionProbeIsNeverRefused) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);
    EXPECT_EQ(callThrough(*webviewer, {}, "LB_get_version").status, 200);
    EXPECT_EQ(callThrough(*webviewer, sessionHeader("stranger"), " LB_get_version\n").status, 200);
    EXPECT_TRUE(store_.listSessions().empty());

    // Only the exact name is exempt.
    auto reply = httpPost(port(), kCallTarget, callBody("Invoices", "lb_get_version"));
    EXPECT_EQ(reply.status, 401);
}

TEST_F(CallScript, VersionProbeOfAnUnapprovedClientCarriesNoDataIntoTheFileWithEnhancedSecurityOn) {
    auto webviewer = connectWebviewer("Invoices");
    const nlohmann::json payload{{"rows", {1, 2, 3}}, {"note", "from a stranger"}};
    for (const bool enhanced : {false, true}) {
        SCOPED_TRACE(enhanced ? "enhanced security on" : "off");
        setEnhancedSecurityEnabled(enhanced);
        auto reply = httpPostAsync(port(), kCallTarget, callBody("Invoices", "LB_get_version", payload));
        auto call = receiveForwardedCall(*webviewer);
        EXPECT_EQ(call.envelope["data"], enhanced ? nlohmann::json() : payload);
        sendResult(*webviewer, "1.0.0", call.fetchId);
        EXPECT_EQ(reply.get().status, 200);
    }
    // Other scripts of approved clients keep their data.
    store_.approve("approved", "Invoices", "desktop", 60);
    auto reply = httpPostAsync(port(), kCallTarget, callBody("Invoices", "Report", payload), sessionHeader("approved"));
    auto call = receiveForwardedCall(*webviewer);
    EXPECT_EQ(call.envelope["data"], payload);
    sendResult(*webviewer, "ok", call.fetchId);
    EXPECT_EQ(reply.get().status, 200);
}

TEST_F(CallScript, SessionHeaderWithBytesThatAreNotUtf8IsHandledLikeAnyOther) {
    auto webviewer = connectWebviewer("Invoices");
    const std::string session = "sess\xff\xfe-1";
    EXPECT_EQ(callThrough(*webviewer, sessionHeader(session)).status, 200);
    auto sessions = store_.listSessions();
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].sessionId, session);

    setEnhancedSecurityEnabled(true);
    // The approval made while the setting was off goes with the switch; one the user gives holds.
    EXPECT_EQ(httpPost(port(), kCallTarget, callBody("Invoices", "Report"), sessionHeader(session)).body, kNotAuthorized);
    store_.approve(session, "Invoices", "agent", 600);
    EXPECT_EQ(callThrough(*webviewer, sessionHeader(session)).status, 200);
    auto refused = httpPost(port(), kCallTarget, callBody("Invoices", "Report"), sessionHeader("other\xc3"));
    EXPECT_EQ(refused.body, kNotAuthorized);
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
}

TEST_F(CallScript, MessageTheWebviewerCannotTakeFailsTheCall) {
    auto agentBrowser = connectAgentBrowser("Invoices");
    StalledWsClient webviewer(port());
    webviewer.sendJson({{"type", "register"}, {"fileName", "Invoices"}, {"role", "webviewer"}});
    EXPECT_EQ(agentBrowser->receiveJson()["webviewerConnected"], true);

    // The page never reads: the first calls fill the socket buffers and then one stays on the
    // wire, so that the next one no longer fits into the connection's queue. Until then each
    // call simply waits out its short limit.
    const std::string body = callBody("Invoices", "Report", nlohmann::json(std::string(1536 * 1024, 'y')));
    HttpReply reply;
    for (int call = 0; call < 40; ++call) {
        reply = httpPost(port(), "/callScript?timeout=100", body);
        if (reply.status != 502 || reply.json().value("code", "") != "script_timeout") break;
    }
    expectJsonReply(reply, "502 Bad Gateway", R"({"error":"Failed to send to webviewer for Invoices"})");
    EXPECT_EQ(pendingCallCount(), 0u);
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
    expectJsonReply(httpPost(port(), "/callScript", std::string(kOverflowingDepth, '{')), "400 Bad Request", kInvalidJson);
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
    auto reply = httpPost(port(), kCallTarget, bodyWithData("Report", quotes));
    expectJsonReply(reply, "413 Payload Too Large", R"({"error":"Request too large to send to the web viewer of Invoices"})");
    EXPECT_TRUE(webviewer->quiet());
    EXPECT_EQ(pendingCallCount(), 0u);
    EXPECT_EQ(callThrough(*webviewer, {}).status, 200);
}

}  // namespace
}  // namespace Lumenbox::testing
