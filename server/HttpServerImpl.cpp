#include "server/HttpServerImpl.h"

#include "auth/ApprovalPrompt.h"
#include "auth/SessionStore.h"
#include "base/Log.h"
#include "base/MonotonicClock.h"
#include "server/RequestLog.h"
#include "webviewer/ConnectorKeys.h"

namespace Lumenbox {

namespace {
transport::SendStatus sendToPage(WebSocketConnection* page, std::string_view text) {
    return page->send(text);
}
}  // namespace

HttpServer::Impl::Impl(SessionStore& sessionStore, const HttpServer::Options& options, ConnectorKeys* connectorKeys)
    : sessionStore_(sessionStore),
      options_(options),
      connectorKeys_(connectorKeys),
      sessionRoutes_(sessionStore, options.enhancedSecurity),
      statusRoutes_([this] { return features_ ? features_->registry.files() : std::vector<FileConnections>{}; }),
      servedPages_([this] { return listenPort_.load(); }) {}

HttpServer::Impl::~Impl() = default;

bool HttpServer::Impl::deferToLoop(const std::weak_ptr<Impl>& weak, std::function<void()> task) {
    auto impl = weak.lock();
    if (!impl || impl->stopping_ || !impl->loopRunning_) return false;
    auto loop = impl->loop();
    if (!loop) return false;
    // The loop object outlives this call (shared ownership), so a task that loses the race with
    // the end of the loop is simply never run.
    loop->defer(std::move(task));
    return true;
}

std::shared_ptr<transport::Loop> HttpServer::Impl::loop() const {
    std::lock_guard lock(loopMutex_);
    return loop_;
}

void HttpServer::Impl::setLoop(std::shared_ptr<transport::Loop> loop) {
    std::lock_guard lock(loopMutex_);
    loop_ = std::move(loop);
}

bool HttpServer::Impl::enhancedSecurity() const {
    if (settingHeld_ && heldSetting_) return *heldSetting_;
    const bool on = options_.enhancedSecurity && options_.enhancedSecurity();
    if (settingHeld_) heldSetting_ = on;
    return on;
}

// One request, one reading of the setting: each component that checks it on the request's way
// (the endpoint, the session store, the script call) would otherwise read its file again.
void HttpServer::Impl::withSettingReadOnce(const std::function<void()>& work) {
    if (settingHeld_) return work();
    settingHeld_ = true;
    heldSetting_.reset();
    struct Release {
        Impl& impl;
        ~Release() { impl.settingHeld_ = false; }
    } release{*this};
    work();
}

bool HttpServer::Impl::hasWebviewer(const std::string& fileName) const {
    return features_ && features_->registry.webviewerOf(fileName);
}

// The approval of a session on first use is explicit here, apart from the pure check.
SessionGate HttpServer::Impl::sessionGate() {
    SessionGate gate;
    gate.enhancedSecurity = [this] { return enhancedSecurity(); };
    gate.isAuthorized = [this](const std::string& session, const std::string& fileName) {
        return questions_->isAuthorized(session, fileName);
    };
    gate.approveOnFirstUse = [this](const std::string& session, const std::string& fileName,
                                    const std::string& clientName) {
        questions_->approveOnFirstUse(session, fileName, {clientName, SessionStore::kMaxIdleTimeoutSeconds, {}});
    };
    return gate;
}

// The agents' endpoint reaches the other features directly, never through their HTTP routes.
McpEndpoint::Hooks HttpServer::Impl::mcpHooks() {
    return {
        .connectedFiles = [this] { return features_->registry.connectedFiles(); },
        .webviewerOf = [this](const std::string& fileName) { return features_->registry.webviewerOf(fileName); },
        .runScript = [this](ScriptCallRequest request, ScriptCalls::OutcomeHandler done) {
            return features_->scriptCalls.run(std::move(request), std::move(done));
        },
        .abandonScript = [this](const std::string& fetchId) { features_->scriptCalls.abandon(fetchId); },
        .ping = [this](const std::string& fileName, WebSocketConnection* webviewer, std::int32_t timeoutMs,
                       WebviewerPings::OutcomeHandler done) {
            return features_->pings.ping(fileName, webviewer, timeoutMs, std::move(done));
        },
        .forgetPing = [this](const std::string& id) { features_->pings.forget(id); },
        .gate = sessionGate(),
        .awaitApproval = [this](const void* owner, const AuthRequestKey& key, const AuthApproval& approval,
                                std::function<void(AuthAnswer)> answer) {
            questions_->awaitApproval(owner, key, approval, std::move(answer));
        },
        .abandonApprovals = [this](const void* owner) { questions_->abandonAuthorizationsOf(owner); },
        .withSettingReadOnce = [this](const std::function<void()>& work) { withSettingReadOnce(work); },
    };
}

// Every hook captures `this` or a sibling feature: the features are owned here and go together.
void HttpServer::Impl::attach(transport::App& app) {
    app_ = &app;
    transport::Loop& loop = app.loop();
    questions_ = std::make_shared<AuthorizationQuestions>(
        loop, realMonotonicClock(), sessionStore_,
        options_.approvalPrompt ? *options_.approvalPrompt : silentApprovalPrompt(),
        AuthorizationQuestions::Settings{options_.authorizationTimeout, options_.authorizationDenialCooldown,
                                         [this] { return enhancedSecurity(); }},
        [weak = weak_from_this()](std::function<void()> task) { return deferToLoop(weak, std::move(task)); });
    auto webviewerOf = [this](const std::string& fileName) { return features_->registry.webviewerOf(fileName); };
    features_.reset(new Features{
        WebviewerRegistry({
            .send = sendToPage,
            .enhancedSecurity = [this] { return enhancedSecurity(); },
            .showsConnectorKey = [this](const std::string& fileName, std::string_view key) {
                return connectorKeys_ && connectorKeys_->matches(fileName, key);
            },
            .webviewerLeft = [this](const std::string& fileName, WebSocketConnection* webviewer) {
                features_->scriptCalls.failSentTo(fileName, webviewer);
                features_->pings.failSentTo(fileName, webviewer);
            },
            .connectionClosed = [this](WebSocketConnection* connection) { questions_->abandonAuthorizationsOf(connection); },
        }),
        ScriptCalls(loop, {
            .send = sendToPage,
            .webviewerOf = webviewerOf,
            .agentBrowserOf = [this](const std::string& fileName) { return features_->registry.agentBrowserOf(fileName); },
            .gate = sessionGate(),
            .newId = {},  // the bridge's own ids
        }),
        AgentBrowserRelay({
            .send = sendToPage,
            .webviewerOf = webviewerOf,
            .gate = sessionGate(),
            .awaitApproval = [this](const void* owner, const std::string& session, const std::string& fileName,
                                    const std::string& clientName, std::function<void(ApprovalAnswer)> answer) {
                questions_->awaitApproval(owner, AuthRequestKey(session, fileName),
                              AuthApproval{clientName, SessionStore::kMaxIdleTimeoutSeconds, {}},
                              [answer = std::move(answer)](AuthAnswer outcome) {
                                  switch (outcome) {
                                      case AuthAnswer::Allowed: return answer(ApprovalAnswer::Allowed);
                                      case AuthAnswer::Denied: return answer(ApprovalAnswer::Denied);
                                      case AuthAnswer::TimedOut: return answer(ApprovalAnswer::TimedOut);
                                      case AuthAnswer::TooManyQuestions: return answer(ApprovalAnswer::TooManyQuestions);
                                  }
                              });
            },
        }),
        WebviewerPings(loop, realMonotonicClock(),
                       {.send = sendToPage, .webviewerOf = webviewerOf, .gate = sessionGate(), .newId = {}}),
        MessageDispatch(),
        McpEndpoint(loop, realMonotonicClock(), mcpHooks()),
    });
    Features& features = *features_;
    // Each message type's handler, wrapped to be logged only when the debug level asks for it
    // (RequestLog.h): without it, a message costs what it did.
    auto on = [&features](const char* type, std::function<void(WebSocketConnection*, const nlohmann::json&)> handler) {
        if (!debugLogEnabled()) return features.dispatch.on(type, std::move(handler));
        features.dispatch.on(type, [type, handler = std::move(handler)](WebSocketConnection* ws, const nlohmann::json& message) {
            const auto since = std::chrono::steady_clock::now();
            handler(ws, message);
            logWebSocketEvent(type, ws->getUserData()->fileName, since);
        });
    };
    on("register", [&features](WebSocketConnection* ws, const nlohmann::json& message) {
        features.registry.handleRegister(ws, message);
    });
    on("callback", [&features](WebSocketConnection* ws, const nlohmann::json& message) {
        features.scriptCalls.handleCallback(ws, message);
    });
    for (const char* type : {"callScript", "callScriptWithOption"}) {
        on(type, [&features](WebSocketConnection* ws, const nlohmann::json& message) {
            features.agentBrowserRelay.handleCall(ws, message);
        });
    }
    on("pong", [&features](WebSocketConnection* ws, const nlohmann::json& message) {
        features.pings.handlePong(ws, message);
    });
    registerRoutes(app);
}

void HttpServer::Impl::detach() {
    features_.reset();
    questions_.reset();
    app_ = nullptr;
}

void HttpServer::Impl::clearState() {
    if (features_) {
        features_->registry.clear();
        features_->scriptCalls.clear();
        features_->pings.clear();
        features_->mcp.clear();
    }
    // Waiting authorization requests are released unanswered (the connections close with the
    // server) and their time limits cancelled; a dialog still open answers into nothing.
    if (questions_) questions_->clear();
}

HttpServer::BridgeCounts HttpServer::Impl::pendingCounts() const {
    BridgeCounts counts;
    if (questions_) counts.questions = questions_->size();
    if (!features_) return counts;
    counts.calls = features_->scriptCalls.pendingCount();
    counts.pings = features_->pings.pendingCount();
    counts.webviewers = features_->registry.webviewerCount();
    counts.agentBrowsers = features_->registry.agentBrowserCount();
    return counts;
}

}  // namespace Lumenbox
