#include "support/BridgeFixture.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {
namespace {

constexpr const char* kInvalidTimeout = R"({"error":"Invalid timeout query parameter. Expected positive integer milliseconds."})";
constexpr const char* kMissingFile = R"({"code":"missing_file_name","error":"Missing required fileName query parameter."})";
constexpr const char* kNotConnected =
    R"({"code":"webviewer_not_connected","error":"No active WebSocket for Invoices","fileName":"Invoices","webviewerConnected":false})";
constexpr const char* kNotAuthorized = R"({"code":"session_not_authorized","error":"Session is not authorized for Invoices"})";
constexpr const char* kDisconnected =
    R"({"code":"webviewer_disconnected","error":"WebSocket disconnected before pong for Invoices","fileName":"Invoices","webviewerConnected":false})";
// Pings that a pong is meant to answer get the longest limit, so that a failing test ends in time.
constexpr const char* kPingInvoices = "/webviewerPing?fileName=Invoices&timeout=5000";

std::map<std::string, std::string> sessionHeader(const std::string& session) {
    return {{"x-lumenbox-session", session}};
}

class WebviewerPing : public BridgeFixture {
protected:
    // The next message at `webviewer`, which must be a ping; returns its id.
    static std::string receivePing(WsClient& webviewer) {
        auto text = webviewer.receive();
        EXPECT_TRUE(text.has_value()) << "no ping reached the web viewer";
        if (!text) return {};
        auto message = nlohmann::json::parse(*text);
        std::string id = message.value("id", "");
        EXPECT_EQ(*text, R"({"id":")" + id + R"(","type":"ping"})");
        EXPECT_EQ(id.size(), 36u);
        return id;
    }

    static void pong(WsClient& webviewer, const std::string& id) {
        webviewer.sendJson({{"type", "pong"}, {"id", id}});
    }

    std::int32_t pendingTimeoutMs(const std::string& id) { return pendingTimeLimit(id); }

