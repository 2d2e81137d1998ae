// What script calls and liveness pings share: both are authorized alike, both are held until the
// web viewer they were sent to answers, and both fail when that page goes or cannot take them.
#include "support/BridgeFixture.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {
namespace {

using Headers = std::map<std::string, std::string>;

constexpr const char* kNotAuthorized = R"({"code":"session_not_authorized","error":"Session is not authorized for Invoices"})";
constexpr const char* kCallDisconnected = R"({"error":"WebSocket disconnected before callback for Invoices"})";
constexpr const char* kPingDisconnected = R"({"code":"webviewer_disconnected","error":"WebSocket disconnected before pong for Invoices",)"
                                          R"("fileName":"Invoices","webviewerConnected":false})";
constexpr const char* kWebviewerOnly = R"({"agentBrowserConnected":false,"type":"status","webviewerConnected":true})";

enum class Kind { Call, Ping };

std::string callBody(const std::string& fileName, const std::string& data = "") {
    return nlohmann::json{{"connectedFileName", fileName}, {"scriptName", "Report"}, {"data", data}}.dump();
}
// A call or a ping for `fileName`, with limits that end a failing test in good time.
std::future<HttpReply> sendHeld(int port, Kind kind, const std::string& fileName = "Invoices", const Headers& headers = {}) {
    if (kind == Kind::Call) return httpPostAsync(port, "/callScript?timeout=10000", callBody(fileName), headers);
    return httpGetAsync(port, "/webviewerPing?fileName=" + fileName + "&timeout=5000", headers);
}

class CallsAndPings : public BridgeFixture {
protected:
    // The next message at `page`, a forwarded call or a ping; returns what answers it.
    static std::function<void()> take(WsClient& page) {
        auto message = page.receiveJson();
        if (message.value("type", "") == "ping") {
            return [&page, id = message["id"].get<std::string>()] { page.sendJson({{"type", "pong"}, {"id", id}}); };
        }
        EXPECT_EQ(message.value("type", ""), "callScript") << message.dump();
        const auto envelope = nlohmann::json::parse(message.value("param", "{}"));
        return [&page, id = envelope["callback"]["fetchId"].get<std::string>()] { sendResult(page, "ok", id); };
    }
    // Sends a request of `kind`, answers it from `page` and returns the reply's status line.
    std::string roundTrip(WsClient& page, Kind kind, const Headers& headers = {}) {
        auto reply = sendHeld(port(), kind, "Invoices", headers);
        take(page)();
        return reply.get().statusLine;
    }
};

TEST_F(CallsAndPings, SessionsAreApprovedOnFirstUseWithEnhancedSecurityOffAndNeedTheUsersApprovalWithItOn) {
    auto webviewer = connectWebviewer("Invoices");
    store_.approve("approved", "Invoices", "desktop", 60);
    store_.approve("elsewhere", "Contacts", "desktop", 60);
    store_.registerSharedToken("shared-token", "Invoices");
    for (Kind kind : {Kind::Call, Kind::Ping}) {
        SCOPED_TRACE(kind == Kind::Call ? "call" : "ping");
        const std::string firstUse = kind == Kind::Call ? "sess\xff\xfe-call" : "sess\xff\xfe-ping";  // not UTF-8
        setEnhancedSecurityEnabled(false);
        const auto before = store_.listSessions().size();
        for (const Headers& none : {Headers{}, Headers{{"x-lumenbox-session", ""}}, Headers{{"x-lumenbox-session", "\t \t"}}}) {
            EXPECT_EQ(roundTrip(*webviewer, kind, none), "200 OK");
        }
        EXPECT_EQ(store_.listSessions().size(), before);  // no session, no approval
        EXPECT_EQ(roundTrip(*webviewer, kind, {{"x-lumenbox-session", firstUse}}), "200 OK");
        const auto sessions = store_.listSessions();
        auto approved = std::find_if(sessions.begin(), sessions.end(), [&](auto& s) { return s.sessionId == firstUse; });
        ASSERT_NE(approved, sessions.end());
        EXPECT_EQ(approved->clientName, "lumenbox-mcp");
        EXPECT_EQ(approved->idleTimeoutSeconds, 3600);
        EXPECT_EQ(approved->files, std::vector<std::string>{"Invoices"});

        // The approval made while the setting was off goes with the switch; one the user gives holds.
        setEnhancedSecurityEnabled(true);
        for (const char* refused : {"", "stranger", "elsewhere", "APPROVED", "other\xc3", firstUse.c_str()}) {
            SCOPED_TRACE(refused);
            auto reply = sendHeld(port(), kind, "Invoices", *refused ? Headers{{"x-lumenbox-session", refused}} : Headers{});
            expectJsonReply(reply.get(), "401 Unauthorized", kNotAuthorized);
        }
        EXPECT_TRUE(webviewer->quiet());
        store_.approve(firstUse, "Invoices", "agent", 600);
        for (const std::string& allowed : {std::string("approved"), std::string("shared-token"), firstUse}) {
            EXPECT_EQ(roundTrip(*webviewer, kind, {{"x-lumenbox-session", allowed}}), "200 OK") << allowed;
        }
    }
}

TEST_F(CallsAndPings, AWebviewerThatGoesFailsWhatWasSentToItAndNothingElse) {
    auto real = connectWebviewer("Invoices");
    auto contacts = connectWebviewer("Contacts");
    // A newer page takes the file, then leaves by closing, by moving to another file or by turning
    // agent browser: what was sent to it fails; the older page serves the file again and still
    // answers what was sent to it before.
    for (const std::string departure : {"close", "file", "role"}) {
        SCOPED_TRACE(departure);
        auto toReal = sendHeld(port(), Kind::Call);
        auto answerReal = take(*real);
        auto newer = connectWebviewer("Invoices");
        auto callToNewer = sendHeld(port(), Kind::Call);
        take(*newer);
        auto pingToNewer = sendHeld(port(), Kind::Ping);
        take(*newer);
        auto toContacts = sendHeld(port(), Kind::Ping, "Contacts");
        auto answerContacts = take(*contacts);

        if (departure == "close") newer->close();
        if (departure == "file") newer->registerAs("Orders", "webviewer");
        if (departure == "role") newer->registerAs("Invoices", "agent-browser");
        expectJsonReply(callToNewer.get(), "502 Bad Gateway", kCallDisconnected);
        expectJsonReply(pingToNewer.get(), "502 Bad Gateway", kPingDisconnected);
        EXPECT_EQ(real->receiveJson()["webviewerConnected"], true);
        answerReal();
        EXPECT_EQ(toReal.get().statusLine, "200 OK");
        answerContacts();
        EXPECT_EQ(toContacts.get().statusLine, "200 OK");
        EXPECT_EQ(roundTrip(*real, Kind::Call), "200 OK");
        EXPECT_EQ(httpGet(port(), "/connectedFiles").body,
                  departure == "file" ? R"(["Contacts","Invoices","Orders"])" : R"(["Contacts","Invoices"])");
        newer.reset();
        if (departure == "role") {
            EXPECT_EQ(real->receive(), kWebviewerOnly);  // the agent browser left
        }
    }

    // The replaced page going fails only what was sent to it, and the newer one is told.
    auto callToOlder = sendHeld(port(), Kind::Call);
    take(*real);
    auto pingToOlder = sendHeld(port(), Kind::Ping);
    take(*real);
    auto newest = connectWebviewer("Invoices");
    auto toNewest = sendHeld(port(), Kind::Call);
    auto answerNewest = take(*newest);
    real->close();
    expectJsonReply(callToOlder.get(), "502 Bad Gateway", kCallDisconnected);
    expectJsonReply(pingToOlder.get(), "502 Bad Gateway", kPingDisconnected);
    EXPECT_EQ(newest->receive(), kWebviewerOnly);
    EXPECT_EQ(pendingCallCount(), 1u);
    answerNewest();
    EXPECT_EQ(toNewest.get().statusLine, "200 OK");

    // The file's only page going fails all it carried and tells the agent browser.
    auto agentBrowser = connectAgentBrowser("Invoices");
    EXPECT_EQ(newest->receiveJson()["agentBrowserConnected"], true);
    std::vector<std::pair<std::future<HttpReply>, const char*>> carried;
    for (Kind kind : {Kind::Call, Kind::Call, Kind::Ping}) {
        carried.emplace_back(sendHeld(port(), kind), kind == Kind::Call ? kCallDisconnected : kPingDisconnected);
        take(*newest);
    }
    newest->close();
    for (auto& [reply, body] : carried) expectJsonReply(reply.get(), "502 Bad Gateway", body);
    EXPECT_EQ(agentBrowser->receive(), R"({"agentBrowserConnected":true,"type":"status","webviewerConnected":false})");
    EXPECT_EQ(pendingCallCount() + pendingPingCount(), 0u);
}

TEST_F(CallsAndPings, AClientThatGoesAwayLeavesNothingBehindAndALateAnswerReachesNoOne) {
    auto webviewer = connectWebviewer("Invoices");
    auto agentBrowser = connectAgentBrowser("Invoices");
    EXPECT_EQ(webviewer->receiveJson()["type"], "status");
    const std::string body = callBody("Invoices");
    const std::pair<Kind, std::string> requests[] = {
        {Kind::Call, "POST /callScript?timeout=10000 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n" + body},
        {Kind::Ping, "GET /webviewerPing?fileName=Invoices&timeout=5000 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"},
    };
    for (const auto& [kind, raw] : requests) {
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
    auto callMessageSize = [](std::size_t dataBytes) {
        const std::string envelope =
            nlohmann::json{{"callback", {{"fetchId", std::string(36, 'f')}}}, {"data", std::string(dataBytes, 'y')}}.dump();
        return nlohmann::json{{"param", envelope}, {"script", "Report"}, {"type", "callScript"}}.dump().size();
    };
    const std::size_t queueCap = 1024 * 1024;
    const std::string body = callBody("Invoices", std::string(queueCap - 30 - callMessageSize(0), 'y'));
    HttpReply reply;
    for (int call = 0; call < 40; ++call) {
        reply = httpPost(port(), "/callScript?timeout=50", body);
        if (reply.json().value("code", "") != "script_timeout") break;
    }
    expectJsonReply(reply, "502 Bad Gateway", R"({"error":"Failed to send to webviewer for Invoices"})");
    expectJsonReply(httpGet(port(), "/webviewerPing?fileName=Invoices&timeout=5000"), "502 Bad Gateway",
                    R"({"code":"webviewer_ping_send_failed","error":"Failed to send ping to webviewer for Invoices",)"
                    R"("fileName":"Invoices","webviewerConnected":true})");
    EXPECT_EQ(pendingCallCount() + pendingPingCount(), 0u);
}

}  // namespace
}  // namespace Lumenbox::testing
