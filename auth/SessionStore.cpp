#include "auth/SessionStore.h"

#include <algorithm>

namespace Lumenbox {

namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

std::int64_t elapsedNanos(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
}

// Timeouts are at most an hour, so the product cannot overflow.
bool isExpired(std::int64_t idleTimeoutSeconds, std::int64_t elapsedNs) {
    return idleTimeoutSeconds * kNanosPerSecond < elapsedNs;
}

// The one key of `map` that starts with prefix (keys that do sort together from lower_bound).
template <class Map>
PrefixRevokeResult eraseByPrefix(Map& map, const std::string& prefix) {
    if (prefix.empty()) return PrefixRevokeResult::NotFound;
    auto first = map.lower_bound(prefix);
    if (first == map.end() || !first->first.starts_with(prefix)) return PrefixRevokeResult::NotFound;
    if (auto second = std::next(first); second != map.end() && second->first.starts_with(prefix))
        return PrefixRevokeResult::Ambiguous;
    map.erase(first);
    return PrefixRevokeResult::Revoked;
}

}  // namespace

std::string shownPrefix(std::string_view secret) {
    std::size_t length = std::min(SessionStore::kShownPrefixBytes, secret.size() / 2);
    // Back off to the start of a UTF-8 sequence rather than show half a character.
    while (length > 0 && (static_cast<unsigned char>(secret[length]) & 0xC0) == 0x80) --length;
    return std::string(secret.substr(0, length));
}

SessionStore::SessionStore(const MonotonicClock& clock) : clock_(clock) {}

bool SessionStore::isAuthorized(const std::string& sessionId, const std::string& fileName, bool enhancedSecurityOn) {
    if (sessionIdOrNone(sessionId).empty() || fileName.empty()) return false;
    std::lock_guard lock(mutex_);
    if (enhancedSecurityOn) dropAutoApprovedLocked();

    // A shared token neither expires nor refreshes anything, so it is tested before pruning.
    if (auto token = sharedTokens_.find(sessionId); token != sharedTokens_.end() && token->second.contains(fileName))
        return true;

    const TimePoint now = clock_.now();
    pruneExpiredLocked(now);
    auto session = sessions_.find(sessionId);
    if (session == sessions_.end() || !session->second.files.contains(fileName)) return false;
    session->second.lastUsed = now;
    return true;
}

void SessionStore::approve(const std::string& sessionId, const std::string& fileName, const std::string& clientName,
                           std::int64_t idleTimeoutSeconds, bool autoApproved) {
    if (sessionIdOrNone(sessionId).empty() || fileName.empty()) return;
    std::lock_guard lock(mutex_);

    // No pruning here: an expired entry that is still present is reused with its files.
    SessionEntry& entry = sessions_[sessionId];
    entry.clientName = clientName.empty() ? std::string(kDefaultClientName) : clientName;
    const bool isNewFile = entry.files.insert(fileName).second;
    if (!autoApproved) entry.autoApprovedFiles.erase(fileName);
    else if (isNewFile) entry.autoApprovedFiles.insert(fileName);
    entry.lastUsed = clock_.now();
    entry.idleTimeout = std::clamp(idleTimeoutSeconds, kMinIdleTimeoutSeconds, kMaxIdleTimeoutSeconds);
}

void SessionStore::registerSharedToken(const std::string& token, const std::string& fileName) {
    if (token.empty() || fileName.empty()) return;
    std::lock_guard lock(mutex_);
    sharedTokens_[token].insert(fileName);
}

std::vector<SessionSnapshot> SessionStore::listSessions() {
    std::lock_guard lock(mutex_);
    const TimePoint now = clock_.now();
    pruneExpiredLocked(now);

    std::vector<SessionSnapshot> result;
    result.reserve(sessions_.size());
    for (const auto& [sessionId, entry] : sessions_) {
        SessionSnapshot snapshot;
        snapshot.sessionId = sessionId;
        snapshot.clientName = entry.clientName.empty() ? std::string(kDefaultClientName) : entry.clientName;
        snapshot.files.assign(entry.files.begin(), entry.files.end());
        snapshot.lastUsed = entry.lastUsed;
        snapshot.idleRemainingSeconds = entry.idleTimeout - elapsedNanos(entry.lastUsed, now) / kNanosPerSecond;
        snapshot.idleTimeoutSeconds = entry.idleTimeout;
        result.push_back(std::move(snapshot));
    }
    return result;
}

std::vector<SharedTokenSnapshot> SessionStore::listSharedTokens() const {
    std::lock_guard lock(mutex_);
    std::vector<SharedTokenSnapshot> result;
    result.reserve(sharedTokens_.size());
    for (const auto& [token, files] : sharedTokens_) {
        result.push_back({shownPrefix(token), {files.begin(), files.end()}});
    }
    return result;
}

void SessionStore::revoke(const std::string& sessionId) {
    std::lock_guard lock(mutex_);
    sessions_.erase(sessionId);
}

PrefixRevokeResult SessionStore::revokeByPrefix(const std::string& prefix) {
    std::lock_guard lock(mutex_);
    return eraseByPrefix(sessions_, prefix);
}

void SessionStore::dropAutoApproved() {
    std::lock_guard lock(mutex_);
    dropAutoApprovedLocked();
}

void SessionStore::revokeAll() {
    std::lock_guard lock(mutex_);
    sessions_.clear();
}

PrefixRevokeResult SessionStore::revokeSharedTokenByPrefix(const std::string& prefix) {
    std::lock_guard lock(mutex_);
    return eraseByPrefix(sharedTokens_, prefix);
}

void SessionStore::dropAutoApprovedLocked() {
    for (auto item = sessions_.begin(); item != sessions_.end();) {
        SessionEntry& entry = item->second;
        for (const auto& file : entry.autoApprovedFiles) entry.files.erase(file);
        entry.autoApprovedFiles.clear();
        item = entry.files.empty() ? sessions_.erase(item) : std::next(item);
    }
}

void SessionStore::pruneExpiredLocked(TimePoint now) {
    std::erase_if(sessions_, [now](const auto& item) {
        return isExpired(item.second.idleTimeout, elapsedNanos(item.second.lastUsed, now));
    });
}

}  // namespace Lumenbox
