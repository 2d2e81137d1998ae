#include "auth/SessionRoutes.h"

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "auth/SessionStore.h"
#include "server/json/JsonReply.h"
#include "server/json/JsonText.h"

namespace Lumenbox {

namespace {

constexpr std::string_view kRevoked = R"({"status":"revoked"})";

using BodyStrings = std::vector<std::string>;

// Hands `onKeys` the string members `keys` of the JSON object in the request body, in the same
// order ("" when absent). A body that is not JSON, not an object, or with one of these members not
// a string is refused as unreadable.
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
        if (!readable) return writeJsonError(*res, status::kBadRequest, "Invalid JSON body.");
        onKeys(*res, values);
    });
}

void writeRevokeByPrefix(transport::HttpResponse& res, PrefixRevokeResult result, const char* ambiguous,
                         const char* notFound) {
    switch (result) {
        case PrefixRevokeResult::Revoked: return writeJsonReply(res, status::kOk, kRevoked);
        case PrefixRevokeResult::Ambiguous: return writeJsonError(res, status::kConflict, ambiguous);
        case PrefixRevokeResult::NotFound: break;
    }
    writeJsonError(res, status::kNotFound, notFound);
}

}  // namespace

SessionRoutes::SessionRoutes(SessionStore& store, std::function<bool()> enhancedSecurity)
    : store_(store), enhancedSecurity_(std::move(enhancedSecurity)) {}

nlohmann::json SessionRoutes::listing() {
    const bool enhancedSecurity = enhancedSecurity_ && enhancedSecurity_();
    if (enhancedSecurity) store_.dropAutoApproved();
    nlohmann::json sessions = nlohmann::json::array();
    for (const SessionSnapshot& session : store_.listSessions()) {
        sessions.push_back({{"files", session.files},
                            {"idleRemainingSeconds", session.idleRemainingSeconds},
                            {"idleTimeoutSeconds", session.idleTimeoutSeconds},
                            {"serviceName", session.clientName},
                            {"sessionIdPrefix", shownPrefix(session.sessionId)}});
    }
    nlohmann::json tokens = nlohmann::json::array();
    for (const SharedTokenSnapshot& token : store_.listSharedTokens()) {
        tokens.push_back({{"files", token.files}, {"tokenPrefix", token.tokenPrefix}});
    }
    // "sharedTokens" is the older name of the same list; both stay for the pages that read either.
    return {{"enhancedSecurityEnabled", enhancedSecurity},
            {"persistentTokens", tokens},
            {"sessions", std::move(sessions)},
            {"sharedTokens", tokens}};
}

void SessionRoutes::list(transport::HttpResponse& res) {
    writeJsonValue(res, status::kOk, listing());
}

// Revoking a whole id that does not exist is not an error: afterwards it is not authorized either
// way. The routes hold the store by reference: the server that owns them outlives its requests.
void SessionRoutes::revoke(const std::shared_ptr<transport::HttpResponse>& res) {
    withBodyStrings(res, {"sessionId", "sessionIdPrefix"}, [&store = store_](transport::HttpResponse& res,
                                                                            const BodyStrings& values) {
        const std::string id = sessionIdOrNone(values[0]);
        const std::string prefix = sessionIdOrNone(values[1]);
        if (!id.empty()) {
            store.revoke(id);
            return writeJsonReply(res, status::kOk, kRevoked);
        }
        if (prefix.empty()) return writeJsonError(res, status::kBadRequest, "Missing sessionId or sessionIdPrefix.");
        writeRevokeByPrefix(res, store.revokeByPrefix(prefix), "Session prefix is ambiguous.", "Session not found.");
    });
}

void SessionRoutes::revokeAll(transport::HttpResponse& res) {
    store_.revokeAll();
    writeJsonReply(res, status::kOk, kRevoked);
}

void SessionRoutes::revokeToken(const std::shared_ptr<transport::HttpResponse>& res) {
    withBodyStrings(res, {"tokenPrefix"}, [&store = store_](transport::HttpResponse& res, const BodyStrings& values) {
        writeRevokeByPrefix(res, store.revokeSharedTokenByPrefix(values[0]), "Token prefix is ambiguous.",
                            "Token not found.");
    });
}

}  // namespace Lumenbox
