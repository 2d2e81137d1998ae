// The approval flow over real sockets, with the headless dialog stand-in answered by the test.
#if !defined(__APPLE__)

#include "server/HttpServerImpl.h"
#include "support/BridgeFixture.h"
#include "support/DialogDriver.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {
namespace {

constexpr const char* kApproved = R"({"status":"approved"})";
constexpr const char* kRejected = R"({"status":"rejected"})";
constexpr const char* kTimedOut = R"({"status":"timeout"})";
constexpr const char* kNotConnected = R"({"status":"file_not_connected"})";
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
    std::future<HttpReply> authorizeAsync(const nlohmann::json& body) {
        return httpPostAsync(port(), "/authorizeSession", body.dump());
    }

    // The reply, or a failure if none comes: a broken flow must fail, not hang the suite.
    static HttpReply await(std::future<HttpReply>& reply) {
        if (reply.wait_for(10s) != std::future_status::ready) {
            ADD_FAILURE() << "no reply";
            return {};
        }
        return reply.get();
    }

    std::size_t waitingRequests(const std::string& sessionId, const std::string& fileName) {
        std::size_t count = 0;
        runOnLoop([&](HttpServer::Impl& impl) {
            count = impl.authorizationQuestions()->waitersOf({sessionId, fileName});
        });
        return count;
    }

    // For effects no client can observe: a request joining a question, a client that went away.
    bool waitForWaitingRequests(const std::string& sessionId, const std::string& fileName, std::size_t count) {
        return eventually([&] { return waitingRequests(sessionId, fileName) == count; });
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

TEST_F(AuthorizeSession, WithEnhancedSecurityOffASessionIsApprovedAtOnce) {
    auto webviewer = connectWebviewer("Invoices");
    expectJsonReply(authorize(request("session-1", "http://127.0.0.1:1365/webviewer?fileName=Invoices",
                                  {{"clientName", "report-agent"}, {"idleTimeoutSeconds", 900}})),
                "200 OK", kApproved);
    auto approved = session("session-1");
    ASSERT_TRUE(approved);
    EXPECT_EQ(approved->clientName, "report-agent");
    EXPECT_EQ(approved->files, std::vector<std::string>{"Invoices"});
    EXPECT_EQ(approved->idleTimeoutSeconds, 900);
    EXPECT_EQ(dialogs_.openedCount(), 0u);
}

TEST_F(AuthorizeSession, IdleTimeoutIsReadFromIntegersNumbersAndStrings) {
    auto webviewer = connectWebviewer("Invoices");
    const std::pair<nlohmann::json, std::int64_t> cases[] = {
        {nullptr, 3600},  // member absent
        {900, 900},
        {"900", 900},
        {" +900", 900},
        {"-5", 1},
        {"900s", 3600},
        {"900 ", 3600},
        {"", 3600},
        {std::string("900\0", 4), 3600},
        {"99999999999999999999", 3600},  // out of range
        {true, 3600},
        {nlohmann::json::array({900}), 3600},
        {7200, 3600},
        {0, 1},
        {-5, 1},
        {1, 1},
        {90.9, 90},
        {-0.5, 1},
        {1e300, 3600},
        {-1e300, 1},
        {18446744073709551615ull, 3600},
    };
    int n = 0;
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value.dump());
        const std::string sessionId = "session-" + std::to_string(++n);
        auto body = request(sessionId, "Invoices");
        if (!value.is_null()) body["idleTimeoutSeconds"] = value;
        expectJsonReply(authorize(body), "200 OK", kApproved);
        auto approved = session(sessionId);
        ASSERT_TRUE(approved);
        EXPECT_EQ(approved->idleTimeoutSeconds, expected);
    }
    // null is "another JSON type" too.
    expectJsonReply(authorize(request("session-null", "Invoices", {{"idleTimeoutSeconds", nullptr}})), "200 OK", kApproved);
    EXPECT_EQ(session("session-null")->idleTimeoutSeconds, 3600);
}

TEST_F(AuthorizeSession, ApprovedSessionIsAnsweredWithoutAQuestionEvenWhenItsFileHasGone) {
    setEnhancedSecurityEnabled(true);
    store_.approve("session-1", "Invoices", "agent", 60);
    expectJsonReply(authorize(request("session-1", "Invoices")), "200 OK", kApproved);
    EXPECT_EQ(dialogs_.openedCount(), 0u);
    // A shared token counts as an approval as well.
    store_.registerSharedToken("token-1", "Invoices");
    expectJsonReply(authorize(request("token-1", "Invoices")), "200 OK", kApproved);
    EXPECT_EQ(dialogs_.openedCount(), 0u);
}

