// What script calls and liveness pings share: both are authorized alike, both are held until the
// web viewer they were sent to answers, and both fail when that page goes or cannot take them.
#include "support/BridgeFixture.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {
namespace {

using clients::Headers;
enum class Kind { Call, Ping };

std::string callBody(const std::string& data = "") {
    return nlohmann::json{{"connectedFileName", "Invoices"}, {"scriptName", "Report"}, {"data", data}}.dump();
}
// A call or a ping for "Invoices", with limits that end a failing test in good time.
std::future<HttpReply> sendHeld(int port, Kind kind, const Headers& headers = {}) {
    if (kind == Kind::Call) return httpPostAsync(port, "/callScript?timeout=10000", callBody(), headers);
    return httpGetAsync(port, "/webviewerPing?fileName=Invoices&timeout=5000", headers);
}
struct CallsAndPings : BridgeFixture {
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
    auto webviewer = connectWebviewer("Invoices");
    store_.approve("elsewhere", "Contacts", "desktop", 60);
    store_.registerSharedToken("shared-token", "Invoices");
    for (Kind kind : {Kind::Call, Kind::Ping}) {
        const std::string firstUse = kind == Kind::Call ? "sess\xff\xfe-call" : "sess\xff\xfe-ping";  // not UTF-8
        setEnhancedSecurityEnabled(false);
        EXPECT_EQ(roundTrip(*webviewer, kind, {{"x-lumenbox-session", "\t \t"}}), "200 OK");  // no session, no approval
        EXPECT_EQ(roundTrip(*webviewer, kind, {{"x-lumenbox-session", firstUse}}), "200 OK");
        // The approval made while the setting was off goes with the switch; one the user gives holds.
        setEnhancedSecurityEnabled(true);
        for (const std::string refused : {std::string(), std::string("elsewhere"), firstUse}) {
            auto reply = sendHeld(port(), kind, refused.empty() ? Headers{} : Headers{{"x-lumenbox-session", refused}});
            expectJsonReply(reply.get(), "401 Unauthorized", R"({"code":"session_not_authorized","error":"Session is not authorized for Invoices"})");
        }
        EXPECT_TRUE(webviewer->quiet());
        store_.approve(firstUse, "Invoices", "agent", 600);
        for (const std::string allowed : {std::string("shared-token"), firstUse}) {
            EXPECT_EQ(roundTrip(*webviewer, kind, {{"x-lumenbox-session", allowed}}), "200 OK") << allowed;
        }
    }
    EXPECT_EQ(store_.listSessions().size(), 3u);
}

TEST_F(CallsAndPings, AWebviewerThatGoesFailsWhatWasSentToItAndTellsTheAgentBrowser) {
    auto webviewer = connectWebviewer("Invoices");
    auto agentBrowser = connectAgentBrowser("Invoices");
    EXPECT_EQ(webviewer->receiveJson()["type"], "status");
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
    auto webviewer = connectWebviewer("Invoices");
    auto agentBrowser = connectAgentBrowser("Invoices");
    EXPECT_EQ(webviewer->receiveJson()["type"], "status");
    for (const auto& [kind, raw] : {std::pair{Kind::Call, clients::requestBytes("POST", "/callScript?timeout=10000", callBody())},
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

TEST_F(CallsAndPings, WhatThePageCannotTakeFailsAtOnce) {
    auto agentBrowser = connectAgentBrowser("Invoices");
    StalledWsClient webviewer(port());
    webviewer.sendJson({{"type", "register"}, {"fileName", "Invoices"}, {"role", "webviewer"}});
    EXPECT_EQ(agentBrowser->receiveJson()["webviewerConnected"], true);
    // The page never reads: calls fill its socket and then its queue, each waiting out a short
    // limit until then. Each call message is sized so that, once one of them waits in the queue,
    // neither another call nor even a ping fits.
    const std::string empty = nlohmann::json{{"callback", {{"fetchId", std::string(36, 'f')}}}, {"data", ""}}.dump();
    const std::size_t messageSize = nlohmann::json{{"param", empty}, {"script", "Report"}, {"type", "callScript"}}.dump().size();
    const std::string body = callBody(std::string(1024 * 1024 - 30 - messageSize, 'y'));
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
        {"?timeout=5001", "400 Bad Request", R"({"error":"Invalid timeout query parameter. Expected positive integer milliseconds."})"},
        {"", "400 Bad Request", missing},
        {"?fileName=%20%20&timeout=10", "400 Bad Request", missing},
        {"?fileName=Invoices", "404 Not Found", R"({"code":"webviewer_not_connected","error":"No active WebSocket for Invoices","fileName":"Invoices","webviewerConnected":false})"},
    };
    for (const auto& [query, status, body] : cases) expectJsonReply(httpGet(port(), "/webviewerPing" + query), status, body);
    auto webviewer = connectWebviewer("Invoices");
    expectJsonReply(httpGet(port(), "/webviewerPing?fileName=http://host/page?fileName=Invoices%26x=1"), "401 Unauthorized",
                    R"({"code":"session_not_authorized","error":"Session is not authorized for Invoices"})");
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
