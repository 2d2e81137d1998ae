// The approval flow over real sockets, with the headless dialog stand-in answered by the test.
#if !defined(__APPLE__)

#include "support/BridgeFixture.h"
#include "support/DialogDriver.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {
namespace {

constexpr const char* kApproved = R"({"status":"approved"})";
constexpr const char* kRejected = R"({"status":"rejected"})";
constexpr const char* kMissingFields = R"({"error":"Missing sessionId or fileName."})";

nlohmann::json request(const std::string& sessionId, const std::string& fileName, nlohmann::json extra = nlohmann::json::object()) {
    extra["sessionId"] = sessionId;
    extra["fileName"] = fileName;
    return extra;
}

class AuthorizeSession : public BridgeFixture {
protected:
    AuthorizeSession() = default;
    explicit AuthorizeSession(const HttpServer::Options& options) : BridgeFixture(options) {}
    ~AuthorizeSession() override { server_.reset(), dialogs_.shutdown(); }
    HttpReply authorize(const nlohmann::json& body) { return httpPost(port(), "/authorizeSession", body.dump()); }
    // Sends the request on a connection of its own and returns once the bridge has read it: the
    // bridge reads what arrived first first, so a request made after this one is handled after it.
    std::shared_ptr<HttpClient> send(const nlohmann::json& body) {
        auto client = std::make_shared<HttpClient>(port());
        client->sendRaw(clients::requestBytes("POST", "/authorizeSession", body.dump()));
        EXPECT_EQ(httpGet(port(), "/health").status, 200);
        return client;
    }
    std::future<HttpReply> ask(const nlohmann::json& body) {
        return std::async(std::launch::async, [client = send(body)] { return client->readReply(); });
    }
    // The reply, or a failure if none comes: a broken flow must fail, not hang the suite.
    static HttpReply await(std::future<HttpReply>& reply) {
        if (reply.wait_for(10s) == std::future_status::ready) return reply.get();
        ADD_FAILURE() << "no reply";
        return {};
    }
    SessionSnapshot session(const std::string& sessionId) {
        for (auto& snapshot : store_.listSessions()) if (snapshot.sessionId == sessionId) return snapshot;
        return {};
    }
    DialogDriver dialogs_;
};

TEST_F(AuthorizeSession, UnreadableBodyOrMissingNamesAreRefusedBeforeAnythingElse) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);
    const std::pair<const char*, const char*> cases[] = {
        {"", kInvalidJson}, {R"({"sessionId":"s1","fileName":"Invoices"} trailing)", kInvalidJson}, {"[]", kInvalidJson},
        {R"({"sessionId":7,"fileName":"Invoices"})", kInvalidJson}, {R"({"sessionId":"s1","fileName":null})", kInvalidJson},
        {R"({"sessionId":"s1","fileName":"Invoices","clientName":false})", kInvalidJson},
        {R"({"sessionId":"s1","fileName":"Invoices","clientDescription":{"text":"x"}})", kInvalidJson},
        {"{}", kMissingFields}, {R"({"sessionId":"\t \r\n","fileName":"Invoices"})", kMissingFields},
        {R"({"sessionId":"s1","fileName":" \t "})", kMissingFields}, {R"({"sessionId":"s1","fileName":"x?fileName=&a=1"})", kMissingFields},
    };
    for (const auto& [body, expected] : cases) expectJsonReply(httpPost(port(), "/authorizeSession", body), "400 Bad Request", expected);
    EXPECT_EQ(std::make_tuple(dialogs_.openedCount(), store_.listSessions().size()), std::make_tuple(0u, 0u));
}

