#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>

namespace Lumenbox::transport {

class WebSocketSession;

enum class OpCode { Text, Binary };

enum class SendStatus {
    Sent,          // handed to the socket now
    Backpressure,  // queued behind earlier messages, within the connection's cap
    Dropped,       // over the cap, or the connection is closing: not sent, connection kept
};

// Loop thread only: every call on a handle runs where its callbacks run.
// Handle of one WebSocket connection, handed to the route's callbacks. Valid from the open
// callback until the close callback has returned; after that the server keeps no handle.
class WebSocketHandle {
public:
    virtual ~WebSocketHandle() = default;

    // Sends one text message as a single uncompressed frame. At most one write is in flight; the
    // rest wait in a queue whose size is capped (see WebSocketSettings::maxBackpressure).
    SendStatus send(std::string_view text);
    // Starts the closing handshake with a normal close code.
    void end();
    // Closes the connection at once.
    void close();

private:
    friend class WebSocketSession;
    WebSocketSession* session_ = nullptr;
};

// A connection's handle with its per-connection data, created fresh at every upgrade.
template <class UserData>
class WebSocket : public WebSocketHandle {
public:
    UserData* getUserData() { return &userData_; }

private:
    UserData userData_{};
};

struct WebSocketSettings {
    // Largest message accepted; a longer one closes the connection.
    std::size_t maxPayloadLength = 16 * 1024 * 1024;
    // A connection silent for this long is closed; pings are sent in the meantime if enabled.
    std::chrono::seconds idleTimeout{120};
    bool sendPingsAutomatically = true;
    // Bytes that may wait behind the write in flight; a message that would exceed it is dropped.
    std::size_t maxBackpressure = 1024 * 1024;
};

template <class UserData>
struct WebSocketBehavior {
    WebSocketSettings settings;
    std::function<void(WebSocket<UserData>*)> open;
    std::function<void(WebSocket<UserData>*, std::string_view message, OpCode)> message;
    std::function<void(WebSocket<UserData>*, int code, std::string_view reason)> close;
};

// The untyped form that the transport runs; App::ws builds it from a WebSocketBehavior.
struct WebSocketRoute {
    WebSocketSettings settings;
    std::function<std::unique_ptr<WebSocketHandle>()> createHandle;
    std::function<void(WebSocketHandle*)> open;
    std::function<void(WebSocketHandle*, std::string_view, OpCode)> message;
    std::function<void(WebSocketHandle*, int, std::string_view)> close;
};

}  // namespace Lumenbox::transport
