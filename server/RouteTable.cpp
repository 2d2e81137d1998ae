#include <nlohmann/json.hpp>

#include "server/HttpServerImpl.h"
#include "server/JsonReply.h"

namespace Lumenbox {

// The bridge's routes, in the order of its route table. Handlers that need the server state hold
// it shared, so that it outlives every request in flight.
void HttpServer::Impl::registerRoutes(transport::App& app) {
    auto self = shared_from_this();
    app.get("/health", [self](auto res, auto&) { self->handleHealth(*res); });
    app.get("/connectedFiles", [self](auto res, auto&) { self->handleConnectedFiles(*res); });
    app.get("/bridgeStatus", [self](auto res, auto&) { self->handleBridgeStatus(*res); });
    app.post("/callScript", [self](auto res, auto& req) { self->handleCallScript(std::move(res), req); });

    transport::WebSocketBehavior<PerSocketData> endpoint;
    endpoint.settings.maxPayloadLength = 16 * 1024 * 1024;
    endpoint.settings.idleTimeout = std::chrono::seconds(120);
    endpoint.settings.sendPingsAutomatically = true;
    endpoint.settings.maxBackpressure = 1024 * 1024;  // over it a message is dropped, never the connection
    endpoint.open = [](WebSocketConnection*) {};
    endpoint.message = [self](WebSocketConnection* ws, std::string_view message, transport::OpCode opCode) {
        self->onWsMessage(ws, message, opCode);
    };
    endpoint.close = [self](WebSocketConnection* ws, int, std::string_view) { self->onWsClose(ws); };
    app.ws<PerSocketData>("/*", std::move(endpoint));

    app.onReject([](transport::HttpResponse& res, std::string_view status, std::string_view message) {
        writeJsonError(res, status, message);
    });
}

}  // namespace Lumenbox