    void expectServerHealthy() { EXPECT_EQ(httpGet(port(), "/health").status, 200); }
};

TEST_F(WebviewerPing, RequestsAreCheckedTimeLimitFirstThenFileThenRegistryThenSession) {
    setEnhancedSecurityEnabled(true);
    // An invalid limit wins over a missing file name.
    for (const char* timeout : {"0", "-1", "5001", "1.5", "100ms", "abc", "%20", "99999999999999999999"}) {
        SCOPED_TRACE(timeout);
        auto reply = httpGet(port(), std::string("/webviewerPing?timeout=") + timeout);
        expectJsonReply(reply, "400 Bad Request", kInvalidTimeout);
    }
    // A missing (or blank) file name wins over the registry.
    for (const char* target : {"/webviewerPing", "/webviewerPing?fileName=%20%20&timeout=10"}) {
        auto reply = httpGet(port(), target);
        EXPECT_EQ(reply.statusLine, "400 Bad Request");
        EXPECT_EQ(reply.body, kMissingFile);
    }
    // A file without a web viewer wins over the session, which would be refused here.
    auto reply = httpGet(port(), "/webviewerPing?fileName=Invoices");
    EXPECT_EQ(reply.statusLine, "404 Not Found");
    EXPECT_EQ(reply.body, kNotConnected);

    auto webviewer = connectWebviewer("Invoices");
    reply = httpGet(port(), "/webviewerPing?fileName=http://host/page?fileName=Invoices%26x=1");
    EXPECT_EQ(reply.statusLine, "401 Unauthorized");
    EXPECT_EQ(reply.body, kNotAuthorized);
    EXPECT_TRUE(webviewer->quiet());
    EXPECT_EQ(pendingPingCount(), 0u);
}

TEST_F(WebviewerPing, AcceptedTimeLimitsStayWithThePing) {
    auto webviewer = connectWebviewer("Invoices");
    const std::pair<std::string, std::int32_t> cases[] = {
        {"/webviewerPing?fileName=Invoices", 1500},
        {"/webviewerPing?fileName=Invoices&timeout=", 1500},
        {"/webviewerPing?fileName=Invoices&timeout=5000", 5000},
        {"/webviewerPing?fileName=Invoices&timeout=1", 1},
        {"/webviewerPing?fileName=Invoices&timeout=%2B250", 250},
        {"/webviewerPing?fileName=Invoices&timeout=%20%20250", 250},
    };
    for (const auto& [target, expected] : cases) {
        SCOPED_TRACE(target);
        auto reply = httpGetAsync(port(), target);
        const std::string id = receivePing(*webviewer);
        const std::int32_t timeoutMs = pendingTimeoutMs(id);
        // A one-millisecond ping may already be over; any other is still waiting.
        if (expected > 1) {
            EXPECT_EQ(timeoutMs, expected);
        }
        pong(*webviewer, id);
        EXPECT_NE(reply.get().status, 400);
    }
}

TEST_F(WebviewerPing, PongAnswersThePingWithItsIdAndElapsedTime) {
    auto webviewer = connectWebviewer("Invoices");
    auto reply = httpGetAsync(port(), kPingInvoices);
    const std::string id = receivePing(*webviewer);
    pong(*webviewer, id);

    auto answer = reply.get();
    EXPECT_EQ(answer.statusLine, "200 OK");
    EXPECT_EQ(answer.headers["content-type"], "application/json");
    auto body = answer.json();
    ASSERT_TRUE(body["elapsedMs"].is_number_integer()) << answer.body;
    const auto elapsed = body["elapsedMs"].get<std::int64_t>();
    EXPECT_GE(elapsed, 0);
    EXPECT_EQ(answer.body, R"({"code":"webviewer_responsive","elapsedMs":)" + std::to_string(elapsed) +
                               R"(,"fileName":"Invoices","id":")" + id + R"(","status":"ok"})");
    EXPECT_EQ(pendingPingCount(), 0u);

    // The same pong again finds nothing.
    pong(*webviewer, id);
    expectServerHealthy();
}

TEST_F(WebviewerPing, SilentPageTimesOutAndALatePongIsIgnored) {
    auto webviewer = connectWebviewer("Invoices");
    auto reply = httpGet(port(), "/webviewerPing?fileName=Invoices&timeout=30");
    expectJsonReply(reply, "504 Gateway Timeout", R"({"code":"webviewer_ping_timeout","error":"Timed out waiting for webviewer pong",)"
                          R"("fileName":"Invoices","timeoutMs":30,"webviewerConnected":true})");
    pong(*webviewer, receivePing(*webviewer));
    EXPECT_EQ(pendingPingCount(), 0u);
    expectServerHealthy();
}

TEST_F(WebviewerPing, TimeOutTellsWhetherTheFileStillHasAWebviewer) {
    auto webviewer = connectWebviewer("Invoices");
    auto reply = httpGetAsync(port(), "/webviewerPing?fileName=Invoices&timeout=200");
    receivePing(*webviewer);
    // The page moves to another file: "Invoices" has no web viewer when the time runs out.
    webviewer->registerAs("Contacts", "webviewer");
    EXPECT_EQ(reply.get().json()["webviewerConnected"], false);
}

TEST_F(WebviewerPing, OnlyAWellFormedPongFromAWebviewerOfThePingedFileAnswers) {
    auto invoices = connectWebviewer("Invoices");
    auto contacts = connectWebviewer("Contacts");
    auto agentBrowser = connectAgentBrowser("Invoices");
    EXPECT_EQ(invoices->receiveJson()["type"], "status");
    auto reply = httpGetAsync(port(), kPingInvoices);
    const std::string id = receivePing(*invoices);

    pong(*contacts, id);       // another file's web viewer
    pong(*agentBrowser, id);   // the right file, but not a web viewer
    WsClient unregistered(port());
    pong(unregistered, id);
    // Malformed pongs are ignored and the server keeps running.
    for (const nlohmann::json& badId : {nlohmann::json(42), nlohmann::json{{"id", id}}, nlohmann::json(nullptr),
                                        nlohmann::json(""), nlohmann::json("not-a-pending-ping")}) {
        invoices->sendJson({{"type", "pong"}, {"id", badId}});
    }
    invoices->sendJson({{"type", "pong"}});
    expectServerHealthy();
    EXPECT_EQ(pendingPingCount(), 1u);

    pong(*invoices, id);
    EXPECT_EQ(reply.get().statusLine, "200 OK");
}

TEST_F(WebviewerPing, ClosingWebviewerRejectsItsPingsAndNoOthers) {
    auto invoices = connectWebviewer("Invoices");
    auto contacts = connectWebviewer("Contacts");
    auto first = httpGetAsync(port(), kPingInvoices);
    receivePing(*invoices);
    auto second = httpGetAsync(port(), kPingInvoices);
    receivePing(*invoices);
    auto other = httpGetAsync(port(), "/webviewerPing?fileName=Contacts&timeout=5000");
    const std::string otherId = receivePing(*contacts);

    invoices->close();
    for (auto* reply : {&first, &second}) {
        auto answer = reply->get();
        EXPECT_EQ(answer.statusLine, "502 Bad Gateway");
        EXPECT_EQ(answer.body, kDisconnected);
    }
    EXPECT_EQ(pendingPingCount(), 1u);
    pong(*contacts, otherId);
    EXPECT_EQ(other.get().statusLine, "200 OK");
}

TEST_F(WebviewerPing, ReplacedWebviewerClosingFailsOnlyThePingsSentToIt) {
    auto older = connectWebviewer("Invoices");
    auto toOlder = httpGetAsync(port(), kPingInvoices);
    receivePing(*older);

    auto newer = connectWebviewer("Invoices");
    auto toNewer = httpGetAsync(port(), kPingInvoices);
    const std::string newerId = receivePing(*newer);

    older->close();
    EXPECT_EQ(toOlder.get().body, kDisconnected);
    pong(*newer, newerId);
    EXPECT_EQ(toNewer.get().statusLine, "200 OK");
}

TEST_F(WebviewerPing, ClientThatGoesAwayLeavesNothingBehind) {
    auto webviewer = connectWebviewer("Invoices");
    HttpClient client(port());
    client.sendRaw("GET /webviewerPing?fileName=Invoices&timeout=300 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const std::string id = receivePing(*webviewer);
    client.close();
    ASSERT_TRUE(eventually([&] { return pendingPingCount() == 0; }));

    // A pong for it finds nothing, and the page can be pinged as before.
    pong(*webviewer, id);
    auto reply = httpGetAsync(port(), kPingInvoices);
    pong(*webviewer, receivePing(*webviewer));
    EXPECT_EQ(reply.get().statusLine, "200 OK");
}

TEST_F(WebviewerPing, WithoutEnhancedSecurityASessionIsApprovedForTheFile) {
    auto webviewer = connectWebviewer("Invoices");
    auto anonymous = httpGetAsync(port(), kPingInvoices);
    pong(*webviewer, receivePing(*webviewer));
    EXPECT_EQ(anonymous.get().statusLine, "200 OK");
    EXPECT_TRUE(store_.listSessions().empty());

    auto withSession = httpGetAsync(port(), kPingInvoices, sessionHeader("agent-1"));
    pong(*webviewer, receivePing(*webviewer));
    EXPECT_EQ(withSession.get().statusLine, "200 OK");
    auto sessions = store_.listSessions();
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].sessionId, "agent-1");
    EXPECT_EQ(sessions[0].clientName, "lumenbox-mcp");
    EXPECT_EQ(sessions[0].idleTimeoutSeconds, 3600);
    EXPECT_EQ(sessions[0].files, std::vector<std::string>{"Invoices"});
}

