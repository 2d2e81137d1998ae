#include <future>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

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
    std::string logText() const { return readFile(home_.path() / "bridge.log"); }

    // Each log line without its time stamp.
    std::vector<std::string> logEntries() const {
        std::vector<std::string> entries;
        static const std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ (.*))");
        std::istringstream in(logText());
        for (std::string text; std::getline(in, text);) {
            std::smatch match;
            EXPECT_TRUE(std::regex_match(text, match, line)) << text;
            entries.push_back(match[1]);
        }
        return entries;
    }

    TempDir home_;
    ScopedEnv homeEnv_{"HOME", home_.path().string()};
    ScopedEnv configEnv_{"XDG_CONFIG_HOME", std::nullopt};
    ScopedEnv logEnv_{"LUMENBOX_PLUGIN_LOG_PATH", (home_.path() / "bridge.log").string()};
    SessionStore store_;
};

// A listening socket on an ephemeral loopback port, holding the port until destroyed.
class PortHolder {
public:
    PortHolder() : acceptor_(context_, {asio::ip::make_address("127.0.0.1"), 0}) {}
    int port() const { return acceptor_.local_endpoint().port(); }

private:
    asio::io_context context_;
    asio::ip::tcp::acceptor acceptor_;
};

bool acceptsConnections(int port) {
    asio::io_context context;
    asio::ip::tcp::socket socket(context);
    boost::system::error_code error;
    socket.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)}, error);
    return !error;
}

TEST_F(ServerLifecycle, StartAndStopTwiceChangeNothingAndARestartedServerHasEmptyRegistries) {
    HttpServer server(store_);
    server.stop();  // without a start
    EXPECT_FALSE(server.isRunning());
    EXPECT_EQ(server.port(), 0);
    ASSERT_TRUE(server.start(0));
    const int port = server.port();
    EXPECT_NE(port, 0);
    {
        WsClient webviewer(port);
        webviewer.registerAs("Sales", "webviewer");
        ASSERT_EQ(webviewer.receiveJson()["type"], "status");
        EXPECT_TRUE(server.start(0));  // while running: keeps the running server
        EXPECT_TRUE(server.isRunning());
        EXPECT_EQ(server.port(), port);
        EXPECT_EQ(httpGet(port, "/connectedFiles").body, R"(["Sales"])");
        server.stop();
        server.stop();
        EXPECT_TRUE(webviewer.waitClosed());
    }
    ASSERT_TRUE(server.start(0));
    EXPECT_EQ(httpGet(server.port(), "/connectedFiles").body, "[]");
    EXPECT_EQ(httpGet(server.port(), "/bridgeStatus").body, "[]");
    EXPECT_EQ(logText(), "");
}

TEST_F(ServerLifecycle, StartOnATakenPortFailsAndIsLoggedOnceUntilItRecovers) {
    auto holder = std::make_unique<PortHolder>();
    const int port = holder->port();
    const std::string endpoint = "host=127.0.0.1 port=" + std::to_string(port);
    const std::string failure = "bridge_start_failed " + endpoint + " error_code=98 error=\"Address already in use\"";

    HttpServer server(store_);
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_FALSE(server.start(port));
        EXPECT_FALSE(server.isRunning());
        EXPECT_EQ(server.port(), 0);
    }
    EXPECT_EQ(logEntries(), std::vector<std::string>{failure});

    // Another server cannot share the port of a running one either.
    HttpServer running(store_);
    ASSERT_TRUE(running.start(0));
    const int runningPort = running.port();
    EXPECT_FALSE(server.start(runningPort));
    running.stop();

    holder.reset();
    ASSERT_TRUE(server.start(port));
    EXPECT_EQ(server.port(), port);
    EXPECT_EQ(httpGet(port, "/health").status, 200);
    server.stop();
    ASSERT_TRUE(server.start(port));  // a start without a failure before it logs nothing

    const auto entries = logEntries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0], failure);
    EXPECT_EQ(entries[1], "bridge_start_failed host=127.0.0.1 port=" + std::to_string(runningPort) +
                              " error_code=98 error=\"Address already in use\"");
    EXPECT_EQ(entries[2], "bridge_start_recovered " + endpoint);
}

