#include "server/LoopbackPolicy.h"

#include <array>
#include <cctype>

namespace Lumenbox {

namespace {

// The host names a local client writes, compared without regard to letter case.
constexpr std::array<std::string_view, 3> kLoopbackHostNames{"127.0.0.1", "localhost", "[::1]"};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

bool isPort(std::string_view text) {
    if (text.empty() || text.size() > 5) return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value >= 1 && value <= 65535;
}

}  // namespace

bool isLoopbackHost(std::string_view host) {
    for (std::string_view name : kLoopbackHostNames) {
        if (host.size() < name.size() || !equalsIgnoringCase(host.substr(0, name.size()), name)) continue;
        std::string_view rest = host.substr(name.size());
        if (rest.empty()) return true;
        if (rest.front() == ':' && isPort(rest.substr(1))) return true;
    }
    return false;
}

bool isLoopbackOrigin(std::string_view origin) {
    for (std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
        if (origin.size() > scheme.size() && equalsIgnoringCase(origin.substr(0, scheme.size()), scheme)) {
            return isLoopbackHost(origin.substr(scheme.size()));
        }
    }
    return false;
}

LoopbackVerdict checkLoopbackRequest(bool hasHost, std::string_view host, bool hasOrigin, std::string_view origin) {
    if (!hasHost || !isLoopbackHost(host)) return LoopbackVerdict::HostNotAllowed;
    if (hasOrigin && !isLoopbackOrigin(origin)) return LoopbackVerdict::OriginNotAllowed;
    return LoopbackVerdict::Allowed;
}

}  // namespace Lumenbox
