#include <nlohmann/json.hpp>

#include "base/Log.h"
#include "server/HttpServerImpl.h"
#include "server/RequestLog.h"
#include "server/json/JsonReply.h"
#include "server/LoopbackPolicy.h"
#include "auth/AuthorizeSessionRoute.h"
#include "scripts/CallScriptRoute.h"

namespace Lumenbox {

// The bridge's routes, in the order of its route table. Handlers that need the server state hold
// it shared, so that it outlives every request in flight; the features live while the loop runs,
// which is whenever a handler runs.
void HttpServer::Impl::registerRoutes(transport::App& app) {
    auto self = shared_from_this();
    app.get("/health", [self](auto res, auto&) { self->statusRoutes_.health(*res); });
    app.get("/config", [self](auto res, auto&) { self->servedPages_.configPage(*res); });
    app.get("/sessions", [self](auto res, auto&) { self->sessionRoutes_.list(*res); });
    app.post("/sessions/revoke", [self](auto res, auto&) { self->sessionRoutes_.revoke(res); });
    app.post("/sessions/revokeAll", [self](auto res, auto&) { self->sessionRoutes_.revokeAll(*res); });
    app.post("/tokens/revoke", [self](auto res, auto&) { self->sessionRoutes_.revokeToken(res); });
    app.post("/authorizeSession", [self](auto res, auto&) {
        handleAuthorizeSession(self->questions_, [self](const std::string& file) { return self->hasWebviewer(file); },
                               std::move(res));
    });
    app.get("/connectedFiles", [self](auto res, auto&) { self->statusRoutes_.connectedFiles(*res); });
    app.get("/bridgeStatus", [self](auto res, auto&) { self->statusRoutes_.bridgeStatus(*res); });
    app.get("/webviewerPing", [self](auto res, auto& req) { self->features_->pings.handleRoute(std::move(res), req); });
    app.get("/webviewer", [self](auto res, auto& req) { self->servedPages_.webviewerPage(*res, req); });
    app.get("/fm-mock.js", [self](auto res, auto& req) { self->servedPages_.fmMockScript(*res, req); });
    app.post("/callScript", [self](auto res, auto& req) {
        serveCallScript(self->features_->scriptCalls, std::move(res), req);
    });
    app.post("/mcp", [self](auto res, auto& req) { self->features_->mcp.handlePost(std::move(res), req); });
    app.del("/mcp", [self](auto res, auto& req) { self->features_->mcp.handleDelete(*res, req); });
    app.get("/mcp", [self](auto res, auto&) { self->features_->mcp.handleGet(*res); });

    transport::WebSocketBehavior<PerSocketData> endpoint;
    endpoint.settings.maxPayloadLength = kMaxWebSocketMessageBytes;
    endpoint.settings.idleTimeout = std::chrono::seconds(120);
    endpoint.settings.sendPingsAutomatically = true;
    endpoint.settings.maxBackpressure = 1024 * 1024;  // over it a message is dropped, never the connection
    endpoint.open = [](WebSocketConnection*) {
        if (debugLogEnabled()) logWebSocketEvent("open", {}, std::chrono::steady_clock::now());
    };
    endpoint.message = [self](WebSocketConnection* ws, std::string_view message, transport::OpCode opCode) {
        self->features_->dispatch.dispatch(ws, message, opCode);
    };
    endpoint.close = [self](WebSocketConnection* ws, int, std::string_view) {
        if (debugLogEnabled()) logWebSocketEvent("close", ws->getUserData()->fileName, std::chrono::steady_clock::now());
        self->features_->registry.handleClose(ws);
    };
    app.ws<PerSocketData>("/*", std::move(endpoint));

    // No web page may reach the bridge through the user's browser: see LoopbackPolicy.h.
    app.filter([](transport::HttpRequest& req, transport::HttpResponse& res) {
        // Every request passes here first, so this is where its end is arranged to be logged.
        if (debugLogEnabled()) logRequestWhenFinished(req, res);
        switch (checkLoopbackRequest(req.hasHeader("host"), req.getHeader("host"), req.hasHeader("origin"),
                                     req.getHeader("origin"))) {
            case LoopbackVerdict::Allowed: return true;
            case LoopbackVerdict::HostNotAllowed: writeJsonError(res, status::kForbidden, "Host not allowed."); return false;
            case LoopbackVerdict::OriginNotAllowed: writeJsonError(res, status::kForbidden, "Origin not allowed."); return false;
        }
        return false;
    });
    app.onReject([](transport::HttpResponse& res, std::string_view status, std::string_view message) {
        writeJsonError(res, status, message);
    });
}

}  // namespace Lumenbox
