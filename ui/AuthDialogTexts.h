#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/Text.h"

namespace Lumenbox {

// The words of the authorization dialog, shared by the native panel and the stand-in that shows
// them on a terminal. "%@" in a format is replaced by the duration text. Constants and pure
// functions: safe from any thread.
namespace authDialogText {
inline constexpr std::string_view kWindowTitle = "Lumenbox Authorization";
inline constexpr std::string_view kWindowAccessibilityLabel = "Lumenbox authorization dialog";
inline constexpr std::string_view kCautionAccessibilityLabel = "Warning";
inline constexpr std::string_view kHeading = "Allow file access?";
inline constexpr std::string_view kBodyFormat =
    "Approving will allow this service to access this FileMaker file, read data from it, and run any script "
    "within it until the authorization expires or is revoked.\n\nThis authorization remains valid until the "
    "service is idle for %@.";
inline constexpr std::string_view kBodyAccessibilityFormat =
    "Warning. This will allow the service to access this FileMaker file, read data from it, and run any script "
    "within it. This authorization remains valid until the service is idle for %@.";
// Both the caption above the file name and the file icon's accessibility label.
inline constexpr std::string_view kFileCaption = "FileMaker file";
inline constexpr std::string_view kFileType = "fmp12";
inline constexpr std::string_view kSessionRow = "Session";
inline constexpr std::string_view kServiceRow = "Service";
inline constexpr std::string_view kDescriptionRow = "Description";
inline constexpr std::string_view kNotProvided = "Not provided";
inline constexpr std::string_view kDisclosureTitle = "Technical details";
inline constexpr std::string_view kHideDetailsAccessibilityLabel = "Hide technical details";
inline constexpr std::string_view kShowDetailsAccessibilityLabel = "Show technical details";
inline constexpr std::string_view kDenyTitle = "Deny";
inline constexpr std::string_view kDenyAccessibilityLabel = "Deny file access";
inline constexpr std::string_view kAllowTitle = "Allow File Access";
inline constexpr std::string_view kAllowAccessibilityLabel = "Allow file access";
}  // namespace authDialogText

// How long an approval lasts without use, as the dialog says it: whole hours when the time is a
// multiple of an hour, else whole minutes when a multiple of a minute, else seconds, with the unit
// in the singular for exactly one. 7200 gives "2 hours", 120 "2 minutes", 61 "61 seconds",
// 3600 "1 hour", 1 "1 second".
std::string formatIdleDuration(std::int64_t seconds);

// Every occurrence of "%@" in `format` replaced by `value`.
std::string fillFormat(std::string_view format, std::string_view value);

// The value shown in a row of the dialog: the value, or "Not provided" when it is empty.
std::string rowValue(std::string_view value);

// What one dialog shows, worked out from the question. Strings that are not valid UTF-8 cannot be
// shown by the window system and are treated as empty, as the native panel would.
struct AuthDialogContent {
    std::string fileName;
    std::string clientName;         // "lumenbox-mcp" when the client named none
    std::string clientDescription;
    // The three above and the prefix may be empty; rowValue() gives what their rows show.
    std::string sessionIdPrefix;
    std::string durationText;
    std::string body;
    std::string bodyAccessibilityLabel;
};

AuthDialogContent makeAuthDialogContent(const std::string& fileName, const std::string& clientName,
                                        const std::string& clientDescription, const std::string& sessionIdPrefix,
                                        std::int64_t idleTimeoutSeconds);

}  // namespace Lumenbox
