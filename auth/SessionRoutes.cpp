#include <functional>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "auth/SessionStore.h"
#include "server/HttpServerImpl.h"
#include "server/JsonReply.h"
#include "server/json/JsonText.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox {

namespace {

constexpr std::string_view kRevoked = R"({"status":"revoked"})";
// Identifiers shown to users are cut to this many bytes.
constexpr std::size_t kShownPrefixBytes = 8;

// Collects a request body and hands `onKey` the string member `key` of the JSON object it holds
// ("" when absent). A body that is not JSON, not an object, or whose member is not a string is
// refused as unreadable; nothing is answered once the client has gone away.
void withBodyString(const std::shared_ptr<transport::HttpResponse>& res, std::string key,
                    std::function<void(transport::HttpResponse&, const std::string&)> onKey) {
    auto body = std::make_shared<std::string>();
    auto aborted = std::make_shared<bool>(false);
    res->onAborted([aborted] { *aborted = true; });
    std::weak_ptr<transport::HttpResponse> weakRes = res;  // the response owns this handler
    res->onData([weakRes, body, aborted, key = std::move(key), onKey = std::move(onKey)](std::string_view chunk,
                                                                                        bool isLast) {
        body->append(chunk);
        auto res = weakRes.lock();
        if (!isLast || *aborted || !res) return;
        auto parsed = json::parseStrict(*body);
        std::optional<std::string> value;
        if (parsed && parsed->is_object()) {
            auto member = parsed->find(key);
            if (member == parsed->end()) value.emplace();
            else if (member->is_string()) value = member->get<std::string>();
        }
        if (!value) return writeJsonError(*res, "400 Bad Request", "Invalid JSON body.");
        onKey(*res, *value);
    });
}

}  // namespace

void HttpServer::Impl::handleSessions(transport::HttpResponse& res) {
    nlohmann::json sessions = nlohmann::json::array();
    for (const SessionSnapshot& session : sessionStore_.listSessions()) {
        sessions.push_back({{"files", session.files},
                            {"idleRemainingSeconds", session.idleRemainingSeconds},
                            {"idleTimeoutSeconds", session.idleTimeoutSeconds},
                            {"serviceName", session.clientName},
                            {"sessionId", session.sessionId},
                            {"sessionIdPrefix", session.sessionId.substr(0, kShownPrefixBytes)}});
    }
    nlohmann::json tokens = nlohmann::json::array();
    for (const SharedTokenSnapshot& token : sessionStore_.listSharedTokens()) {
        tokens.push_back({{"files", token.files}, {"tokenPrefix", token.tokenPrefix}});
    }
    // "sharedTokens" is the older name of the same list; both stay for the pages that read either.
    writeJsonValue(res, "200 OK",
                   {{"enhancedSecurityEnabled", isEnhancedSecurityEnabled()},
                    {"persistentTokens", tokens},
                    {"sessions", std::move(sessions)},
                    {"sharedTokens", tokens}});
}

// Revoking a session that does not exist is not an error: afterwards it is not authorized either way.
void HttpServer::Impl::handleRevokeSession(std::shared_ptr<transport::HttpResponse> res) {
    withBodyString(res, "sessionId", [self = shared_from_this()](transport::HttpResponse& res, const std::string& id) {
        self->sessionStore_.revoke(id);
        writeJsonReply(res, "200 OK", kRevoked);
    });
}

// Any body is ignored. Shared tokens stay: they belong to the files that registered them.
void HttpServer::Impl::handleRevokeAllSessions(transport::HttpResponse& res) {
    sessionStore_.revokeAll();
    writeJsonReply(res, "200 OK", kRevoked);
}

void HttpServer::Impl::handleRevokeToken(std::shared_ptr<transport::HttpResponse> res) {
    withBodyString(res, "tokenPrefix", [self = shared_from_this()](transport::HttpResponse& res, const std::string& prefix) {
        switch (self->sessionStore_.revokeSharedTokenByPrefix(prefix)) {
            case SharedTokenRevokeResult::Revoked: return writeJsonReply(res, "200 OK", kRevoked);
            case SharedTokenRevokeResult::Ambiguous: return writeJsonError(res, "409 Conflict", "Token prefix is ambiguous.");
            case SharedTokenRevokeResult::NotFound: break;
        }
        writeJsonError(res, "404 Not Found", "Token not found.");
    });
}

}  // namespace Lumenbox
