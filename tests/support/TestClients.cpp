#include "support/TestClients.h"

#include <stdexcept>

#include <boost/asio/connect.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>

namespace Lumenbox::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {
tcp::endpoint loopback(int port) {
    return {asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)};
}
}  // namespace

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

void expectJsonReply(const HttpReply& reply, const std::string& statusLine, const std::string& body) {
    EXPECT_EQ(reply.statusLine, statusLine);
    EXPECT_EQ(reply.headers.count("content-type") ? reply.headers.at("content-type") : "", "application/json");
    EXPECT_EQ(reply.body, body);
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
                              const std::map<std::string, std::string>& headers) {
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
    HttpReply reply;
    http::response_parser<http::string_body> parser;
    parser.body_limit(64 * 1024 * 1024);
    beast::error_code error;
    http::read(state_->socket, state_->buffer, parser, error);
    if (error) return reply;
    auto& res = parser.get();
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

bool HttpClient::closedByServer(std::chrono::milliseconds wait) {
    auto deadline = std::chrono::steady_clock::now() + wait;
    auto& socket = state_->socket;
    socket.non_blocking(true);
    char byte;
    while (std::chrono::steady_clock::now() < deadline) {
        beast::error_code error;
        std::size_t n = socket.read_some(asio::buffer(&byte, 1), error);
        if (error == asio::error::would_block) {
            std::this_thread::sleep_for(5ms);
            continue;
        }
        if (error) {
            socket.non_blocking(false);
            return true;
        }
        (void)n;
    }
    socket.non_blocking(false);
    return false;
}

void HttpClient::close() {
    beast::error_code ignored;
    state_->socket.close(ignored);
}

HttpReply httpPost(int port, const std::string& target, const std::string& body,
                   const std::map<std::string, std::string>& headers) {
    return HttpClient(port).post(target, body, headers);
}

HttpReply httpGet(int port, const std::string& target, const std::map<std::string, std::string>& headers) {
    return HttpClient(port).request("GET", target, {}, headers);
}

std::future<HttpReply> httpGetAsync(int port, const std::string& target,
                                    const std::map<std::string, std::string>& headers) {
    auto client = std::make_shared<HttpClient>(port);
    return std::async(std::launch::async, [client, target, headers] { return client->request("GET", target, {}, headers); });
}

std::future<HttpReply> httpPostAsync(int port, const std::string& target, const std::string& body,
                                     const std::map<std::string, std::string>& headers) {
    // The connection is made before returning, so the request is on its way when the caller goes on.
    auto client = std::make_shared<HttpClient>(port);
    return std::async(std::launch::async, [client, target, body, headers] { return client->post(target, body, headers); });
}

// Every operation on the stream runs on the client's own I/O thread: a WebSocket stream allows one
// read and one write in flight, but not calls from two threads at once.
struct WsClient::State : std::enable_shared_from_this<WsClient::State> {
    asio::io_context context;
    asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
    websocket::stream<tcp::socket> stream{context};
    beast::flat_buffer readBuffer;  // I/O thread only
    std::mutex sendMutex;           // one write in flight
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::string> messages;  // Guarded by mutex
    bool closed = false;               // Guarded by mutex
    int closeCode = 0;                 // Guarded by mutex

    void readNext() {
        stream.async_read(readBuffer, [self = shared_from_this()](const beast::error_code& error, std::size_t) {
            std::lock_guard lock(self->mutex);
            if (error) {
                self->closed = true;
                if (error == websocket::error::closed) self->closeCode = self->stream.reason().code;
            } else {
                self->messages.push_back(beast::buffers_to_string(self->readBuffer.data()));
                self->readBuffer.consume(self->readBuffer.size());
            }
            self->cv.notify_all();
            if (!error) self->readNext();
        });
    }

    void write(const std::string& bytes, bool text) {
        std::lock_guard lock(sendMutex);
        std::promise<beast::error_code> done;
        asio::post(context, [&] {
            stream.text(text);
            stream.async_write(asio::buffer(bytes),
                               [&](const beast::error_code& error, std::size_t) { done.set_value(error); });
        });
        if (auto error = done.get_future().get()) throw boost::system::system_error(error);
    }
};

WsClient::WsClient(int port, const std::string& path) : state_(std::make_shared<State>()) {
    state_->stream.next_layer().connect(loopback(port));
    state_->stream.handshake("127.0.0.1:" + std::to_string(port), path);
    state_->readNext();
    reader_ = std::thread([state = state_] { state->context.run(); });
}

WsClient::~WsClient() {
    close();
}

void WsClient::send(const std::string& text) {
    if (!reader_.joinable()) throw std::logic_error("WsClient: send after close");
    state_->write(text, true);
}

void WsClient::sendBinary(const std::string& bytes) {
    if (!reader_.joinable()) throw std::logic_error("WsClient: send after close");
    state_->write(bytes, false);
}

std::optional<std::string> WsClient::receive(std::chrono::milliseconds wait) {
    std::unique_lock lock(state_->mutex);
    state_->cv.wait_for(lock, wait, [this] { return !state_->messages.empty() || state_->closed; });
    if (state_->messages.empty()) return std::nullopt;
    std::string message = std::move(state_->messages.front());
    state_->messages.pop_front();
    return message;
}

nlohmann::json WsClient::receiveJson(std::chrono::milliseconds wait) {
    auto message = receive(wait);
    EXPECT_TRUE(message.has_value()) << "no WebSocket message arrived";
    return message ? nlohmann::json::parse(*message) : nlohmann::json();
}

bool WsClient::quiet(std::chrono::milliseconds wait) {
    return !receive(wait).has_value();
}

bool WsClient::waitClosed(std::chrono::milliseconds wait) {
    std::unique_lock lock(state_->mutex);
    return state_->cv.wait_for(lock, wait, [this] { return state_->closed; });
}

int WsClient::closeCode() {
    std::lock_guard lock(state_->mutex);
    return state_->closeCode;
}

void WsClient::registerAs(const std::string& fileName, const std::string& role) {
    sendJson({{"type", "register"}, {"fileName", fileName}, {"role", role}});
}

void WsClient::close() {
    if (!reader_.joinable()) return;
    // Closing the socket on the I/O thread ends the pending read; with the work guard gone the
    // thread then runs out of work.
    asio::post(state_->context, [state = state_] {
        beast::error_code ignored;
        state->stream.next_layer().shutdown(tcp::socket::shutdown_both, ignored);
        state->stream.next_layer().close(ignored);
    });
    state_->work.reset();
    reader_.join();
}

struct StalledWsClient::State {
    asio::io_context context;
    websocket::stream<tcp::socket> stream{context};
};

StalledWsClient::StalledWsClient(int port, const std::string& path) : state_(std::make_unique<State>()) {
    auto& socket = state_->stream.next_layer();
    socket.open(tcp::v4());
    socket.set_option(asio::socket_base::receive_buffer_size(4096));
    socket.connect(loopback(port));
    state_->stream.handshake("127.0.0.1:" + std::to_string(port), path);
}

StalledWsClient::~StalledWsClient() {
    beast::error_code ignored;
    state_->stream.next_layer().close(ignored);
}

void StalledWsClient::sendJson(const nlohmann::json& message) {
    state_->stream.text(true);
    state_->stream.write(asio::buffer(message.dump()));
}

}  // namespace Lumenbox::testing
