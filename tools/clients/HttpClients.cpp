#include "clients/HttpClients.h"

#include <array>
#include <cctype>
#include <deque>
#include <optional>
#include <thread>

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include "clients/Loopback.h"

namespace Lumenbox::clients {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr std::size_t kReplyBodyLimit = 64 * 1024 * 1024;  // above the bridge's largest reply

HttpReply toReply(const http::response<http::string_body>& res) {
    HttpReply reply;
    reply.status = static_cast<int>(res.result_int());
    reply.statusLine = std::to_string(reply.status) + " " + std::string(res.reason());
    for (const auto& field : res) {
        std::string name(field.name_string());
        for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        reply.headers[name] = std::string(field.value());
    }
    reply.body = res.body();
    return reply;
}

}  // namespace

std::string requestBytes(const std::string& method, const std::string& target, const std::string& body,
                         const Headers& headers) {
    std::string bytes = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const auto& [name, value] : headers) bytes += name + ": " + value + "\r\n";
    if (method == "POST") {
        bytes += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    }
    return bytes + "\r\n" + body;
}

struct HttpClient::State {
    asio::io_context context;
    tcp::socket socket{context};
    beast::flat_buffer buffer;
};

HttpClient::HttpClient(int port) : state_(std::make_unique<State>()) {
    state_->socket.connect(loopback(port));
}

HttpClient::~HttpClient() {
    close();
}

HttpReply HttpClient::request(const std::string& method, const std::string& target, const std::string& body,
                              const Headers& headers) {
    http::request<http::string_body> req{http::string_to_verb(method), target, 11};
    req.set(http::field::host, "127.0.0.1");
    for (const auto& [name, value] : headers) req.set(name, value);
    if (!body.empty() || method == "POST") {
        req.body() = body;
        req.prepare_payload();
    }
    http::write(state_->socket, req);
    return readReply();
}

void HttpClient::sendRaw(const std::string& bytes) {
    asio::write(state_->socket, asio::buffer(bytes));
}

HttpReply HttpClient::readReply() {
    http::response_parser<http::string_body> parser;
    parser.body_limit(kReplyBodyLimit);
    beast::error_code error;
    http::read(state_->socket, state_->buffer, parser, error);
    return error ? HttpReply{} : toReply(parser.get());
}

bool HttpClient::closedByServer(std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    auto& socket = state_->socket;
    socket.non_blocking(true);
    char byte;
    beast::error_code error;
    while (std::chrono::steady_clock::now() < deadline) {
        socket.read_some(asio::buffer(&byte, 1), error);
        if (error == asio::error::would_block) {
            std::this_thread::sleep_for(5ms);  // polling a socket for its end, not waiting for time
        } else if (error) {
            break;
        }
    }
    socket.non_blocking(false);
    return error && error != asio::error::would_block;
}

void HttpClient::close() {
    beast::error_code ignored;
    state_->socket.close(ignored);
}

HttpReply httpGet(int port, const std::string& target, const Headers& headers) {
    return HttpClient(port).request("GET", target, {}, headers);
}

HttpReply httpPost(int port, const std::string& target, const std::string& body, const Headers& headers) {
    return HttpClient(port).post(target, body, headers);
}

std::future<HttpReply> httpGetAsync(int port, const std::string& target, const Headers& headers) {
    auto client = std::make_shared<HttpClient>(port);
    return std::async(std::launch::async, [client, target, headers] { return client->request("GET", target, {}, headers); });
}

std::future<HttpReply> httpPostAsync(int port, const std::string& target, const std::string& body,
                                     const Headers& headers) {
    auto client = std::make_shared<HttpClient>(port);
    return std::async(std::launch::async, [client, target, body, headers] { return client->post(target, body, headers); });
}

std::optional<std::string> exchangeRaw(int port, const std::string& bytes, std::chrono::milliseconds limit) {
    std::string reply;
    std::array<char, 16 * 1024> chunk;
    bool ended = false;
    asio::io_context context;  // after what its handlers refer to, so that it goes first
    tcp::socket socket(context);
    socket.connect(loopback(port));
    std::function<void()> readMore = [&] {
        socket.async_read_some(asio::buffer(chunk), [&](beast::error_code error, std::size_t n) {
            reply.append(chunk.data(), n);
            if (error) ended = true;  // the end of the stream, or reset by the server
            else readMore();
        });
    };
    readMore();
    // A write error means the server closed first (for instance after refusing the head): the read
    // still sees its reply or the end of the stream.
    asio::async_write(socket, asio::buffer(bytes), [&](beast::error_code, std::size_t) {
        beast::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_send, ignored);
    });
    context.run_for(limit);
    return ended ? std::optional(std::move(reply)) : std::nullopt;
}

struct AsyncHttpClient::State {
    explicit State(asio::io_context& context) : socket(context) {}
    tcp::socket socket;
    beast::flat_buffer buffer;
    std::optional<http::response_parser<http::string_body>> parser;
    std::deque<std::string> queue;  // the front is being written
    bool open = false;
    bool closing = false;
    bool ended = false;
};

AsyncHttpClient::AsyncHttpClient(asio::io_context& context) : state_(std::make_unique<State>(context)) {}

AsyncHttpClient::~AsyncHttpClient() = default;

void AsyncHttpClient::connect(int port) {
    state_->socket.async_connect(loopback(port), [self = shared_from_this()](beast::error_code error) {
        State& s = *self->state_;
        if (s.ended) return;
        if (error) return self->end("connect: " + error.message());
        s.socket.set_option(tcp::no_delay(true), error);
        s.open = true;
        self->readNext();
        if (!s.queue.empty()) self->writeNext();
        if (auto handler = self->onOpen) handler();
    });
}

void AsyncHttpClient::send(std::string bytes) {
    State& s = *state_;
    if (s.ended || s.closing) return;
    s.queue.push_back(std::move(bytes));
    if (s.open && s.queue.size() == 1) writeNext();
}

void AsyncHttpClient::writeNext() {
    asio::async_write(state_->socket, asio::buffer(state_->queue.front()),
                      [self = shared_from_this()](beast::error_code error, std::size_t) {
                          State& s = *self->state_;
                          if (s.ended) return;
                          if (error) return self->end("write: " + error.message());
                          s.queue.pop_front();
                          if (!s.queue.empty()) self->writeNext();
                          else if (s.closing) self->end({});
                      });
}

void AsyncHttpClient::readNext() {
    state_->parser.emplace();
    state_->parser->body_limit(kReplyBodyLimit);
    http::async_read(state_->socket, state_->buffer, *state_->parser,
                     [self = shared_from_this()](beast::error_code error, std::size_t) {
                         State& s = *self->state_;
                         if (s.ended) return;
                         if (error) return self->end(error == http::error::end_of_stream ? "closed by the server"
                                                                                        : "read: " + error.message());
                         // A copy: the handler may end this client, which lets go of the handlers.
                         if (auto handler = self->onReply; handler && !s.closing) handler(toReply(s.parser->get()));
                         if (!s.ended) self->readNext();
                     });
}

void AsyncHttpClient::close() {
    State& s = *state_;
    if (s.ended || s.closing) return;
    s.closing = true;
    if (!s.open || s.queue.empty()) end({});
}

void AsyncHttpClient::end(const std::string& reason) {
    State& s = *state_;
    s.ended = true;
    beast::error_code ignored;
    s.socket.shutdown(tcp::socket::shutdown_both, ignored);
    s.socket.close(ignored);
    auto handler = std::move(onEnd);
    onOpen = {};
    onReply = {};
    onEnd = {};
    if (handler) handler(reason);
}

}  // namespace Lumenbox::clients
