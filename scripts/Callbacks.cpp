#include <nlohmann/json.hpp>

#include "auth/SessionStore.h"
#include "server/HttpServerImpl.h"
#include "server/JsonReply.h"
#include "server/json/JsonBuilders.h"
#include "server/json/JsonText.h"
#include "ui/AuthDialogTexts.h"
#include "ui/EnhancedSecurity.h"
#include "base/Identifiers.h"

namespace Lumenbox {

namespace {
constexpr const char* kResultCallback = "handleFMCallback";
// Sent by the page instead of a result whose message would exceed the WebSocket limit:
// args = [{"resultBytes":n,...}, fetchId]. The page alone writes this name, a script cannot.
constexpr const char* kResultTooLargeCallback = "resultTooLarge";

// Recorded for an agent browser whose page names no client.
constexpr std::string_view kAgentBrowserClientName = "fm-mock";

void sendAgentBrowserError(WebSocketConnection* ws, const std::string& text) {
    ws->send(json::serialize({{"message", text}, {"type", "error"}}));
}

std::string noConnectionText(const std::string& fileName) {
    return "No FileMaker connection for " + fileName;
}

std::string notApprovedText(const std::string& fileName, const char* reason) {
    return "Session not approved for " + fileName + ": " + reason;
}

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
            pendingHttpCalls_.erase(call);  // `fetchId` lives in the message, not in the entry
            if (answerable) {
                writeJsonReply(*res, "200 OK", json::callbackResultResponse(fetchId, (*args)[0]));
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
// With enhanced security on, only once the page's session is approved for the file: an unapproved
// session puts the same question as POST /authorizeSession and the call waits for the answer.
void HttpServer::Impl::handleAgentBrowserCall(WebSocketConnection* ws, const nlohmann::json& message) {
    if (!isRegisteredAs(ws, kRoleAgentBrowser)) return;
    const PerSocketData& data = *ws->getUserData();
    const std::string fileName = data.fileName;
    if (!webviewers_.contains(fileName)) return sendAgentBrowserError(ws, noConnectionText(fileName));
    const std::string clientName = data.clientName.empty() ? std::string(kAgentBrowserClientName) : data.clientName;

    if (!isEnhancedSecurityEnabled()) {
        // Every client is trusted: the session is approved on first use so that it shows in the
        // session list; a page without a session simply proceeds.
        sessionStore_.approve(data.session, fileName, clientName, SessionStore::kMaxIdleTimeoutSeconds,
                              /*autoApproved=*/true);
        return forwardAgentBrowserCall(ws, message);
    }
    if (sessionStore_.isAuthorized(data.session, fileName, true)) return forwardAgentBrowserCall(ws, message);
    if (data.session.empty()) return sendAgentBrowserError(ws, notApprovedText(fileName, "the page gave no session."));

    // The waiter is dropped when this connection closes, so `ws` is alive whenever it is answered.
    awaitApproval(ws, AuthRequestKey(data.session, fileName), AuthApproval{clientName, SessionStore::kMaxIdleTimeoutSeconds},
                  [this, ws, fileName, session = data.session, message](AuthAnswer answer) {
                      switch (answer) {
                          case AuthAnswer::Allowed: {
                              // The page may have registered again meanwhile, for another file or
                              // under another session: the approval was not for that.
                              const PerSocketData& now = *ws->getUserData();
                              if (now.role != kRoleAgentBrowser || now.fileName != fileName || now.session != session) {
                                  return;
                              }
                              if (!webviewers_.contains(fileName)) {
                                  return sendAgentBrowserError(ws, noConnectionText(fileName));
                              }
                              return forwardAgentBrowserCall(ws, message);
                          }
                          case AuthAnswer::Denied:
                              return sendAgentBrowserError(ws, notApprovedText(fileName, "the user denied access."));
                          case AuthAnswer::TimedOut:
                              return sendAgentBrowserError(ws, notApprovedText(fileName, "the question timed out."));
                          case AuthAnswer::TooManyQuestions:
                              return sendAgentBrowserError(
                                  ws, notApprovedText(fileName, "too many approval questions are open, try again later."));
                      }
                  });
}

void HttpServer::Impl::forwardAgentBrowserCall(WebSocketConnection* ws, const nlohmann::json& message) {
    auto webviewer = webviewers_.find(ws->getUserData()->fileName);
    if (webviewer != webviewers_.end()) webviewer->second->send(json::serialize(message));
}

// The register message's "session" (white space only is none) and "clientName", kept for the
// connection's calls; a member of another type counts as absent.
void HttpServer::Impl::rememberAgentBrowserSession(WebSocketConnection* ws, const nlohmann::json& message) {
    auto text = [&message](const char* key) {
        auto member = message.find(key);
        return member != message.end() && member->is_string() ? member->get<std::string>() : std::string();
    };
    PerSocketData& data = *ws->getUserData();
    data.session = sessionIdOrNone(text("session"));
    data.clientName = sanitizeClientText(text("clientName"), kMaxClientNameChars);
}

}  // namespace Lumenbox
