// The approval flow over real sockets, with the headless dialog stand-in answered by the test.
#if !defined(__APPLE__)

#include "support/BridgeFixture.h"
#include "support/DialogDriver.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {
namespace {

constexpr const char* kApproved = R"({"status":"approved"})";
constexpr const char* kRejected = R"({"status":"rejected"})";
constexpr const char* kTimedOut = R"({"status":"timeout"})";
constexpr const char* kInvalidJson = R"({"error":"Invalid JSON body."})";
constexpr const char* kMissingFields = R"({"error":"Missing sessionId or fileName."})";

nlohmann::json request(const std::string& sessionId, const std::string& fileName, nlohmann::json extra = {}) {
    nlohmann::json body = extra.is_object() ? std::move(extra) : nlohmann::json::object();
    body["sessionId"] = sessionId;
    body["fileName"] = fileName;
    return body;
}

class AuthorizeSession : public BridgeFixture {
protected:
    AuthorizeSession() = default;
    explicit AuthorizeSession(const HttpServer::Options& options) : BridgeFixture(options) {}
    ~AuthorizeSession() override {
        server_.reset();
        dialogs_.shutdown();
    }

    HttpReply authorize(const nlohmann::json& body) { return httpPost(port(), "/authorizeSession", body.dump()); }

    // Sends the request on a connection of its own and returns once the bridge has read it: the
    // bridge reads what arrived first first, so a request made after this one is handled after it.
    std::shared_ptr<HttpClient> send(const nlohmann::json& body) {
        auto client = std::make_shared<HttpClient>(port());
        const std::string text = body.dump();
        client->sendRaw("POST /authorizeSession HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                        std::to_string(text.size()) + "\r\n\r\n" + text);
        EXPECT_EQ(httpGet(port(), "/health").status, 200);
        return client;
    }
    std::future<HttpReply> ask(const nlohmann::json& body) {
        return std::async(std::launch::async, [client = send(body)] { return client->readReply(); });
    }

    // The reply, or a failure if none comes: a broken flow must fail, not hang the suite.
    static HttpReply await(std::future<HttpReply>& reply) {
        if (reply.wait_for(10s) != std::future_status::ready) {
            ADD_FAILURE() << "no reply";
            return {};
        }
        return reply.get();
    }

    std::optional<SessionSnapshot> session(const std::string& sessionId) {
        for (auto& snapshot : store_.listSessions()) {
            if (snapshot.sessionId == sessionId) return snapshot;
        }
        return std::nullopt;
    }

    DialogDriver dialogs_;
};

TEST_F(AuthorizeSession, UnreadableBodyOrMissingNamesAreRefusedBeforeAnythingElse) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);
    const std::pair<const char*, const char*> cases[] = {
        {"", kInvalidJson},
        {"{", kInvalidJson},
        {R"({"sessionId":"s1","fileName":"Invoices"} trailing)", kInvalidJson},
        {"[]", kInvalidJson},
        {R"("s1")", kInvalidJson},
        {"null", kInvalidJson},
        {R"({"sessionId":7,"fileName":"Invoices"})", kInvalidJson},
        {R"({"sessionId":"s1","fileName":null})", kInvalidJson},
        {R"({"sessionId":"s1","fileName":"Invoices","clientName":false})", kInvalidJson},
        {R"({"sessionId":"s1","fileName":"Invoices","clientDescription":{"text":"x"}})", kInvalidJson},
        {"{}", kMissingFields},
        {R"({"fileName":"Invoices"})", kMissingFields},
        {R"({"sessionId":"","fileName":"Invoices"})", kMissingFields},
        {R"({"sessionId":" ","fileName":"Invoices"})", kMissingFields},
        {R"({"sessionId":"\t \r\n","fileName":"Invoices"})", kMissingFields},
        {R"({"sessionId":"s1","fileName":" \t "})", kMissingFields},           // trims to nothing
        {R"({"sessionId":"s1","fileName":"x?fileName=&a=1"})", kMissingFields},  // names no file
    };
    for (const auto& [body, expected] : cases) {
        SCOPED_TRACE(body);
        expectJsonReply(httpPost(port(), "/authorizeSession", body), "400 Bad Request", expected);
    }
    EXPECT_EQ(dialogs_.openedCount(), 0u);
    EXPECT_TRUE(store_.listSessions().empty());
}

