#include "tools/mcp/Endpoint.h"

#include <algorithm>
#include <cctype>

namespace Lumenbox::mcpstdio {

std::optional<Endpoint> parseEndpoint(std::string_view url) {
    constexpr std::string_view scheme = "http://";
    if (url.size() < scheme.size() ||
        !std::equal(scheme.begin(), scheme.end(), url.begin(),
                    [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); })) {
        return std::nullopt;
    }
    url.remove_prefix(scheme.size());
    const auto slash = url.find_first_of("/?#");
    const std::string_view authority = url.substr(0, slash);
    std::string_view rest = slash == std::string_view::npos ? std::string_view{} : url.substr(slash);
    rest = rest.substr(0, rest.find('#'));
    if (authority.empty() || authority.find('@') != std::string_view::npos) return std::nullopt;

    Endpoint endpoint;
    std::string_view port;
    if (authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        endpoint.host = authority.substr(1, close - 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty() && after.front() != ':') return std::nullopt;
        if (!after.empty()) port = after.substr(1);
    } else {
        const auto colon = authority.find(':');
        endpoint.host = authority.substr(0, colon);
        if (colon != std::string_view::npos) port = authority.substr(colon + 1);
    }
    const bool portIsNumber = !port.empty() && port.size() <= 5 &&
                              std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (endpoint.host.empty() || (!port.empty() && (!portIsNumber || std::stoi(std::string(port)) > 65535)) ||
        authority.back() == ':') {
        return std::nullopt;
    }
    endpoint.port = port.empty() ? "80" : std::string(port);
    endpoint.target = rest.empty() || rest.front() != '/' ? "/" + std::string(rest) : std::string(rest);
    endpoint.hostHeader = authority;
    return endpoint;
}

}  // namespace Lumenbox::mcpstdio