TEST_F(AuthorizeSession, FileWithoutWebViewerIsAConflictWhateverTheSetting) {
    for (bool enhanced : {false, true}) {
        SCOPED_TRACE(enhanced);
        setEnhancedSecurityEnabled(enhanced);
        expectJsonReply(authorize(request("session-1", "Invoices")), "409 Conflict", kNotConnected);
    }
    // A session approved for another file is not approved for this one.
    store_.approve("session-1", "Other", "agent", 60);
    expectJsonReply(authorize(request("session-1", "Invoices")), "409 Conflict", kNotConnected);
    EXPECT_EQ(dialogs_.openedCount(), 0u);
    EXPECT_EQ(session("session-1")->files, std::vector<std::string>{"Other"});
}

TEST_F(AuthorizeSession, RequestsForOneSessionAndFileShareOneQuestion) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);
    auto first = authorizeAsync(request("0123456789abcdef", "Invoices",
                                        {{"clientName", "first-agent"},
                                         {"clientDescription", "Builds the monthly report"},
                                         {"idleTimeoutSeconds", 600}}));
    auto dialog = dialogs_.nextDialog();
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->content.fileName, "Invoices");
    EXPECT_EQ(dialog->content.clientName, "first-agent");
    EXPECT_EQ(dialog->content.clientDescription, "Builds the monthly report");
    EXPECT_EQ(dialog->content.sessionIdPrefix, "01234567");
    EXPECT_EQ(dialog->content.durationText, "10 minutes");

    auto second = authorizeAsync(request("0123456789abcdef", " Invoices ",
                                         {{"clientName", "second-agent"}, {"idleTimeoutSeconds", 60}}));
    ASSERT_TRUE(waitForWaitingRequests("0123456789abcdef", "Invoices", 2));
    auto other = authorizeAsync(request("another-session", "Invoices"));
    auto otherDialog = dialogs_.nextDialog();
    ASSERT_TRUE(otherDialog);
    EXPECT_EQ(otherDialog->content.clientName, "lumenbox-mcp");
    EXPECT_EQ(otherDialog->content.durationText, "1 hour");

    dialogs_.allow(*dialog);
    expectJsonReply(await(first), "200 OK", kApproved);
    expectJsonReply(await(second), "200 OK", kApproved);
    auto approved = session("0123456789abcdef");
    ASSERT_TRUE(approved);
    EXPECT_EQ(approved->clientName, "first-agent");
    EXPECT_EQ(approved->idleTimeoutSeconds, 600);
    EXPECT_EQ(dialogs_.openedCount(), 2u);
    EXPECT_EQ(waitingRequests("another-session", "Invoices"), 1u);

    dialogs_.deny(*otherDialog);
    expectJsonReply(await(other), "403 Forbidden", kRejected);
    EXPECT_FALSE(session("another-session"));
    EXPECT_EQ(dialogs_.openCount(), 0u);
}

TEST_F(AuthorizeSession, DenyingOrClosingTheDialogRejectsAndHoldsThatSessionOffWithoutANewQuestion) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);
    for (bool close : {false, true}) {
        SCOPED_TRACE(close ? "closed" : "denied");
        const std::string sessionId = close ? "session-closed" : "session-denied";
        auto reply = authorizeAsync(request(sessionId, "Invoices"));
        auto dialog = dialogs_.nextDialog();
        ASSERT_TRUE(dialog);
        close ? dialogs_.close(*dialog) : dialogs_.deny(*dialog);
        // Pressing Allow on a dialog that has answered changes nothing.
        dialogs_.allow(*dialog);
        expectJsonReply(await(reply), "403 Forbidden", kRejected);

        // Asking again at once is refused at once, without bothering the user.
        for (int attempt = 0; attempt < 5; ++attempt) {
            expectJsonReply(authorize(request(sessionId, "Invoices")), "403 Forbidden", kRejected);
        }
    }
    EXPECT_EQ(dialogs_.openedCount(), 2u);
    EXPECT_TRUE(store_.listSessions().empty());
    // Another session is asked about as ever.
    auto other = authorizeAsync(request("session-other", "Invoices"));
    auto dialog = dialogs_.nextDialog();
    ASSERT_TRUE(dialog);
    dialogs_.allow(*dialog);
    expectJsonReply(await(other), "200 OK", kApproved);
}

