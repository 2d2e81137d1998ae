// The routes that answer at once, the loopback policy in front of them, the registry as pages see
// it, and the bridge's start and stop.
#include <future>
#include <regex>
#include <sstream>
#include <thread>

#include <boost/asio/ip/tcp.hpp>

#include "server/HostIdleState.h"
#include "support/BridgeFixture.h"
#include "tools/host/DemoWebviewer.h"
#include "ui/EnhancedSecurity.h"
#include "webviewer/ServedPages.h"

namespace Lumenbox::testing {
namespace {

struct StatusRoutes : BridgeFixture {
    void TearDown() override { g_fileMakerIdleLevel = -1, g_fileMakerIdleObservedAtUnixMs = 0; }
};

TEST_F(StatusRoutes, HealthReportsTheIdleLevelAndTimeStampAsLastObservedWhateverTheRequestCarries) {
    auto health = [](int level, const char* state, std::int64_t at) {
        return R"({"fileMaker":{"idleLevel":)" + std::to_string(level) + R"(,"idleState":")" + state + R"(","observedAtUnixMs":)" +
               std::to_string(at) + R"(},"service":"lbhttp-plugin","status":"ok","version":"3.2.0"})";
    };
    HttpClient client(port());
    expectJsonReply(client.request("GET", "/health?x=1", "ignored body", {{"X-Lumenbox-Session", "unknown"}}), "200 OK", health(-1, "unknown", 0));
    g_fileMakerIdleObservedAtUnixMs = 1767225600123;  // beyond 32 bits
    for (const auto& [level, state] : {std::pair<int, const char*>{0, "user_idle"}, {1, "user_not_idle"}, {2, "script_paused"},
                                       {3, "script_running"}, {4, "unsafe"}, {5, "unknown"}, {-2, "unknown"}}) {
        g_fileMakerIdleLevel = level;
        EXPECT_EQ(client.get("/health").body, health(level, state, 1767225600123));
    }
}

TEST_F(StatusRoutes, ListFilesInByteOrderAndOnlyWebviewerFilesAsConnected) {
    WsClient unregistered(port());
    auto beta = connectWebviewer("beta");
    auto umlaut = connectWebviewer("\xC3\xA4rger");
    auto upperBeta = connectWebviewer("Beta");
    auto agentOnly = connectAgentBrowser("Alpha");
    auto agentOfBeta = connectAgentBrowser("beta");
    EXPECT_EQ(httpGet(port(), "/connectedFiles?fileName=Other").body, "[\"Beta\",\"beta\",\"\xC3\xA4rger\"]");
    expectJsonReply(httpGet(port(), "/bridgeStatus"), "200 OK",
                    R"([{"agentBrowserConnected":true,"fileName":"Alpha","webviewerConnected":false},)"
                    R"({"agentBrowserConnected":false,"fileName":"Beta","webviewerConnected":true},)"
                    R"({"agentBrowserConnected":true,"fileName":"beta","webviewerConnected":true},)"
                    "{\"agentBrowserConnected\":false,\"fileName\":\"\xC3\xA4rger\",\"webviewerConnected\":true}]");
}

using LoopbackPolicy = BridgeFixture;

// Foreign hosts (DNS rebinding) and foreign origins (cross-site pages) are refused before any
// route, the WebSocket upgrade included; local pages and clients without Origin are served.
TEST_F(LoopbackPolicy, RequestsFromForeignHostsOrOriginsAreRefusedBeforeAnyRoute) {
    auto webviewer = connectWebviewer("Invoices");
    const std::string upgrade = "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    const std::string call = R"({"connectedFileName":"Invoices","scriptName":"Delete everything"})";
    const std::string postCall = "POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(call.size()) + "\r\n";
    const std::string host = R"({"error":"Host not allowed."})", origin = R"({"error":"Origin not allowed."})";
    const std::tuple<std::string, const char*, std::string> cases[] = {
        {"GET /health HTTP/1.1\r\nHost: attacker.example:1365\r\n", "403 Forbidden", host},
        {"GET /nope HTTP/1.1\r\n", "403 Forbidden", host},  // no Host at all, and before the 404
        {postCall + "Origin: https://attacker.example\r\n", "403 Forbidden", origin},
        {postCall + "Origin: null\r\n", "403 Forbidden", origin},
        {"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:1365\r\nOrigin: https://attacker.example\r\n" + upgrade, "403 Forbidden", origin},
        {"GET /ws HTTP/1.1\r\nHost: attacker.example\r\n" + upgrade, "403 Forbidden", host},
        {"GET /health HTTP/1.1\r\nHost: localhost:1365\r\nOrigin: http://localhost:5173\r\n", "200 OK", ""},
        {"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:1365\r\nOrigin: http://127.0.0.1:1365\r\n" + upgrade, "101 Switching Protocols", ""},
    };
    for (const auto& [head, statusLine, body] : cases) {
        HttpClient client(port());
        client.sendRaw(head + "\r\n" + (head.starts_with("POST") ? call : ""));
        auto reply = client.readReply();
        EXPECT_EQ(std::make_tuple(reply.statusLine, body.empty() ? "" : reply.body), std::make_tuple(statusLine, body)) << head;
    }
    EXPECT_TRUE(webviewer->quiet());
}

using ServedPages = BridgeFixture;

TEST_F(ServedPages, PagesAreServedAsGeneratedFromTheDecodedQueryWhateverTheSessionAndNoneMayBeFramed) {
    setEnhancedSecurityEnabled(true);
    const std::string html = "text/html; charset=utf-8";
    const std::tuple<const char*, std::string, std::string> cases[] = {
        {"/webviewer", html, generateWebviewerHtml("", R"(["handleFMCallback","handleFmWVFetchCallback","streamingChunkReceived","streamingComplete","chunkReceived"])")},
        {"/webviewer?fileName=http%3A%2F%2F127.0.0.1%3A1365%2Fwebviewer%3FfileName%3D%20Sales%26x%3D1&knownCallbacks=showGreeting,%20Alpha", html,
         generateWebviewerHtml("Sales", R"(["Alpha","chunkReceived","handleFMCallback","handleFmWVFetchCallback","showGreeting","streamingChunkReceived","streamingComplete"])")},
        {"/config?x=1&fileName=Sales", html, generateConfigHtml(port())},
        {"/fm-mock.js?fileName=Sales&wsUrl=ws%3A%2F%2F127.0.0.1%3A9%2Fws&debug=yes", "application/javascript; charset=utf-8", generateFmMockScript("Sales", "ws://127.0.0.1:9/ws", true)},
        {"/fm-mock.js?fileName=Sales&debug=off", "application/javascript; charset=utf-8", generateFmMockScript("Sales", "", false)},
    };
    for (const auto& [target, contentType, body] : cases) {
        auto reply = httpGet(port(), target, {{"x-lumenbox-session", "anyone"}});
        EXPECT_EQ(std::make_tuple(reply.statusLine, reply.headers["content-type"], reply.headers["content-security-policy"], reply.headers["x-frame-options"]),
                  std::make_tuple("200 OK", contentType, "frame-ancestors 'none'", "DENY")) << target;
        EXPECT_TRUE(reply.body == body) << target;
    }
    expectJsonReply(httpGet(port(), "/fm-mock.js?fileName=%20%20&debug=1"), "400 Bad Request",
                    R"({"code":"missing_file_name","error":"Missing required fileName query parameter."})");
}

using DemoFile = BridgeFixture;

TEST_F(DemoFile, AnyParameterFromAPageIsTheScriptsDataAndTheFileKeepsServing) {
    devhost::DemoWebviewer demo(port(), "Demo");
    ASSERT_TRUE(eventually([&] { return httpGet(port(), "/connectedFiles").body == R"(["Demo"])"; }));
    auto page = connectAgentBrowser("Demo");
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');  // too deep to take apart: text
    const std::pair<std::string, nlohmann::json> cases[] = {
        {"hello", "hello"}, {"{", "{"}, {R"({"a":[1,2]})", {{"a", {1, 2}}}},
        {R"({"callback":7,"data":1})", {{"callback", 7}, {"data", 1}}},  // not the bridge's envelope
        {deep, deep},
    };
    for (const auto& [param, echoed] : cases) {
        page->sendJson({{"type", "callScript"}, {"script", "Echo"}, {"param", param}});
        auto callback = page->receiveJson();
        EXPECT_EQ(std::make_tuple(callback["fn"], callback["args"][0]), std::make_tuple("handleFMCallback", echoed)) << param.substr(0, 40);
    }
    EXPECT_EQ(httpPost(port(), "/callScript", R"({"connectedFileName":"Demo","scriptName":"Echo","data":{"a":1}})").json()["result"], nlohmann::json({{"a", 1}}));
}

constexpr const char* kRevoked = R"({"status":"revoked"})";

using SessionRoutes = BridgeFixture;

TEST_F(SessionRoutes, ListingShowsSessionsInIdOrderAndSecretsOnlyByPrefixes) {
    expectJsonReply(httpGet(port(), "/sessions"), "200 OK", R"({"enhancedSecurityEnabled":false,"persistentTokens":[],"sessions":[],"sharedTokens":[]})");
    setEnhancedSecurityEnabled(true);
    store_.approve("zz-session-with-a-long-id", "Invoices", "agent-one", 600);
    store_.approve("zz-session-with-a-long-id", "Contacts", "agent-one", 600);
    store_.approve("short", "Invoices", "", 60);
    store_.registerSharedToken("secret-token-value", "Invoices");
    auto body = httpGet(port(), "/sessions").json();
    auto second = body["sessions"][1];
    EXPECT_GE(second["idleRemainingSeconds"].get<std::int64_t>(), 590);
    second.erase("idleRemainingSeconds");
    EXPECT_EQ(second.dump(), R"({"files":["Contacts","Invoices"],"idleTimeoutSeconds":600,"serviceName":"agent-one","sessionIdPrefix":"zz-sessi"})");
    EXPECT_EQ(std::make_tuple(body["enhancedSecurityEnabled"], body["sessions"][0]["sessionIdPrefix"], body["sessions"][0]["serviceName"]),
              std::make_tuple(true, "sh", "lumenbox-mcp"));
    const std::string tokens = R"([{"files":["Invoices"],"tokenPrefix":"secret-t"}])";
    EXPECT_EQ(std::make_tuple(body["persistentTokens"].dump(), body["sharedTokens"].dump()), std::make_tuple(tokens, tokens));
}

TEST_F(SessionRoutes, SessionsAndTokensAreRevokedByIdOrUnambiguousPrefixAndUnreadableBodiesAreRefused) {
    for (const char* id : {"5d41402a-aaaa-0001", "5d41402a-bbbb-0002", "one"}) store_.approve(id, "Invoices", "agent", 600);
    for (const char* token : {"abcdefgh-1111", "abcdefgh-2222"}) store_.registerSharedToken(token, "Invoices");
    const std::string missing = R"({"error":"Missing sessionId or sessionIdPrefix."})";
    const std::tuple<const char*, std::string, const char*, std::string> cases[] = {
        {"/sessions/revoke", "{}", "400 Bad Request", missing},
        {"/sessions/revoke", R"({"sessionId":"\t","sessionIdPrefix":" "})", "400 Bad Request", missing},
        {"/sessions/revoke", R"({"sessionIdPrefix":1})", "400 Bad Request", kInvalidJson},
        {"/sessions/revoke", R"({"sessionId":["one"]})", "400 Bad Request", kInvalidJson},
        {"/sessions/revoke", "[]", "400 Bad Request", kInvalidJson},
        {"/sessions/revoke", R"({"sessionIdPrefix":"5d41402a"})", "409 Conflict", R"({"error":"Session prefix is ambiguous."})"},
        {"/sessions/revoke", R"({"sessionIdPrefix":"0000"})", "404 Not Found", R"({"error":"Session not found."})"},
        {"/tokens/revoke", R"({"tokenPrefix":{}})", "400 Bad Request", kInvalidJson},
        {"/tokens/revoke", R"({"sessionId":"one")", "400 Bad Request", kInvalidJson},
        {"/tokens/revoke", R"({"tokenPrefix":""})", "404 Not Found", R"({"error":"Token not found."})"},
        {"/tokens/revoke", R"({"tokenPrefix":"abcdefgh"})", "409 Conflict", R"({"error":"Token prefix is ambiguous."})"},
        {"/sessions/revoke", R"({"sessionIdPrefix":"5d41402a-b"})", "200 OK", kRevoked},
        {"/sessions/revoke", R"({"sessionId":"never-approved"})", "200 OK", kRevoked},  // an unknown id is no error
        {"/tokens/revoke", R"({"tokenPrefix":"abcdefgh-2"})", "200 OK", kRevoked},
        {"/sessions/revokeAll", "not json at all", "200 OK", kRevoked},  // every session, but no token
    };
    for (const auto& [route, body, status, expected] : cases) expectJsonReply(httpPost(port(), route, body), status, expected);
    EXPECT_TRUE(store_.listSessions().empty());
    EXPECT_EQ(store_.listSharedTokens().size(), 1u);
    EXPECT_TRUE(store_.isAuthorized("abcdefgh-1111", "Invoices", false));
}

TEST_F(SessionRoutes, BodyArrivingInPiecesIsReadWhole) {
    store_.approve("one", "Invoices", "agent", 600);
    HttpClient client(port());
    client.sendRaw("POST /sessions/revoke HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 19\r\n\r\n{\"sessionId\"");
    client.sendRaw(":\"one\"}");
    EXPECT_EQ(client.readReply().body, kRevoked);
    EXPECT_TRUE(store_.listSessions().empty());
}

constexpr const char* kWebviewerOnly = R"({"agentBrowserConnected":false,"type":"status","webviewerConnected":true})";
constexpr const char* kAgentBrowserOnly = R"({"agentBrowserConnected":true,"type":"status","webviewerConnected":false})";
constexpr const char* kBothConnected = R"({"agentBrowserConnected":true,"type":"status","webviewerConnected":true})";

using WebSocketRegistry = BridgeFixture;

TEST_F(WebSocketRegistry, APageRegistersUnderTheTrimmedNameAndATextFrameNotUtf8EndsItLikeAnyLeavingPage) {
    WsClient webviewer(port());  // which registrations count and who hears what is the registry's to show
    webviewer.registerAs(" \tInvoices \r\n", "webviewer");
    EXPECT_EQ(webviewer.receive(), kWebviewerOnly);
    auto agentBrowser = connectAgentBrowser("Invoices");
    EXPECT_EQ(webviewer.receive(), kBothConnected);
    webviewer.send("{\"type\":\"callScript\",\"script\":\"Re\xffport\",\"param\":\"\"}");
    EXPECT_TRUE(webviewer.waitClosed());
    EXPECT_EQ(agentBrowser->receive(), kAgentBrowserOnly);
}

TEST_F(WebSocketRegistry, WithEnhancedSecurityOnlyTheFilesConnectorKeyReplacesItsConnectedWebviewer) {
    setEnhancedSecurityEnabled(true);
    const std::string key = connectorKeys_.keyFor("Invoices");
    const std::string taken = R"({"message":"Another web viewer is connected for Invoices; open this page with the file's connector URL )"
                              R"((Lumenbox_ConnectorURL) to replace it.","type":"error"})";
    auto real = connectWebviewer("Invoices");  // nobody holds the file: no key needed
    WsClient hijacker(port());
    for (const nlohmann::json& wrongKey : {nlohmann::json(""), nlohmann::json(key.substr(1) + "0"), nlohmann::json(connectorKeys_.keyFor("Contacts")), nlohmann::json(42)}) {
        hijacker.sendJson({{"type", "register"}, {"fileName", " Invoices "}, {"role", "webviewer"}, {"key", wrongKey}});
        EXPECT_EQ(hijacker.receive(), taken) << wrongKey;
    }
    EXPECT_TRUE(real->quiet());
    WsClient keyed(port());
    keyed.sendJson({{"type", "register"}, {"fileName", "Invoices"}, {"role", "webviewer"}, {"key", key}});
    EXPECT_EQ(keyed.receive(), kWebviewerOnly);  // what the replaced page may do next is the registry's
}

