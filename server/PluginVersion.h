#pragma once

#include <string_view>

namespace Lumenbox {

// Reported to the host, by "/health" and in the served pages.
inline constexpr std::string_view kPluginVersion = "3.2.0";

}  // namespace Lumenbox