TEST_F(AuthorizeSession, ClientsThatLeaveAreDroppedAndTheLastOneLeavingClosesTheDialog) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);
    const std::string body = request("session-1", "Invoices").dump();
    const std::string raw = "POST /authorizeSession HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                            "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    HttpClient leaving(port());
    leaving.sendRaw(raw);
    auto dialog = dialogs_.nextDialog();
    ASSERT_TRUE(dialog);
    auto staying = authorizeAsync(request("session-1", "Invoices"));
    ASSERT_TRUE(waitForWaitingRequests("session-1", "Invoices", 2));

    // One of two leaving: the other still gets the answer.
    leaving.close();
    ASSERT_TRUE(waitForWaitingRequests("session-1", "Invoices", 1));
    dialogs_.deny(*dialog);
    expectJsonReply(await(staying), "403 Forbidden", kRejected);

    // The only one leaving: the question ends and its dialog closes, so its Allow is dropped.
    const std::string aloneBody = request("session-2", "Invoices").dump();
    HttpClient alone(port());
    alone.sendRaw("POST /authorizeSession HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                  "Content-Length: " + std::to_string(aloneBody.size()) + "\r\n\r\n" + aloneBody);
    auto secondDialog = dialogs_.nextDialog();
    ASSERT_TRUE(secondDialog);
    alone.close();
    ASSERT_TRUE(eventually([&] { return dialogs_.openCount() == 0; }));
    runOnLoop([](HttpServer::Impl& impl) { EXPECT_EQ(impl.authorizationQuestions()->size(), 0u); });
    dialogs_.allow(*secondDialog);
    runOnLoop([](HttpServer::Impl&) {});  // the answer has reached the loop
    EXPECT_TRUE(store_.listSessions().empty());
}

TEST_F(AuthorizeSession, StoppingTheServerAnswersWaitingRequestsUnavailable) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);
    auto waiting = authorizeAsync(request("session-1", "Invoices"));
    auto dialog = dialogs_.nextDialog();
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(waitForWaitingRequests("session-1", "Invoices", 1));

    server_->stop();
    expectJsonReply(await(waiting), "503 Service Unavailable", R"({"error":"Lumenbox is shutting down."})");
    // The answer comes too late: it is dropped, not recorded.
    dialogs_.allow(*dialog);
    EXPECT_TRUE(store_.listSessions().empty());

    // A restarted server starts with no question, and asks anew.
    ASSERT_TRUE(server_->start(0));
    runOnLoop([](HttpServer::Impl& impl) { EXPECT_EQ(impl.authorizationQuestions()->size(), 0u); });
    webviewer = connectWebviewer("Invoices");
    auto again = authorizeAsync(request("session-1", "Invoices"));
    auto newDialog = dialogs_.nextDialog();
    ASSERT_TRUE(newDialog);
    dialogs_.allow(*newDialog);
    expectJsonReply(await(again), "200 OK", kApproved);
}

// A server whose questions wait only briefly, to see the real time limit at work.
class AuthorizeSessionTimeLimit : public AuthorizeSession {
protected:
    static HttpServer::Options briefLimit() {
        HttpServer::Options options;
        options.authorizationTimeout = 50ms;
        return options;
    }
    AuthorizeSessionTimeLimit() : AuthorizeSession(briefLimit()) {}
};

TEST_F(AuthorizeSessionTimeLimit, UnansweredQuestionTimesOutAndItsDialogCloses) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);
    auto reply = authorizeAsync(request("session-1", "Invoices"));
    auto dialog = dialogs_.nextDialog();
    ASSERT_TRUE(dialog);
    expectJsonReply(await(reply), "408 Request Timeout", kTimedOut);
    EXPECT_EQ(dialogs_.openCount(), 0u);
    EXPECT_FALSE(dialog->handle.isOpen());
    EXPECT_TRUE(store_.listSessions().empty());
}

