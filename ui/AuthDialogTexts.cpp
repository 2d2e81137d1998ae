#include "ui/AuthDialogTexts.h"

namespace Lumenbox {

namespace {

constexpr std::int64_t kSecondsPerHour = 3600;
constexpr std::int64_t kSecondsPerMinute = 60;

std::string validOrEmpty(const std::string& text) {
    return isValidUtf8(text) ? text : std::string();
}

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

std::string formatIdleDuration(std::int64_t seconds) {
    std::int64_t count = seconds;
    const char* unit = seconds == 1 ? "second" : "seconds";
    if (seconds >= kSecondsPerHour && seconds % kSecondsPerHour == 0) {
        count = seconds / kSecondsPerHour;
        unit = seconds == kSecondsPerHour ? "hour" : "hours";
    } else if (seconds >= kSecondsPerMinute && seconds % kSecondsPerMinute == 0) {
        count = seconds / kSecondsPerMinute;
        unit = seconds == kSecondsPerMinute ? "minute" : "minutes";
    }
    return std::to_string(count) + " " + unit;
}

std::string fillFormat(std::string_view format, std::string_view value) {
    constexpr std::string_view kPlaceholder = "%@";
    std::string text;
    std::size_t from = 0;
    for (std::size_t at = format.find(kPlaceholder); at != std::string_view::npos;
         at = format.find(kPlaceholder, from)) {
        text.append(format.substr(from, at - from)).append(value);
        from = at + kPlaceholder.size();
    }
    return text.append(format.substr(from));
}

std::string rowValue(std::string_view value) {
    return std::string(value.empty() ? authDialogText::kNotProvided : value);
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

AuthDialogContent makeAuthDialogContent(const std::string& fileName, const std::string& clientName,
                                        const std::string& clientDescription, const std::string& sessionIdPrefix,
                                        std::int64_t idleTimeoutSeconds) {
    AuthDialogContent content;
    content.fileName = validOrEmpty(fileName);
    content.clientName = sanitizeClientText(
        validOrEmpty(clientName.empty() ? std::string(kDefaultAuthClientName) : clientName), kMaxClientNameChars);
    content.clientDescription = sanitizeClientText(validOrEmpty(clientDescription), kMaxClientDescriptionChars);
    content.sessionIdPrefix = validOrEmpty(sessionIdPrefix);
    content.durationText = formatIdleDuration(idleTimeoutSeconds);
    content.body = fillFormat(authDialogText::kBodyFormat, content.durationText);
    content.bodyAccessibilityLabel = fillFormat(authDialogText::kBodyAccessibilityFormat, content.durationText);
    return content;
}

}  // namespace Lumenbox
