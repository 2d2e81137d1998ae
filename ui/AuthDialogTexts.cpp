#include "ui/AuthDialogTexts.h"

#include "auth/SessionStore.h"
#include "base/Text.h"

namespace Lumenbox {

namespace {

constexpr std::int64_t kSecondsPerHour = 3600;
constexpr std::int64_t kSecondsPerMinute = 60;

std::string validOrEmpty(const std::string& text) {
    return isValidUtf8(text) ? text : std::string();
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

AuthDialogContent makeAuthDialogContent(const std::string& fileName, const std::string& clientName,
                                        const std::string& clientDescription, const std::string& sessionIdPrefix,
                                        std::int64_t idleTimeoutSeconds) {
    AuthDialogContent content;
    content.fileName = validOrEmpty(fileName);
    content.clientName = sanitizeClientText(
        validOrEmpty(clientName.empty() ? std::string(SessionStore::kDefaultClientName) : clientName), kMaxClientNameChars);
    content.clientDescription = sanitizeClientText(validOrEmpty(clientDescription), kMaxClientDescriptionChars);
    content.sessionIdPrefix = validOrEmpty(sessionIdPrefix);
    content.durationText = formatIdleDuration(idleTimeoutSeconds);
    content.body = fillFormat(authDialogText::kBodyFormat, content.durationText);
    content.bodyAccessibilityLabel = fillFormat(authDialogText::kBodyAccessibilityFormat, content.durationText);
    return content;
}

}  // namespace Lumenbox
