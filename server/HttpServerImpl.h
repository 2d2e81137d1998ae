#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "server/HttpServer.h"
#include "server/transport/App.h"
#include "server/transport/Loop.h"
#include "auth/AuthorizationQuestions.h"
#include "auth/SessionRoutes.h"
#include "scripts/PendingHttpCall.h"
#include "server/StatusRoutes.h"
#include "webviewer/ServedPages.h"
#include "webviewer/PendingWebviewerPing.h"
#include "webviewer/PerSocketData.h"

namespace Lumenbox {

// State shared by every route handler and WebSocket callback. Except where marked, members are
// touched only on the server thread, so there is no lock.
class HttpServer::Impl : public std::enable_shared_from_this<HttpServer::Impl> {
public:
    explicit Impl(SessionStore& sessionStore, const HttpServer::Options& options = {},
                  ConnectorKeys* connectorKeys = nullptr);

    // Hands `task` to the loop from any thread, only while this state's loop runs and no stop has
    // been requested; otherwise drops it. Returns whether the task was handed over.
    static bool deferToLoop(const std::weak_ptr<Impl>& weak, std::function<void()> task);

    // Registers every route on the application, in the order of the route table.
    void registerRoutes(transport::App& app);
    // Drops the registry and every pending request without answering (the stop task, and the
    // clean-up after the loop has ended).
    void clearState();

    // WebSocket endpoint and registry.
    void onWsMessage(WebSocketConnection* ws, std::string_view message, transport::OpCode opCode);
    void handleRegister(WebSocketConnection* ws, const nlohmann::json& message);
    void broadcastStatus(const std::string& fileName);
    void onWsClose(WebSocketConnection* ws);

    // Script calls.
    void handleCallScript(std::shared_ptr<transport::HttpResponse> res, transport::HttpRequest& req);
    void handleCallback(WebSocketConnection* ws, const nlohmann::json& message);
    void handleAgentBrowserCall(WebSocketConnection* ws, const nlohmann::json& message);

    // Liveness ping of a file's web viewer.
    void handleWebviewerPing(std::shared_ptr<transport::HttpResponse> res, transport::HttpRequest& req);
    void handlePong(WebSocketConnection* ws, const nlohmann::json& message);
    void rejectPendingWebviewerPingsForFile(const std::string& fileName, WebSocketConnection* closing);

    // The authorization questions of the current run (null while the server does not run), for
    // tests. Loop thread only.
    AuthorizationQuestions* authorizationQuestions() const { return questions_.get(); }

    std::map<std::string, WebSocketConnection*> webviewers_;
    // Web viewers replaced by a newer registration for the same file and still connected, oldest
    // first: when the file's web viewer goes, the newest of these is its web viewer again.
    std::map<std::string, std::vector<WebSocketConnection*>> replacedWebviewers_;
    std::map<std::string, WebSocketConnection*> agentBrowsers_;
    std::map<std::string, PendingHttpCall> pendingHttpCalls_;
    std::map<std::string, PendingWebviewerPing> pendingWebviewerPings_;  // by ping id

    // Called when a web viewer connection closes, after its pending script calls were answered,
    // with the file name and the closing connection (filled by the liveness ping).
    std::function<void(const std::string& fileName, WebSocketConnection* closing)> rejectPendingWebviewerPings_;

    transport::App* app_ = nullptr;        // the application while the server thread runs it
    std::atomic<int> listenPort_{0};       // any thread; 0 when not listening
    std::atomic<bool> loopRunning_{false};  // any thread
    std::atomic<bool> stopping_{false};     // any thread
    SessionStore& sessionStore_;
    const HttpServer::Options options_;
    ConnectorKeys* const connectorKeys_;  // the files' connector keys; null: no key is ever valid

    std::shared_ptr<transport::Loop> loop() const;
    void setLoop(std::shared_ptr<transport::Loop> loop);

private:
    void answerCallsOf(const std::string& fileName, WebSocketConnection* closing);
    bool mayServeAsWebviewer(WebSocketConnection* ws, const std::string& fileName, std::string_view key) const;
    // True when `key` is the connector key minted for `fileName`.
    bool showsConnectorKey(const std::string& fileName, std::string_view key) const;
    void withdrawRegistration(WebSocketConnection* ws);
    void failWorkSentTo(const std::string& fileName, WebSocketConnection* webviewer);
    bool isCallAuthorized(const std::string& session, const std::string& fileKey);
    void forwardScriptCall(std::shared_ptr<transport::HttpResponse> res, const std::string& fileKey,
                           const std::string& scriptName, std::string data, const std::string& session,
                           std::int32_t timeoutMs);
    void onCallTimeout(const std::string& fetchId);
    void failTooLargeResult(WebSocketConnection* ws, const nlohmann::json& message);
    void onPingTimeout(const std::string& id);
    void abandonCall(const std::string& fetchId);
    // Holds `answer` until the question for key is answered (see AuthorizationQuestions).
    void awaitApproval(const void* owner, const AuthRequestKey& key, const AuthApproval& approval,
                       std::function<void(AuthAnswer)> answer);
    // Drops the waiters of `owner` from every question (the connection has closed).
    void abandonAuthorizationsOf(const void* owner);
    // Agent browsers: the session of the register message, the call as it goes to the web viewer.
    void rememberAgentBrowserSession(WebSocketConnection* ws, const nlohmann::json& message);
    void forwardAgentBrowserCall(WebSocketConnection* ws, const nlohmann::json& message);

    // Builds the components of one run on `app`'s loop.
    void createRunComponents(transport::App& app);
    // Whether the registry has a web viewer or agent browser for each file, for the status routes.
    std::vector<FileConnections> fileConnections() const;

    // Per run: its timers belong to the run's loop. Shared, so that the dialog's late answer and
    // a late request body can tell that it has gone.
    std::shared_ptr<AuthorizationQuestions> questions_;
    SessionRoutes sessionRoutes_;
    StatusRoutes statusRoutes_;
    ServedPages servedPages_;

    mutable std::mutex loopMutex_;
    std::shared_ptr<transport::Loop> loop_;  // Guarded by loopMutex_
};

}  // namespace Lumenbox