TEST_F(ServerLifecycle, StopAnswersHeldRequestsUnavailableSaysGoingAwayToWebSocketsAndClosesEverything) {
    HttpServer server(store_);
    ASSERT_TRUE(server.start(0));
    const int port = server.port();

    WsClient webviewer(port);
    webviewer.registerAs("Sales", "webviewer");
    ASSERT_EQ(webviewer.receiveJson()["type"], "status");
    WsClient agentBrowser(port);
    agentBrowser.registerAs("Sales", "agent-browser");
    ASSERT_EQ(agentBrowser.receiveJson()["type"], "status");
    ASSERT_EQ(webviewer.receiveJson()["type"], "status");
    WsClient unregistered(port);
    HttpClient idle(port);
    ASSERT_EQ(idle.get("/health").status, 200);
    HttpClient halfRequest(port);
    halfRequest.sendRaw("POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 50\r\n\r\n{");
    // Neither of these reads: the stop must not wait for them.
    StalledWsClient stalled(port);
    stalled.sendJson({{"type", "register"}, {"fileName", "Stalled"}, {"role", "webviewer"}});
    asio::io_context context;
    asio::ip::tcp::socket silent(context);
    silent.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)});
    const std::string neverBody = R"({"connectedFileName":"Sales","scriptName":"Never"})";
    asio::write(silent, asio::buffer("POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                     std::to_string(neverBody.size()) + "\r\n\r\n" + neverBody));
    ASSERT_EQ(webviewer.receiveJson()["type"], "callScript");

    std::vector<std::future<HttpReply>> held;
    held.push_back(httpPostAsync(port, "/callScript", R"({"connectedFileName":"Sales","scriptName":"Never"})"));
    ASSERT_EQ(webviewer.receiveJson()["type"], "callScript");  // the call now waits for the page
    held.push_back(httpGetAsync(port, "/webviewerPing?fileName=Sales&timeout=5000"));
    ASSERT_EQ(webviewer.receiveJson()["type"], "ping");

    server.stop();
    EXPECT_FALSE(server.isRunning());
    EXPECT_EQ(server.port(), 0);
    for (auto& reply : held) {
        ASSERT_EQ(reply.wait_for(5s), std::future_status::ready);
        auto answer = reply.get();
        expectJsonReply(answer, "503 Service Unavailable", R"({"error":"Lumenbox is shutting down."})");
        EXPECT_EQ(answer.headers["connection"], "close");
    }
    for (WsClient* client : {&webviewer, &agentBrowser, &unregistered}) {
        EXPECT_TRUE(client->waitClosed());
        EXPECT_EQ(client->receive(0ms), std::nullopt);  // no status about each other's leaving
        EXPECT_EQ(client->closeCode(), 1001);
    }
    EXPECT_TRUE(idle.closedByServer());
    EXPECT_TRUE(halfRequest.closedByServer());
    EXPECT_FALSE(acceptsConnections(port));
}

TEST_F(ServerLifecycle, HandedOverTasksRunOnTheLoopInOrderOnlyWhileItRunsAndDestroyingTheServerStopsIt) {
    HttpServer server(store_);
    auto defer = server.loopDeferrer();
    EXPECT_FALSE(defer([] { ADD_FAILURE() << "ran before start"; }));
    ASSERT_TRUE(server.start(0));
    WsClient webviewer(server.port());
    webviewer.registerAs("Sales", "webviewer");
    ASSERT_EQ(webviewer.receiveJson()["type"], "status");

    std::vector<std::pair<int, std::thread::id>> ran;  // written on the loop thread only
    std::thread::id caller;
    std::promise<void> done;
    std::thread([&] {
        caller = std::this_thread::get_id();
        for (int i = 0; i < 20; ++i) {
            EXPECT_TRUE(defer([&, i] { ran.emplace_back(i, std::this_thread::get_id()); }));
        }
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
    std::promise<void> next;
    ASSERT_TRUE(defer([&] { next.set_value(); }));
    next.get_future().wait();
    server.stop();

    {
        auto server = std::make_unique<HttpServer>(store_);
        ASSERT_TRUE(server->start(0));
        const int port = server->port();
        auto defer = server->loopDeferrer();
        WsClient page(port);
        page.registerAs("Sales", "webviewer");
        ASSERT_EQ(page.receiveJson()["type"], "status");
        auto waiting = httpPostAsync(port, "/callScript", R"({"connectedFileName":"Sales","scriptName":"Never"})");
        ASSERT_EQ(page.receiveJson()["type"], "callScript");
        server.reset();
        EXPECT_TRUE(page.waitClosed());
        EXPECT_EQ(waiting.get().status, 503);
        EXPECT_FALSE(acceptsConnections(port));
        EXPECT_FALSE(defer([] { ADD_FAILURE() << "ran after destruction"; }));  // nothing to hand to
    }
}

}  // namespace
}  // namespace Lumenbox::testing
