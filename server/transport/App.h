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
    // The whole request head must arrive within this time, counted from its first byte (or, for
    // a request already waiting behind the previous one, from the end of that one's response):
    // a client trickling a byte now and then never resets it, unlike the idle limit.
    std::chrono::milliseconds headTimeout{std::chrono::seconds(10)};
    // The whole body must arrive within `bodyTimeout` plus `bodyTimePerMiB` for every full MiB
    // of its declared length (of what has arrived so far, for a chunked body), counted from the
    // end of the head: 60 s for any body of the bridge, 76 s for one of the largest allowed.
    // Over it the connection is closed. A refused request's remaining input is read and
    // discarded for at most `headTimeout`.
    std::chrono::milliseconds bodyTimeout{std::chrono::seconds(60)};
    std::chrono::milliseconds bodyTimePerMiB{std::chrono::seconds(1)};
    // Open connections, HTTP and WebSocket together. The effective cap is also at most half of
    // the process's descriptor limit (RLIMIT_NOFILE soft limit, read when the App is made), so
    // that the host keeps descriptors for its own files. A connection over the cap closes the
    // kept-alive connection idle longest, or when none is idle is answered 503 and closed.
    std::size_t maxConnections = 1024;
    // Bytes held by all request bodies being read at once: a declared length counts from the end
    // of its head, a chunked body as it grows, until the body has been handed to its route. A
    // request that would take the total over it is answered 503 and its connection closed, so
    // that many large bodies at once cannot make the host swap.
    std::size_t maxBodyBytesInFlight = 64 * 1024 * 1024;
    // How long App::close waits for held requests' 503 replies and WebSocket close frames to go
    // out before it closes what is left regardless: a client that does not read cannot hold up
    // the stop.
    std::chrono::milliseconds closeGracePeriod{std::chrono::seconds(1)};
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
    App& del(std::string path, RouteHandler handler);
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
    // out of work. A held response (a route's, not yet ended) is first answered through the
    // reject handler with "503 Service Unavailable", and each WebSocket gets a 1001 (going away)
    // close frame; what has not finished after HttpLimits::closeGracePeriod is closed at once.
    // WebSocket close callbacks and HTTP abort handlers (of requests still being read) still run.
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
