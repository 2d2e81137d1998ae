#include "base/FileName.h"
#include "base/Text.h"

#include <optional>
#include <string_view>

namespace Lumenbox {

namespace {

constexpr std::string_view kWhitespace = " \t\n\v\f\r";
constexpr std::string_view kFileNameKey = "fileName=";
// The value after the first "fileName=" anywhere in `text` (not only at the start of a
// parameter), up to the first "&" after it; nullopt when there is no "fileName=".
std::optional<std::string_view> fileNameValue(std::string_view text) {
    const auto key = text.find(kFileNameKey);
    if (key == std::string_view::npos) return std::nullopt;
    const std::string_view value = text.substr(key + kFileNameKey.size());
    return value.substr(0, value.find('&'));
}

// Cuts before the first `c`, unless it is the very first character (a leading "/" or "?" is
// kept so that such text is not reduced to nothing).
std::string_view cutBeforeFirst(std::string_view text, char c) {
    const auto pos = text.find(c);
    return (pos == std::string_view::npos || pos == 0) ? text : text.substr(0, pos);
}

}  // namespace

std::string normalizeFileName(const std::string& raw) {
    std::string_view text = trimAsciiWhitespace(raw);
    if (text.empty()) return {};

    const bool isUrl = text.starts_with("http://") || text.starts_with("https://");
    if (isUrl) {
        // Only the query of a URL is searched, so a "fileName=" in its path does not count.
        const auto question = text.find('?');
        if (question != std::string_view::npos) {
            if (const auto value = fileNameValue(text.substr(question + 1))) text = *value;
        }
    } else if (const auto value = fileNameValue(text)) {
        text = *value;
    }

    text = cutBeforeFirst(text, '/');
    text = cutBeforeFirst(text, '?');
    return std::string(trimAsciiWhitespace(text));
}

}  // namespace Lumenbox
