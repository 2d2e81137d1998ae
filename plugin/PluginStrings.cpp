#include "plugin/PluginStrings.h"

#include <algorithm>

#include "base/Version.h"

namespace Lumenbox {

std::string pluginString(unsigned id) {
    switch (id) {
        case kFMXT_NameStr:
            return std::string(kPluginName);
        case kFMXT_AppConfigStr:
            return "Lumenbox Plugin v" + std::string(kPluginVersion) + " - Local connection for Lumenbox MCP";
        case kFMXT_OptionsStr:
            return std::string(kPluginOptions);
        case kFMXT_HelpURLStr:
            return std::string(kPluginWebAddress);
        default:
            return {};
    }
}

void writePluginString(unsigned id, std::uint64_t capacity, fmx::unichar16* buffer) {
    if (capacity == 0 || !buffer) return;
    const std::string text = pluginString(id);
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(text.size(), capacity - 1));
    for (std::size_t i = 0; i < length; ++i) buffer[i] = static_cast<unsigned char>(text[i]);
    buffer[length] = 0;
}

}  // namespace Lumenbox
