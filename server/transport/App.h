#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "server/transport/HttpRequest.h"
#include "server/transport/HttpResponse.h"
#include "server/transport/Loop.h"
#include "server/transport/WebSocket.h"

namespace Lumenbox::transport {

class ListenSocket {
public:
    virtual ~ListenSocket() = default;
    virtual int port() const = 0;
};

using RouteHandler = std::function<void(std::shared_ptr<HttpResponse>, HttpRequest&)>;

// Runs before routing for every request and WebSocket upgrade. Returns false after answering
// `res` itself to refuse the request (an upgrade refused this way gets that HTTP reply).
using RequestFilter = std::function<bool(HttpRequest& req, HttpResponse& res)>;

// Answers the requests that no route takes or that the transport refuses by itself (unknown path,
// body over the limit, malformed request): `status` is the full status text, `message` a short
// sentence for the body.
using RejectHandler = std::function<void(HttpResponse&, std::string_view status, std::string_view message)>;

struct HttpLimits {
    std::size_t maxHeaderBytes = 8 * 1024;          // larger headers: 431
    std::size_t maxBodyBytes = 16 * 1024 * 1024;   // larger bodies: 413, connection closed
    // A connection that neither receives nor sends for this long while no response is held is
    // closed: a kept-alive connection nobody uses, or a client that stalls mid-request or stops
    // reading its reply. A held response is watched by its route's own time limit instead.
    std::chrono::milliseconds idleTimeout{std::chrono::seconds(10)};
};

// The HTTP/WebSocket application on one loop: routes by method and exact path, a WebSocket route
// by path pattern, one listening socket on a loopback address. Use on the loop thread only.
class App {
public:
    explicit App(Loop& loop, HttpLimits limits = {});
    ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    App& get(std::string path, RouteHandler handler);
    App& post(std::string path, RouteHandler handler);
    // "/*" takes an upgrade on any path; any other pattern must match the path exactly.
    template <class UserData>
    App& ws(std::string pattern, WebSocketBehavior<UserData> behavior);
    App& onReject(RejectHandler handler);
    App& filter(RequestFilter filter);

    // The loop the application runs on, for timers of its routes.
    Loop& loop() const;

    // Binds and listens at once, then calls `callback` with the listening socket, or with null and
    // the system's error number. Accepted connections are served by the loop.
    void listen(const std::string& host, int port,
                const std::function<void(ListenSocket*, int errorNumber)>& callback);

    // Closes the listening socket and every connection, HTTP and WebSocket, so that the loop runs
    // out of work. WebSocket close callbacks and HTTP abort handlers still run.
    void close();

    struct State;

private:
    App& addWebSocketRoute(std::string pattern, WebSocketRoute route);

    std::shared_ptr<State> state_;
};

template <class UserData>
App& App::ws(std::string pattern, WebSocketBehavior<UserData> behavior) {
    using Socket = WebSocket<UserData>;
    WebSocketRoute route;
    route.settings = behavior.settings;
    route.createHandle = [] { return std::make_unique<Socket>(); };
    if (behavior.open) {
        route.open = [open = std::move(behavior.open)](WebSocketHandle* ws) { open(static_cast<Socket*>(ws)); };
    }
    if (behavior.message) {
        route.message = [message = std::move(behavior.message)](WebSocketHandle* ws, std::string_view data, OpCode op) {
            message(static_cast<Socket*>(ws), data, op);
        };
    }
    if (behavior.close) {
        route.close = [close = std::move(behavior.close)](WebSocketHandle* ws, int code, std::string_view reason) {
            close(static_cast<Socket*>(ws), code, reason);
        };
    }
    return addWebSocketRoute(std::move(pattern), std::move(route));
}

}  // namespace Lumenbox::transport