// Servers are made by each test, beside the fixture's (whose start logs nothing).
struct ServerLifecycle : BridgeFixture {
    // Each log line without its time stamp.
    std::vector<std::string> logEntries() const {
        std::vector<std::string> entries;
        std::istringstream in(logText());
        for (std::string text; std::getline(in, text);) {
            EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ .*)"))) << text;
            entries.push_back(text.substr(21));
        }
        return entries;
    }
    std::unique_ptr<WsClient> webviewer(int port, const char* role = "webviewer") {
        auto page = std::make_unique<WsClient>(port);
        page->registerAs("Sales", role);
        EXPECT_EQ(page->receiveJson()["type"], "status");
        return page;
    }
};

TEST_F(ServerLifecycle, StartAndStopTwiceChangeNothingAndATakenPortFailsLoggedOnceUntilItRecovers) {
    HttpServer server(store_);
    server.stop();  // without a start
    ASSERT_TRUE(server.start(0));
    const int port = server.port();
    {
        auto page = webviewer(port);
        EXPECT_TRUE(server.start(0));  // while running: keeps the running server
        EXPECT_EQ(std::make_tuple(server.isRunning(), server.port(), httpGet(port, "/connectedFiles").body), std::make_tuple(true, port, R"(["Sales"])"));
        server.stop();
        server.stop();
        EXPECT_TRUE(page->waitClosed());
    }
    EXPECT_EQ(std::make_tuple(server.isRunning(), server.port()), std::make_tuple(false, 0));
    auto holder = std::make_unique<boost::asio::io_context>();
    auto taken = std::make_unique<boost::asio::ip::tcp::acceptor>(*holder, boost::asio::ip::tcp::endpoint{boost::asio::ip::make_address("127.0.0.1"), 0});
    const int takenPort = taken->local_endpoint().port();
    const std::string endpoint = "host=127.0.0.1 port=" + std::to_string(takenPort);
    const std::string failure = "bridge_start_failed " + endpoint + " error_code=98 error=\"Address already in use\"";
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_FALSE(server.start(takenPort));
        EXPECT_EQ(std::make_tuple(server.isRunning(), server.port()), std::make_tuple(false, 0));
    }
    EXPECT_EQ(logEntries(), std::vector<std::string>{failure});
    taken.reset();
    ASSERT_TRUE(server.start(takenPort));
    EXPECT_EQ(httpGet(takenPort, "/connectedFiles").body, "[]");  // a restarted server has empty registries
    server.stop();
    ASSERT_TRUE(server.start(takenPort));  // a start without a failure before it logs nothing
    EXPECT_EQ(logEntries(), (std::vector<std::string>{failure, "bridge_start_recovered " + endpoint}));
    HttpServer other(store_);  // nor can another server share the port of a running one
    EXPECT_FALSE(other.start(takenPort));
}

