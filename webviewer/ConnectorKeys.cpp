#include "webviewer/ConnectorKeys.h"

#include <cstdint>

#include "base/FileName.h"
#include "base/Identifiers.h"

namespace Lumenbox {

namespace {

constexpr std::size_t kKeyBytes = 32;
constexpr char kHexDigits[] = "0123456789abcdef";

std::string mintKey() {
    std::uint8_t bytes[kKeyBytes];
    fillSecureRandom(bytes, sizeof bytes);
    std::string key;
    key.reserve(2 * kKeyBytes);
    for (std::uint8_t byte : bytes) {
        key.push_back(kHexDigits[byte >> 4]);
        key.push_back(kHexDigits[byte & 0x0F]);
    }
    return key;
}

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

}  // namespace

std::string ConnectorKeys::keyFor(const std::string& fileName) {
    const std::string file = normalizeFileName(fileName);
    if (file.empty()) return {};
    std::lock_guard lock(mutex_);
    auto it = keys_.find(file);
    if (it == keys_.end()) it = keys_.emplace(file, mintKey()).first;
    return it->second;
}

bool ConnectorKeys::matches(const std::string& fileName, std::string_view key) const {
    const std::string file = normalizeFileName(fileName);
    std::lock_guard lock(mutex_);
    auto it = keys_.find(file);
    if (it == keys_.end() || key.size() != it->second.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < key.size(); ++i) {
        difference |= static_cast<unsigned char>(key[i] ^ it->second[i]);
    }
    return difference == 0;
}

std::string connectorUrl(int port, const std::string& fileName, const std::string& key) {
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/webviewer?fileName=";
    for (unsigned char c : fileName) {
        if (isUnreserved(c)) {
            url.push_back(static_cast<char>(c));
        } else {
            url.push_back('%');
            url.push_back("0123456789ABCDEF"[c >> 4]);
            url.push_back("0123456789ABCDEF"[c & 0x0F]);
        }
    }
    url += "&key=";
    url += key;
    return url;
}

}  // namespace Lumenbox
