#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "auth/AuthorizationQuestions.h"
#include "mcp/McpMessages.h"
#include "mcp/McpRequest.h"
#include "mcp/McpSessions.h"
#include "mcp/McpTools.h"
#include "scripts/ScriptCalls.h"
#include "server/transport/HttpRequest.h"
#include "server/transport/HttpResponse.h"
#include "server/transport/Loop.h"
#include "webviewer/SessionGate.h"
#include "webviewer/WebviewerPings.h"

namespace Lumenbox {

// /mcp: the agents' endpoint, both generations of the protocol on one URL. It reads each POST
// (McpRequest decides its generation), keeps the legacy sessions, runs the tools on the
// script-call, registry and ping components through the hooks the wiring gives it, and holds each
// request that waits (for a script, a pong or the user) until it is answered, cancelled, or its
// client goes. Loop thread only.
class McpEndpoint {
public:
    struct Hooks {
        std::function<std::vector<std::string>()> connectedFiles;
        std::function<WebSocketConnection*(const std::string& fileName)> webviewerOf;
        // ScriptCalls::run and ::abandon.
        std::function<std::optional<std::string>(ScriptCallRequest, ScriptCalls::OutcomeHandler)> runScript;
        std::function<void(const std::string& fetchId)> abandonScript;
        // WebviewerPings::ping and ::forget.
        std::function<std::optional<std::string>(const std::string& fileName, WebSocketConnection* webviewer,
                                                 std::int32_t timeoutMs, WebviewerPings::OutcomeHandler)>
            ping;
        std::function<void(const std::string& id)> forgetPing;
        SessionGate gate;
        // AuthorizationQuestions::awaitApproval and ::abandonAuthorizationsOf.
        std::function<void(const void* owner, const AuthRequestKey& key, const AuthApproval& approval,
                           std::function<void(AuthAnswer)> answer)>
            awaitApproval;
        std::function<void(const void* owner)> abandonApprovals;
        // Runs `work` with the enhanced-security setting read at most once in it; null: runs it.
        std::function<void(const std::function<void()>& work)> withSettingReadOnce;
    };

    // How often a request with a progress token hears that it still waits.
    static constexpr std::chrono::milliseconds kProgressInterval{4000};

    McpEndpoint(transport::Loop& loop, const MonotonicClock& clock, Hooks hooks);
    ~McpEndpoint();
    McpEndpoint(const McpEndpoint&) = delete;
    McpEndpoint& operator=(const McpEndpoint&) = delete;

    void handlePost(std::shared_ptr<transport::HttpResponse> res, transport::HttpRequest& req);
    void handleDelete(transport::HttpResponse& res, transport::HttpRequest& req);
    void handleGet(transport::HttpResponse& res);

    // Requests held while they wait.
    std::size_t pendingCount() const { return exchanges_.size(); }
    std::size_t sessionCount() const { return sessions_.size(); }
    // Drops every held request unanswered (the bridge stops).
    void clear();

private:
    struct Exchange;
    using ExchangePtr = std::shared_ptr<Exchange>;

    void receive(const std::shared_ptr<transport::HttpResponse>& res, const mcp::PostHeaders& headers,
                 const std::string& lumenboxSession, std::string& body);
    void dispatch(const std::shared_ptr<transport::HttpResponse>& res, const mcp::PostHeaders& headers,
                  const std::string& lumenboxSession, mcp::PostDecision& decision);
    void handleInSession(const ExchangePtr& exchange, const std::string& sessionId, bool isRequest,
                         const std::string& method, const nlohmann::json& params);
    void handleLegacy(const ExchangePtr& exchange, const std::string& method, const nlohmann::json& params);
    void handleModern(const ExchangePtr& exchange, const std::string& method, const nlohmann::json& params);
    void callTool(const ExchangePtr& exchange, const nlohmann::json& params);
    void runScript(const ExchangePtr& exchange, mcp::RunScriptArguments arguments);
    void pingFile(const ExchangePtr& exchange, mcp::PingFileArguments arguments);
    // Runs `proceed` once the exchange's session may reach `fileName`; answers an isError result
    // itself when it may not.
    void whenAuthorized(const ExchangePtr& exchange, const std::string& fileName, std::function<void()> proceed);

    // Holds the exchange until it is answered, cancelled or abandoned by its client.
    void hold(const ExchangePtr& exchange);
    void startProgress(const ExchangePtr& exchange, std::string_view message);
    void sendProgress(Exchange& exchange);
    void answerResult(const ExchangePtr& exchange, nlohmann::json result);
    // A tool's result, its structured content given as compact JSON text.
    void answerToolResult(const ExchangePtr& exchange, std::string_view structured);
    void answerError(const ExchangePtr& exchange, mcp::McpError error, std::string_view detail = {});
    void answer(const ExchangePtr& exchange, std::string_view status, const nlohmann::json& message);
    void answerText(const ExchangePtr& exchange, std::string_view status, std::string message);
    // Frees what the exchange waits for (script call, ping, question, timer) and forgets it.
    void release(Exchange& exchange);
    // Legacy notifications/cancelled, a DELETE or the cap: the held request ends without a
    // JSON-RPC response (an event stream just ends, a plain request gets 202).
    void cancel(const ExchangePtr& exchange);
    void cancelSession(const std::string& sessionId);

    transport::Loop& loop_;
    Hooks hooks_;
    mcp::McpSessions sessions_;
    std::uint64_t lastSerial_ = 0;
    std::map<std::uint64_t, ExchangePtr> exchanges_;  // the held ones
    // A held legacy request by (session, its id as JSON text), for notifications/cancelled.
    std::map<std::pair<std::string, std::string>, std::uint64_t> byRequestId_;
    // Abort handlers live in responses, which may outlive the endpoint.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace Lumenbox
