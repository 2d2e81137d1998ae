#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "base/MonotonicClock.h"
#include "server/transport/HttpRequest.h"
#include "server/transport/PendingReplies.h"
#include "webviewer/PerSocketData.h"
#include "webviewer/SessionGate.h"

namespace Lumenbox {

// GET /webviewerPing: is the file's page alive? A "ping" goes to its web viewer and the request
// waits for the "pong", the time limit, or the web viewer going. Loop thread only.
class WebviewerPings {
public:
    // How a ping sent to a web viewer ended, told once.
    struct Outcome {
        enum class Kind { Pong, TimedOut, Disconnected, SendFailed };
        Kind kind = Kind::Pong;
        std::string id;
        std::int64_t elapsedMs = 0;       // Pong
        bool webviewerConnected = false;  // TimedOut: whether the file has a web viewer now
    };
    using OutcomeHandler = std::function<void(const Outcome&)>;

    struct Hooks {
        PageSender send;
        std::function<WebSocketConnection*(const std::string& fileName)> webviewerOf;
        SessionGate gate;
        // The id of the next ping; null: a fresh random one.
        std::function<std::string()> newId;
    };

    WebviewerPings(transport::Loop& loop, const MonotonicClock& clock, Hooks hooks);

    void handleRoute(std::shared_ptr<transport::HttpResponse> res, transport::HttpRequest& req);
    // Pings `webviewer`, the web viewer of `fileName`, and tells `done` the outcome once (at once
    // when the ping cannot be sent), unless forgotten first. Returns the ping's id while it waits.
    std::optional<std::string> ping(const std::string& fileName, WebSocketConnection* webviewer,
                                    std::int32_t timeoutMs, OutcomeHandler done);
    void forget(const std::string& id) { pending_.forget(id); }
    // A web viewer's "pong" message.
    void handlePong(WebSocketConnection* ws, const nlohmann::json& message);
    // `webviewer` no longer serves `fileName`: the pings sent to it fail.
    void failSentTo(const std::string& fileName, WebSocketConnection* webviewer);

    std::size_t pendingCount() const { return pending_.size(); }
    // The time limit of a waiting ping, nullopt when none waits under `id`.
    std::optional<std::int32_t> timeLimitOf(const std::string& id);
    // Drops every waiting ping unanswered (the bridge stops).
    void clear() { pending_.clear(); }

private:
    struct PendingPing {
        OutcomeHandler done;
        std::string fileName;
        std::chrono::steady_clock::time_point startedAt;
        std::int32_t timeoutMs = 0;
        // The web viewer connection the ping was sent to. When a replaced web viewer closes late,
        // only the pings it was carrying fail; pings sent to its successor keep waiting.
        WebSocketConnection* target = nullptr;
    };

    const MonotonicClock& clock_;
    Hooks hooks_;
    transport::PendingReplies<std::string, PendingPing> pending_;
};

}  // namespace Lumenbox