TEST_F(AuthorizeSession, OpenQuestionsAreCappedPerFileAndInAllWhileJoiningStillWorks) {
    std::vector<std::unique_ptr<WsClient>> webviewers;
    for (const char* file : {"A", "B", "C"}) webviewers.push_back(connectWebviewer(file));
    setEnhancedSecurityEnabled(true);
    std::vector<std::future<HttpReply>> held;
    std::optional<DialogDriver::Dialog> last;
    auto ask = [&](const std::string& sessionId, const std::string& file) {
        held.push_back(authorizeAsync(request(sessionId, file)));
        last = dialogs_.nextDialog();
        ASSERT_TRUE(last);
    };
    for (int i = 0; i < 3; ++i) ask("a-" + std::to_string(i), "A");
    const std::string tooMany = R"({"error":"Too many approval questions are open. Try again later."})";
    expectJsonReply(authorize(request("a-3", "A")), "429 Too Many Requests", tooMany);
    // A request for a question already open joins it, cap or not.
    held.push_back(authorizeAsync(request("a-0", "A")));
    ASSERT_TRUE(waitForWaitingRequests("a-0", "A", 2));

    for (int i = 0; i < 3; ++i) ask("b-" + std::to_string(i), "B");
    for (int i = 0; i < 2; ++i) ask("c-" + std::to_string(i), "C");
    expectJsonReply(authorize(request("c-2", "C")), "429 Too Many Requests", tooMany);
    EXPECT_EQ(dialogs_.openCount(), 8u);

    // An answered question makes room, and the bridge serves as before.
    auto dialogs = dialogs_.openedCount();
    dialogs_.allow(*last);
    expectJsonReply(await(held.back()), "200 OK", kApproved);
    auto next = authorizeAsync(request("c-2", "C"));
    ASSERT_TRUE(dialogs_.nextDialog());
    EXPECT_EQ(dialogs_.openedCount(), dialogs + 1);
    EXPECT_EQ(httpGet(port(), "/health").statusLine, "200 OK");
    server_->stop();  // releases the requests still held
}

TEST_F(AuthorizeSession, ClientNameAndDescriptionAreOneCleanLineOfLimitedLength) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);
    std::string longName;
    for (int i = 0; i < 100; ++i) longName += "\xC3\xA9";  // 100 two-byte characters
    const std::pair<std::string, std::string> names[] = {
        {"agent\nSession: 00000000\r\x1b[2J\x7f\xC2\x85\xE2\x80\xA8x\xE2\x80\xA9", "agentSession: 00000000[2Jx"},
        {longName, longName.substr(0, 160)},
    };
    int n = 0;
    for (const auto& [name, shown] : names) {
        SCOPED_TRACE(n);
        const std::string sessionId = "session-" + std::to_string(n++);
        auto reply = authorizeAsync(request(sessionId, "Invoices",
                                            {{"clientName", name}, {"clientDescription", std::string(400, 'd') + "\n"}}));
        auto dialog = dialogs_.nextDialog();
        ASSERT_TRUE(dialog);
        EXPECT_EQ(dialog->content.clientName, shown);
        EXPECT_EQ(dialog->content.clientDescription, std::string(300, 'd'));
        dialogs_.allow(*dialog);
        expectJsonReply(await(reply), "200 OK", kApproved);
        EXPECT_EQ(session(sessionId)->clientName, shown);
    }
    const auto listed = httpGet(port(), "/sessions").json()["sessions"];
    EXPECT_EQ(listed[0]["serviceName"], names[0].second);
}

TEST_F(AuthorizeSession, WhiteSpaceSessionIdIsNoSession) {
    auto webviewer = connectWebviewer("Invoices");
    for (const char* blank : {" ", "\t \r\n"}) {
        expectJsonReply(authorize(request(blank, "Invoices")), "400 Bad Request", kMissingFields);
    }
    // A script call under such a session is a call without one: it runs while the setting is off
    // and approves nothing.
    auto call = httpPostAsync(port(), "/callScript", R"({"connectedFileName":"Invoices","scriptName":"S"})",
                              {{"x-lumenbox-session", "\t \t"}});
    sendResult(*webviewer, "done", receiveForwardedCall(*webviewer).fetchId);
    EXPECT_EQ(await(call).statusLine, "200 OK");
    EXPECT_TRUE(store_.listSessions().empty());
}