TEST_F(WebviewerPing, WithEnhancedSecurityOnlyApprovedSessionsAndTokensGetThrough) {
    setEnhancedSecurityEnabled(true);
    auto webviewer = connectWebviewer("Invoices");
    store_.approve("approved", "Invoices", "agent", 600);
    store_.approve("elsewhere", "Contacts", "agent", 600);
    store_.registerSharedToken("token-123", "Invoices");

    for (const char* refused : {"", "unknown", "elsewhere"}) {
        SCOPED_TRACE(refused);
        auto headers = *refused ? sessionHeader(refused) : std::map<std::string, std::string>{};
        auto reply = httpGet(port(), kPingInvoices, headers);
        EXPECT_EQ(reply.statusLine, "401 Unauthorized");
        EXPECT_EQ(reply.body, kNotAuthorized);
    }
    for (const char* allowed : {"approved", "token-123"}) {
        SCOPED_TRACE(allowed);
        auto reply = httpGetAsync(port(), kPingInvoices, sessionHeader(allowed));
        pong(*webviewer, receivePing(*webviewer));
        EXPECT_EQ(reply.get().statusLine, "200 OK");
    }
    EXPECT_TRUE(webviewer->quiet());
}

TEST_F(WebviewerPing, PingThePageCannotTakeFailsAtOnce) {
    auto agentBrowser = connectAgentBrowser("Invoices");
    StalledWsClient webviewer(port());
    webviewer.sendJson({{"type", "register"}, {"fileName", "Invoices"}, {"role", "webviewer"}});
    EXPECT_EQ(agentBrowser->receiveJson()["webviewerConnected"], true);

    // Script calls fill the page's socket and then its queue (each waits out a short limit). Each
    // call message is sized so that, once one of them waits in the queue, not even a ping fits.
    auto callMessageSize = [](std::size_t dataBytes) {
        const std::string envelope =
            nlohmann::json{{"callback", {{"fetchId", std::string(36, 'f')}}}, {"data", std::string(dataBytes, 'y')}}.dump();
        return nlohmann::json{{"param", envelope}, {"script", "Report"}, {"type", "callScript"}}.dump().size();
    };
    const std::size_t queueCap = 1024 * 1024;
    const std::size_t dataBytes = queueCap - 30 - callMessageSize(0);
    const std::string body =
        nlohmann::json{{"connectedFileName", "Invoices"}, {"data", std::string(dataBytes, 'y')}, {"scriptName", "Report"}}.dump();
    for (int call = 0; call < 40; ++call) {
        if (httpPost(port(), "/callScript?timeout=50", body).json().value("code", "") != "script_timeout") break;
    }
    auto reply = httpGet(port(), kPingInvoices);
    EXPECT_EQ(reply.statusLine, "502 Bad Gateway");
    EXPECT_EQ(reply.body, R"({"code":"webviewer_ping_send_failed","error":"Failed to send ping to webviewer for Invoices",)"
                          R"("fileName":"Invoices","webviewerConnected":true})");
    EXPECT_EQ(pendingPingCount(), 0u);
}

TEST_F(WebviewerPing, StoppingTheServerDropsWaitingPings) {
    auto webviewer = connectWebviewer("Invoices");
    auto reply = httpGetAsync(port(), kPingInvoices);
    receivePing(*webviewer);
    server_->stop();
    EXPECT_EQ(reply.get().statusLine, "503 Service Unavailable");
}

}  // namespace
}  // namespace Lumenbox::testing