TEST_F(AuthorizeSession, WithEnhancedSecurityOffASessionIsApprovedAtOnceWithTheIdleTimeoutItAsks) {
    auto webviewer = connectWebviewer("Invoices");
    std::string longName;
    for (int i = 0; i < 100; ++i) longName += "\xC3\xA9";  // 100 two-byte characters: cut at 160 bytes
    expectJsonReply(authorize(request("named", "http://127.0.0.1:1365/webviewer?fileName=Invoices", {{"clientName", longName}})), "200 OK", kApproved);
    EXPECT_EQ(std::make_tuple(session("named").clientName, session("named").files), std::make_tuple(longName.substr(0, 160), std::vector<std::string>{"Invoices"}));
    // Integers, numbers and strings are read; anything else, or out of range, is the default.
    const std::pair<std::optional<nlohmann::json>, std::int64_t> cases[] = {
        {std::nullopt, 3600}, {nullptr, 3600}, {900, 900}, {"900", 900}, {" +900", 900}, {"-5", 1},
        {"900s", 3600}, {"900 ", 3600}, {"", 3600}, {std::string("900\0", 4), 3600},
        {"99999999999999999999", 3600}, {true, 3600}, {nlohmann::json::array({900}), 3600}, {7200, 3600},
        {0, 1}, {90.9, 90}, {-0.5, 1}, {1e300, 3600}, {-1e300, 1}, {18446744073709551615ull, 3600},
    };
    for (const auto& [value, expected] : cases) {
        auto body = request("s-" + (value ? value->dump() : "absent"), "Invoices");
        if (value) body["idleTimeoutSeconds"] = *value;
        EXPECT_EQ(authorize(body).body, kApproved);
        EXPECT_EQ(session(body["sessionId"]).idleTimeoutSeconds, expected) << body.dump();
    }
    EXPECT_EQ(dialogs_.openedCount(), 0u);
}

TEST_F(AuthorizeSession, ApprovalsAnswerWithoutAQuestionAndAFileWithoutWebviewerIsAConflict) {
    store_.approve("approved", "Invoices", "agent", 60);
    store_.registerSharedToken("token-1", "Invoices");
    store_.approve("elsewhere", "Other", "agent", 60);
    const std::string notConnected = R"({"status":"file_not_connected"})";
    const std::tuple<bool, const char*, const char*, std::string> cases[] = {
        {true, "approved", "200 OK", kApproved}, {true, "token-1", "200 OK", kApproved},  // though the file has no web viewer now
        {false, "stranger", "409 Conflict", notConnected}, {true, "elsewhere", "409 Conflict", notConnected},
    };
    for (const auto& [enhanced, sessionId, status, body] : cases) {
        setEnhancedSecurityEnabled(enhanced);
        expectJsonReply(authorize(request(sessionId, "Invoices")), status, body);
    }
    EXPECT_EQ(std::make_tuple(dialogs_.openedCount(), session("elsewhere").files), std::make_tuple(0u, std::vector<std::string>{"Other"}));
}

TEST_F(AuthorizeSession, RequestsForOneSessionAndFileShareOneQuestionShownAsOneCleanLine) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);
    const std::string shownName = "first-agentSession: 00000000[2Jx";
    auto first = ask(request("0123456789abcdef", "Invoices",
                             {{"clientName", "first-agent\nSession: 00000000\r\x1b[2J\x7f\xC2\x85\xE2\x80\xA8x\xE2\x80\xA9"},
                              {"clientDescription", std::string(400, 'd') + "\n"}, {"idleTimeoutSeconds", 600}}));
    auto dialog = dialogs_.nextDialog();
    ASSERT_TRUE(dialog);
    const auto& shown = dialog->content;
    EXPECT_EQ(std::make_tuple(shown.fileName, shown.clientName, shown.clientDescription, shown.sessionIdPrefix, shown.durationText),
              std::make_tuple("Invoices", shownName, std::string(300, 'd'), "01234567", "10 minutes"));
    auto other = ask(request("another-session", "Invoices"));
    auto otherDialog = dialogs_.nextDialog();
    ASSERT_TRUE(otherDialog);
    EXPECT_EQ(std::make_tuple(otherDialog->content.clientName, otherDialog->content.durationText), std::make_tuple("lumenbox-mcp", "1 hour"));
    dialogs_.allow(*dialog);
    expectJsonReply(await(first), "200 OK", kApproved);
    EXPECT_EQ(std::make_tuple(session("0123456789abcdef").clientName, session("0123456789abcdef").idleTimeoutSeconds), std::make_tuple(shownName, 600));
    EXPECT_EQ(httpGet(port(), "/sessions").json()["sessions"][0]["serviceName"], shownName);
    dialogs_.deny(*otherDialog);
    expectJsonReply(await(other), "403 Forbidden", kRejected);
    expectJsonReply(authorize(request("another-session", "Invoices")), "403 Forbidden", kRejected);  // for a while, without asking
    EXPECT_EQ(std::make_tuple(dialogs_.openedCount(), dialogs_.openCount(), session("another-session").sessionId), std::make_tuple(2u, 0u, ""));
}