TEST_F(AuthorizeSession, SwitchingEnhancedSecurityOnDropsApprovalsTheUserNeverGave) {
    auto webviewer = connectWebviewer("Invoices");
    // Off: approved at once, by the route and by a script call's first use.
    expectJsonReply(authorize(request("auto-route", "Invoices")), "200 OK", kApproved);
    ASSERT_TRUE(session("auto-route"));
    auto call = httpPostAsync(port(), "/callScript", R"({"connectedFileName":"Invoices","scriptName":"S"})",
                              {{"x-lumenbox-session", "auto-call"}});
    sendResult(*webviewer, "done", receiveForwardedCall(*webviewer).fetchId);
    EXPECT_EQ(await(call).statusLine, "200 OK");  // the web viewer's result
    ASSERT_TRUE(session("auto-call"));
    store_.approve("given", "Invoices", "agent", 600);  // as the dialog records it

    setEnhancedSecurityEnabled(true);
    for (const char* id : {"auto-route", "auto-call"}) {
        auto refused = httpPost(port(), "/callScript", R"({"connectedFileName":"Invoices","scriptName":"S"})",
                                {{"x-lumenbox-session", id}});
        EXPECT_EQ(refused.statusLine, "401 Unauthorized") << id;
    }
    expectJsonReply(authorize(request("given", "Invoices")), "200 OK", kApproved);
    const auto listed = httpGet(port(), "/sessions").json()["sessions"];
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["serviceName"], "agent");
}

TEST_F(AuthorizeSession, AgentBrowserCallsWaitForTheSessionsApprovalWithEnhancedSecurityOn) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);
    nlohmann::json call = {{"type", "callScript"}, {"script", "Greet"}, {"param", "none"}};
    auto agent = connectAs("Invoices", "agent-browser");
    agent->send(call.dump());  // registered without a session
    EXPECT_EQ(agent->receiveJson()["message"], "Session not approved for Invoices: the page gave no session.");
    // The web viewer hears of agent browsers only through status messages.
    auto nextCall = [&webviewer] {
        for (auto message = webviewer->receiveJson();; message = webviewer->receiveJson()) {
            if (!message.is_object() || message.value("type", "") != "status") return message;
        }
    };

    for (bool allow : {false, true}) {
        SCOPED_TRACE(allow ? "allowed" : "denied");
        const std::string sessionId = allow ? "page-allowed" : "page-denied";
        auto page = std::make_unique<WsClient>(port());
        page->send(nlohmann::json{{"type", "register"}, {"role", "agent-browser"}, {"fileName", "Invoices"},
                                  {"session", sessionId}, {"clientName", "dev\npage"}}.dump());
        page->receiveJson();  // status
        call["param"] = sessionId;
        page->send(call.dump());
        page->send(call.dump());  // both wait for the one question
        auto dialog = dialogs_.nextDialog();
        ASSERT_TRUE(dialog);
        EXPECT_EQ(dialog->content.clientName, "devpage");
        allow ? dialogs_.allow(*dialog) : dialogs_.deny(*dialog);
        if (allow) {
            // Only the approved page's calls reach the web viewer.
            for (int i = 0; i < 2; ++i) EXPECT_EQ(nextCall()["param"], "page-allowed");
            EXPECT_EQ(session(sessionId)->clientName, "devpage");
        } else {
            for (int i = 0; i < 2; ++i) {
                EXPECT_EQ(page->receiveJson()["message"], "Session not approved for Invoices: the user denied access.");
            }
        }
    }
    EXPECT_EQ(dialogs_.openedCount(), 2u);  // one question per session, however many calls

    // A page that leaves while its calls wait takes its question and dialog with it.
    auto leaving = std::make_unique<WsClient>(port());
    leaving->send(nlohmann::json{{"type", "register"}, {"role", "agent-browser"}, {"fileName", "Invoices"},
                                 {"session", "page-leaving"}}.dump());
    leaving->receiveJson();
    leaving->send(call.dump());
    ASSERT_TRUE(dialogs_.nextDialog());
    leaving.reset();
    ASSERT_TRUE(eventually([&] { return dialogs_.openCount() == 0; }));
    runOnLoop([](HttpServer::Impl& impl) { EXPECT_EQ(impl.authorizationQuestions()->size(), 0u); });
    EXPECT_EQ(httpGet(port(), "/health").statusLine, "200 OK");
}

}  // namespace
}  // namespace Lumenbox::testing

#endif
