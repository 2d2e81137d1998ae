#pragma once

#include <string_view>

namespace Lumenbox {

// Pure functions: safe from any thread (the transport calls them on the loop thread).
// Who may talk to the bridge. The bridge listens on 127.0.0.1 only, but a web page the user
// visits can still reach it through the browser: by a cross-site request or WebSocket (its
// "Origin" names the page's site) or by DNS rebinding (its "Host" names the attacker's domain).
// Both headers are therefore checked before any route runs.
enum class LoopbackVerdict {
    Allowed,
    HostNotAllowed,    // "403 Forbidden" {"error":"Host not allowed."}
    OriginNotAllowed,  // "403 Forbidden" {"error":"Origin not allowed."}
};

// True when `host` (a Host header value) names 127.0.0.1, localhost (any letter case) or [::1],
// with an optional decimal port. Every other spelling is refused, even ones that resolve to a
// loopback address (127.1, 0177.0.0.1, localhost., ::ffff:127.0.0.1): the allowed forms are
// exactly the ones a local client writes.
bool isLoopbackHost(std::string_view host);

// True when `origin` (an Origin header value) is http:// or https:// followed by a loopback host
// as above and nothing else; "null" and every other origin are refused.
bool isLoopbackOrigin(std::string_view origin);

// The check for one request or WebSocket upgrade. A request without "Origin" (curl, agents,
// same-origin GETs) is judged by its Host alone; a missing Host is refused.
LoopbackVerdict checkLoopbackRequest(bool hasHost, std::string_view host, bool hasOrigin, std::string_view origin);

}  // namespace Lumenbox
