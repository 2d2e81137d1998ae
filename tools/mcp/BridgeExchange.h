#pragma once

// One HTTP exchange with the bridge: a POST of one JSON-RPC message (or the DELETE that ends a
// session), its reply read as it arrives. Thread rule: a ConnectionPool, its exchanges and their
// handlers belong to the thread that runs the io_context.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "tools/mcp/Endpoint.h"
#include "tools/mcp/MessageHeaders.h"

namespace Lumenbox::mcpstdio {

struct ExchangeOutcome {
    enum class Ending {
        Answered,     // a whole reply arrived
        Unreachable,  // no connection could be made: nothing reached the bridge
        Lost,         // the connection ended before the reply was whole
    };
    Ending ending = Ending::Answered;
    int status = 0;
    std::string sessionId;     // the reply's Mcp-Session-Id
    bool eventStream = false;  // the body came as text/event-stream, handed out event by event
    std::string body;          // any other body, whole
    std::string error;         // what went wrong, for the log
};

// Connections to the bridge kept open between exchanges, so that a message does not pay for a
// connect. A connection idle for a while is not reused: the bridge closes idle connections.
class ConnectionPool {
public:
    struct Connection;

    ConnectionPool(boost::asio::io_context& context, Endpoint endpoint);
    ~ConnectionPool();

    boost::asio::io_context& context() { return context_; }
    const Endpoint& endpoint() const { return endpoint_; }
    // An open idle connection, or nullptr.
    std::unique_ptr<Connection> take();
    void giveBack(std::unique_ptr<Connection> connection);

private:
    boost::asio::io_context& context_;
    Endpoint endpoint_;
    std::vector<std::unique_ptr<Connection>> idle_;
};

class BridgeExchange : public std::enable_shared_from_this<BridgeExchange> {
public:
    using OnEvent = std::function<void(const std::string& data)>;
    using OnEnd = std::function<void(ExchangeOutcome)>;

    // Sends `body` with `headers` (besides Host, Content-Type, Accept and Content-Length); each
    // event of an event-stream reply goes to onEvent as it arrives, then onEnd runs once. A reused
    // connection that the bridge had closed is replaced by a new one, once, before anything of the
    // reply has been read.
    static std::shared_ptr<BridgeExchange> start(ConnectionPool& pool, std::string method, std::string body,
                                                 const Headers& headers, OnEvent onEvent, OnEnd onEnd);
    ~BridgeExchange();

    // Closes the connection: the bridge takes that as a cancellation. No handler runs afterwards.
    void abort();

private:
    struct State;
    explicit BridgeExchange(ConnectionPool& pool);
    void connect();
    void onConnected();
    void write();
    void readHead();
    void readBody();
    void failed(const std::string& what, bool beforeReply);
    void complete();
    void end();

    std::unique_ptr<State> state_;
};

}  // namespace Lumenbox::mcpstdio
