#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace Lumenbox {

// The words of the preferences window, shared by the native window and its stand-in. Constants
// and pure functions: safe from any thread.
namespace preferencesText {
inline constexpr std::string_view kWindowTitle = "Lumenbox Preferences";
inline constexpr std::string_view kCheckboxTitle = "Enable Enhanced Security";
inline constexpr std::string_view kExplanation =
    "Enhanced Security requires a one-time temporary authorization for each new connection to a FileMaker file. "
    "Approved connections can access the file, read data from the file, and run scripts until the authorization "
    "expires or is revoked.";
inline constexpr std::string_view kCloseTitle = "Close";
}  // namespace preferencesText

// "v" and the plug-in's version, shown under the logo.
std::string preferencesVersionText();

// A logo image in the plug-in's resources.
struct LogoResource {
    std::string_view name;
    std::string_view type;
    bool operator==(const LogoResource&) const = default;
};

// The logo for the window's appearance: the vector logo drawn for it ("lumenbox-horiz-dark" or
// "lumenbox-horiz-light", type "svg"), else the bitmap "lumenbox-horiz" of type "png". `usable`
// tells whether a resource exists and can be loaded; nullopt when none can, and the window then
// shows no logo.
std::optional<LogoResource> choosePreferencesLogo(bool darkAppearance,
                                                  const std::function<bool(const LogoResource&)>& usable);

}  // namespace Lumenbox