TEST_F(AuthorizeSession, WithEnhancedSecurityOffASessionIsApprovedAtOnceWithTheIdleTimeoutItAsks) {
    auto webviewer = connectWebviewer("Invoices");
    std::string longName;
    for (int i = 0; i < 100; ++i) longName += "\xC3\xA9";  // 100 two-byte characters: cut at 160 bytes
    expectJsonReply(authorize(request("named", "http://127.0.0.1:1365/webviewer?fileName=Invoices", {{"clientName", longName}})),
                    "200 OK", kApproved);
    EXPECT_EQ(session("named")->clientName, longName.substr(0, 160));
    EXPECT_EQ(session("named")->files, std::vector<std::string>{"Invoices"});
    // Integers, numbers and strings are read; anything else, or out of range, is the default.
    const std::pair<std::optional<nlohmann::json>, std::int64_t> cases[] = {
        {std::nullopt, 3600}, {nullptr, 3600}, {900, 900}, {"900", 900}, {" +900", 900}, {"-5", 1},
        {"900s", 3600}, {"900 ", 3600}, {"", 3600}, {std::string("900\0", 4), 3600},
        {"99999999999999999999", 3600}, {true, 3600}, {nlohmann::json::array({900}), 3600}, {7200, 3600},
        {0, 1}, {-5, 1}, {1, 1}, {90.9, 90}, {-0.5, 1}, {1e300, 3600}, {-1e300, 1},
        {18446744073709551615ull, 3600},
    };
    int n = 0;
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value ? value->dump() : "absent");
        const std::string sessionId = "session-" + std::to_string(++n);
        auto body = request(sessionId, "Invoices");
        if (value) body["idleTimeoutSeconds"] = *value;
        expectJsonReply(authorize(body), "200 OK", kApproved);
        ASSERT_TRUE(session(sessionId));
        EXPECT_EQ(session(sessionId)->idleTimeoutSeconds, expected);
    }
    EXPECT_EQ(dialogs_.openedCount(), 0u);
}

TEST_F(AuthorizeSession, ApprovalsAnswerWithoutAQuestionAndAFileWithoutWebviewerIsAConflict) {
    store_.approve("approved", "Invoices", "agent", 60);
    store_.registerSharedToken("token-1", "Invoices");
    store_.approve("elsewhere", "Other", "agent", 60);
    const std::tuple<bool, const char*, const char*, const char*> cases[] = {
        {true, "approved", "200 OK", kApproved},  // even though the file has no web viewer now
        {true, "token-1", "200 OK", kApproved},
        {false, "stranger", "409 Conflict", R"({"status":"file_not_connected"})"},
        {true, "stranger", "409 Conflict", R"({"status":"file_not_connected"})"},
        {true, "elsewhere", "409 Conflict", R"({"status":"file_not_connected"})"},
    };
    for (const auto& [enhanced, sessionId, status, body] : cases) {
        SCOPED_TRACE(sessionId);
        setEnhancedSecurityEnabled(enhanced);
        expectJsonReply(authorize(request(sessionId, "Invoices")), status, body);
    }
    EXPECT_EQ(dialogs_.openedCount(), 0u);
    EXPECT_EQ(session("elsewhere")->files, std::vector<std::string>{"Other"});
}

TEST_F(AuthorizeSession, RequestsForOneSessionAndFileShareOneQuestion) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);
    // Name and description are shown as one clean line of limited length.
    const std::string shownName = "first-agentSession: 00000000[2Jx";
    auto first = ask(request("0123456789abcdef", "Invoices",
                             {{"clientName", "first-agent\nSession: 00000000\r\x1b[2J\x7f\xC2\x85\xE2\x80\xA8x\xE2\x80\xA9"},
                              {"clientDescription", std::string(400, 'd') + "\n"},
                              {"idleTimeoutSeconds", 600}}));
    auto dialog = dialogs_.nextDialog();
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->content.fileName, "Invoices");
    EXPECT_EQ(dialog->content.clientName, shownName);
    EXPECT_EQ(dialog->content.clientDescription, std::string(300, 'd'));
    EXPECT_EQ(dialog->content.sessionIdPrefix, "01234567");
    EXPECT_EQ(dialog->content.durationText, "10 minutes");

    auto second = ask(request("0123456789abcdef", " Invoices ", {{"clientName", "second-agent"}, {"idleTimeoutSeconds", 60}}));
    auto other = ask(request("another-session", "Invoices"));
    auto otherDialog = dialogs_.nextDialog();
    ASSERT_TRUE(otherDialog);
    EXPECT_EQ(otherDialog->content.clientName, "lumenbox-mcp");
    EXPECT_EQ(otherDialog->content.durationText, "1 hour");

    dialogs_.allow(*dialog);
    expectJsonReply(await(first), "200 OK", kApproved);
    expectJsonReply(await(second), "200 OK", kApproved);
    EXPECT_EQ(session("0123456789abcdef")->clientName, shownName);
    EXPECT_EQ(session("0123456789abcdef")->idleTimeoutSeconds, 600);
    EXPECT_EQ(httpGet(port(), "/sessions").json()["sessions"][0]["serviceName"], shownName);
    EXPECT_EQ(dialogs_.openedCount(), 2u);

    dialogs_.deny(*otherDialog);
    expectJsonReply(await(other), "403 Forbidden", kRejected);
    EXPECT_FALSE(session("another-session"));
    EXPECT_EQ(dialogs_.openCount(), 0u);
}

