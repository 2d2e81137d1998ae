#include <cerrno>
#include <cstdlib>
#include <optional>

#include <nlohmann/json.hpp>

#include "server/HttpServerImpl.h"
#include "server/JsonReply.h"
#include "server/json/JsonText.h"
#include "webviewer/FileName.h"
#include "base/Identifiers.h"
#include "base/Text.h"

namespace Lumenbox {

namespace {

constexpr std::int32_t kDefaultPingTimeoutMs = 1500;
// A ping proves that a page answers now; a page that needs longer is as good as gone.
constexpr long kMaxPingTimeoutMs = 5000;

// The "timeout" query: absent or empty means the default; otherwise a whole base-10 number from 1
// to 5000 (leading white space and one sign accepted, nothing after the digits).
std::optional<std::int32_t> parsePingTimeoutMs(const std::string& text) {
    if (text.empty()) return kDefaultPingTimeoutMs;
    const auto value = parseWholeInteger(text);
    if (!value || *value < 1 || *value > kMaxPingTimeoutMs) return std::nullopt;
    return static_cast<std::int32_t>(*value);
}

}  // namespace

void HttpServer::Impl::handleWebviewerPing(std::shared_ptr<transport::HttpResponse> res, transport::HttpRequest& req) {
    const std::string session(req.getHeader("x-lumenbox-session"));
    // Validation order: time limit, file name, registry, session.
    const auto timeoutMs = parsePingTimeoutMs(req.getQuery("timeout"));
    if (!timeoutMs) {
        return writeJsonError(*res, "400 Bad Request",
                              "Invalid timeout query parameter. Expected positive integer milliseconds.");
    }
    const std::string fileName = normalizeFileName(req.getQuery("fileName"));
    if (fileName.empty()) {
        return writeJsonValue(*res, "400 Bad Request",
                              {{"code", "missing_file_name"}, {"error", "Missing required fileName query parameter."}});
    }
    auto webviewer = webviewers_.find(fileName);
    if (webviewer == webviewers_.end()) {
        return writeJsonValue(*res, "404 Not Found",
                              {{"code", "webviewer_not_connected"},
                               {"error", "No active WebSocket for " + fileName},
                               {"fileName", fileName},
                               {"webviewerConnected", false}});
    }
    if (!isCallAuthorized(session, fileName)) {
        return writeJsonValue(*res, "401 Unauthorized",
                              {{"code", "session_not_authorized"}, {"error", "Session is not authorized for " + fileName}});
    }

    const std::string id = generateUuid();
    PendingWebviewerPing ping;
    ping.res = res;
    ping.fileName = fileName;
    ping.startedAt = std::chrono::steady_clock::now();
    ping.timeoutMs = *timeoutMs;
    ping.target = webviewer->second;
    ping.timer = std::make_unique<transport::Timer>(app_->loop());
    ping.timer->start(std::chrono::milliseconds(*timeoutMs), [this, id] { onPingTimeout(id); });
    pendingWebviewerPings_.insert_or_assign(id, std::move(ping));
    res->onAborted([this, id] { pendingWebviewerPings_.erase(id); });

    // A ping the connection's queue cannot take never reaches the page: say so now rather than
    // report a silent page at the end of the time limit.
    if (webviewer->second->send(json::serialize({{"id", id}, {"type", "ping"}})) == transport::SendStatus::Dropped) {
        pendingWebviewerPings_.erase(id);
        writeJsonValue(*res, "502 Bad Gateway",
                       {{"code", "webviewer_ping_send_failed"},
                        {"error", "Failed to send ping to webviewer for " + fileName},
                        {"fileName", fileName},
                        {"webviewerConnected", true}});
    }
}

void HttpServer::Impl::onPingTimeout(const std::string& id) {
    auto it = pendingWebviewerPings_.find(id);
    if (it == pendingWebviewerPings_.end()) return;
    PendingWebviewerPing ping = std::move(it->second);
    pendingWebviewerPings_.erase(it);
    if (!ping.res) return;
    writeJsonValue(*ping.res, "504 Gateway Timeout",
                   {{"code", "webviewer_ping_timeout"},
                    {"error", "Timed out waiting for webviewer pong"},
                    {"fileName", ping.fileName},
                    {"timeoutMs", ping.timeoutMs},
                    {"webviewerConnected", webviewers_.contains(ping.fileName)}});
}

// A "pong" completes the ping with its id when it comes from a registered web viewer of the
// pinged file. Anything else (another role, another file, an id that is missing, not a string or
// not pending) is ignored, and the ping can still be answered or time out.
void HttpServer::Impl::handlePong(WebSocketConnection* ws, const nlohmann::json& message) {
    const PerSocketData& data = *ws->getUserData();
    if (!data.registered || data.role != kRoleWebviewer) return;
    auto id = message.find("id");
    if (id == message.end() || !id->is_string()) return;
    auto it = pendingWebviewerPings_.find(id->get_ref<const std::string&>());
    if (it == pendingWebviewerPings_.end() || it->second.fileName != data.fileName) return;

    const std::string pingId = it->first;
    PendingWebviewerPing ping = std::move(it->second);
    pendingWebviewerPings_.erase(it);
    if (!ping.res) return;
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - ping.startedAt);
    writeJsonValue(*ping.res, "200 OK",
                   {{"code", "webviewer_responsive"},
                    {"elapsedMs", elapsed.count()},
                    {"fileName", ping.fileName},
                    {"id", pingId},
                    {"status", "ok"}});
}

// Called when a registered web viewer closes. Only the pings sent to the closing connection fail:
// those sent to a newer web viewer of the same file keep waiting for it.
void HttpServer::Impl::rejectPendingWebviewerPingsForFile(const std::string& fileName, WebSocketConnection* closing) {
    for (auto it = pendingWebviewerPings_.begin(); it != pendingWebviewerPings_.end();) {
        if (it->second.fileName != fileName || it->second.target != closing) {
            ++it;
            continue;
        }
        PendingWebviewerPing ping = std::move(it->second);
        it = pendingWebviewerPings_.erase(it);
        if (!ping.res) continue;
        writeJsonValue(*ping.res, "502 Bad Gateway",
                       {{"code", "webviewer_disconnected"},
                        {"error", "WebSocket disconnected before pong for " + fileName},
                        {"fileName", fileName},
                        {"webviewerConnected", false}});
    }
}

}  // namespace Lumenbox
