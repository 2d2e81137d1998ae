// lumenbox-bench-baseline: the benchmark's yardstick, a bare Beast server written the plain way
// (one thread, one io_context, http::async_read / http::async_write, keep-alive), so that the
// bridge can be measured against it in the same run on the same machine.
//
//   lumenbox-bench-baseline --port N
//
// It answers:
//   GET /health       the bridge's reply: "200 OK", Content-Type: application/json,
//                     Content-Length, the same JSON text (idle level unknown, as in a bridge
//                     whose host has not reported one);
//   POST /callScript  a bare relay: the body's "connectedFileName" picks the web viewer that
//                     registered that file over a WebSocket ({"type":"register",...}); the call
//                     goes to it as {"type":"callScript",...} with a fetch id, and its
//                     {"type":"callback","args":[result,fetchId]} becomes the HTTP reply.
// Anything else gets 404. There are no time limits, no session checks and no Origin/Host
// checks: this is the least a relay must do, not a product. Port 0 takes an ephemeral port;
// the program prints "listening <port>" and runs until it is killed.
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "base/Version.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

const std::string kHealthBody =
    R"({"fileMaker":{"idleLevel":-1,"idleState":"unknown","observedAtUnixMs":0},)"
    R"("service":"lbhttp-plugin","status":"ok","version":")" + std::string(Lumenbox::kPluginVersion) + R"("})";

class HttpSession;
struct Relay;

// A registered web viewer: one WebSocket with a write queue.
class Peer : public std::enable_shared_from_this<Peer> {
public:
    Peer(tcp::socket socket, Relay& relay) : stream_(std::move(socket)), relay_(relay) {}
    void accept(http::request<http::string_body> request);
    void send(std::string text) {
        queue_.push_back(std::move(text));
        if (queue_.size() == 1) doWrite();
    }

private:
    void doRead();
    void onMessage(std::string_view text);
    void doWrite() {
        stream_.async_write(asio::buffer(queue_.front()), [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (error) return;
            self->queue_.pop_front();
            if (!self->queue_.empty()) self->doWrite();
        });
    }

    websocket::stream<tcp::socket> stream_;
    beast::flat_buffer buffer_;
    std::deque<std::string> queue_;
    Relay& relay_;
    std::string fileName_;
};

// Who serves which file, and which HTTP client waits for which fetch id.
struct Relay {
    std::map<std::string, std::weak_ptr<Peer>> peers;
    std::unordered_map<std::string, std::shared_ptr<HttpSession>> waiting;  // keeps the session
    std::uint64_t nextFetchId = 1;
};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket socket, Relay& relay) : socket_(std::move(socket)), relay_(relay) {}

    void start() {
        socket_.set_option(tcp::no_delay(true));
        doRead();
    }

    // The web viewer answered the call this session forwarded.
    void answer(std::string body) { reply(http::status::ok, std::move(body)); }

private:
    void doRead() {
        request_ = {};
        http::async_read(socket_, buffer_, request_, [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (error) return;
            self->onRequest();
        });
    }

    void onRequest() {
        if (websocket::is_upgrade(request_)) {
            std::make_shared<Peer>(std::move(socket_), relay_)->accept(std::move(request_));
            return;
        }
        if (request_.method() == http::verb::get && request_.target() == "/health") {
            reply(http::status::ok, kHealthBody);
        } else if (request_.method() == http::verb::post && request_.target() == "/callScript") {
            forward();
        } else {
            reply(http::status::not_found, R"({"error":"Not found."})");
        }
    }

    void forward() {
        auto body = nlohmann::json::parse(request_.body(), nullptr, false);
        std::string fileName = body.is_object() ? body.value("connectedFileName", "") : "";
        auto peer = relay_.peers.count(fileName) ? relay_.peers[fileName].lock() : nullptr;
        if (!peer) {
            reply(http::status::not_found, R"({"error":"No active WebSocket."})");
            return;
        }
        std::string fetchId = std::to_string(relay_.nextFetchId++);
        relay_.waiting[fetchId] = shared_from_this();
        nlohmann::json envelope = {{"callback", {{"fetchId", fetchId}}}, {"data", body["data"]}};
        peer->send(nlohmann::json{{"param", envelope.dump()}, {"script", body.value("scriptName", "")},
                                  {"type", "callScript"}}.dump());
    }

    void reply(http::status status, std::string body) {
        auto response = std::make_shared<http::response<http::string_body>>(status, request_.version());
        response->set(http::field::content_type, "application/json");
        response->keep_alive(request_.keep_alive());
        response->body() = std::move(body);
        response->prepare_payload();
        http::async_write(socket_, *response, [self = shared_from_this(), response](beast::error_code error, std::size_t) {
            if (error || !response->keep_alive()) {
                beast::error_code ignored;
                self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
                return;
            }
            self->doRead();
        });
    }

    tcp::socket socket_;
    beast::flat_buffer buffer_;
    http::request<http::string_body> request_;
    Relay& relay_;
};

void Peer::accept(http::request<http::string_body> request) {
    stream_.async_accept(request, [self = shared_from_this()](beast::error_code error) {
        if (!error) self->doRead();
    });
}

void Peer::doRead() {
    stream_.async_read(buffer_, [self = shared_from_this()](beast::error_code error, std::size_t) {
        if (error) {
            auto it = self->relay_.peers.find(self->fileName_);
            if (it != self->relay_.peers.end() && it->second.lock() == self) self->relay_.peers.erase(it);
            return;
        }
        auto data = self->buffer_.cdata();
        self->onMessage({static_cast<const char*>(data.data()), data.size()});
        self->buffer_.consume(self->buffer_.size());
        self->doRead();
    });
}

void Peer::onMessage(std::string_view text) {
    auto message = nlohmann::json::parse(text, nullptr, false);
    if (!message.is_object()) return;
    std::string type = message.value("type", "");
    if (type == "register") {
        fileName_ = message.value("fileName", "");
        relay_.peers[fileName_] = weak_from_this();
    } else if (type == "callback") {
        auto args = message.find("args");
        if (args == message.end() || !args->is_array() || args->size() < 2 || !(*args)[1].is_string()) return;
        auto it = relay_.waiting.find((*args)[1].get<std::string>());
        if (it == relay_.waiting.end()) return;
        auto session = std::move(it->second);
        std::string fetchId = it->first;
        relay_.waiting.erase(it);
        if (session) session->answer(nlohmann::json{{"fetchId", fetchId}, {"result", (*args)[0]}}.dump());
    }
}

void acceptLoop(tcp::acceptor& acceptor, Relay& relay) {
    acceptor.async_accept([&acceptor, &relay](beast::error_code error, tcp::socket socket) {
        if (!error) std::make_shared<HttpSession>(std::move(socket), relay)->start();
        acceptLoop(acceptor, relay);
    });
}

}  // namespace

int main(int argc, char** argv) {
    int port = -1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--port") port = std::atoi(argv[i + 1]);
    }
    if (port < 0) {
        std::cerr << "usage: lumenbox-bench-baseline --port N\n";
        return 2;
    }
    try {
        asio::io_context context(1);
        tcp::acceptor acceptor(context);
        tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
        acceptor.open(endpoint.protocol());
        acceptor.set_option(asio::socket_base::reuse_address(true));
        acceptor.bind(endpoint);
        acceptor.listen(asio::socket_base::max_listen_connections);
        std::printf("listening %u\n", acceptor.local_endpoint().port());
        std::fflush(stdout);
        Relay relay;
        acceptLoop(acceptor, relay);
        context.run();
    } catch (const std::exception& error) {
        std::cerr << "lumenbox-bench-baseline: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
