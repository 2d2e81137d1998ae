#pragma once

// Loop thread only.
// Private to the transport: the state of an App shared with its connections.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "server/transport/App.h"

namespace Lumenbox::transport {

// Anything App::close must be able to close.
class TrackedConnection {
public:
    virtual ~TrackedConnection() = default;
    virtual void forceClose() = 0;
    // App::close: answer what is held, say goodbye, then close (see App::close).
    virtual void closeGracefully() { forceClose(); }
    // The idle sweep: closes the connection when it has made no progress since before the idle
    // tick `idleBefore`, or when its request has run past its deadline.
    virtual void sweep(std::uint64_t idleBefore) { (void)idleBefore; }
    // The tick of the last progress of a kept-alive connection that waits for its next request
    // (nothing read, held or being written), which may be closed to make room; otherwise none.
    virtual std::optional<std::uint64_t> idleSince() const { return std::nullopt; }
};

// Lets a route table be searched with the request's path as it is, without copying it.
struct PathHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view path) const noexcept { return std::hash<std::string_view>{}(path); }
};
using RouteMap = std::unordered_map<std::string, RouteHandler, PathHash, std::equal_to<>>;

struct App::State : std::enable_shared_from_this<App::State> {
    State(Loop& loop, HttpLimits limits);

    const RouteHandler* findRoute(std::string_view method, std::string_view path) const;
    std::shared_ptr<const WebSocketRoute> findWebSocketRoute(std::string_view path) const;

    void track(TrackedConnection* connection, std::weak_ptr<TrackedConnection> handle);
    void untrack(TrackedConnection* connection);

    // Idle connections are found by one coarse sweep rather than a timer per connection: each
    // sweep bumps `idleTick`, connections note the tick whenever they make progress, and those
    // whose tick is too old are closed. Request deadlines use the same ticks. The sweep runs only
    // while there are connections.
    void armIdleSweep();
    void sweepIdleConnections();
    // Sweeps that make up `limit`, rounded up. Something noted at tick T happened less than one
    // interval after the T-th sweep, so at sweep N it lies more than (N - T - 1) intervals back:
    // past the limit once N - T exceeds this.
    std::uint64_t ticksIn(std::chrono::milliseconds limit) const;
    // True once more than `limit` has passed since a moment noted as `startTick`.
    bool hasExpired(std::uint64_t startTick, std::chrono::milliseconds limit) const;
    // The tracked connections still alive, collected first: a connection may leave the map while
    // it is being closed.
    std::vector<std::shared_ptr<TrackedConnection>> openConnections() const;

    // Makes room for one more connection: true when under the cap or after closing the
    // kept-alive connection idle longest; false when the new one must be refused.
    bool makeRoomForConnection();

    // The count of bytes held by request bodies being read (HttpLimits::maxBodyBytesInFlight):
    // false, counting nothing, when `bytes` more would exceed it.
    bool holdBodyBytes(std::size_t bytes);
    void releaseBodyBytes(std::size_t bytes) { bodyBytesHeld -= bytes; }

    void startAccepting();
    void onAccept(const boost::system::error_code& error, boost::asio::ip::tcp::socket socket);

    Loop& loop;
    boost::asio::io_context& context;
    HttpLimits limits;
    RouteMap getRoutes;
    RouteMap postRoutes;
    RouteMap deleteRoutes;
    std::vector<std::pair<std::string, std::shared_ptr<const WebSocketRoute>>> webSocketRoutes;
    RejectHandler reject;
    RequestFilter filter;
    boost::asio::ip::tcp::acceptor acceptor;
    // After the process runs out of file descriptors, accepting pauses briefly instead of spinning.
    boost::asio::steady_timer acceptPause;
    bool closed = false;
    std::unordered_map<TrackedConnection*, std::weak_ptr<TrackedConnection>> connections;
    std::uint64_t idleTick = 0;
    std::chrono::milliseconds sweepInterval;
    Timer idleSweep;
    bool idleSweepArmed = false;
    std::size_t maxConnections;  // HttpLimits::maxConnections within the descriptor limit
    std::size_t bodyBytesHeld = 0;
    Timer closeGrace;  // App::close's bound on the goodbyes
};

}  // namespace Lumenbox::transport
