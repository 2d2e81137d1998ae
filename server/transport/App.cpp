#include "server/transport/App.h"

#include <algorithm>
#include <cerrno>

#include <sys/resource.h>

#include "server/transport/AppState.h"
#include "server/transport/HttpConnection.h"

namespace Lumenbox::transport {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {
// How long accepting pauses when the process has no file descriptor left for a new connection.
constexpr std::chrono::milliseconds kAcceptPauseOnExhaustion{200};

// The idle sweep's period: a tenth of the shortest limit it watches, so that a connection is
// closed at most 10% after its limit, but never more often than every 10 ms nor less often than
// every second.
std::chrono::milliseconds idleSweepInterval(const HttpLimits& limits) {
    using std::chrono::milliseconds;
    const milliseconds shortest = std::min({limits.idleTimeout, limits.headTimeout, limits.bodyTimeout});
    return std::clamp(shortest / 10, milliseconds(10), milliseconds(1000));
}

// Every connection takes a descriptor, and FileMaker needs its own for files and plug-ins: the
// bridge takes at most half of the process's limit.
std::size_t connectionCap(std::size_t configured) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::max<std::size_t>(configured, 1);
    return std::max<std::size_t>(1, std::min<std::size_t>(configured, static_cast<std::size_t>(limit.rlim_cur / 2)));
}

class BoundSocket : public ListenSocket {
public:
    explicit BoundSocket(int port) : port_(port) {}
    int port() const override { return port_; }

private:
    int port_;
};
}  // namespace

App::State::State(Loop& loop, HttpLimits limits)
    : loop(loop),
      context(*static_cast<asio::io_context*>(loop.nativeHandle())),
      limits(limits),
      acceptor(context),
      acceptPause(context),
      sweepInterval(idleSweepInterval(limits)),
      idleSweep(loop),
      maxConnections(connectionCap(limits.maxConnections)),
      closeGrace(loop) {}

const RouteHandler* App::State::findRoute(std::string_view method, std::string_view path) const {
    const auto* routes = method == "GET"      ? &getRoutes
                         : method == "POST"   ? &postRoutes
                         : method == "DELETE" ? &deleteRoutes
                                              : nullptr;
    if (!routes) return nullptr;
    auto it = routes->find(path);
    return it == routes->end() ? nullptr : &it->second;
}

std::shared_ptr<const WebSocketRoute> App::State::findWebSocketRoute(std::string_view path) const {
    for (const auto& [pattern, route] : webSocketRoutes) {
        if (pattern == "/*" || pattern == path) return route;
    }
    return nullptr;
}

void App::State::track(TrackedConnection* connection, std::weak_ptr<TrackedConnection> handle) {
    connections.emplace(connection, std::move(handle));
    armIdleSweep();
}

void App::State::untrack(TrackedConnection* connection) {
    connections.erase(connection);
    // The last goodbye of App::close has gone out: nothing is left to wait for.
    if (closed && connections.empty()) closeGrace.cancel();
}

std::uint64_t App::State::ticksIn(std::chrono::milliseconds limit) const {
    return static_cast<std::uint64_t>((limit + sweepInterval - std::chrono::milliseconds(1)) / sweepInterval);
}

bool App::State::hasExpired(std::uint64_t startTick, std::chrono::milliseconds limit) const {
    return idleTick > startTick + ticksIn(limit);
}

std::vector<std::shared_ptr<TrackedConnection>> App::State::openConnections() const {
    std::vector<std::shared_ptr<TrackedConnection>> open;
    open.reserve(connections.size());
    for (auto& [raw, weak] : connections) {
        if (auto connection = weak.lock()) open.push_back(std::move(connection));
    }
    return open;
}

bool App::State::makeRoomForConnection() {
    if (connections.size() < maxConnections) return true;
    std::shared_ptr<TrackedConnection> oldest;
    std::uint64_t oldestTick = 0;
    for (auto& [raw, weak] : connections) {
        auto since = raw->idleSince();
        if (!since || (oldest && *since >= oldestTick)) continue;
        if (auto connection = weak.lock()) {
            oldest = std::move(connection);
            oldestTick = *since;
        }
    }
    if (!oldest) return false;
    oldest->forceClose();
    return true;
}

bool App::State::holdBodyBytes(std::size_t bytes) {
    if (bytes > limits.maxBodyBytesInFlight - bodyBytesHeld) return false;
    bodyBytesHeld += bytes;
    return true;
}