TEST_F(ServerLifecycle, StopAnswersHeldRequestsUnavailableSaysGoingAwayToWebSocketsAndClosesEverything) {
    HttpServer server(store_);
    ASSERT_TRUE(server.start(0));
    const int port = server.port();
    auto page = webviewer(port);
    auto agentBrowser = webviewer(port, "agent-browser");
    ASSERT_EQ(page->receiveJson()["type"], "status");
    WsClient unregistered(port);
    HttpClient idle(port), halfRequest(port);
    ASSERT_EQ(idle.get("/health").status, 200);
    halfRequest.sendRaw("POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 50\r\n\r\n{");
    // Neither of these reads: the stop must not wait for them.
    StalledWsClient stalled(port);
    stalled.sendJson({{"type", "register"}, {"fileName", "Stalled"}, {"role", "webviewer"}});
    const std::string neverBody = R"({"connectedFileName":"Sales","scriptName":"Never"})";
    HttpClient silent(port);
    silent.sendRaw(clients::requestBytes("POST", "/callScript", neverBody));
    ASSERT_EQ(page->receiveJson()["type"], "callScript");
    std::vector<std::future<HttpReply>> held;
    held.push_back(httpPostAsync(port, "/callScript", neverBody));
    ASSERT_EQ(page->receiveJson()["type"], "callScript");  // the call now waits for the page
    held.push_back(httpGetAsync(port, "/webviewerPing?fileName=Sales&timeout=5000"));
    ASSERT_EQ(page->receiveJson()["type"], "ping");

    server.stop();
    for (auto& reply : held) {
        auto answer = reply.get();
        expectJsonReply(answer, "503 Service Unavailable", R"({"error":"Lumenbox is shutting down."})");
        EXPECT_EQ(answer.headers["connection"], "close");
    }
    for (WsClient* client : {page.get(), agentBrowser.get(), &unregistered}) {
        EXPECT_TRUE(client->waitClosed());
        EXPECT_EQ(std::make_tuple(client->receive(0ms), client->closeCode()), std::make_tuple(std::nullopt, 1001));  // no status about the others
    }
    EXPECT_EQ(std::make_tuple(idle.closedByServer(), halfRequest.closedByServer()), std::make_tuple(true, true));
    EXPECT_ANY_THROW(HttpClient(port).get("/health"));
}

