#include "base/Text.h"

#include <cerrno>
#include <cstdlib>

namespace Lumenbox {

namespace {

// Length of the well-formed UTF-8 sequence at the start of `text`, 0 when there is none.
std::size_t sequenceLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3
                                                : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || length > text.size()) return 0;
    return isValidUtf8(text.substr(0, length)) ? length : 0;
}

bool isControlOrSeparator(std::string_view character) {
    const auto first = static_cast<unsigned char>(character[0]);
    if (character.size() == 1) return first < 0x20 || first == 0x7F;
    // U+0080..U+009F are C2 80..C2 9F; U+2028 and U+2029 are E2 80 A8 and E2 80 A9.
    if (character.size() == 2) return first == 0xC2 && static_cast<unsigned char>(character[1]) <= 0x9F;
    return character == "\xE2\x80\xA8" || character == "\xE2\x80\xA9";
}

}  // namespace

std::string_view trimAsciiWhitespace(std::string_view text) {
    constexpr std::string_view kWhitespace = " \t\n\v\f\r";
    const auto first = text.find_first_not_of(kWhitespace);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kWhitespace) - first + 1);
}

std::string sessionIdOrNone(std::string_view sessionId) {
    return trimAsciiWhitespace(sessionId).empty() ? std::string() : std::string(sessionId);
}

std::optional<std::int64_t> parseWholeInteger(std::string_view text) {
    const std::string copy(text);  // strtoll needs a terminated string
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(copy.c_str(), &end, 10);
    // Comparing with the string's own end also refuses a NUL byte inside the text.
    if (end == copy.c_str() || end != copy.c_str() + copy.size() || errno == ERANGE) return std::nullopt;
    return static_cast<std::int64_t>(value);
}

std::optional<std::int32_t> parseTimeLimitMs(std::string_view text, std::int32_t defaultMs, std::int32_t maxMs) {
    if (text.empty()) return defaultMs;
    const auto value = parseWholeInteger(text);
    if (!value || *value < 1 || *value > maxMs) return std::nullopt;
    return static_cast<std::int32_t>(*value);
}

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        char32_t codePoint = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            codePoint = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            codePoint = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        if (text.size() - i < length) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < kSmallest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string sanitizeClientText(std::string_view text, std::size_t maxChars) {
    std::string clean;
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size() && chars < maxChars;) {
        const std::size_t length = sequenceLength(text.substr(i));
        if (length == 0) {
            ++i;
            continue;
        }
        const std::string_view character = text.substr(i, length);
        i += length;
        if (isControlOrSeparator(character)) continue;
        clean.append(character);
        ++chars;
    }
    return clean;
}

}  // namespace Lumenbox
