#include <regex>

#include "support/BridgeFixture.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {
namespace {

constexpr const char* kInvalidPayload = R"({"error":"Invalid payload. Expected { connectedFileName, scriptName, data }."})";
// Deep enough to overflow the server thread's stack if such a value were ever built and written
// again (the sanitizer's larger frames need fewer levels).
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kOverflowingDepth = 10000;
#else
constexpr std::size_t kOverflowingDepth = 100000;
#endif
constexpr const char* kNotAuthorized = R"({"code":"session_not_authorized","error":"Session is not authorized for Invoices"})";
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
        {"", R"({"connectedFileName":"  Unknown\t","scriptName":"Report"})", "404 Not Found",
         R"({"code":"webviewer_not_connected","connectedFileName":"Unknown","error":"File Unknown has no connected web viewer","webviewerConnected":false})"},
        {"", callBody("lb_get_version"), "401 Unauthorized", kNotAuthorized},  // only the exact name skips approval
    };
    for (const auto& [query, body, status, expected] : cases) {
        for (const Headers& headers : {Headers{}, Headers{{"x-lumenbox-session", "session-1"}}}) {
            expectJsonReply(httpPost(port(), "/callScript" + query, body, headers), status, expected);
        }
    }
    for (const char* route : {"/authorizeSession", "/sessions/revoke"}) {
        EXPECT_EQ(httpPost(port(), route, R"({"sessionId":)" + nested(kOverflowingDepth) + "}").status, 400) << route;
    }
    EXPECT_EQ(std::make_tuple(webviewer->quiet(), pendingCallCount()), std::make_tuple(true, 0u));
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

TEST_F(CallScript, CallWhoseMessageWouldExceedTheWebSocketLimitIsRefusedUpFront) {
    auto webviewer = connectWebviewer("Invoices");
    // Under the body limit, but each quote is escaped once more inside the envelope's text.
    std::string quotes = "[";
    while (quotes.size() < 11 * 1024 * 1024) quotes += R"("",)";
    quotes.back() = ']';
    expectJsonReply(httpPost(port(), kCallTarget, callBody("Report", quotes)), "413 Payload Too Large",
                    R"({"error":"Request too large to send to the web viewer of Invoices"})");
    EXPECT_EQ(std::make_tuple(webviewer->quiet(), pendingCallCount()), std::make_tuple(true, 0u));
}


class Callbacks : public BridgeFixture {
protected:
    void SetUp() override {
        webviewer_ = connectWebviewer("Invoices");
        agentBrowser_ = connectAgentBrowser("Invoices");
        EXPECT_EQ(webviewer_->receiveJson()["type"], "status");
    }
    std::future<HttpReply> call() {
        return httpPostAsync(port(), "/callScript?timeout=10000", R"({"connectedFileName":"Invoices","scriptName":"Report"})");
    }
    std::unique_ptr<WsClient> webviewer_, agentBrowser_;
};

