#include <thread>

#include <gtest/gtest.h>

#include "server/transport/App.h"
#include "support/TestClients.h"

namespace Lumenbox::testing {
namespace {

struct Nothing {};

// An application whose handlers fail in every way a handler can, on a loop thread of its own.
class HandlerGuard : public ::testing::Test {
protected:
    HandlerGuard() {
        loop_.onHandlerException([this](std::string_view what) { reported_.emplace_back(what); });
        app_.get("/throws", [](auto, auto&) { throw std::runtime_error("route failed"); });
        app_.get("/throws-later", [](auto res, auto&) { res->onBody([](std::string) { throw 42; }); });
        app_.get("/forgets", [](auto, auto&) {});
        app_.get("/ok", [](auto res, auto&) { res->end("fine"); });
        app_.get("/defer-throwing", [this](auto res, auto&) {
            loop_.defer([] { throw std::runtime_error("task failed"); });
            timer_.start(std::chrono::milliseconds(1), [] { throw std::runtime_error("timer failed"); });
            loop_.defer([res] { res->end("after"); });
        });
        transport::WebSocketBehavior<Nothing> ws;
        ws.message = [](transport::WebSocket<Nothing>* socket, std::string_view text, transport::OpCode) {
            if (text == "boom") throw std::runtime_error("message failed");
            socket->send(text);
        };
        app_.ws<Nothing>("/*", std::move(ws));
        app_.onReject([](transport::HttpResponse& res, std::string_view status, std::string_view text) { res.writeStatus(status)->end(text); });
        app_.listen("127.0.0.1", 0, [this](transport::ListenSocket* socket, int) { port_ = socket ? socket->port() : 0; });
        thread_ = std::thread([this] { loop_.run(); });
    }
    ~HandlerGuard() override {
        loop_.defer([this] { app_.close(); });
        thread_.join();
    }

    transport::Loop loop_;
    transport::App app_{loop_};
    transport::Timer timer_{loop_};
    std::vector<std::string> reported_;  // written on the loop thread, read after it has ended
    int port_ = 0;
    std::thread thread_;
};

TEST_F(HandlerGuard, ThrowingRoutesTasksTimersAndWebSocketHandlersEndNeitherTheLoopNorTheConnection) {
    HttpClient client(port_);
    for (const char* path : {"/throws", "/throws-later", "/forgets"}) {
        auto reply = client.get(path);
        EXPECT_EQ(std::make_tuple(reply.statusLine, reply.body), std::make_tuple("500 Internal Server Error", "Internal error.")) << path;
    }
    EXPECT_EQ(client.get("/defer-throwing").body, "after");
    WsClient socket(port_);
    socket.send("boom");
    socket.send("still here");
    EXPECT_EQ(socket.receive(), "still here");
    EXPECT_EQ(client.get("/ok").body, "fine");
}

}  // namespace
}  // namespace Lumenbox::testing
