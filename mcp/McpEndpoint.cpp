#include "mcp/McpEndpoint.h"

#include "auth/SessionStore.h"
#include "base/Text.h"
#include "base/Version.h"
#include "mcp/McpMessages.h"
#include "mcp/McpRequest.h"
#include "server/json/JsonBuilders.h"
#include "server/json/JsonReply.h"
#include "server/json/JsonText.h"

namespace Lumenbox {

using mcp::McpError;

namespace {
constexpr std::string_view kAccepted = "202 Accepted";
constexpr std::string_view kNoContent = "204 No Content";
constexpr std::string_view kVersionProbeScript = "LB_get_version";

std::optional<std::string> headerOf(transport::HttpRequest& req, std::string_view name) {
    if (!req.hasHeader(name)) return std::nullopt;
    return std::string(req.getHeader(name));
}

const nlohmann::json& paramsOf(const nlohmann::json& message) {
    static const nlohmann::json kEmpty = nlohmann::json::object();
    auto params = message.find("params");
    return params != message.end() && params->is_object() ? *params : kEmpty;
}

std::string stringIn(const nlohmann::json& object, std::string_view key) {
    if (!object.is_object()) return {};
    auto field = object.find(key);
    return field != object.end() && field->is_string() ? field->get<std::string>() : std::string();
}

nlohmann::json serverInfo() {
    return {{"name", mcp::kServerName}, {"version", kPluginVersion}};
}

nlohmann::json capabilities() {
    return {{"tools", {{"listChanged", false}}}};
}

std::string eventOf(std::string_view message) {
    std::string event = "event: message\ndata: ";
    return event.append(message).append("\n\n");
}
}  // namespace

// One POST while it is answered: what it asked and how to answer it.
struct McpEndpoint::Exchange {
    std::uint64_t serial = 0;
    std::shared_ptr<transport::HttpResponse> res;
    nlohmann::json id;
    bool legacy = true;
    std::string argumentsData;    // params.arguments.data as the agent wrote it; empty: none
    std::string mcpSessionId;     // the legacy session, empty in the stateless generation
    std::string lumenboxSession;  // whose approvals count; empty: none
    std::string clientName;
    std::string clientVersion;
    bool allowsJson = true;
    bool allowsEventStream = true;
    nlohmann::json progressToken;  // null: no progress wanted
    std::int64_t progress = 0;
    std::string progressMessage;
    std::unique_ptr<transport::Timer> progressTimer;
    bool held = false;
    bool done = false;
    std::string fetchId;  // the script call it waits for
    std::string pingId;   // the ping it waits for
    bool asking = false;  // it waits for the user's answer
};

McpEndpoint::McpEndpoint(transport::Loop& loop, const MonotonicClock& clock, Hooks hooks)
    : loop_(loop), hooks_(std::move(hooks)), sessions_(clock) {}

McpEndpoint::~McpEndpoint() {
    clear();
}

void McpEndpoint::clear() {
    auto exchanges = std::move(exchanges_);
    exchanges_.clear();
    byRequestId_.clear();
    for (auto& [serial, exchange] : exchanges) {
        exchange->done = true;
        exchange->progressTimer.reset();
    }
}

void McpEndpoint::handleGet(transport::HttpResponse& res) {
    res.writeHeader("Allow", "POST, DELETE");
    writeJsonValue(res, mcp::errorInfo(McpError::MethodNotAllowed).modernStatus,
                   mcp::errorMessage(McpError::MethodNotAllowed, nullptr));
}

void McpEndpoint::handleDelete(transport::HttpResponse& res, transport::HttpRequest& req) {
    const std::string id(req.getHeader("mcp-session-id"));
    if (id.empty()) {
        return writeJsonValue(res, mcp::errorInfo(McpError::SessionRequired).legacyStatus,
                              mcp::errorMessage(McpError::SessionRequired, nullptr));
    }
    if (!sessions_.end(id)) {
        return writeJsonValue(res, mcp::errorInfo(McpError::UnknownSession).legacyStatus,
                              mcp::errorMessage(McpError::UnknownSession, nullptr));
    }
    cancelSession(id);
    res.writeStatus(kNoContent)->end();
}

void McpEndpoint::handlePost(std::shared_ptr<transport::HttpResponse> res, transport::HttpRequest& req) {
    mcp::PostHeaders headers{headerOf(req, "content-type"),   headerOf(req, "accept"),
                             headerOf(req, "mcp-session-id"), headerOf(req, "mcp-protocol-version"),
                             headerOf(req, "mcp-method"),     headerOf(req, "mcp-name")};
    if (headers.sessionId && headers.sessionId->empty()) headers.sessionId.reset();
    std::string lumenboxSession = sessionIdOrNone(req.getHeader("x-lumenbox-session"));
    // The body is handed over right after this handler returns, while the endpoint is alive.
    res->onBody([this, res, headers = std::move(headers), lumenboxSession = std::move(lumenboxSession)](std::string body) {
        receive(res, headers, lumenboxSession, body);
    });
}

void McpEndpoint::receive(const std::shared_ptr<transport::HttpResponse>& res, const mcp::PostHeaders& headers,
                          const std::string& lumenboxSession, std::string& body) {
    mcp::PostDecision decision = mcp::decidePost(headers, body);
    std::string().swap(body);
    if (hooks_.withSettingReadOnce) return hooks_.withSettingReadOnce([&] { dispatch(res, headers, lumenboxSession, decision); });
    dispatch(res, headers, lumenboxSession, decision);
}

void McpEndpoint::dispatch(const std::shared_ptr<transport::HttpResponse>& res, const mcp::PostHeaders& headers,
                           const std::string& lumenboxSession, mcp::PostDecision& decision) {
    auto exchange = std::make_shared<Exchange>();
    exchange->serial = ++lastSerial_;
    exchange->res = res;
    exchange->id = decision.id;
    exchange->allowsJson = decision.allowsJson;
    exchange->allowsEventStream = decision.allowsEventStream;
    exchange->legacy = decision.kind != mcp::PostDecision::Kind::Modern && decision.legacyError;
    if (decision.kind == mcp::PostDecision::Kind::Refused) {
        const auto& info = mcp::errorInfo(decision.error);
        return answer(exchange, exchange->legacy ? info.legacyStatus : info.modernStatus,
                      mcp::errorMessage(decision.error, decision.id, decision.detail, decision.data));
    }
    const nlohmann::json& params = paramsOf(decision.message);
    const std::string method = stringIn(decision.message, "method");
    exchange->lumenboxSession = lumenboxSession;
    exchange->argumentsData = std::move(decision.argumentsData);
    exchange->progressToken = mcp::progressTokenOf(decision.message);
    switch (decision.kind) {
        case mcp::PostDecision::Kind::Modern: {
            auto meta = params.find("_meta");
            if (meta != params.end() && meta->is_object()) {
                if (auto clientInfo = meta->find("io.modelcontextprotocol/clientInfo"); clientInfo != meta->end()) {
                    exchange->clientName = stringIn(*clientInfo, "name");
                    exchange->clientVersion = stringIn(*clientInfo, "version");
                }
            }
            if (!decision.isRequest) return answer(exchange, kAccepted, nullptr);
            return handleModern(exchange, method, params);
        }
        case mcp::PostDecision::Kind::Handshake: {
            std::string version = stringIn(params, "protocolVersion");
            if (!mcp::isLegacyVersion(version)) version = mcp::kLatestLegacyVersion;
            const nlohmann::json clientInfo = params.value("clientInfo", nlohmann::json());
            std::string ended;
            exchange->mcpSessionId =
                sessions_.open({version, stringIn(clientInfo, "name"), stringIn(clientInfo, "version"), {}}, &ended);
            if (!ended.empty()) cancelSession(ended);
            return handleLegacy(exchange, method, params);
        }
        case mcp::PostDecision::Kind::Session:
            return handleInSession(exchange, *headers.sessionId, decision.isRequest, method, params);
        case mcp::PostDecision::Kind::Refused:
            break;
    }
}

void McpEndpoint::handleInSession(const ExchangePtr& exchange, const std::string& sessionId, bool isRequest,
                                  const std::string& method, const nlohmann::json& params) {
    const mcp::McpSessions::Session* session = sessions_.use(sessionId);
    if (!session) return answerError(exchange, McpError::UnknownSession);
    exchange->mcpSessionId = sessionId;
    exchange->clientName = session->clientName;
    exchange->clientVersion = session->clientVersion;
    // Without a Lumenbox session of its own, a legacy client's approvals go with its MCP session.
    if (exchange->lumenboxSession.empty()) exchange->lumenboxSession = sessionId;
    if (isRequest) return handleLegacy(exchange, method, params);
    if (method == "notifications/cancelled") {
        auto requestId = params.find("requestId");
        auto held = requestId == params.end() ? byRequestId_.end()
                                              : byRequestId_.find({sessionId, json::serialize(*requestId)});
        if (held != byRequestId_.end()) cancel(exchanges_.at(held->second));
    }
    answer(exchange, kAccepted, nullptr);
}

void McpEndpoint::handleLegacy(const ExchangePtr& exchange, const std::string& method, const nlohmann::json& params) {
    if (method == "initialize") {
        const mcp::McpSessions::Session* session = sessions_.use(exchange->mcpSessionId);
        return answerResult(exchange, {{"protocolVersion", session ? session->protocolVersion : std::string(mcp::kLatestLegacyVersion)},
                                       {"capabilities", capabilities()},
                                       {"serverInfo", serverInfo()},
                                       {"instructions", mcp::instructions()}});
    }
    if (method == "ping") return answerResult(exchange, nlohmann::json::object());
    if (method == "tools/list") return answerResult(exchange, {{"tools", mcp::toolList()}});
    if (method == "tools/call") return callTool(exchange, params);
    answerError(exchange, McpError::MethodNotFound, method);
}

void McpEndpoint::handleModern(const ExchangePtr& exchange, const std::string& method, const nlohmann::json& params) {
    if (method == "server/discover") {
        return answerResult(exchange, {{"supportedVersions", {mcp::kModernVersion}},
                                       {"capabilities", capabilities()},
                                       {"instructions", mcp::instructions()},
                                       {"_meta", {{"io.modelcontextprotocol/serverInfo", serverInfo()}}},
                                       {"ttlMs", mcp::kListTtlMs},
                                       {"cacheScope", "private"}});
    }
    if (method == "tools/list") {
        return answerResult(exchange, {{"tools", mcp::toolList()}, {"ttlMs", mcp::kListTtlMs}, {"cacheScope", "private"}});
    }
    if (method == "tools/call") return callTool(exchange, params);
    answerError(exchange, McpError::MethodNotFound, method);
}

void McpEndpoint::callTool(const ExchangePtr& exchange, const nlohmann::json& params) {
    auto name = params.find("name");
    if (name == params.end() || !name->is_string()) return answerError(exchange, McpError::InvalidParams, "name is required");
    auto tool = mcp::toolNamed(name->get_ref<const std::string&>());
    if (!tool) return answerError(exchange, McpError::UnknownTool, name->get_ref<const std::string&>());
    static const nlohmann::json kNone;
    auto found = params.find("arguments");
    const nlohmann::json& arguments = found == params.end() ? kNone : *found;
    switch (*tool) {
        case mcp::Tool::ListFiles:
            return answerToolResult(exchange, json::serialize({{"files", hooks_.connectedFiles()}}));
        case mcp::Tool::RunScript: {
            auto read = mcp::readRunScriptArguments(arguments, std::move(exchange->argumentsData));
            if (auto* error = std::get_if<std::string>(&read)) return answerResult(exchange, mcp::toolError(*error));
            return runScript(exchange, std::get<mcp::RunScriptArguments>(std::move(read)));
        }
        case mcp::Tool::PingFile: {
            auto read = mcp::readPingFileArguments(arguments);
            if (auto* error = std::get_if<std::string>(&read)) return answerResult(exchange, mcp::toolError(*error));
            return pingFile(exchange, std::get<mcp::PingFileArguments>(std::move(read)));
        }
    }
}

void McpEndpoint::whenAuthorized(const ExchangePtr& exchange, const std::string& fileName, std::function<void()> proceed) {
    const std::string& session = exchange->lumenboxSession;
    auto clientName = [&exchange] {
        return sanitizeClientText(exchange->clientName.empty() ? mcp::kDefaultClientName : exchange->clientName,
                                  kMaxClientNameChars);
    };
    // An approved session runs, whatever the setting; as with POST /callScript, a session is
    // approved on first use while the setting is off.
    if (!session.empty() && hooks_.gate.isAuthorized(session, fileName)) return proceed();
    if (!hooks_.gate.enhancedSecurity()) {
        if (!session.empty()) hooks_.gate.approveOnFirstUse(session, fileName, clientName());
        return proceed();
    }
    if (session.empty()) return answerResult(exchange, mcp::toolError(mcp::text::noSession()));
    const std::string name = clientName();
    AuthApproval approval{name, SessionStore::kMaxIdleTimeoutSeconds,
                          sanitizeClientText(mcp::text::clientDescription(name, exchange->clientVersion),
                                             kMaxClientDescriptionChars)};
    hold(exchange);
    exchange->asking = true;
    std::weak_ptr<Exchange> weak = exchange;
    hooks_.awaitApproval(exchange.get(), {session, fileName}, approval,
                         [this, weak, fileName, proceed = std::move(proceed)](AuthAnswer outcome) {
                             auto exchange = weak.lock();
                             if (!exchange || exchange->done) return;
                             exchange->asking = false;
                             switch (outcome) {
                                 case AuthAnswer::Allowed: return proceed();
                                 case AuthAnswer::Denied: return answerResult(exchange, mcp::toolError(mcp::text::denied(fileName)));
                                 case AuthAnswer::TimedOut:
                                     return answerResult(exchange, mcp::toolError(mcp::text::approvalTimedOut(fileName)));
                                 case AuthAnswer::TooManyQuestions:
                                     return answerResult(exchange, mcp::toolError(mcp::text::tooManyQuestions()));
                             }
                         });
    if (exchange->asking && !exchange->done) startProgress(exchange, mcp::text::waitingForApproval());
}

void McpEndpoint::runScript(const ExchangePtr& exchange, mcp::RunScriptArguments arguments) {
    if (!hooks_.webviewerOf(arguments.fileName)) {
        return answerResult(exchange, mcp::toolError(mcp::text::fileNotConnected(arguments.fileName, hooks_.connectedFiles())));
    }
    const bool versionProbe = arguments.scriptName == kVersionProbeScript;
    const std::string fileName = arguments.fileName;
    auto run = [this, weak = std::weak_ptr<Exchange>(exchange), arguments = std::move(arguments)]() mutable {
        auto exchange = weak.lock();
        if (!exchange || exchange->done) return;
        ScriptCallRequest request{arguments.fileName, arguments.scriptName, std::move(arguments.data),
                                  exchange->lumenboxSession, arguments.timeoutMs};
        hold(exchange);
        auto fetchId = hooks_.runScript(std::move(request), [this, weak, arguments](const ScriptOutcome& outcome) {
            auto exchange = weak.lock();
            if (!exchange || exchange->done) return;
            exchange->fetchId.clear();  // the call is over: nothing to abandon
            using Kind = ScriptOutcome::Kind;
            const std::string& file = arguments.fileName;
            switch (outcome.kind) {
                case Kind::Result: {
                    // A script that ran and said it failed is a failed call, as with POST /callScript.
                    nlohmann::json parsed;
                    const nlohmann::json& sent = *outcome.result;
                    const nlohmann::json& value = sent.is_string() ? (parsed = json::resultValue(sent)) : sent;
                    if (auto error = json::scriptError(value)) {
                        return answerResult(exchange, mcp::toolError(mcp::text::scriptFailed(file, arguments.scriptName, *error)));
                    }
                    return answerToolResult(exchange,
                                            mcp::runScriptContent(file, arguments.scriptName, outcome.fetchId, sent));
                }
                case Kind::NoWebviewer:
                    return answerResult(exchange, mcp::toolError(mcp::text::fileNotConnected(file, hooks_.connectedFiles())));
                case Kind::NotAuthorized: return answerResult(exchange, mcp::toolError(mcp::text::notApproved(file)));
                case Kind::RequestTooLarge: return answerResult(exchange, mcp::toolError(mcp::text::requestTooLarge(file)));
                case Kind::SendFailed: return answerResult(exchange, mcp::toolError(mcp::text::sendFailed(file)));
                case Kind::TimedOut:
                    return answerResult(exchange, mcp::toolError(mcp::text::scriptTimedOut(file, arguments.scriptName,
                                                                                           arguments.timeoutMs)));
                case Kind::Disconnected: return answerResult(exchange, mcp::toolError(mcp::text::webviewerGone(file)));
                case Kind::ResultTooLarge:
                    return answerResult(exchange, mcp::toolError(mcp::text::resultTooLarge(file, outcome.resultBytes)));
            }
        });
        if (!fetchId || exchange->done) return;
        exchange->fetchId = *fetchId;
        startProgress(exchange, mcp::text::waitingForScript());
    };
    // The page's version probe needs no approval, as with POST /callScript.
    if (versionProbe) return run();
    whenAuthorized(exchange, fileName, std::move(run));
}

void McpEndpoint::pingFile(const ExchangePtr& exchange, mcp::PingFileArguments arguments) {
    const std::string fileName = arguments.fileName;
    auto notAlive = [fileName] { return json::serialize({{"alive", false}, {"fileName", fileName}}); };
    if (!hooks_.webviewerOf(fileName)) return answerToolResult(exchange, notAlive());
    whenAuthorized(exchange, fileName, [this, weak = std::weak_ptr<Exchange>(exchange), arguments, notAlive] {
        auto exchange = weak.lock();
        if (!exchange || exchange->done) return;
        WebSocketConnection* webviewer = hooks_.webviewerOf(arguments.fileName);
        if (!webviewer) return answerToolResult(exchange, notAlive());
        hold(exchange);
        auto id = hooks_.ping(arguments.fileName, webviewer, arguments.timeoutMs,
                              [this, weak, fileName = arguments.fileName, notAlive](const WebviewerPings::Outcome& outcome) {
                                  auto exchange = weak.lock();
                                  if (!exchange || exchange->done) return;
                                  exchange->pingId.clear();
                                  if (outcome.kind != WebviewerPings::Outcome::Kind::Pong) {
                                      return answerToolResult(exchange, notAlive());
                                  }
                                  answerToolResult(exchange, json::serialize({{"alive", true},
                                                                              {"elapsedMs", outcome.elapsedMs},
                                                                              {"fileName", fileName}}));
                              });
        if (!id || exchange->done) return;
        exchange->pingId = *id;
        startProgress(exchange, mcp::text::waitingForPong());
    });
}

void McpEndpoint::hold(const ExchangePtr& exchange) {
    if (exchange->held || exchange->done) return;
    exchange->held = true;
    exchanges_.emplace(exchange->serial, exchange);
    if (exchange->legacy && exchange->id.is_primitive()) {
        byRequestId_[{exchange->mcpSessionId, json::serialize(exchange->id)}] = exchange->serial;
    }
    // The client closing the connection (or the stream) is the stateless generation's
    // cancellation, and a legacy client's too: the call is dropped at once.
    exchange->res->onAborted([alive = std::weak_ptr<int>(alive_), this, weak = std::weak_ptr<Exchange>(exchange)] {
        auto exchange = weak.lock();
        if (alive.lock() && exchange) release(*exchange);
    });
}

// Progress goes out on an event stream, so only to a client that takes one.
void McpEndpoint::startProgress(const ExchangePtr& exchange, std::string_view message) {
    if (exchange->progressToken.is_null() || !exchange->allowsEventStream || exchange->done) return;
    exchange->progressMessage = message;
    if (!exchange->progressTimer) exchange->progressTimer = std::make_unique<transport::Timer>(loop_);
    sendProgress(*exchange);
}

void McpEndpoint::sendProgress(Exchange& exchange) {
    transport::HttpResponse& res = *exchange.res;
    if (!res.isOpen()) return;
    if (!res.isStreaming()) {
        res.writeStatus(status::kOk)
            ->writeHeader("Content-Type", "text/event-stream")
            ->writeHeader("Cache-Control", "no-cache")
            ->writeHeader("X-Accel-Buffering", "no");
        if (!exchange.mcpSessionId.empty()) res.writeHeader("Mcp-Session-Id", exchange.mcpSessionId);
    }
    res.write(eventOf(json::serialize({{"jsonrpc", "2.0"},
                                       {"method", "notifications/progress"},
                                       {"params",
                                        {{"progressToken", exchange.progressToken},
                                         {"progress", ++exchange.progress},
                                         {"message", exchange.progressMessage}}}})));
    exchange.progressTimer->start(kProgressInterval, [this, &exchange] { sendProgress(exchange); });
}

void McpEndpoint::answerResult(const ExchangePtr& exchange, nlohmann::json result) {
    if (!exchange->legacy) result["resultType"] = "complete";
    answer(exchange, status::kOk, mcp::resultMessage(exchange->id, std::move(result)));
}

void McpEndpoint::answerToolResult(const ExchangePtr& exchange, std::string_view structured) {
    answerText(exchange, status::kOk, mcp::toolResultMessage(exchange->id, structured, !exchange->legacy));
}

void McpEndpoint::answerError(const ExchangePtr& exchange, McpError error, std::string_view detail) {
    const auto& info = mcp::errorInfo(error);
    answer(exchange, exchange->legacy ? info.legacyStatus : info.modernStatus,
           mcp::errorMessage(error, exchange->id, detail));
}

// A null message answers 202 with no body. A response already streaming gets the message as its
// last event; a client that takes only an event stream gets one with the message alone.
void McpEndpoint::answer(const ExchangePtr& exchange, std::string_view statusLine, const nlohmann::json& message) {
    answerText(exchange, statusLine, message.is_null() ? std::string() : json::serialize(message));
}

// An empty message answers 202 with no body.
void McpEndpoint::answerText(const ExchangePtr& held, std::string_view statusLine, std::string message) {
    auto exchange = held;  // release may drop the table's reference
    if (exchange->done) return;
    release(*exchange);
    transport::HttpResponse& res = *exchange->res;
    if (!res.isOpen()) return;
    if (message.empty()) return void(res.writeStatus(kAccepted)->end());
    if (res.isStreaming()) return res.end(eventOf(message));
    if (!exchange->mcpSessionId.empty()) res.writeHeader("Mcp-Session-Id", exchange->mcpSessionId);
    if (!exchange->allowsJson && statusLine == status::kOk) {
        res.writeStatus(statusLine)
            ->writeHeader("Content-Type", "text/event-stream")
            ->writeHeader("Cache-Control", "no-cache")
            ->writeHeader("X-Accel-Buffering", "no")
            ->end(eventOf(message));
        return;
    }
    writeJsonReply(res, statusLine, message);
}

void McpEndpoint::release(Exchange& exchange) {
    if (exchange.done) return;
    exchange.done = true;
    exchange.progressTimer.reset();
    if (!exchange.fetchId.empty()) hooks_.abandonScript(std::exchange(exchange.fetchId, {}));
    if (!exchange.pingId.empty()) hooks_.forgetPing(std::exchange(exchange.pingId, {}));
    if (exchange.asking) {
        exchange.asking = false;
        hooks_.abandonApprovals(&exchange);
    }
    if (!exchange.held) return;
    if (exchange.legacy && exchange.id.is_primitive()) {
        auto key = std::make_pair(exchange.mcpSessionId, json::serialize(exchange.id));
        if (auto it = byRequestId_.find(key); it != byRequestId_.end() && it->second == exchange.serial) byRequestId_.erase(it);
    }
    exchanges_.erase(exchange.serial);  // may drop the last owner: nothing of it is used after this
}

void McpEndpoint::cancel(const ExchangePtr& exchange) {
    auto keep = exchange;
    release(*keep);
    transport::HttpResponse& res = *keep->res;
    if (!res.isOpen()) return;
    if (res.isStreaming()) return res.end();
    res.writeStatus(kAccepted)->end();
}

void McpEndpoint::cancelSession(const std::string& sessionId) {
    std::vector<ExchangePtr> ofSession;
    for (auto& [serial, exchange] : exchanges_) {
        if (exchange->legacy && exchange->mcpSessionId == sessionId) ofSession.push_back(exchange);
    }
    for (auto& exchange : ofSession) cancel(exchange);
}

}  // namespace Lumenbox
