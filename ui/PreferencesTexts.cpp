#include "ui/PreferencesTexts.h"

#include "base/Version.h"

namespace Lumenbox {

std::string preferencesVersionText() {
    return "v" + std::string(kPluginVersion);
}

std::optional<LogoResource> choosePreferencesLogo(bool darkAppearance,
                                                  const std::function<bool(const LogoResource&)>& usable) {
    const LogoResource candidates[] = {
        {darkAppearance ? "lumenbox-horiz-dark" : "lumenbox-horiz-light", "svg"},
        {"lumenbox-horiz", "png"},
    };
    for (const auto& candidate : candidates) {
        if (usable(candidate)) return candidate;
    }
    return std::nullopt;
}

}  // namespace Lumenbox