TEST_F(ServerLifecycle, HandedOverTasksRunOnTheLoopInOrderOnlyWhileItRuns) {
    HttpServer server(store_);
    auto defer = [&server](std::function<void()> task) { return server.deferToLoop(std::move(task)); };
    EXPECT_FALSE(defer([] { ADD_FAILURE() << "ran before start"; }));
    ASSERT_TRUE(server.start(0));
    auto page = webviewer(server.port());
    std::vector<std::pair<int, std::thread::id>> ran;  // written on the loop thread only
    std::thread::id caller;
    std::promise<void> done;
    std::thread([&] {
        caller = std::this_thread::get_id();
        for (int i = 0; i < 20; ++i) EXPECT_TRUE(defer([&, i] { ran.emplace_back(i, std::this_thread::get_id()); }));
        // The bridge's state is read on the loop thread only.
        EXPECT_TRUE(defer([&] {
            EXPECT_EQ(server.pendingCounts().webviewers, 1u);
            done.set_value();
        }));
    }).join();
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    ASSERT_EQ(ran.size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(ran[i], std::make_pair(i, ran[0].second));  // in order, on one thread
    EXPECT_NE(ran[0].second, caller);
    server.stop();
    EXPECT_FALSE(defer([] { ADD_FAILURE() << "ran after stop"; }));
    ASSERT_TRUE(server.start(0));  // nor does the next run pick it up
    server.stop();
}

}  // namespace
}  // namespace Lumenbox::testing
