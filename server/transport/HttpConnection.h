#pragma once

// Private to the transport: one HTTP/1.1 connection, from accept until it closes or upgrades.
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include "server/transport/AppState.h"
#include "server/transport/HttpResponse.h"
#include "server/transport/RequestMessage.h"

namespace Lumenbox::transport {

// Reads whenever the socket has data, also while a route holds a response, so that a client that
// goes away is noticed at once (the held response is aborted). Requests are parsed one at a time:
// the next one waits in the buffer until the current response has ended, so replies go out in
// request order. A reply's head and body go into one buffer, written in as many pieces as the
// socket takes, so that every piece counts as progress against the idle limit. Loop thread only.
class HttpConnection : public TrackedConnection, public std::enable_shared_from_this<HttpConnection> {
public:
    HttpConnection(std::shared_ptr<App::State> app, boost::asio::ip::tcp::socket socket);
    ~HttpConnection() override;

    void start();
    // Instead of `start`, for a connection over the cap: answers at once and closes.
    void refuse(std::string_view status, std::string_view message);
    void forceClose() override;
    void closeGracefully() override;
    void sweep(std::uint64_t idleBefore) override;
    std::optional<std::uint64_t> idleSince() const override;

    // Called by HttpResponse::end with the finished head (status and headers) and the body.
    void completeResponse(HttpResponse& response, std::string_view status, std::string_view headers,
                          std::string_view body);
    // Called by HttpResponse::write: the head with chunked transfer encoding on the first call,
    // then `piece` as one chunk.
    void streamResponse(HttpResponse& response, std::string_view status, std::string_view headers,
                        std::string_view piece);

private:
    using Parser = boost::beast::http::request_parser<boost::beast::http::string_body>;

    // What the connection waits for, for the sweep's deadlines (HttpLimits::headTimeout and
    // bodyTimeout). While a response is held or being written only the idle rule applies.
    enum class Phase : std::uint8_t { Waiting, Head, Body, Draining };

    void doRead();
    void onRead(const boost::system::error_code& error, std::size_t bytes);
    void processInput();
    void dispatch();
    // After the head: counts the declared body against the app's cap and lets the body in.
    bool beginBody();
    // Counts `total` bytes of body as held; answers 503 and returns false when over the cap.
    bool holdBody(std::size_t total);
    void releaseBody();
    void startPhase(Phase phase);
    void rejectRequest(std::string_view status, std::string_view message);
    void upgrade(std::shared_ptr<const WebSocketRoute> route);
    void queueWrite(std::string_view bytes);
    void appendHead(std::string_view status, std::string_view headers);
    void appendChunk(std::string_view piece);
    void doWrite();
    void writeSome();
    void onWrite(const boost::system::error_code& error, std::size_t bytes);
    void closeSocket();
    void abortCurrent();

    std::shared_ptr<App::State> app_;
    boost::asio::ip::tcp::socket socket_;
    boost::beast::flat_buffer input_;
    std::optional<Parser> parser_;
    RequestMessage request_;
    std::shared_ptr<HttpResponse> current_;  // the response a route is answering, if any
    bool keepAlive_ = true;                  // of the current request
    bool continueSent_ = false;              // "100 Continue" answered for the current request
    std::string outbox_;                     // bytes waiting for the write in flight
    std::string writing_;                    // bytes of the write in flight
    std::size_t written_ = 0;                // of them, how many the socket has taken
    bool reading_ = false;
    bool writeInFlight_ = false;
    bool dispatching_ = false;
    bool closeAfterWrite_ = false;  // the last reply said "Connection: close"
    bool draining_ = false;         // reply sent, now discarding input until the client closes
    bool closed_ = false;
    bool upgraded_ = false;
    std::size_t drained_ = 0;
    std::uint64_t lastActiveTick_ = 0;  // the app's idle tick at the last byte read or written
    Phase phase_ = Phase::Waiting;
    std::uint64_t phaseStartTick_ = 0;
    std::size_t bodyBytesHeld_ = 0;     // of the app's count of bytes held by bodies
    std::size_t headerFieldCount_ = 0;  // fields of a chunked request's head; later ones are trailers
    bool headRequest_ = false;          // the current request is a HEAD: the reply has no body
    bool streaming_ = false;            // the current reply's head has gone out, its body goes in chunks
};

}  // namespace Lumenbox::transport
