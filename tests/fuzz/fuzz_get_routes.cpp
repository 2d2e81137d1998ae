// The query of every GET route, sent to a real bridge. The first byte picks the route and
// whether a session header is sent; the rest is the query, with the bytes a request target may
// not carry percent-escaped.
#include "fuzz/FuzzBridge.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* const kRoutes[] = {"/webviewerPing", "/webviewer", "/fm-mock.js", "/health",
                                          "/config", "/sessions", "/connectedFiles", "/bridgeStatus"};
    if (size == 0) return 0;
    const std::string target = std::string(kRoutes[data[0] & 7]) + "?" + Lumenbox::fuzz::escapeForTarget(data + 1, size - 1);
    Lumenbox::fuzz::FuzzBridge::instance().exchange(Lumenbox::fuzz::httpRequest("GET", target, (data[0] & 8) ? Lumenbox::fuzz::kSessionHeader : "", ""));
    return 0;
}
