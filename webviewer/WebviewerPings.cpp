#include "webviewer/WebviewerPings.h"

#include <optional>
#include <utility>

#include <nlohmann/json.hpp>

#include "base/Identifiers.h"
#include "base/Text.h"
#include "server/json/JsonReply.h"
#include "server/json/JsonText.h"
#include "base/FileName.h"

namespace Lumenbox {

namespace {

constexpr std::int32_t kDefaultPingTimeoutMs = 1500;
// A ping proves that a page answers now; a page that needs longer is as good as gone.
constexpr std::int32_t kMaxPingTimeoutMs = 5000;

}  // namespace

WebviewerPings::WebviewerPings(transport::Loop& loop, const MonotonicClock& clock, Hooks hooks)
    : clock_(clock), hooks_(std::move(hooks)), pending_(loop) {}

void WebviewerPings::handleRoute(std::shared_ptr<transport::HttpResponse> res, transport::HttpRequest& req) {
    const std::string session = sessionIdOrNone(req.getHeader("x-lumenbox-session"));
    // Validation order: time limit, file name, registry, session.
    const auto timeoutMs = parseTimeLimitMs(req.getQuery("timeout"), kDefaultPingTimeoutMs, kMaxPingTimeoutMs);
    if (!timeoutMs) {
        return writeJsonError(*res, status::kBadRequest,
                              "Invalid timeout query parameter. Expected integer milliseconds from 1 to " +
                                  std::to_string(kMaxPingTimeoutMs) + ".");
    }
    const std::string fileName = normalizeFileName(req.getQuery("fileName"));
    if (fileName.empty()) {
        return writeCodedJsonError(*res, status::kBadRequest, "missing_file_name",
                                   "Missing required fileName query parameter.");
    }
    WebSocketConnection* webviewer = hooks_.webviewerOf(fileName);
    if (!webviewer) {
        return writeCodedJsonError(*res, status::kNotFound, "webviewer_not_connected",
                                   "File " + fileName + " has no connected web viewer",
                                   {{"fileName", fileName}, {"webviewerConnected", false}});
    }
    if (!hooks_.gate.admit(session, fileName, {})) {
        return writeCodedJsonError(*res, status::kUnauthorized, "session_not_authorized",
                                   "Session is not authorized for " + fileName);
    }

    auto id = ping(fileName, webviewer, *timeoutMs, [res, fileName, limit = *timeoutMs](const Outcome& outcome) {
        switch (outcome.kind) {
            case Outcome::Kind::Pong:
                return writeJsonValue(*res, status::kOk,
                                      {{"code", "webviewer_responsive"},
                                       {"elapsedMs", outcome.elapsedMs},
                                       {"fileName", fileName},
                                       {"id", outcome.id},
                                       {"status", "ok"}});
            case Outcome::Kind::TimedOut:
                return writeCodedJsonError(*res, status::kGatewayTimeout, "webviewer_ping_timeout",
                                           "Timed out waiting for webviewer pong",
                                           {{"fileName", fileName},
                                            {"timeoutMs", limit},
                                            {"webviewerConnected", outcome.webviewerConnected}});
            case Outcome::Kind::Disconnected:
                return writeCodedJsonError(*res, status::kBadGateway, "webviewer_disconnected",
                                           "WebSocket disconnected before pong for " + fileName,
                                           {{"fileName", fileName}, {"webviewerConnected", false}});
            case Outcome::Kind::SendFailed:
                return writeCodedJsonError(*res, status::kBadGateway, "webviewer_ping_send_failed",
                                           "Failed to send ping to webviewer for " + fileName,
                                           {{"fileName", fileName}, {"webviewerConnected", true}});
        }
    });
    if (id) pending_.forgetWhenAborted(*res, *id);
}

std::optional<std::string> WebviewerPings::ping(const std::string& fileName, WebSocketConnection* webviewer,
                                                std::int32_t timeoutMs, OutcomeHandler done) {
    const std::string id = hooks_.newId ? hooks_.newId() : generateUuid();
    PendingPing entry{std::move(done), fileName, clock_.now(), timeoutMs, webviewer};
    pending_.add(id, std::move(entry), std::chrono::milliseconds(timeoutMs), [this](const std::string& id, PendingPing ping) {
        ping.done({Outcome::Kind::TimedOut, id, 0, hooks_.webviewerOf(ping.fileName) != nullptr});
    });
    // A ping the connection's queue cannot take never reaches the page: say so now rather than
    // report a silent page at the end of the time limit.
    if (hooks_.send(webviewer, json::serialize({{"id", id}, {"type", "ping"}})) == transport::SendStatus::Dropped) {
        if (auto failed = pending_.take(id)) failed->done({Outcome::Kind::SendFailed, id, 0, true});
        return std::nullopt;
    }
    return id;
}

// A "pong" completes the ping with its id when it comes from a registered web viewer of the
// pinged file. Anything else (another role, another file, an id that is missing, not a string or
// not pending) is ignored, and the ping can still be answered or time out.
void WebviewerPings::handlePong(WebSocketConnection* ws, const nlohmann::json& message) {
    const PerSocketData& data = *ws->getUserData();
    if (!data.is(Role::Webviewer)) return;
    auto id = message.find("id");
    if (id == message.end() || !id->is_string()) return;
    const std::string& pingId = id->get_ref<const std::string&>();
    const PendingPing* waiting = pending_.find(pingId);
    if (!waiting || waiting->fileName != data.fileName) return;

    auto ping = pending_.take(pingId);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(clock_.now() - ping->startedAt);
    ping->done({Outcome::Kind::Pong, pingId, elapsed.count(), true});
}

void WebviewerPings::failSentTo(const std::string& fileName, WebSocketConnection* webviewer) {
    auto failed = pending_.takeAll([&](const std::string&, const PendingPing& ping) {
        return ping.fileName == fileName && ping.target == webviewer;
    });
    for (auto& [id, ping] : failed) ping.done({Outcome::Kind::Disconnected, id, 0, false});
}

std::optional<std::int32_t> WebviewerPings::timeLimitOf(const std::string& id) {
    const PendingPing* ping = pending_.find(id);
    return ping ? std::optional(ping->timeoutMs) : std::nullopt;
}

}  // namespace Lumenbox
