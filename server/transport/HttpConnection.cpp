#include "server/transport/HttpConnection.h"

#include <charconv>

#include <boost/asio/write.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include "server/transport/HttpRequest.h"
#include "server/transport/WebSocketSession.h"

namespace Lumenbox::transport {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using boost::system::error_code;

namespace {
// Bytes asked of the socket per read. Requests of the bridge are small; bodies grow the buffer.
constexpr std::size_t kReadChunk = 16 * 1024;
// While a response is held, pipelined input is buffered up to this size before reading pauses.
constexpr std::size_t kMaxBufferedInput = 1024 * 1024;
// After a refused request the rest of its body is read and discarded up to this size, so that
// the client sees the reply instead of a reset; then the connection closes regardless.
constexpr std::size_t kMaxDrainBytes = 32 * 1024 * 1024;
constexpr std::string_view kServiceUnavailable = "503 Service Unavailable";
}  // namespace

HttpConnection::HttpConnection(std::shared_ptr<App::State> app, asio::ip::tcp::socket socket)
    : app_(std::move(app)), socket_(std::move(socket)) {}

HttpConnection::~HttpConnection() {
    releaseBody();
    app_->untrack(this);
}

void HttpConnection::start() {
    lastActiveTick_ = app_->idleTick;
    app_->track(this, weak_from_this());
    error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    doRead();
}

void HttpConnection::refuse(std::string_view status, std::string_view message) {
    lastActiveTick_ = app_->idleTick;
    app_->track(this, weak_from_this());
    rejectRequest(status, message);  // after the reply, input is discarded until the client closes
}

void HttpConnection::forceClose() {
    closeSocket();
}

// The held response is answered 503 with "Connection: close"; once that and any reply still
// being written have gone out, the usual close after a last reply follows (App::close bounds it).
void HttpConnection::closeGracefully() {
    if (closed_ || upgraded_) return;
    if (auto response = current_; response && !dispatching_ && response->isStreaming()) {
        // A stream's head has gone: it just ends, and the client sees the stream close.
        keepAlive_ = false;
        response->end();
    } else if (response && !dispatching_) {
        keepAlive_ = false;
        app_->loop.guarded([&] {
            if (app_->reject) app_->reject(*response, kServiceUnavailable, "Lumenbox is shutting down.");
        });
        if (response->isOpen()) response->writeStatus(kServiceUnavailable)->end();
    }
    if (!writeInFlight_ && outbox_.empty()) {
        closeSocket();
        return;
    }
    closeAfterWrite_ = true;
}

void HttpConnection::sweep(std::uint64_t idleBefore) {
    if (closed_ || upgraded_) return;
    const HttpLimits& limits = app_->limits;
    bool late = false;
    switch (phase_) {
        case Phase::Waiting:
            break;
        case Phase::Head:
        case Phase::Draining:
            late = app_->hasExpired(phaseStartTick_, limits.headTimeout);
            break;
        case Phase::Body: {
            const auto mebibytes = static_cast<std::chrono::milliseconds::rep>(bodyBytesHeld_ >> 20);
            late = app_->hasExpired(phaseStartTick_, limits.bodyTimeout + limits.bodyTimePerMiB * mebibytes);
            break;
        }
    }
    if (late || (!current_ && lastActiveTick_ < idleBefore)) closeSocket();
}

std::optional<std::uint64_t> HttpConnection::idleSince() const {
    if (closed_ || upgraded_ || current_ || parser_ || input_.size() > 0 || writeInFlight_ || !outbox_.empty() ||
        closeAfterWrite_ || draining_) {
        return std::nullopt;
    }
    return lastActiveTick_;
}

void HttpConnection::startPhase(Phase phase) {
    phase_ = phase;
    phaseStartTick_ = app_->idleTick;
}

void HttpConnection::doRead() {
    if (reading_ || closed_ || upgraded_) return;
    if (!draining_ && input_.size() >= kMaxBufferedInput) return;  // resumes when the response ends
    reading_ = true;
    socket_.async_read_some(input_.prepare(kReadChunk),
                            [self = shared_from_this()](const error_code& error, std::size_t bytes) {
                                self->onRead(error, bytes);
                            });
}

void HttpConnection::onRead(const error_code& error, std::size_t bytes) {
    reading_ = false;
    if (error) {
        closeSocket();  // the client went away or the socket was closed: a held response is aborted
        return;
    }
    lastActiveTick_ = app_->idleTick;
    if (draining_) {
        drained_ += bytes;
        if (drained_ > kMaxDrainBytes) {
            closeSocket();
            return;
        }
        doRead();
        return;
    }
    input_.commit(bytes);
    processInput();
    doRead();
}

void HttpConnection::processInput() {
    while (!current_ && !closed_ && !upgraded_ && !closeAfterWrite_ && input_.size() > 0) {
        if (!parser_) {
            parser_.emplace();
            parser_->header_limit(static_cast<std::uint32_t>(app_->limits.maxHeaderBytes));
            parser_->body_limit(app_->limits.maxBodyBytes);
            // The head alone first (see beginBody): a body is counted before it takes memory.
            parser_->eager(false);
            continueSent_ = false;
            startPhase(Phase::Head);
        }
        error_code error;
        std::size_t used = parser_->put(input_.data(), error);
        input_.consume(used);
        if (!error || error == http::error::need_more) {
            if (phase_ == Phase::Head && parser_->is_header_done()) {
                if (!beginBody()) return;
                if (!parser_->is_done()) continue;  // the body may be waiting in the buffer already
            }
            if (parser_->is_done()) {
                dispatch();
                continue;
            }
            // A chunked body is counted as it grows.
            if (parser_->chunked() && !holdBody(parser_->get().body().size())) return;
            break;
        }
        if (error == http::error::body_limit) {
            rejectRequest("413 Payload Too Large", "Request body too large.");
            return;
        }
        if (error == http::error::header_limit) {
            rejectRequest("431 Request Header Fields Too Large", "Request headers too large.");
            return;
        }
        rejectRequest("400 Bad Request", "Malformed HTTP request.");
        return;
    }
}

bool HttpConnection::beginBody() {
    startPhase(Phase::Body);
    if (auto length = parser_->content_length(); length && !holdBody(static_cast<std::size_t>(*length))) return false;
    if (parser_->chunked()) {
        const auto& fields = parser_->get();
        headerFieldCount_ = static_cast<std::size_t>(std::distance(fields.begin(), fields.end()));
    }
    parser_->eager(true);
    // A client that waits for permission before sending its body gets it at once.
    if (!parser_->is_done() && boost::beast::iequals(parser_->get()[http::field::expect], "100-continue")) {
        continueSent_ = true;
        queueWrite("HTTP/1.1 100 Continue\r\n\r\n");
    }
    return true;
}

bool HttpConnection::holdBody(std::size_t total) {
    if (total <= bodyBytesHeld_) return true;
    if (!app_->holdBodyBytes(total - bodyBytesHeld_)) {
        rejectRequest(kServiceUnavailable, "Server busy: too much request data at once.");
        return false;
    }
    bodyBytesHeld_ = total;
    return true;
}

void HttpConnection::releaseBody() {
    app_->releaseBodyBytes(bodyBytesHeld_);
    bodyBytesHeld_ = 0;
}

void HttpConnection::dispatch() {
    const bool chunked = parser_->chunked();
    request_.message = parser_->release();
    parser_.reset();
    startPhase(Phase::Waiting);
    if (chunked) {
        // Trailer fields come after the body, unchecked by anything that looked at the head:
        // they are dropped rather than mixed into it.
        auto field = std::next(request_.message.begin(), static_cast<std::ptrdiff_t>(headerFieldCount_));
        while (field != request_.message.end()) field = request_.message.erase(field);
    }
    std::string_view target = request_.message.target();
    std::size_t question = target.find('?');
    request_.path = target.substr(0, question);
    request_.query = question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
    keepAlive_ = request_.message.keep_alive();
    // HEAD is answered as GET without the body.
    headRequest_ = request_.message.method() == http::verb::head;
    const std::string_view method = headRequest_ ? "GET" : std::string_view(request_.message.method_string());

    current_ = std::make_shared<HttpResponse>(*this);
    auto response = current_;
    dispatching_ = true;
    HttpRequest request(request_);
    auto webSocketRoute = boost::beast::websocket::is_upgrade(request_.message)
                              ? app_->findWebSocketRoute(request_.path)
                              : nullptr;
    bool upgrading = false;
    const bool handled = app_->loop.guarded([&] {
        if (app_->filter && !app_->filter(request, *response)) {
            if (response->isOpen()) response->writeStatus("403 Forbidden")->end();
        } else if (webSocketRoute) {
            upgrading = true;
        } else if (const RouteHandler* handler = app_->findRoute(method, request_.path)) {
            (*handler)(response, request);
            response->deliverBody(std::move(request_.message.body()));
        } else if (app_->reject) {
            app_->reject(*response, "404 Not Found", "Not found.");
        }
    });
    releaseBody();  // handed to the route
    if (upgrading) {
        current_.reset();
        dispatching_ = false;
        upgrade(std::move(webSocketRoute));
        return;
    }
    // A handler that failed, or that neither answered nor kept the response to answer later
    // (only this connection and this call still refer to it), would leave the client waiting.
    if (response->isOpen() && (!handled || response.use_count() <= 2)) {
        app_->loop.guarded([&] {
            if (app_->reject) app_->reject(*response, "500 Internal Server Error", "Internal error.");
        });
        if (response->isOpen()) response->writeStatus("500 Internal Server Error")->end();
    }
    dispatching_ = false;
    request_.message = {};
}

void HttpConnection::rejectRequest(std::string_view status, std::string_view message) {
    parser_.reset();
    releaseBody();
    startPhase(Phase::Waiting);
    keepAlive_ = false;
    headRequest_ = false;
    current_ = std::make_shared<HttpResponse>(*this);
    auto response = current_;
    dispatching_ = true;
    if (app_->reject) app_->reject(*response, status, message);
    if (response->isOpen()) response->writeStatus(status)->end();
    dispatching_ = false;
}

void HttpConnection::upgrade(std::shared_ptr<const WebSocketRoute> route) {
    upgraded_ = true;
    auto session = std::make_shared<WebSocketSession>(app_, std::move(socket_), std::move(route));
    session->accept(std::move(request_.message));
    closed_ = true;  // the socket now belongs to the session
}

void HttpConnection::appendHead(std::string_view status, std::string_view headers) {
    outbox_.append("HTTP/1.1 ").append(status).append("\r\n").append(headers);
}

void HttpConnection::appendChunk(std::string_view piece) {
    if (piece.empty() || headRequest_) return;  // an empty chunk would end the body
    char size[24];
    outbox_.append(size, std::to_chars(size, size + sizeof size, piece.size(), 16).ptr).append("\r\n");
    outbox_.append(piece).append("\r\n");
}

void HttpConnection::completeResponse(HttpResponse& response, std::string_view status, std::string_view headers,
                                      std::string_view body) {
    if (&response != current_.get()) return;
    if (streaming_) {
        appendChunk(body);
        if (!headRequest_) outbox_.append("0\r\n\r\n");
        streaming_ = false;
    } else {
        // Head and body go straight into the output buffer, whose capacity is kept between replies.
        char length[24];
        appendHead(status, headers);
        outbox_.append("Content-Length: ");
        outbox_.append(length, std::to_chars(length, length + sizeof length, body.size()).ptr).append("\r\n");
        if (!keepAlive_) outbox_.append("Connection: close\r\n");
        outbox_.append("\r\n");
        if (!headRequest_) outbox_.append(body);
    }
    if (!keepAlive_) closeAfterWrite_ = true;
    current_.reset();
    // A reply leaving is activity: a response held past the idle limit must not be swept as idle
    // between here and its first write's completion.
    lastActiveTick_ = app_->idleTick;
    doWrite();
    if (!dispatching_) {
        // Answered later, from a loop task: pipelined requests waiting in the buffer go next.
        auto self = shared_from_this();
        processInput();
        doRead();
    }
}

// A held response that streams stays `current_`, so the idle sweep leaves it alone however long
// it waits between pieces; the client closing the connection aborts it as any held response.
void HttpConnection::streamResponse(HttpResponse& response, std::string_view status, std::string_view headers,
                                    std::string_view piece) {
    if (&response != current_.get()) return;
    if (!streaming_) {
        streaming_ = true;
        appendHead(status, headers);
        outbox_.append("Transfer-Encoding: chunked\r\n");
        if (!keepAlive_) outbox_.append("Connection: close\r\n");
        outbox_.append("\r\n");
    }
    appendChunk(piece);
    lastActiveTick_ = app_->idleTick;
    doWrite();
}

void HttpConnection::queueWrite(std::string_view bytes) {
    outbox_.append(bytes);
    doWrite();
}

void HttpConnection::doWrite() {
    if (writeInFlight_ || outbox_.empty() || closed_) return;
    writeInFlight_ = true;
    writing_.swap(outbox_);
    outbox_.clear();
    written_ = 0;
    writeSome();
}

// Written in pieces rather than with one composed write, so that every piece the client takes
// counts as progress: a large reply to a slow reader is not mistaken for an idle connection.
void HttpConnection::writeSome() {
    socket_.async_write_some(asio::buffer(writing_.data() + written_, writing_.size() - written_),
                             [self = shared_from_this()](const error_code& error, std::size_t bytes) {
                                 self->onWrite(error, bytes);
                             });
}

void HttpConnection::onWrite(const error_code& error, std::size_t bytes) {
    if (error) {
        writeInFlight_ = false;
        writing_.clear();
        closeSocket();
        return;
    }
    lastActiveTick_ = app_->idleTick;
    written_ += bytes;
    if (written_ < writing_.size() && !closed_) {
        writeSome();
        return;
    }
    writeInFlight_ = false;
    writing_.clear();
    if (closed_) return;
    if (!outbox_.empty()) {
        doWrite();
        return;
    }
    if (closeAfterWrite_ && !draining_) {
        // Stop sending, then read and discard what the client still sends until it closes, so
        // that it reads the reply rather than a connection reset.
        error_code ignored;
        socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
        draining_ = true;
        startPhase(Phase::Draining);
        input_.clear();
        doRead();
    }
}

void HttpConnection::closeSocket() {
    if (closed_) return;
    closed_ = true;
    streaming_ = false;
    releaseBody();
    error_code ignored;
    socket_.close(ignored);
    abortCurrent();
}

void HttpConnection::abortCurrent() {
    if (auto response = std::move(current_)) app_->loop.guarded([&] { response->abort(); });
}

}  // namespace Lumenbox::transport