TEST_F(AuthorizeSession, EachWayAQuestionEndsAnswersItsRequestsOnceAndALateAllowChangesNothing) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);
    const std::tuple<std::string, const char*, const char*> endings[] = {
        {"deny", "403 Forbidden", kRejected},
        {"close box", "403 Forbidden", kRejected},
        {"every client leaves", nullptr, nullptr},
        {"server stops", "503 Service Unavailable", R"({"error":"Lumenbox is shutting down."})"},
    };
    for (const auto& [end, status, body] : endings) {
        SCOPED_TRACE(end);
        const auto question = request("session " + end, "Invoices");
        auto leaving = send(question);
        auto dialog = dialogs_.nextDialog();
        ASSERT_TRUE(dialog);
        auto staying = send(question);  // joins the question
        leaving->close();
        EXPECT_EQ(httpGet(port(), "/health").status, 200);  // the bridge has seen it go
        EXPECT_EQ(dialogs_.openCount(), 1u) << "one of two leaving ends nothing";
        if (end == "deny") dialogs_.deny(*dialog);
        if (end == "close box") dialogs_.close(*dialog);
        if (end == "server stops") server_->stop();
        if (end == "every client leaves") {
            staying->close();
            ASSERT_TRUE(eventually([&] { return dialogs_.openCount() == 0; }));
        } else {
            expectJsonReply(staying->readReply(), status, body);
        }
        dialogs_.allow(*dialog);
        EXPECT_FALSE(session(question["sessionId"]));
        if (end == "server stops") {
            ASSERT_TRUE(server_->start(0));
            webviewer = connectWebviewer("Invoices");
        }
        // A denied session is refused at once for a while, without a new question; otherwise the
        // next request asks anew.
        if (end == "deny" || end == "close box") {
            expectJsonReply(authorize(question), "403 Forbidden", kRejected);
            continue;
        }
        auto again = ask(question);
        auto newDialog = dialogs_.nextDialog();
        ASSERT_TRUE(newDialog);
        dialogs_.allow(*newDialog);
        expectJsonReply(await(again), "200 OK", kApproved);
    }
    EXPECT_EQ(dialogs_.openedCount(), 6u);
}

// A server whose questions wait only briefly, to see the real time limit at work, and whose idle
// connections close in half that time, which tells the test when half the limit has passed.
class AuthorizeSessionTimeLimit : public AuthorizeSession {
protected:
    static HttpServer::Options briefLimit() {
        HttpServer::Options options;
        options.authorizationTimeout = 500ms;
        options.httpLimits.idleTimeout = 250ms;
        return options;
    }
    AuthorizeSessionTimeLimit() : AuthorizeSession(briefLimit()) {}
};

TEST_F(AuthorizeSessionTimeLimit, UnansweredQuestionTimesOutClosingItsDialogAndDismissingEveryOther) {
    auto invoices = connectWebviewer("Invoices");
    auto orders = connectWebviewer("Orders");
    setEnhancedSecurityEnabled(true);
    auto expiring = ask(request("session-1", "Invoices"));
    auto expiringDialog = dialogs_.nextDialog();
    HttpClient idle(port());
    ASSERT_EQ(idle.get("/health").status, 200);
    ASSERT_TRUE(idle.closedByServer(5000ms));  // the other question's own limit ends well after the first's
    auto other = ask(request("session-2", "Orders"));
    auto otherDialog = dialogs_.nextDialog();
    ASSERT_TRUE(expiringDialog && otherDialog);
    // Dialogs open and close in the order the bridge asks for it: the first dialog still open
    // means the second question came before the first timed out (else it times out alone).
    const bool askedBeforeTheTimeOut = expiringDialog->handle.isOpen();

    expectJsonReply(await(expiring), "408 Request Timeout", kTimedOut);
    const auto otherReply = await(other);
    if (askedBeforeTheTimeOut) expectJsonReply(otherReply, "403 Forbidden", kRejected);
    EXPECT_EQ(dialogs_.openCount(), 0u);
    dialogs_.allow(*expiringDialog);  // pressing Allow on a dismissed dialog records nothing
    dialogs_.allow(*otherDialog);
    EXPECT_TRUE(store_.listSessions().empty());
}

