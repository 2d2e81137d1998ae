#include "server/transport/WebSocketSession.h"

#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/websocket/error.hpp>

namespace Lumenbox::transport {

namespace asio = boost::asio;
namespace websocket = boost::beast::websocket;
using boost::system::error_code;

namespace {
constexpr std::chrono::seconds kHandshakeTimeout{30};
}

WebSocketSession::WebSocketSession(std::shared_ptr<App::State> app, asio::ip::tcp::socket socket,
                                   std::shared_ptr<const WebSocketRoute> route)
    : app_(std::move(app)), stream_(std::move(socket)), route_(std::move(route)), handle_(route_->createHandle()) {
    handle_->session_ = this;
}

WebSocketSession::~WebSocketSession() {
    handle_->session_ = nullptr;
    app_->untrack(this);
}

void WebSocketSession::accept(boost::beast::http::request<boost::beast::http::string_body> request) {
    app_->track(this, weak_from_this());
    const WebSocketSettings& settings = route_->settings;
    websocket::stream_base::timeout timeouts;
    timeouts.handshake_timeout = kHandshakeTimeout;
    // A quiet connection is pinged halfway through its idle time and closed at the end of it.
    timeouts.idle_timeout = settings.idleTimeout;
    timeouts.keep_alive_pings = settings.sendPingsAutomatically;
    stream_.set_option(timeouts);
    stream_.read_message_max(settings.maxPayloadLength);
    stream_.auto_fragment(false);  // every message goes out as one final frame
    stream_.text(true);
    // Beast refuses the reserved close codes below 3000 with 1002 but echoes any code from 5000
    // up, which no endpoint may send: those get 1002 too. Starting our own close here makes the
    // read see a close already under way, so it sends no echo (behind a write in flight, a
    // waiting close goes out before the read's echo would).
    stream_.control_callback([this](websocket::frame_type kind, boost::beast::string_view) {
        if (kind != websocket::frame_type::close || stream_.reason().code < 5000 || closing_) return;
        closing_ = true;
        stream_.async_close(websocket::close_code::protocol_error, [self = shared_from_this()](const error_code&) {});
    });
    stream_.async_accept(request, [self = shared_from_this()](const error_code& error) { self->onAccept(error); });
}

void WebSocketSession::onAccept(const error_code& error) {
    if (error) {
        finished_ = true;  // never opened: no callbacks
        error_code ignored;
        stream_.next_layer().close(ignored);
        return;
    }
    open_ = true;
    error_code ignored;
    stream_.next_layer().set_option(asio::ip::tcp::no_delay(true), ignored);
    if (route_->open) app_->loop.guarded([&] { route_->open(handle_.get()); });
    doRead();
}

void WebSocketSession::doRead() {
    if (finished_) return;
    stream_.async_read(readBuffer_, [self = shared_from_this()](const error_code& error, std::size_t) {
        self->onRead(error);
    });
}

void WebSocketSession::onRead(const error_code& error) {
    if (error) {
        auto reason = stream_.reason();
        finish(error == websocket::error::closed ? reason.code : 1006, std::string_view(reason.reason.data(), reason.reason.size()));
        return;
    }
    if (route_->message && !finished_) {
        auto data = readBuffer_.cdata();
        std::string_view text(static_cast<const char*>(data.data()), data.size());
        const OpCode opCode = stream_.got_text() ? OpCode::Text : OpCode::Binary;
        app_->loop.guarded([&] { route_->message(handle_.get(), text, opCode); });
    }
    readBuffer_.consume(readBuffer_.size());
    doRead();
}

SendStatus WebSocketSession::send(std::string_view text) {
    if (!open_ || finished_ || closing_) return SendStatus::Dropped;
    if (queue_.empty()) {
        queue_.emplace_back(text);
        doWrite();
        return SendStatus::Sent;
    }
    if (queuedBytes_ + text.size() > route_->settings.maxBackpressure) return SendStatus::Dropped;
    queue_.emplace_back(text);
    queuedBytes_ += text.size();
    return SendStatus::Backpressure;
}

void WebSocketSession::doWrite() {
    stream_.async_write(asio::buffer(queue_.front()), [self = shared_from_this()](const error_code& error, std::size_t) {
        self->onWrite(error);
    });
}

void WebSocketSession::onWrite(const error_code& error) {
    queue_.pop_front();
    if (error) {
        queue_.clear();
        queuedBytes_ = 0;
        forceClose();
        return;
    }
    if (queue_.empty()) return;
    queuedBytes_ -= queue_.front().size();
    if (!finished_) doWrite();
}

void WebSocketSession::end() {
    if (!open_ || finished_ || closing_) return;
    closing_ = true;
    stream_.async_close(websocket::close_code::normal, [self = shared_from_this()](const error_code&) {});
}

void WebSocketSession::closeGracefully() {
    if (!open_ || finished_) {
        forceClose();
        return;
    }
    if (closing_) return;
    closing_ = true;
    stream_.async_close(websocket::close_code::going_away, [self = shared_from_this()](const error_code&) {});
}

void WebSocketSession::forceClose() {
    error_code ignored;
    stream_.next_layer().close(ignored);  // the pending read fails, which runs the close callback
    if (!open_) finished_ = true;
}

void WebSocketSession::finish(int code, std::string_view reason) {
    if (finished_) return;
    finished_ = true;
    error_code ignored;
    stream_.next_layer().close(ignored);
    if (open_ && route_->close) app_->loop.guarded([&] { route_->close(handle_.get(), code, reason); });
    open_ = false;
}

SendStatus WebSocketHandle::send(std::string_view text) {
    return session_ ? session_->send(text) : SendStatus::Dropped;
}

void WebSocketHandle::end() {
    if (session_) session_->end();
}

void WebSocketHandle::close() {
    if (session_) session_->forceClose();
}

}  // namespace Lumenbox::transport