TEST_F(Callbacks, AResultIsRepliedAsJsonWhenItParsesAndOnlyFromTheConnectionTheCallWasSentTo) {
    auto otherWebviewer = connectWebviewer("Contacts");
    const std::pair<nlohmann::json, std::string> cases[] = {
        {"42", "42"}, {"hello", R"("hello")"}, {" [1, 2] ", "[1,2]"}, {"{\"a\":1} trailing", R"("{\"a\":1} trailing")"},
        {nested(kOverflowingDepth), nlohmann::json(nested(kOverflowingDepth)).dump()},  // too deep to parse: the text
    };
    for (const auto& [result, expected] : cases) {
        auto reply = call();
        auto forwarded = receiveForwardedCall(*webviewer_);
        sendResult(*otherWebviewer, "forged by Contacts", forwarded.fetchId);
        sendResult(*webviewer_, result, forwarded.fetchId);
        expectJsonReply(reply.get(), "200 OK", R"({"fetchId":")" + forwarded.fetchId + R"(","result":)" + expected + "}");
    }
    // A callback that completes no call reaches the file's agent browser, re-serialised.
    webviewer_->send(R"( { "type" : "callback", "fn" : "streamingChunkReceived", "args" : [ 1.50, { "z" : 1, "a" : 2 }, 1E2 ] } )");
    EXPECT_EQ(agentBrowser_->receive(), R"({"args":[1.5,{"a":2,"z":1},100.0],"fn":"streamingChunkReceived","type":"callback"})");
    EXPECT_TRUE(agentBrowser_->quiet());
}

TEST_F(Callbacks, AResultObjectWithAnErrorIsAScriptErrorUnlessTheErrorSaysNone) {
    const std::string failed = R"({"code":"script_error","connectedFileName":"Invoices","error":)";
    std::vector<std::tuple<nlohmann::json, const char*, std::string>> cases = {
        {R"({"error":"Customer 7 not found","id":7})", "422 Unprocessable Content",  // a text, as scripts send it
         failed + R"("Customer 7 not found","fetchId":"ID","result":{"error":"Customer 7 not found","id":7},"scriptName":"Report"})"},
        {{{"error", {{"lastError", 401}}}}, "422 Unprocessable Content",
         failed + R"("{\"lastError\":401}","fetchId":"ID","result":{"error":{"lastError":401}},"scriptName":"Report"})"},
        {R"({"error":true})", "422 Unprocessable Content", failed + R"("true","fetchId":"ID","result":{"error":true},"scriptName":"Report"})"},
        {R"([{"error":"x"}])", "200 OK", R"({"fetchId":"ID","result":[{"error":"x"}]})"},  // only a top-level object counts
        {R"({"error":"x"} trailing)", "200 OK", R"({"fetchId":"ID","result":"{\"error\":\"x\"} trailing"})"},
    };
    for (std::string none : {"0", R"("0")", R"("")", "null", "false"}) {  // Get ( LastError ) after a clean run, and alike
        cases.emplace_back(R"({"error":)" + none + "}", "200 OK", R"({"fetchId":"ID","result":{"error":)" + none + "}}");
    }
    for (const auto& [result, status, expected] : cases) {
        auto reply = call();
        const std::string id = receiveForwardedCall(*webviewer_).fetchId;
        sendResult(*webviewer_, result, id);
        expectJsonReply(reply.get(), status, std::regex_replace(expected, std::regex("\"ID\""), "\"" + id + "\""));
    }
}

TEST_F(Callbacks, AgentBrowserScriptCallsReachTheFilesWebviewerReserialisedOrAnErrorComesBack) {
    agentBrowser_->send(R"({"type":"callScript", "script":"Report", "param":"{\"a\": 1}", "extra":[true]})");
    EXPECT_EQ(webviewer_->receive(), R"({"extra":[true],"param":"{\"a\": 1}","script":"Report","type":"callScript"})");
    const nlohmann::json withOption = {{"type", "callScriptWithOption"}, {"script", "Report"}, {"param", ""}, {"option", {{"x", 1}}}};
    agentBrowser_->sendJson(withOption);
    EXPECT_EQ(webviewer_->receive(), withOption.dump());
    auto lonely = connectAgentBrowser("Contacts");
    lonely->sendJson(withOption);
    EXPECT_EQ(lonely->receive(), R"({"message":"No FileMaker connection for Contacts","type":"error"})");
    EXPECT_EQ(std::make_tuple(webviewer_->quiet(), agentBrowser_->quiet()), std::make_tuple(true, true));  // nor another file's
}

TEST_F(Callbacks, MessagesFromTheWrongPageOrNestedPastTheLimitAreIgnored) {
    auto reply = call();
    const std::string id = receiveForwardedCall(*webviewer_).fetchId;
    WsClient unregistered(port());
    // Which connection may answer a call is the component's to show; an unregistered one calls nothing.
    std::vector<std::pair<WsClient*, std::string>> ignored = {{&unregistered, R"({"type":"callScript","script":"Report","param":""})"}};
    for (std::size_t depth : {std::size_t{256}, kOverflowingDepth}) {  // 256 levels below the message's own: 257 or more
        ignored.emplace_back(webviewer_.get(), R"({"type":"callback","fn":"handleFMCallback","args":[)" + nested(depth) + R"(,")" + id + R"("]})");
        ignored.emplace_back(webviewer_.get(), R"({"type":"callback","fn":"streamingChunkReceived","args":[)" + nested(depth) + "]}");
        ignored.emplace_back(agentBrowser_.get(), R"({"type":"callScript","script":"Report","param":"","x":)" + nested(depth) + "}");
    }
    for (const auto& [page, message] : ignored) page->send(message);
    for (WsClient* page : {&unregistered, agentBrowser_.get(), webviewer_.get()}) EXPECT_TRUE(page->quiet());
    sendResult(*webviewer_, "ok", id);
    EXPECT_EQ(reply.get().status, 200);
}

TEST_F(Callbacks, AResultTooLargeForTheWebSocketFailsItsCallWithTheSizes) {
    auto tooLarge = call();
    const std::string id = receiveForwardedCall(*webviewer_).fetchId;
    const nlohmann::json message = {{"type", "callback"}, {"fn", "resultTooLarge"}, {"args", {{{"error", "Result too large"}, {"resultBytes", 20000000}}, id}}};
    webviewer_->sendJson(message);  // that it is told once, and only its call, is the component's to show
    expectJsonReply(tooLarge.get(), "502 Bad Gateway",
                    R"({"code":"result_too_large","connectedFileName":"Invoices","error":"Script result too large to send over the WebSocket",)"
                    R"("limitBytes":16777216,"resultBytes":20000000,"scriptName":"Report"})");
}

// What script calls and liveness pings share: both are authorized alike, both are held until the
// web viewer they were sent to answers, and both fail when that page goes or cannot take them.
enum class Kind { Call, Ping };

// A call or a ping for "Invoices", with limits that end a failing test in good time.
std::future<HttpReply> sendHeld(int port, Kind kind, const Headers& headers = {}) {
    if (kind == Kind::Call) return httpPostAsync(port, "/callScript?timeout=10000", callBody("Report", R"("")"), headers);
    return httpGetAsync(port, "/webviewerPing?fileName=Invoices&timeout=5000", headers);
}
struct CallsAndPings : Callbacks {
    // The next message at `page`, a forwarded call or a ping; returns what answers it.
    static std::function<void()> take(WsClient& page) {
        auto message = page.receiveJson();
        if (message.value("type", "") == "ping") return [&page, id = message["id"]] { page.sendJson({{"type", "pong"}, {"id", id}}); };
        const auto envelope = nlohmann::json::parse(message.value("param", "{}"));
        return [&page, id = envelope["callback"]["fetchId"].get<std::string>()] { sendResult(page, "ok", id); };
    }
    std::string roundTrip(WsClient& page, Kind kind, const Headers& headers = {}) {
        auto reply = sendHeld(port(), kind, headers);
        take(page)();
        return reply.get().statusLine;
    }
};

TEST_F(CallsAndPings, SessionsAreApprovedOnFirstUseWithEnhancedSecurityOffAndNeedTheUsersApprovalWithItOn) {
    WsClient& webviewer = *webviewer_;
    store_.approve("elsewhere", "Contacts", "desktop", 60);
    store_.registerSharedToken("shared-token", "Invoices");
    for (Kind kind : {Kind::Call, Kind::Ping}) {
        const std::string firstUse = kind == Kind::Call ? "sess\xff\xfe-call" : "sess\xff\xfe-ping";  // not UTF-8
        setEnhancedSecurityEnabled(false);
        EXPECT_EQ(roundTrip(webviewer, kind, {{"x-lumenbox-session", "\t \t"}}), "200 OK");  // no session, no approval
        EXPECT_EQ(roundTrip(webviewer, kind, {{"x-lumenbox-session", firstUse}}), "200 OK");
        // The approval made while the setting was off goes with the switch; one the user gives holds.
        setEnhancedSecurityEnabled(true);
        for (const std::string refused : {std::string(), std::string("elsewhere"), firstUse}) {
            auto reply = sendHeld(port(), kind, refused.empty() ? Headers{} : Headers{{"x-lumenbox-session", refused}});
            expectJsonReply(reply.get(), "401 Unauthorized", kNotAuthorized);
        }
        EXPECT_TRUE(webviewer.quiet());
        store_.approve(firstUse, "Invoices", "agent", 600);
        for (const std::string allowed : {std::string("shared-token"), firstUse}) {
            EXPECT_EQ(roundTrip(webviewer, kind, {{"x-lumenbox-session", allowed}}), "200 OK") << allowed;
        }
    }
    EXPECT_EQ(store_.listSessions().size(), 3u);
}

TEST_F(CallsAndPings, AWebviewerThatGoesFailsWhatWasSentToItAndTellsTheAgentBrowser) {
    auto &webviewer = webviewer_, &agentBrowser = agentBrowser_;
    auto call = sendHeld(port(), Kind::Call);
    take(*webviewer);
    auto ping = sendHeld(port(), Kind::Ping);
    take(*webviewer);
    webviewer->close();
    expectJsonReply(call.get(), "502 Bad Gateway", R"({"error":"WebSocket disconnected before callback for Invoices"})");
    expectJsonReply(ping.get(), "502 Bad Gateway", R"({"code":"webviewer_disconnected","error":"WebSocket disconnected before pong for Invoices",)"
                                                   R"("fileName":"Invoices","webviewerConnected":false})");
    EXPECT_EQ(agentBrowser->receive(), R"({"agentBrowserConnected":true,"type":"status","webviewerConnected":false})");
    EXPECT_EQ(pendingCallCount() + pendingPingCount(), 0u);
}

TEST_F(CallsAndPings, AClientThatGoesAwayLeavesNothingBehindAndALateAnswerReachesNoOne) {
    auto &webviewer = webviewer_, &agentBrowser = agentBrowser_;
    for (const auto& [kind, raw] : {std::pair{Kind::Call, clients::requestBytes("POST", "/callScript?timeout=10000", callBody("Report", R"("")"))},
                                    std::pair{Kind::Ping, clients::requestBytes("GET", "/webviewerPing?fileName=Invoices&timeout=5000")}}) {
        HttpClient client(port());
        client.sendRaw(raw);
        auto lateAnswer = take(*webviewer);
        client.close();
        ASSERT_TRUE(eventually([&] { return pendingCallCount() + pendingPingCount() == 0; }));
        lateAnswer();
        EXPECT_TRUE(agentBrowser->quiet());  // a result carries the caller's data: it is not passed on
        EXPECT_EQ(roundTrip(*webviewer, kind), "200 OK");
    }
}

using CallsAndPingsToAStalledPage = BridgeFixture;

TEST_F(CallsAndPingsToAStalledPage, WhatThePageCannotTakeFailsAtOnce) {
    auto agentBrowser = connectAgentBrowser("Invoices");
    StalledWsClient webviewer(port());
    webviewer.sendJson({{"type", "register"}, {"fileName", "Invoices"}, {"role", "webviewer"}});
    EXPECT_EQ(agentBrowser->receiveJson()["webviewerConnected"], true);
    // The page never reads: calls fill its socket and then its queue, each waiting out a short
    // limit until then. Each call message is sized so that, once one of them waits in the queue,
    // neither another call nor even a ping fits.
    const std::string empty = nlohmann::json{{"callback", {{"fetchId", std::string(36, 'f')}}}, {"data", ""}}.dump();
    const std::size_t messageSize = nlohmann::json{{"param", empty}, {"script", "Report"}, {"type", "callScript"}}.dump().size();
    const std::string body = callBody("Report", nlohmann::json(std::string(1024 * 1024 - 30 - messageSize, 'y')).dump());
    HttpReply reply;
    for (int call = 0; call < 40 && (call == 0 || reply.json().value("code", "") == "script_timeout"); ++call) {
        reply = httpPost(port(), "/callScript?timeout=50", body);
    }
    expectJsonReply(reply, "502 Bad Gateway", R"({"error":"Failed to send to webviewer for Invoices"})");
    expectJsonReply(httpGet(port(), "/webviewerPing?fileName=Invoices&timeout=5000"), "502 Bad Gateway",
                    R"({"code":"webviewer_ping_send_failed","error":"Failed to send ping to webviewer for Invoices",)"
                    R"("fileName":"Invoices","webviewerConnected":true})");
    EXPECT_EQ(pendingCallCount() + pendingPingCount(), 0u);
}

using WebviewerPing = BridgeFixture;

TEST_F(WebviewerPing, RequestsAreCheckedTimeLimitFirstThenFileThenRegistryThenSession) {
    setEnhancedSecurityEnabled(true);
    const std::string missing = R"({"code":"missing_file_name","error":"Missing required fileName query parameter."})";
    const std::tuple<std::string, const char*, std::string> cases[] = {
        {"?timeout=5001", "400 Bad Request", R"({"error":"Invalid timeout query parameter. Expected integer milliseconds from 1 to 5000."})"},
        {"", "400 Bad Request", missing},
        {"?fileName=%20%20&timeout=10", "400 Bad Request", missing},
        {"?fileName=Invoices", "404 Not Found", R"({"code":"webviewer_not_connected","error":"File Invoices has no connected web viewer","fileName":"Invoices","webviewerConnected":false})"},
    };
    for (const auto& [query, status, body] : cases) expectJsonReply(httpGet(port(), "/webviewerPing" + query), status, body);
    auto webviewer = connectWebviewer("Invoices");
    const std::string urlAsName = "/webviewerPing?fileName=http://host/page?fileName=Invoices%26x=1";
    expectJsonReply(httpGet(port(), urlAsName), "401 Unauthorized", kNotAuthorized);
    EXPECT_TRUE(webviewer->quiet());
}

TEST_F(WebviewerPing, APongIsAnsweredWithItsTimeAndASilentPageTimesOutAfterTheLimitAskedFor) {
    auto webviewer = connectWebviewer("Invoices");
    auto answered = httpGetAsync(port(), "/webviewerPing?fileName=Invoices&timeout=5000");
    const std::string text = *webviewer->receive();
    const std::string id = nlohmann::json::parse(text)["id"];
    EXPECT_EQ(std::make_tuple(text, id.size()), std::make_tuple(R"({"id":")" + id + R"(","type":"ping"})", 36u));
    webviewer->sendJson({{"type", "pong"}, {"id", id}});
    auto answer = answered.get();
    const auto elapsed = answer.json().value("elapsedMs", std::int64_t{-1});
    EXPECT_GE(elapsed, 0);
    expectJsonReply(answer, "200 OK", R"({"code":"webviewer_responsive","elapsedMs":)" + std::to_string(elapsed) + R"(,"fileName":"Invoices","id":")" + id + R"(","status":"ok"})");
    // The route passes the decoded limit, or its default, through; which pong counts is the component's.
    for (const auto& [query, limit] : {std::pair<const char*, int>{"", 1500}, {"&timeout=%20%2025", 25}}) {
        auto silent = httpGetAsync(port(), std::string("/webviewerPing?fileName=Invoices") + query);
        const std::string lateId = webviewer->receiveJson()["id"];
        expectJsonReply(silent.get(), "504 Gateway Timeout", R"({"code":"webviewer_ping_timeout","error":"Timed out waiting for webviewer pong",)"
                        R"("fileName":"Invoices","timeoutMs":)" + std::to_string(limit) + R"(,"webviewerConnected":true})");
        webviewer->sendJson({{"type", "pong"}, {"id", lateId}});
    }
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
    EXPECT_EQ(pendingPingCount(), 0u);
}

}  // namespace
}  // namespace Lumenbox::testing
