#pragma once

#include <functional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "webviewer/PerSocketData.h"
#include "webviewer/SessionGate.h"

namespace Lumenbox {

// How an approval question ended for a waiter that is not an HTTP request. TooManyQuestions is
// given at once, when the caps on open questions leave no room for a new one.
enum class ApprovalAnswer { Allowed, Denied, TimedOut, TooManyQuestions };

// An agent browser's "callScript" and "callScriptWithOption" messages, relayed to the file's web
// viewer as they are: the page's own callbacks come back to it through the web viewer, so the
// bridge holds nothing for them. With enhanced security on, only once the page's session is
// approved for the file; an unapproved session is asked about and the call waits for the answer.
// Loop thread only.
class AgentBrowserRelay {
public:
    struct Hooks {
        PageSender send;
        std::function<WebSocketConnection*(const std::string& fileName)> webviewerOf;
        SessionGate gate;
        // Asks the user to approve `session` for `fileName` (shown as `clientName`) and calls
        // `answer` once with the outcome, unless `owner`'s waiters are dropped first (the owner
        // closed). Questions are shared with POST /authorizeSession.
        std::function<void(const void* owner, const std::string& session, const std::string& fileName,
                           const std::string& clientName, std::function<void(ApprovalAnswer)> answer)>
            awaitApproval;
    };

    explicit AgentBrowserRelay(Hooks hooks);

    void handleCall(WebSocketConnection* ws, const nlohmann::json& message);

private:
    void forward(WebSocketConnection* ws, const nlohmann::json& message);
    void sendError(WebSocketConnection* ws, const std::string& text);

    Hooks hooks_;
};

}  // namespace Lumenbox