TEST_F(AuthorizeSession, OpenQuestionsAreCappedPerFileAndInAllWhileJoiningStillWorks) {
    std::vector<std::unique_ptr<WsClient>> webviewers;
    for (const char* file : {"A", "B", "C"}) webviewers.push_back(connectWebviewer(file));
    setEnhancedSecurityEnabled(true);
    std::vector<std::future<HttpReply>> held;
    std::map<std::string, DialogDriver::Dialog> dialogOf;
    auto openQuestion = [&](const std::string& sessionId, const std::string& file) {
        held.push_back(ask(request(sessionId, file)));
        auto dialog = dialogs_.nextDialog();
        ASSERT_TRUE(dialog);
        dialogOf.emplace(sessionId, *dialog);
    };
    for (int i = 0; i < 3; ++i) openQuestion("a-" + std::to_string(i), "A");
    const std::string tooMany = R"({"error":"Too many approval questions are open. Try again later."})";
    expectJsonReply(authorize(request("a-3", "A")), "429 Too Many Requests", tooMany);
    held.push_back(ask(request("a-0", "A")));  // joining an open question is no new question

    for (int i = 0; i < 3; ++i) openQuestion("b-" + std::to_string(i), "B");
    const std::size_t firstOfC = held.size();
    for (int i = 0; i < 2; ++i) openQuestion("c-" + std::to_string(i), "C");
    expectJsonReply(authorize(request("c-2", "C")), "429 Too Many Requests", tooMany);
    EXPECT_EQ(dialogs_.openCount(), 8u);

    // An answered question makes room.
    dialogs_.allow(dialogOf.at("c-0"));
    expectJsonReply(await(held[firstOfC]), "200 OK", kApproved);
    openQuestion("c-2", "C");
    EXPECT_EQ(dialogs_.openedCount(), 9u);
    server_->stop();  // releases the requests still held
}

TEST_F(AuthorizeSession, SwitchingEnhancedSecurityOnDropsApprovalsTheUserNeverGave) {
    auto webviewer = connectWebviewer("Invoices");
    expectJsonReply(authorize(request("automatic", "Invoices")), "200 OK", kApproved);
    store_.approve("given", "Invoices", "agent", 600);  // as the dialog records it
    setEnhancedSecurityEnabled(true);
    EXPECT_EQ(httpPost(port(), "/callScript", R"({"connectedFileName":"Invoices","scriptName":"S"})",
                       {{"x-lumenbox-session", "automatic"}}).statusLine, "401 Unauthorized");
    expectJsonReply(authorize(request("given", "Invoices")), "200 OK", kApproved);
    const auto listed = httpGet(port(), "/sessions").json()["sessions"];
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["serviceName"], "agent");
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
        page->sendJson({{"type", "register"}, {"role", "agent-browser"}, {"fileName", "Invoices"},
                        {"session", sessionId}, {"clientName", "dev\npage"}});
        page->receiveJson();  // status
        call["param"] = sessionId;
        return page;
    };
    // The web viewer hears of agent browsers only through status messages.
    auto nextCall = [&webviewer] {
        for (auto message = webviewer->receiveJson();; message = webviewer->receiveJson()) {
            if (!message.is_object() || message.value("type", "") != "status") return message;
        }
    };
    for (bool allow : {false, true}) {
        SCOPED_TRACE(allow ? "allowed" : "denied");
        const std::string sessionId = allow ? "page-allowed" : "page-denied";
        auto page = registerPage(sessionId);
        page->sendJson(call);
        page->sendJson(call);  // both wait for the one question
        auto dialog = dialogs_.nextDialog();
        ASSERT_TRUE(dialog);
        EXPECT_EQ(dialog->content.clientName, "devpage");
        allow ? dialogs_.allow(*dialog) : dialogs_.deny(*dialog);
        for (int i = 0; i < 2; ++i) {  // only the approved page's calls reach the web viewer
            EXPECT_EQ(allow ? nextCall()["param"] : page->receiveJson()["message"],
                      allow ? "page-allowed" : "Session not approved for Invoices: the user denied access.");
        }
        EXPECT_EQ(session(sessionId).value_or(SessionSnapshot{}).clientName, allow ? "devpage" : "");
    }
    EXPECT_EQ(dialogs_.openedCount(), 2u);  // one question per session, however many calls

    // A page that leaves while its calls wait takes its question and dialog with it.
    auto leaving = registerPage("page-leaving");
    leaving->sendJson(call);
    ASSERT_TRUE(dialogs_.nextDialog());
    leaving.reset();
    ASSERT_TRUE(eventually([&] { return dialogs_.openCount() == 0; }));
    EXPECT_EQ(httpGet(port(), "/health").statusLine, "200 OK");
}

}  // namespace
}  // namespace Lumenbox::testing

#endif
