#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "auth/SessionStore.h"
#include "server/HttpServerImpl.h"
#include "server/JsonReply.h"
#include "server/json/JsonText.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox {

namespace {

constexpr std::string_view kRevoked = R"({"status":"revoked"})";

using BodyStrings = std::vector<std::string>;

// Collects a request body and hands `onKeys` the string members `keys` of the JSON object it
// holds, in the same order ("" when absent). A body that is not JSON, not an object, or with one
// of these members not a string is refused as unreadable; nothing is answered once the client has
// gone away.
void withBodyStrings(const std::shared_ptr<transport::HttpResponse>& res, std::vector<std::string> keys,
                     std::function<void(transport::HttpResponse&, const BodyStrings&)> onKeys) {
    res->onBody([res, keys = std::move(keys), onKeys = std::move(onKeys)](std::string body) {
        auto parsed = json::parseStrict(body);
        bool readable = parsed && parsed->is_object();
        BodyStrings values;
        for (const auto& key : keys) {
            if (!readable) break;
            auto member = parsed->find(key);
            if (member == parsed->end()) values.emplace_back();
            else if (member->is_string()) values.push_back(member->get<std::string>());
            else readable = false;
        }
        if (!readable) return writeJsonError(*res, "400 Bad Request", "Invalid JSON body.");
        onKeys(*res, values);
    });
}

void writeRevokeByPrefix(transport::HttpResponse& res, PrefixRevokeResult result, const char* ambiguous,
                         const char* notFound) {
    switch (result) {
        case PrefixRevokeResult::Revoked: return writeJsonReply(res, "200 OK", kRevoked);
        case PrefixRevokeResult::Ambiguous: return writeJsonError(res, "409 Conflict", ambiguous);
        case PrefixRevokeResult::NotFound: break;
    }
    writeJsonError(res, "404 Not Found", notFound);
}

}  // namespace

// No listing carries a usable secret: sessions and tokens are shown by their prefixes only.
void HttpServer::Impl::handleSessions(transport::HttpResponse& res) {
    const bool enhancedSecurity = isEnhancedSecurityEnabled();
    // Approvals the user never gave are gone once the setting is on; the list says so at once.
    if (enhancedSecurity) sessionStore_.dropAutoApproved();
    nlohmann::json sessions = nlohmann::json::array();
    for (const SessionSnapshot& session : sessionStore_.listSessions()) {
        sessions.push_back({{"files", session.files},
                            {"idleRemainingSeconds", session.idleRemainingSeconds},
                            {"idleTimeoutSeconds", session.idleTimeoutSeconds},
                            {"serviceName", session.clientName},
                            {"sessionIdPrefix", shownPrefix(session.sessionId)}});
    }
    nlohmann::json tokens = nlohmann::json::array();
    for (const SharedTokenSnapshot& token : sessionStore_.listSharedTokens()) {
        tokens.push_back({{"files", token.files}, {"tokenPrefix", token.tokenPrefix}});
    }
    // "sharedTokens" is the older name of the same list; both stay for the pages that read either.
    writeJsonValue(res, "200 OK",
                   {{"enhancedSecurityEnabled", enhancedSecurity},
                    {"persistentTokens", tokens},
                    {"sessions", std::move(sessions)},
                    {"sharedTokens", tokens}});
}

// By the whole "sessionId" (revoking one that does not exist is not an error: afterwards it is not
// authorized either way) or by the "sessionIdPrefix" that the listing shows.
void HttpServer::Impl::handleRevokeSession(std::shared_ptr<transport::HttpResponse> res) {
    withBodyStrings(res, {"sessionId", "sessionIdPrefix"},
                    [self = shared_from_this()](transport::HttpResponse& res, const BodyStrings& values) {
                        const std::string id = sessionIdOrNone(values[0]);
                        const std::string prefix = sessionIdOrNone(values[1]);
                        if (!id.empty()) {
                            self->sessionStore_.revoke(id);
                            return writeJsonReply(res, "200 OK", kRevoked);
                        }
                        if (prefix.empty()) {
                            return writeJsonError(res, "400 Bad Request", "Missing sessionId or sessionIdPrefix.");
                        }
                        writeRevokeByPrefix(res, self->sessionStore_.revokeByPrefix(prefix),
                                            "Session prefix is ambiguous.", "Session not found.");
                    });
}

// Any body is ignored. Shared tokens stay: they belong to the files that registered them.
void HttpServer::Impl::handleRevokeAllSessions(transport::HttpResponse& res) {
    sessionStore_.revokeAll();
    writeJsonReply(res, "200 OK", kRevoked);
}

void HttpServer::Impl::handleRevokeToken(std::shared_ptr<transport::HttpResponse> res) {
    withBodyStrings(res, {"tokenPrefix"}, [self = shared_from_this()](transport::HttpResponse& res, const BodyStrings& values) {
        writeRevokeByPrefix(res, self->sessionStore_.revokeSharedTokenByPrefix(values[0]), "Token prefix is ambiguous.",
                            "Token not found.");
    });
}

}  // namespace Lumenbox
