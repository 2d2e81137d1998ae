#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "auth/PendingAuthRequest.h"
#include "scripts/AgentBrowserRelay.h"
#include "scripts/ScriptCalls.h"
#include "server/HttpServer.h"
#include "server/transport/App.h"
#include "server/transport/Loop.h"
#include "webviewer/MessageDispatch.h"
#include "webviewer/WebviewerPings.h"
#include "webviewer/WebviewerRegistry.h"

namespace Lumenbox {

// Owns the bridge's features for one run of the loop, wires the routes and WebSocket events to
// them, and runs the stop task. Loop thread only, except `deferToLoop` and what HttpServer reads
// through its atomics.
class HttpServer::Impl : public std::enable_shared_from_this<HttpServer::Impl> {
public:
    explicit Impl(SessionStore& sessionStore, const HttpServer::Options& options = {},
                  ConnectorKeys* connectorKeys = nullptr);
    ~Impl();

    // Hands `task` to the loop from any thread, only while this state's loop runs and no stop has
    // been requested; otherwise drops it. Returns whether the task was handed over.
    static bool deferToLoop(const std::weak_ptr<Impl>& weak, std::function<void()> task);

    // Builds the features on `app`'s loop and registers every route, in the order of the route
    // table. The features live until `detach`, after the loop has ended.
    void attach(transport::App& app);
    void detach();
    // Drops the registry and every pending request without answering (the stop task, and the
    // clean-up after the loop has ended).
    void clearState();
    HttpServer::BridgeCounts pendingCounts() const;

    // The authorization questions, held here until they become a component of their own (the
    // authorization tests reach into them through BridgeFixture::runOnLoop): the route, and the
    // outcomes of a question (the user's answer through the loop, and the time limit).
    void handleAuthorizeSession(std::shared_ptr<transport::HttpResponse> res);
    void completeAuthorization(const AuthRequestKey& key, const AuthApproval& approval, bool allowed);
    void onAuthorizationTimeout(const AuthRequestKey& key);

    void abandonAuthorization(const AuthRequestKey& key, const transport::HttpResponse* res);
    // Questions: the open one for a key (opened, with its dialog, when there is none; null when the
    // caps refuse a new one), the denial cool-down, and closing a question nobody waits for.
    PendingAuthRequest* questionFor(const AuthRequestKey& key, const AuthApproval& approval,
                                    const std::string& clientDescription);
    bool isDenialCoolingDown(const AuthRequestKey& key);
    void closeIfUnwaited(std::map<AuthRequestKey, PendingAuthRequest>::iterator entry);
    // Holds `answer` until the question for key is answered, for waiters that are not HTTP requests.
    void awaitApproval(const void* owner, const AuthRequestKey& key, const AuthApproval& approval,
                       std::function<void(AuthAnswer)> answer);
    // Drops the waiters of `owner` from every question (the connection has closed).
    void abandonAuthorizationsOf(const void* owner);

    std::map<AuthRequestKey, PendingAuthRequest> pendingAuthRequests_;
    std::map<AuthRequestKey, std::chrono::steady_clock::time_point> deniedUntil_;  // denial cool-downs
    std::uint64_t lastQuestionSerial_ = 0;
    std::uint64_t dismissedThroughSerial_ = 0;  // questions whose dialogs a time-out dismissed

private:
    friend class HttpServer;
    struct Features;

    bool enhancedSecurity() const;
    bool hasWebviewer(const std::string& fileName) const;
    SessionGate sessionGate();
    void registerRoutes(transport::App& app);
    std::shared_ptr<transport::Loop> loop() const;
    void setLoop(std::shared_ptr<transport::Loop> loop);

    // Status routes.
    void handleHealth(transport::HttpResponse& res);
    void handleConnectedFiles(transport::HttpResponse& res);
    void handleBridgeStatus(transport::HttpResponse& res);

    // Served pages: the web viewer page, the mock script, the configuration page.
    void handleWebviewerPage(transport::HttpResponse& res, transport::HttpRequest& req);
    void handleFmMockScript(transport::HttpResponse& res, transport::HttpRequest& req);
    void handleConfigPage(transport::HttpResponse& res);

    // Session management.
    void handleSessions(transport::HttpResponse& res);
    void handleRevokeSession(std::shared_ptr<transport::HttpResponse> res);
    void handleRevokeAllSessions(transport::HttpResponse& res);
    void handleRevokeToken(std::shared_ptr<transport::HttpResponse> res);

    std::unique_ptr<Features> features_;   // while the loop runs
    transport::App* app_ = nullptr;        // the application while the server thread runs it
    std::atomic<int> listenPort_{0};       // any thread; 0 when not listening
    std::atomic<bool> loopRunning_{false};  // any thread
    std::atomic<bool> stopping_{false};     // any thread
    SessionStore& sessionStore_;
    const HttpServer::Options options_;
    ConnectorKeys* const connectorKeys_;  // the files' connector keys; null: no key is ever valid

    mutable std::mutex loopMutex_;
    std::shared_ptr<transport::Loop> loop_;  // Guarded by loopMutex_
};

// The features of one run, each owning its own state; they reach each other only through the
// hooks the wiring gives them.
struct HttpServer::Impl::Features {
    WebviewerRegistry registry;
    ScriptCalls scriptCalls;
    AgentBrowserRelay agentBrowserRelay;
    WebviewerPings pings;
    MessageDispatch dispatch;
};

}  // namespace Lumenbox
