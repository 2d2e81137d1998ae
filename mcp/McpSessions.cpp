#include "mcp/McpSessions.h"

#include <cstdint>

#include "base/Identifiers.h"

namespace Lumenbox::mcp {

namespace {
// Visible ASCII, as the header allows: the random bytes in hex.
std::string newSessionId() {
    std::uint8_t bytes[24];
    fillSecureRandom(bytes, sizeof bytes);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string id;
    id.reserve(2 * sizeof bytes);
    for (std::uint8_t byte : bytes) {
        id.push_back(kHex[byte >> 4]);
        id.push_back(kHex[byte & 0x0F]);
    }
    return id;
}
}  // namespace

std::string McpSessions::open(Session session, std::string* ended) {
    dropExpired();
    if (sessions_.size() >= kMaxSessions) {
        auto oldest = sessions_.begin();
        for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
            if (it->second.lastUse < oldest->second.lastUse) oldest = it;
        }
        if (ended) *ended = oldest->first;
        sessions_.erase(oldest);
    }
    session.lastUse = clock_.now();
    std::string id = newSessionId();
    sessions_.emplace(id, std::move(session));
    return id;
}

McpSessions::Session* McpSessions::use(const std::string& id) {
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return nullptr;
    const auto now = clock_.now();
    if (now - it->second.lastUse >= kIdleLimit) {
        sessions_.erase(it);
        return nullptr;
    }
    it->second.lastUse = now;
    return &it->second;
}

bool McpSessions::end(const std::string& id) {
    return sessions_.erase(id) > 0;
}

void McpSessions::dropExpired() {
    const auto now = clock_.now();
    std::erase_if(sessions_, [&](const auto& entry) { return now - entry.second.lastUse >= kIdleLimit; });
}

}  // namespace Lumenbox::mcp
