#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>

#include <nlohmann/json.hpp>

#include "auth/SessionStore.h"
#include "server/HttpServerImpl.h"
#include "server/JsonReply.h"
#include "server/json/JsonBuilders.h"
#include "server/json/JsonText.h"
#include "ui/EnhancedSecurity.h"
#include "webviewer/FileName.h"
#include "base/Identifiers.h"
#include "base/Text.h"

namespace Lumenbox {

namespace {

constexpr std::int32_t kDefaultScriptTimeoutMs = 30000;
constexpr const char* kVersionProbeScript = "LB_get_version";
constexpr const char* kInvalidPayload = "Invalid payload. Expected { connectedFileName, scriptName, data }.";

// The "timeout" query: absent or empty means the default; otherwise a whole base-10 number from 1
// to 2147483647 (leading white space and one sign accepted, nothing after the digits).
std::optional<std::int32_t> parseTimeoutMs(const std::string& text) {
    if (text.empty()) return kDefaultScriptTimeoutMs;
    const auto value = parseWholeInteger(text);
    if (!value || *value < 1 || *value > INT32_MAX) return std::nullopt;
    return static_cast<std::int32_t>(*value);
}
}  // namespace

void HttpServer::Impl::handleCallScript(std::shared_ptr<transport::HttpResponse> res, transport::HttpRequest& req) {
    std::string session(req.getHeader("x-lumenbox-session"));
    auto timeoutMs = parseTimeoutMs(req.getQuery("timeout"));
    if (!timeoutMs) {
        writeJsonError(*res, "400 Bad Request", "Invalid timeout query parameter. Expected positive integer milliseconds.");
        return;
    }
    res->onBody([self = shared_from_this(), res, limit = *timeoutMs, session = std::move(session)](std::string body) {
        json::CallScriptRequest request = json::parseCallScriptRequest(body);
        std::string().swap(body);
        if (request.invalidJson) return writeJsonError(*res, "400 Bad Request", "Invalid JSON body.");
        if (!request.error.empty()) return writeJsonError(*res, "400 Bad Request", kInvalidPayload);
        std::string fileKey = normalizeFileName(request.connectedFileName);
        std::string scriptName = std::string(trimAsciiWhitespace(request.scriptName));
        if (fileKey.empty() || scriptName.empty()) return writeJsonError(*res, "400 Bad Request", kInvalidPayload);

        self->forwardScriptCall(res, fileKey, scriptName, std::move(request.data), session, limit);
    });
}

bool HttpServer::Impl::isCallAuthorized(const std::string& header, const std::string& fileKey) {
    const std::string session = sessionIdOrNone(header);  // white space only is no session
    const bool enhancedSecurity = isEnhancedSecurityEnabled();
    if (!session.empty() && sessionStore_.isAuthorized(session, fileKey, enhancedSecurity)) return true;
    if (enhancedSecurity) return false;
    // With enhanced security off every client is trusted: a session is approved on first use so
    // that it shows up in the session list (marked as never approved by the user, so that it goes
    // when the setting is switched on), and a call without a session simply proceeds.
    if (session.empty()) return true;
    sessionStore_.approve(session, fileKey, "lumenbox-mcp", 3600, /*autoApproved=*/true);
    return true;
}

void HttpServer::Impl::forwardScriptCall(std::shared_ptr<transport::HttpResponse> res, const std::string& fileKey,
                                         const std::string& scriptName, std::string data,
                                         const std::string& session, std::int32_t timeoutMs) {
    auto webviewer = webviewers_.find(fileKey);
    if (webviewer == webviewers_.end()) {
        return writeJsonError(*res, "404 Not Found", "No active WebSocket for " + fileKey);
    }
    // The page's version probe runs before any session exists, so it is never refused.
    if (scriptName != kVersionProbeScript && !isCallAuthorized(session, fileKey)) {
        return writeJsonValue(*res, "401 Unauthorized",
                              nlohmann::json{{"code", "session_not_authorized"},
                                             {"error", "Session is not authorized for " + fileKey}});
    }

    // With enhanced security on, the version probe is the one script an unapproved client can
    // run: it may learn the version, but it carries none of the caller's data into the file.
    if (scriptName == kVersionProbeScript && isEnhancedSecurityEnabled()) data = "null";
    const std::string fetchId = generateUuid();
    std::string message = json::callScriptMessage(fetchId, scriptName, data);
    std::string().swap(data);
    // The page could not be sent a message over the WebSocket limit: refuse the call before
    // anything of it is sent or held.
    if (message.size() > kMaxWebSocketMessageBytes) {
        return writeJsonError(*res, "413 Payload Too Large", "Request too large to send to the web viewer of " + fileKey);
    }

    PendingHttpCall call;
    call.res = res;
    call.fileName = fileKey;
    call.scriptName = scriptName;
    call.startedAt = std::chrono::steady_clock::now();
    call.timeoutMs = timeoutMs;
    call.target = webviewer->second;
    call.timer = std::make_unique<transport::Timer>(app_->loop());
    call.timer->start(std::chrono::milliseconds(timeoutMs), [this, fetchId] { onCallTimeout(fetchId); });
    pendingHttpCalls_.insert_or_assign(fetchId, std::move(call));
    res->onAborted([this, fetchId] { abandonCall(fetchId); });

    // A message the connection's queue cannot take never reaches the page: fail the call now
    // rather than let it wait out its whole time limit.
    if (webviewer->second->send(message) == transport::SendStatus::Dropped) {
        pendingHttpCalls_.erase(fetchId);
        writeJsonError(*res, "502 Bad Gateway", "Failed to send to webviewer for " + fileKey);
    }
}

void HttpServer::Impl::abandonCall(const std::string& fetchId) {
    auto it = pendingHttpCalls_.find(fetchId);
    if (it == pendingHttpCalls_.end()) return;
    it->second.aborted = true;
    it->second.res.reset();
    pendingHttpCalls_.erase(it);
}

void HttpServer::Impl::onCallTimeout(const std::string& fetchId) {
    auto it = pendingHttpCalls_.find(fetchId);
    if (it == pendingHttpCalls_.end()) return;
    PendingHttpCall call = std::move(it->second);
    pendingHttpCalls_.erase(it);
    if (call.aborted || !call.res) return;
    writeJsonValue(*call.res, "502 Bad Gateway",
                   nlohmann::json{{"code", "script_timeout"},
                                  {"connectedFileName", call.fileName},
                                  {"error", "Timed out waiting for FileMaker callback"},
                                  {"scriptName", call.scriptName},
                                  {"timeoutMs", call.timeoutMs},
                                  {"webviewerConnected", webviewers_.contains(call.fileName)}});
}

}  // namespace Lumenbox
