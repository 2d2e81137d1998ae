#pragma once

#include <functional>
#include <memory>

#include <nlohmann/json_fwd.hpp>

namespace Lumenbox {

class SessionStore;

namespace transport {
class HttpResponse;
}

// The session management routes over the session store: GET /sessions, POST /sessions/revoke,
// POST /sessions/revokeAll and POST /tokens/revoke. No listing carries a usable secret: sessions
// and tokens are shown by their prefixes only. Loop thread only.
class SessionRoutes {
public:
    // REQUIRES: `store` outlives the routes. `enhancedSecurity` empty reads as off.
    SessionRoutes(SessionStore& store, std::function<bool()> enhancedSecurity);

    // The body of GET /sessions. With enhanced security on, approvals the user never gave are
    // dropped first, so that the list shows only what still counts.
    nlohmann::json listing();
    void list(transport::HttpResponse& res);
    // By the whole "sessionId" or by the "sessionIdPrefix" that the listing shows.
    void revoke(const std::shared_ptr<transport::HttpResponse>& res);
    // Any body is ignored. Shared tokens stay: they belong to the files that registered them.
    void revokeAll(transport::HttpResponse& res);
    // By the "tokenPrefix" that the listing shows.
    void revokeToken(const std::shared_ptr<transport::HttpResponse>& res);

private:
    SessionStore& store_;
    const std::function<bool()> enhancedSecurity_;
};

}  // namespace Lumenbox
