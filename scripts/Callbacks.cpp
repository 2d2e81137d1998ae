#include <nlohmann/json.hpp>

#include "server/HttpServerImpl.h"
#include "server/JsonReply.h"
#include "server/json/JsonBuilders.h"
#include "server/json/JsonText.h"
#include "webviewer/Identifiers.h"

namespace Lumenbox {

namespace {
constexpr const char* kResultCallback = "handleFMCallback";
// Sent by the page instead of a result whose message would exceed the WebSocket limit:
// args = [{"resultBytes":n,...}, fetchId]. The page alone writes this name, a script cannot.
constexpr const char* kResultTooLargeCallback = "resultTooLarge";

bool isRegisteredAs(WebSocketConnection* ws, const char* role) {
    const PerSocketData& data = *ws->getUserData();
    return data.registered && data.role == role;
}
}  // namespace

// A web viewer's "callback": the result of a pending script call completes that call when it
// comes from the connection the call was sent to. A result for any other id the bridge issued (a
// call answered, timed out, abandoned, or sent to another page) is dropped: it carries some
// client's data and belongs to no one else. Only callbacks the page makes on its own go to the
// file's agent browser.
void HttpServer::Impl::handleCallback(WebSocketConnection* ws, const nlohmann::json& message) {
    if (!isRegisteredAs(ws, kRoleWebviewer)) return;
    const std::string& fileName = ws->getUserData()->fileName;
    auto fn = message.find("fn");
    if (fn != message.end() && !fn->is_string()) return;  // not a callback this bridge understands
    auto args = message.find("args");
    if (fn != message.end() && *fn == kResultTooLargeCallback) return failTooLargeResult(ws, message);

    const bool isResult = fn != message.end() && *fn == kResultCallback && args != message.end() &&
                          args->is_array() && args->size() >= 2 && (*args)[1].is_string();
    if (isResult) {
        const std::string& fetchId = (*args)[1].get_ref<const std::string&>();
        auto call = pendingHttpCalls_.find(fetchId);
        if (call != pendingHttpCalls_.end() && call->second.fileName == fileName && call->second.target == ws) {
            auto res = std::move(call->second.res);
            const bool answerable = !call->second.aborted && res;
            const std::string id = call->first;
            pendingHttpCalls_.erase(call);
            if (answerable) {
                writeJsonReply(*res, "200 OK", json::callbackResultResponse(id, (*args)[0]));
            }
            return;
        }
        if (call != pendingHttpCalls_.end() || isBridgeIssuedId(fetchId)) return;
    }

    auto agentBrowser = agentBrowsers_.find(fileName);
    if (agentBrowser != agentBrowsers_.end()) agentBrowser->second->send(json::serialize(message));
}

// The call stays unanswered by the page, whose result could not be sent: it fails with a code of
// its own, and the web viewer stays connected for every other call.
void HttpServer::Impl::failTooLargeResult(WebSocketConnection* ws, const nlohmann::json& message) {
    auto args = message.find("args");
    if (args == message.end() || !args->is_array() || args->size() < 2 || !(*args)[1].is_string()) return;
    auto call = pendingHttpCalls_.find((*args)[1].get<std::string>());
    // Only the connection the call was sent to can fail it.
    if (call == pendingHttpCalls_.end() || call->second.target != ws) return;
    const PendingHttpCall failed = std::move(call->second);
    pendingHttpCalls_.erase(call);
    if (failed.aborted || !failed.res) return;
    const nlohmann::json& details = (*args)[0];
    auto resultBytes = details.is_object() ? details.find("resultBytes") : details.end();
    writeJsonValue(*failed.res, "502 Bad Gateway",
                   nlohmann::json{{"code", "result_too_large"},
                                  {"connectedFileName", failed.fileName},
                                  {"error", "Script result too large to send over the WebSocket"},
                                  {"limitBytes", kMaxWebSocketMessageBytes},
                                  {"resultBytes", resultBytes != details.end() && resultBytes->is_number_unsigned()
                                                      ? *resultBytes
                                                      : nlohmann::json()},
                                  {"scriptName", failed.scriptName}});
}

// An agent browser's "callScript" or "callScriptWithOption" goes to the file's web viewer as it is.
void HttpServer::Impl::handleAgentBrowserCall(WebSocketConnection* ws, const nlohmann::json& message) {
    if (!isRegisteredAs(ws, kRoleAgentBrowser)) return;
    const std::string& fileName = ws->getUserData()->fileName;
    auto webviewer = webviewers_.find(fileName);
    if (webviewer != webviewers_.end()) {
        webviewer->second->send(json::serialize(message));
        return;
    }
    ws->send(json::serialize({{"message", "No FileMaker connection for " + fileName}, {"type", "error"}}));
}

}  // namespace Lumenbox
