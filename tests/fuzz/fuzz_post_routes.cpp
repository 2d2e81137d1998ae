// The body of every POST route, sent to a real bridge. The first byte picks the route, whether
// a session header is sent and, for /callScript, a time limit; the rest is the body.
#include "fuzz/FuzzBridge.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* const kRoutes[] = {"/callScript", "/authorizeSession", "/sessions/revoke",
                                          "/tokens/revoke", "/sessions/revokeAll"};
    if (size == 0) return 0;
    const std::string target = std::string(kRoutes[(data[0] & 7) % 5]) + ((data[0] & 16) ? "?timeout=5000" : "");
    const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
    Lumenbox::fuzz::FuzzBridge::instance().exchange(Lumenbox::fuzz::httpRequest("POST", target, (data[0] & 8) ? Lumenbox::fuzz::kSessionHeader : "", body));
    return 0;
}
