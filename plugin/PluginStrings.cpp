#include "plugin/PluginStrings.h"

#include <algorithm>

#include "base/Version.h"

namespace Lumenbox {

std::string pluginString(unsigned id) {
    switch (id) {
        case fmx::kStringName:
            return std::string(kPluginName);
        case fmx::kStringDescription:
            return "Lumenbox Plugin v" + std::string(kPluginVersion) + " - Local connection for Lumenbox MCP";
        case fmx::kStringOptions:
            return std::string(kPluginOptions);
        case fmx::kStringWebAddress:
            return std::string(kPluginWebAddress);
        default:
            return {};
    }
}

void writePluginString(unsigned id, fmx::uint32 capacity, fmx::unichar16* buffer) {
    if (capacity == 0 || !buffer) return;
    const std::string text = pluginString(id);
    const std::size_t length = std::min<std::size_t>(text.size(), capacity - 1);
    for (std::size_t i = 0; i < length; ++i) buffer[i] = static_cast<unsigned char>(text[i]);
    buffer[length] = 0;
}

}  // namespace Lumenbox
