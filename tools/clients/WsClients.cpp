#include "clients/WsClients.h"

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <stdexcept>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include "clients/Loopback.h"
#include "clients/Messages.h"

namespace Lumenbox::clients {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {
std::string hostOf(int port) {
    return "127.0.0.1:" + std::to_string(port);
}
}  // namespace

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
    state_->stream.handshake(hostOf(port), path);
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
    if (!message) throw std::runtime_error("no WebSocket message arrived");
    return nlohmann::json::parse(*message);
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
    send(registerMessage(fileName, role));
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
    state_->stream.handshake(hostOf(port), path);
}

StalledWsClient::~StalledWsClient() {
    beast::error_code ignored;
    state_->stream.next_layer().close(ignored);
}

void StalledWsClient::sendJson(const nlohmann::json& message) {
    state_->stream.text(true);
    state_->stream.write(asio::buffer(message.dump()));
}

struct AsyncWsClient::State {
    explicit State(asio::io_context& context) : stream(context), closeLimit(context) {}
    websocket::stream<tcp::socket> stream;
    asio::steady_timer closeLimit;
    beast::flat_buffer buffer;
    std::deque<std::string> queue;  // the front is being written
    bool open = false;
    bool closing = false;
    bool ended = false;
};

AsyncWsClient::AsyncWsClient(asio::io_context& context) : state_(std::make_unique<State>(context)) {}

AsyncWsClient::~AsyncWsClient() = default;

void AsyncWsClient::connect(int port, const std::string& path) {
    auto self = shared_from_this();
    state_->stream.next_layer().async_connect(loopback(port), [self, port, path](beast::error_code error) {
        State& s = *self->state_;
        if (s.ended) return;
        if (error) return self->end("connect: " + error.message());
        s.stream.next_layer().set_option(tcp::no_delay(true), error);
        s.stream.async_handshake(hostOf(port), path, [self](beast::error_code error) {
            State& s = *self->state_;
            if (s.ended) return;
            if (error) return self->end("handshake: " + error.message());
            s.open = true;
            s.stream.text(true);
            self->readNext();
            if (auto handler = self->onOpen) handler();
        });
    });
}

bool AsyncWsClient::isOpen() const {
    return state_->open && !state_->closing && !state_->ended;
}

void AsyncWsClient::send(std::string text) {
    if (!isOpen()) return;
    state_->queue.push_back(std::move(text));
    if (state_->queue.size() == 1) writeNext();
}

void AsyncWsClient::registerAs(const std::string& fileName, const std::string& role) {
    send(registerMessage(fileName, role));
}

void AsyncWsClient::writeNext() {
    state_->stream.async_write(asio::buffer(state_->queue.front()),
                               [self = shared_from_this()](beast::error_code error, std::size_t) {
                                   State& s = *self->state_;
                                   if (s.ended || s.closing) return;
                                   if (error) return self->end("write: " + error.message());
                                   s.queue.pop_front();
                                   if (!s.queue.empty()) self->writeNext();
                               });
}

void AsyncWsClient::readNext() {
    state_->stream.async_read(state_->buffer, [self = shared_from_this()](beast::error_code error, std::size_t) {
        State& s = *self->state_;
        if (s.ended) return;
        if (error) {
            if (s.closing) return;  // the close handshake or its limit ends the client
            return self->end(error == websocket::error::closed
                                 ? "closed by the server (" + std::to_string(s.stream.reason().code) + ")"
                                 : "read: " + error.message());
        }
        std::string text = beast::buffers_to_string(s.buffer.data());
        s.buffer.consume(s.buffer.size());
        // A copy: the handler may end this client, which lets go of the handlers.
        if (auto handler = self->onMessage; handler && !s.closing) handler(text);
        if (!s.ended) self->readNext();
    });
}

void AsyncWsClient::close(bool abrupt) {
    State& s = *state_;
    if (s.ended) return;
    if (abrupt || !s.open) return end({});  // cutting the socket also ends a connect in progress
    if (s.closing) return;
    s.closing = true;
    s.closeLimit.expires_after(2s);
    s.closeLimit.async_wait([self = shared_from_this()](beast::error_code error) {
        if (!error) self->end({});
    });
    s.stream.async_close(websocket::close_code::going_away,
                         [self = shared_from_this()](beast::error_code) { self->end({}); });
}

void AsyncWsClient::end(const std::string& reason) {
    State& s = *state_;
    if (s.ended) return;
    s.ended = true;
    s.closeLimit.cancel();
    beast::error_code ignored;
    s.stream.next_layer().shutdown(tcp::socket::shutdown_both, ignored);
    s.stream.next_layer().close(ignored);
    auto handler = std::move(onEnd);
    onOpen = {};
    onMessage = {};
    onEnd = {};
    if (handler) handler(reason);
}

}  // namespace Lumenbox::clients
