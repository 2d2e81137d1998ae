#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "auth/AuthorizationQuestions.h"
#include "auth/SessionRoutes.h"
#include "mcp/McpEndpoint.h"
#include "scripts/AgentBrowserRelay.h"
#include "scripts/ScriptCalls.h"
#include "server/HttpServer.h"
#include "server/StatusRoutes.h"
#include "server/transport/App.h"
#include "server/transport/Loop.h"
#include "webviewer/MessageDispatch.h"
#include "webviewer/ServedPages.h"
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

private:
    friend class HttpServer;
    struct Features;

    bool enhancedSecurity() const;
    // Runs `work` reading the enhanced-security setting at most once (loop thread).
    void withSettingReadOnce(const std::function<void()>& work);
    bool hasWebviewer(const std::string& fileName) const;
    SessionGate sessionGate();
    McpEndpoint::Hooks mcpHooks();
    void registerRoutes(transport::App& app);
    std::shared_ptr<transport::Loop> loop() const;
    void setLoop(std::shared_ptr<transport::Loop> loop);

    std::unique_ptr<Features> features_;   // while the loop runs
    // The questions live while the loop runs too; shared, because the user's answer comes back
    // through the loop and must find them gone rather than destroyed.
    std::shared_ptr<AuthorizationQuestions> questions_;
    transport::App* app_ = nullptr;        // the application while the server thread runs it
    std::atomic<int> listenPort_{0};       // any thread; 0 when not listening
    std::atomic<bool> loopRunning_{false};  // any thread
    std::atomic<bool> stopping_{false};     // any thread
    SessionStore& sessionStore_;
    const HttpServer::Options options_;
    ConnectorKeys* const connectorKeys_;  // the files' connector keys; null: no key is ever valid
    SessionRoutes sessionRoutes_;
    StatusRoutes statusRoutes_;
    ServedPages servedPages_;
    // Within withSettingReadOnce: the setting as first read there (loop thread).
    bool settingHeld_ = false;
    mutable std::optional<bool> heldSetting_;

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
    McpEndpoint mcp;
};

}  // namespace Lumenbox
