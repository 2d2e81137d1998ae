#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "server/transport/PendingReplies.h"
#include "webviewer/PerSocketData.h"
#include "webviewer/SessionGate.h"

namespace Lumenbox {

// "Run script S in file F with data D, limit T, for session X."
struct ScriptCallRequest {
    std::string fileName;    // normalised file key
    std::string scriptName;  // trimmed
    std::string data;        // compact JSON text
    std::string session;     // empty: none
    std::int32_t timeoutMs = 0;
};

// How a script call ended, told once to whoever asked.
struct ScriptOutcome {
    enum class Kind {
        Result,           // the script's callback: `result`
        NoWebviewer,      // the file has no web viewer
        NotAuthorized,    // the session may not reach the file
        RequestTooLarge,  // the message to the page would exceed the WebSocket limit
        SendFailed,       // the page's connection could not take the message
        TimedOut,         // no callback within the time limit
        Disconnected,     // the web viewer went before calling back
        ResultTooLarge,   // the page could not send the result back: `resultBytes`
    };
    Kind kind = Kind::Result;
    std::string fetchId;  // the bridge's id of the call, once it has one
    // The script's result (Result) or its size in bytes, null when unknown (ResultTooLarge).
    // Valid during the outcome handler only.
    const nlohmann::json* result = nullptr;
    const nlohmann::json* resultBytes = nullptr;
    bool webviewerConnected = false;  // TimedOut: whether the file has a web viewer now
};

// The script calls held until their web viewer calls back: forwarding, callbacks, time limits,
// failure when the web viewer goes, and abandonment when the caller goes. Every front end (HTTP
// /callScript, and any other) goes through `run`. Loop thread only.
class ScriptCalls {
public:
    using OutcomeHandler = std::function<void(const ScriptOutcome&)>;

    struct Hooks {
        PageSender send;
        std::function<WebSocketConnection*(const std::string& fileName)> webviewerOf;
        std::function<WebSocketConnection*(const std::string& fileName)> agentBrowserOf;
        SessionGate gate;
        // The id of the next call; null: a fresh id that only the bridge issues.
        std::function<std::string()> newId;
    };

    ScriptCalls(transport::Loop& loop, Hooks hooks);

    // Runs the call and tells `done` its outcome exactly once (at once when it cannot be sent),
    // unless it is abandoned first. Returns the call's id while it waits for its callback.
    std::optional<std::string> run(ScriptCallRequest request, OutcomeHandler done);
    // The caller went away: the call is forgotten, its outcome never told.
    void abandon(const std::string& fetchId);
    // Abandons the call when `response`'s client goes away.
    void abandonWhenAborted(transport::HttpResponse& response, const std::string& fetchId);

    // A web viewer's "callback" message.
    void handleCallback(WebSocketConnection* ws, const nlohmann::json& message);
    // `webviewer` no longer serves `fileName`: the calls sent to it fail.
    void failSentTo(const std::string& fileName, WebSocketConnection* webviewer);

    std::size_t pendingCount() const { return pending_.size(); }
    // The time limit of a waiting call, nullopt when none waits under `fetchId`.
    std::optional<std::int32_t> timeLimitOf(const std::string& fetchId);
    // Drops every waiting call untold (the bridge stops).
    void clear() { pending_.clear(); }

private:
    struct PendingCall {
        OutcomeHandler done;
        std::string fileName;
        std::string scriptName;
        std::int32_t timeoutMs = 0;
        // The web viewer connection the call was sent to. When a replaced web viewer closes late,
        // only the calls it was carrying fail; calls sent to its successor keep waiting.
        WebSocketConnection* target = nullptr;
    };

    void failTooLargeResult(WebSocketConnection* ws, const nlohmann::json& message);

    Hooks hooks_;
    transport::PendingReplies<std::string, PendingCall> pending_;
};

}  // namespace Lumenbox