void App::State::armIdleSweep() {
    if (closed || idleSweepArmed || connections.empty()) return;
    idleSweepArmed = true;
    idleSweep.start(sweepInterval, [this] {
        idleSweepArmed = false;
        sweepIdleConnections();
    });
}

void App::State::sweepIdleConnections() {
    ++idleTick;
    const std::uint64_t allowed = ticksIn(limits.idleTimeout);
    const std::uint64_t idleBefore = idleTick > allowed ? idleTick - allowed : 0;
    for (auto& connection : openConnections()) connection->sweep(idleBefore);
    armIdleSweep();
}

void App::State::startAccepting() {
    if (closed) return;
    acceptor.async_accept([self = shared_from_this()](const error_code& error, asio::ip::tcp::socket socket) {
        self->onAccept(error, std::move(socket));
    });
}

void App::State::onAccept(const error_code& error, asio::ip::tcp::socket socket) {
    if (closed || error == asio::error::operation_aborted) return;
    if (error == asio::error::no_descriptors || error.value() == ENFILE || error == asio::error::no_buffer_space ||
        error == asio::error::no_memory) {
        // Waiting connections stay in the backlog; existing ones keep being served meanwhile.
        acceptPause.expires_after(kAcceptPauseOnExhaustion);
        acceptPause.async_wait([self = shared_from_this()](const error_code& waitError) {
            if (!waitError) self->startAccepting();
        });
        return;
    }
    if (!error) {
        auto connection = std::make_shared<HttpConnection>(shared_from_this(), std::move(socket));
        if (makeRoomForConnection()) {
            connection->start();
        } else {
            connection->refuse("503 Service Unavailable", "Too many connections.");
        }
    }
    startAccepting();
}

App::App(Loop& loop, HttpLimits limits) : state_(std::make_shared<State>(loop, limits)) {}

App::~App() {
    close();
    // Normally nothing is left: the loop has run the goodbyes to their end. If the loop stopped
    // first, whatever remains is closed here.
    for (auto& connection : state_->openConnections()) connection->forceClose();
    state_->closeGrace.cancel();
}

App& App::get(std::string path, RouteHandler handler) {
    state_->getRoutes[std::move(path)] = std::move(handler);
    return *this;
}

App& App::post(std::string path, RouteHandler handler) {
    state_->postRoutes[std::move(path)] = std::move(handler);
    return *this;
}

App& App::del(std::string path, RouteHandler handler) {
    state_->deleteRoutes[std::move(path)] = std::move(handler);
    return *this;
}

App& App::addWebSocketRoute(std::string pattern, WebSocketRoute route) {
    state_->webSocketRoutes.emplace_back(std::move(pattern), std::make_shared<const WebSocketRoute>(std::move(route)));
    return *this;
}

Loop& App::loop() const {
    return state_->loop;
}

App& App::filter(RequestFilter filter) {
    state_->filter = std::move(filter);
    return *this;
}

App& App::onReject(RejectHandler handler) {
    state_->reject = std::move(handler);
    return *this;
}

void App::listen(const std::string& host, int port, const std::function<void(ListenSocket*, int)>& callback) {
    error_code error;
    auto address = asio::ip::make_address(host, error);
    asio::ip::tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
    auto& acceptor = state_->acceptor;
    if (!error) acceptor.open(endpoint.protocol(), error);
    // Address reuse lets a restarted server bind past connections in TIME_WAIT; it never lets two
    // listeners share the port (no port reuse).
    if (!error) acceptor.set_option(asio::socket_base::reuse_address(true), error);
    if (!error) acceptor.bind(endpoint, error);
    if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
        int number = error.value();
        error_code ignored;
        acceptor.close(ignored);
        callback(nullptr, number);
        return;
    }
    BoundSocket socket(acceptor.local_endpoint().port());
    state_->startAccepting();
    callback(&socket, 0);
}

void App::close() {
    auto& state = *state_;
    if (state.closed) return;
    state.closed = true;
    error_code ignored;
    state.acceptor.close(ignored);
    state.acceptPause.cancel();
    state.idleSweep.cancel();
    state.idleSweepArmed = false;
    // The list is gone after this statement, so connections that closed at once have left the map.
    for (auto& connection : state.openConnections()) connection->closeGracefully();
    if (state.connections.empty()) return;
    state.closeGrace.start(state.limits.closeGracePeriod, [&state] {
        for (auto& connection : state.openConnections()) connection->forceClose();
    });
}

}  // namespace Lumenbox::transport
