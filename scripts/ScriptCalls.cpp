#include "scripts/ScriptCalls.h"

#include <chrono>
#include <utility>

#include <nlohmann/json.hpp>

#include "base/Identifiers.h"
#include "server/json/JsonBuilders.h"
#include "server/json/JsonText.h"

namespace Lumenbox {

namespace {
constexpr const char* kVersionProbeScript = "LB_get_version";
constexpr const char* kResultCallback = "handleFMCallback";
// Sent by the page instead of a result whose message would exceed the WebSocket limit:
// args = [{"resultBytes":n,...}, fetchId]. The page alone writes this name, a script cannot.
constexpr const char* kResultTooLargeCallback = "resultTooLarge";
// Recorded for a session approved on first use through a script call.
constexpr const char* kScriptCallClientName = "lumenbox-mcp";

// The fetch id of a callback's args = [value, fetchId]; null when the args are not of that form.
const std::string* fetchIdOf(const nlohmann::json& message) {
    auto args = message.find("args");
    if (args == message.end() || !args->is_array() || args->size() < 2 || !(*args)[1].is_string()) return nullptr;
    return &(*args)[1].get_ref<const std::string&>();
}

ScriptOutcome outcomeOf(ScriptOutcome::Kind kind, std::string fetchId = {}) {
    ScriptOutcome outcome;
    outcome.kind = kind;
    outcome.fetchId = std::move(fetchId);
    return outcome;
}
}  // namespace

ScriptCalls::ScriptCalls(transport::Loop& loop, Hooks hooks) : hooks_(std::move(hooks)), pending_(loop) {}

std::optional<std::string> ScriptCalls::run(ScriptCallRequest request, OutcomeHandler done) {
    using Kind = ScriptOutcome::Kind;
    WebSocketConnection* webviewer = hooks_.webviewerOf(request.fileName);
    if (!webviewer) {
        done(outcomeOf(Kind::NoWebviewer));
        return std::nullopt;
    }
    // The page's version probe runs before any session exists, so it is never refused; with
    // enhanced security on it is the one script an unapproved client can run: it may learn the
    // version, but it carries none of the caller's data into the file.
    if (request.scriptName == kVersionProbeScript) {
        if (hooks_.gate.enhancedSecurity()) request.data = "null";
    } else if (!hooks_.gate.admit(request.session, request.fileName, kScriptCallClientName)) {
        done(outcomeOf(Kind::NotAuthorized));
        return std::nullopt;
    }

    std::string fetchId = hooks_.newId ? hooks_.newId() : generateUuid();
    std::string message = json::callScriptMessage(fetchId, request.scriptName, request.data);
    std::string().swap(request.data);
    // The page could not be sent a message over the WebSocket limit: refuse the call before
    // anything of it is sent or held.
    if (message.size() > kMaxWebSocketMessageBytes) {
        done(outcomeOf(Kind::RequestTooLarge));
        return std::nullopt;
    }
    PendingCall call{std::move(done), request.fileName, std::move(request.scriptName), request.timeoutMs, webviewer};
    pending_.add(fetchId, std::move(call), std::chrono::milliseconds(request.timeoutMs),
                 [this](const std::string& id, PendingCall call) {
                     ScriptOutcome outcome = outcomeOf(Kind::TimedOut, id);
                     outcome.webviewerConnected = hooks_.webviewerOf(call.fileName) != nullptr;
                     call.done(outcome);
                 });
    // A message the connection's queue cannot take never reaches the page: fail the call now
    // rather than let it wait out its whole time limit.
    if (hooks_.send(webviewer, message) == transport::SendStatus::Dropped) {
        if (auto call = pending_.take(fetchId)) call->done(outcomeOf(Kind::SendFailed, fetchId));
        return std::nullopt;
    }
    return fetchId;
}

void ScriptCalls::abandon(const std::string& fetchId) {
    pending_.forget(fetchId);
}

void ScriptCalls::abandonWhenAborted(transport::HttpResponse& response, const std::string& fetchId) {
    pending_.forgetWhenAborted(response, fetchId);
}

std::optional<std::int32_t> ScriptCalls::timeLimitOf(const std::string& fetchId) {
    const PendingCall* call = pending_.find(fetchId);
    return call ? std::optional(call->timeoutMs) : std::nullopt;
}

// A web viewer's "callback": the result of a pending script call completes that call when it
// comes from the connection the call was sent to. A result for any other id the bridge issued (a
// call answered, timed out, abandoned, or sent to another page) is dropped: it carries some
// client's data and belongs to no one else. Only callbacks the page makes on its own go to the
// file's agent browser.
void ScriptCalls::handleCallback(WebSocketConnection* ws, const nlohmann::json& message) {
    const PerSocketData& data = *ws->getUserData();
    if (!data.is(Role::Webviewer)) return;
    auto fn = message.find("fn");
    if (fn != message.end() && !fn->is_string()) return;  // not a callback this bridge understands
    if (fn != message.end() && *fn == kResultTooLargeCallback) return failTooLargeResult(ws, message);

    const std::string* fetchId = fn != message.end() && *fn == kResultCallback ? fetchIdOf(message) : nullptr;
    if (fetchId) {
        PendingCall* call = pending_.find(*fetchId);
        if (call && call->fileName == data.fileName && call->target == ws) {
            auto taken = pending_.take(*fetchId);
            ScriptOutcome outcome = outcomeOf(ScriptOutcome::Kind::Result, *fetchId);
            outcome.result = &message["args"][0];
            taken->done(outcome);
            return;
        }
        if (call || isBridgeIssuedId(*fetchId)) return;
    }
    if (WebSocketConnection* agentBrowser = hooks_.agentBrowserOf(data.fileName)) {
        hooks_.send(agentBrowser, json::serialize(message));
    }
}

// The call stays unanswered by the page, whose result could not be sent: it fails with a code of
// its own, and the web viewer stays connected for every other call.
void ScriptCalls::failTooLargeResult(WebSocketConnection* ws, const nlohmann::json& message) {
    const std::string* fetchId = fetchIdOf(message);
    if (!fetchId) return;
    PendingCall* call = pending_.find(*fetchId);
    // Only the connection the call was sent to can fail it.
    if (!call || call->target != ws) return;
    auto failed = pending_.take(*fetchId);
    const nlohmann::json& details = message["args"][0];
    auto resultBytes = details.is_object() ? details.find("resultBytes") : details.end();
    ScriptOutcome outcome = outcomeOf(ScriptOutcome::Kind::ResultTooLarge, *fetchId);
    if (resultBytes != details.end() && resultBytes->is_number_unsigned()) outcome.resultBytes = &*resultBytes;
    failed->done(outcome);
}

void ScriptCalls::failSentTo(const std::string& fileName, WebSocketConnection* webviewer) {
    auto failed = pending_.takeAll([&](const std::string&, const PendingCall& call) {
        return call.fileName == fileName && call.target == webviewer;
    });
    for (auto& [fetchId, call] : failed) call.done(outcomeOf(ScriptOutcome::Kind::Disconnected, fetchId));
}

}  // namespace Lumenbox
