#pragma once

// Loop thread only.
// Private to the transport: one WebSocket connection after the upgrade.
#include <deque>
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "server/transport/AppState.h"
#include "server/transport/WebSocket.h"

namespace Lumenbox::transport {

class WebSocketSession : public TrackedConnection, public std::enable_shared_from_this<WebSocketSession> {
public:
    WebSocketSession(std::shared_ptr<App::State> app, boost::asio::ip::tcp::socket socket,
                     std::shared_ptr<const WebSocketRoute> route);
    ~WebSocketSession() override;

    void accept(boost::beast::http::request<boost::beast::http::string_body> request);
    void forceClose() override;
    // App::close: a 1001 (going away) close frame, then the socket closes.
    void closeGracefully() override;

    SendStatus send(std::string_view text);
    void end();

private:
    void onAccept(const boost::system::error_code& error);
    void doRead();
    void onRead(const boost::system::error_code& error);
    void doWrite();
    void onWrite(const boost::system::error_code& error);
    // Runs the close callback once, when the connection is over for any reason.
    void finish(int code, std::string_view reason);

    std::shared_ptr<App::State> app_;
    boost::beast::websocket::stream<boost::asio::ip::tcp::socket> stream_;
    std::shared_ptr<const WebSocketRoute> route_;
    std::unique_ptr<WebSocketHandle> handle_;
    boost::beast::flat_buffer readBuffer_;
    std::deque<std::string> queue_;  // front: the write in flight
    std::size_t queuedBytes_ = 0;    // bytes behind the write in flight
    bool open_ = false;              // accepted and not yet finished
    bool finished_ = false;
    bool closing_ = false;
};

}  // namespace Lumenbox::transport
