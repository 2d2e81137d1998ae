#include "scripts/AgentBrowserRelay.h"

#include <utility>

#include <nlohmann/json.hpp>

#include "server/json/JsonText.h"

namespace Lumenbox {

namespace {
// Recorded for an agent browser whose page names no client.
constexpr const char* kAgentBrowserClientName = "fm-mock";

std::string noConnectionText(const std::string& fileName) {
    return "No FileMaker connection for " + fileName;
}

std::string notApprovedText(const std::string& fileName, const char* reason) {
    return "Session not approved for " + fileName + ": " + reason;
}
}  // namespace

AgentBrowserRelay::AgentBrowserRelay(Hooks hooks) : hooks_(std::move(hooks)) {}

void AgentBrowserRelay::handleCall(WebSocketConnection* ws, const nlohmann::json& message) {
    const PerSocketData& data = *ws->getUserData();
    if (!data.is(Role::AgentBrowser)) return;
    const std::string fileName = data.fileName;
    if (!hooks_.webviewerOf(fileName)) return sendError(ws, noConnectionText(fileName));
    const std::string clientName = data.clientName.empty() ? std::string(kAgentBrowserClientName) : data.clientName;

    if (hooks_.gate.admit(data.session, fileName, clientName)) return forward(ws, message);
    if (data.session.empty()) return sendError(ws, notApprovedText(fileName, "the page gave no session."));

    // The waiter is dropped when this connection closes, so `ws` is alive whenever it is answered.
    hooks_.awaitApproval(ws, data.session, fileName, clientName,
                         [this, ws, fileName, session = data.session, message](ApprovalAnswer answer) {
                             switch (answer) {
                                 case ApprovalAnswer::Allowed: {
                                     // The page may have registered again meanwhile, for another
                                     // file or under another session: the approval was not for that.
                                     const PerSocketData& now = *ws->getUserData();
                                     if (!now.is(Role::AgentBrowser) || now.fileName != fileName || now.session != session) {
                                         return;
                                     }
                                     if (!hooks_.webviewerOf(fileName)) return sendError(ws, noConnectionText(fileName));
                                     return forward(ws, message);
                                 }
                                 case ApprovalAnswer::Denied:
                                     return sendError(ws, notApprovedText(fileName, "the user denied access."));
                                 case ApprovalAnswer::TimedOut:
                                     return sendError(ws, notApprovedText(fileName, "the question timed out."));
                                 case ApprovalAnswer::TooManyQuestions:
                                     return sendError(ws, notApprovedText(fileName, "too many approval questions are "
                                                                                    "open, try again later."));
                             }
                         });
}

void AgentBrowserRelay::forward(WebSocketConnection* ws, const nlohmann::json& message) {
    if (WebSocketConnection* webviewer = hooks_.webviewerOf(ws->getUserData()->fileName)) {
        hooks_.send(webviewer, json::serialize(message));
    }
}

void AgentBrowserRelay::sendError(WebSocketConnection* ws, const std::string& text) {
    hooks_.send(ws, json::serialize({{"message", text}, {"type", "error"}}));
}

}  // namespace Lumenbox