TEST_F(AuthorizeSession, AQuestionEndsWhenItsLastClientLeaves) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);
    auto dialog = (send(request("s", "Invoices"))->close(), dialogs_.nextDialog());
    ASSERT_TRUE(dialog);
    EXPECT_TRUE(eventually([&] { return dialogs_.openCount() == 0; }));  // a late Allow is the dialog's to ignore
}

struct AuthorizeSessionTimeLimit : AuthorizeSession {
    AuthorizeSessionTimeLimit() : AuthorizeSession(HttpServer::Options{.authorizationTimeout = 200ms}) {}
};

TEST_F(AuthorizeSessionTimeLimit, AnUnansweredQuestionTimesOutClosingItsDialog) {
    auto invoices = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);
    auto expiring = ask(request("session-1", "Invoices"));
    ASSERT_TRUE(dialogs_.nextDialog());
    expectJsonReply(await(expiring), "408 Request Timeout", R"({"status":"timeout"})");
    EXPECT_EQ(dialogs_.openCount(), 0u);
}

TEST_F(AuthorizeSession, OpenQuestionsAreCappedPerFileAndAStopAnswersThemUnavailable) {
    auto webviewer = connectWebviewer("A");
    setEnhancedSecurityEnabled(true);
    std::vector<std::future<HttpReply>> held;
    for (int i = 0; i < 3; ++i) held.push_back(ask(request("a-" + std::to_string(i), "A")));
    ASSERT_TRUE(eventually([&] { return dialogs_.openCount() == 3; }));
    expectJsonReply(authorize(request("a-3", "A")), "429 Too Many Requests",
                    R"({"error":"Too many approval questions are open. Try again later."})");
    server_->stop();
    for (auto& reply : held) expectJsonReply(await(reply), "503 Service Unavailable", R"({"error":"Lumenbox is shutting down."})");
}

TEST_F(AuthorizeSession, AgentBrowserCallsWaitForTheSessionsApprovalWithEnhancedSecurityOn) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);
    nlohmann::json call = {{"type", "callScript"}, {"script", "Greet"}, {"param", "none"}};
    auto agent = connectAgentBrowser("Invoices");
    agent->sendJson(call);  // registered without a session
    EXPECT_EQ(agent->receiveJson()["message"], "Session not approved for Invoices: the page gave no session.");
    auto registerPage = [&](const std::string& sessionId) {
        auto page = std::make_unique<WsClient>(port());
        page->sendJson({{"type", "register"}, {"role", "agent-browser"}, {"fileName", "Invoices"}, {"session", sessionId}, {"clientName", "dev\npage"}});
        page->receiveJson();  // status
        call["param"] = sessionId;
        return page;
    };
    for (const bool allow : {false, true}) {
        const std::string sessionId = allow ? "page-allowed" : "page-denied";
        auto page = registerPage(sessionId);
        page->sendJson(call);
        page->sendJson(call);  // both wait for the one question
        auto dialog = dialogs_.nextDialog();
        ASSERT_TRUE(dialog);
        allow ? dialogs_.allow(*dialog) : dialogs_.deny(*dialog);
        for (int i = 0; i < 2 && !allow; ++i) EXPECT_EQ(page->receiveJson()["message"], "Session not approved for Invoices: the user denied access.");
        for (int i = 0; i < 2 && allow; ++i) {  // only now does a call reach the web viewer, past statuses of pages coming and going
            auto heard = webviewer->receiveJson();
            while (heard["type"] == "status") heard = webviewer->receiveJson();
            EXPECT_EQ(heard["param"], "page-allowed");
        }
        EXPECT_EQ(std::make_tuple(dialog->content.clientName, session(sessionId).clientName), std::make_tuple("devpage", allow ? "devpage" : ""));
    }
    // A page that leaves while its calls wait takes its question and dialog with it.
    auto leaving = registerPage("page-leaving");
    leaving->sendJson(call);
    ASSERT_TRUE(dialogs_.nextDialog());
    leaving.reset();
    ASSERT_TRUE(eventually([&] { return dialogs_.openCount() == 0; }));
    EXPECT_EQ(dialogs_.openedCount(), 3u);  // one question per session, however many calls
}

}  // namespace
}  // namespace Lumenbox::testing

#endif
