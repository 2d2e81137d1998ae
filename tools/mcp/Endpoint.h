#pragma once

// Where the relay sends its messages. Pure: safe from any thread.

#include <optional>
#include <string>
#include <string_view>

namespace Lumenbox::mcpstdio {

inline constexpr std::string_view kDefaultUrl = "http://127.0.0.1:1365/mcp";

struct Endpoint {
    std::string host;        // as written, without the brackets of an IPv6 literal
    std::string port;        // "80" when the URL names none
    std::string target;      // path and query, "/" when the URL names none
    std::string hostHeader;  // the URL's authority, for the Host header
};

// An `http://host[:port][/path]` URL, or nullopt for anything else (https, user info, a bad port):
// the bridge listens on loopback without TLS, so nothing else can reach it.
std::optional<Endpoint> parseEndpoint(std::string_view url);

}  // namespace Lumenbox::mcpstdio
