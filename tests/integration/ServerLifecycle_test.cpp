#include <future>
#include <regex>
#include <sstream>
#include <thread>

#include <boost/asio/ip/tcp.hpp>

#include "auth/SessionStore.h"
#include "server/HttpServer.h"
#include "server/HttpServerImpl.h"
#include "support/ScopedEnv.h"
#include "support/TestClients.h"

#include <gtest/gtest.h>

namespace Lumenbox::testing {
namespace {

namespace asio = boost::asio;

// Servers are made by each test; the log and the settings live in a temporary home directory.
class ServerLifecycle : public ::testing::Test {
protected:
    // Each log line without its time stamp.
    std::vector<std::string> logEntries() const {
        std::vector<std::string> entries;
        std::istringstream in(readFile(home_.path() / "bridge.log"));
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
    TempDir home_;
    ScopedEnv homeEnv_{"HOME", home_.path().string()};
    ScopedEnv configEnv_{"XDG_CONFIG_HOME", std::nullopt};
    ScopedEnv logEnv_{"LUMENBOX_PLUGIN_LOG_PATH", (home_.path() / "bridge.log").string()};
    SessionStore store_;
};

bool acceptsConnections(int port) {
    try {
        return HttpClient(port).get("/health").status == 200;
    } catch (const std::exception&) {
        return false;
    }
}

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
    auto holder = std::make_unique<asio::io_context>();
    auto taken = std::make_unique<asio::ip::tcp::acceptor>(*holder, asio::ip::tcp::endpoint{asio::ip::make_address("127.0.0.1"), 0});
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
    EXPECT_EQ(std::make_tuple(idle.closedByServer(), halfRequest.closedByServer(), acceptsConnections(port)),
              std::make_tuple(true, true, false));
}

TEST_F(ServerLifecycle, HandedOverTasksRunOnTheLoopInOrderOnlyWhileItRuns) {
    HttpServer server(store_);
    auto defer = server.loopDeferrer();
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
