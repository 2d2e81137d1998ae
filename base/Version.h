#pragma once

#include <string_view>

namespace Lumenbox {

// Constants only: safe from any thread.

// The product's version, the one place it is written: CMakeLists.txt reads it from this line for
// the project and the bundle. Reported to the host, by "/health" and in the served pages.
inline constexpr std::string_view kPluginVersion = "3.2.0";

// The bridge's port on 127.0.0.1. Fixed: the files' web viewer pages and the agents' settings
// name it, so nothing changes it.
inline constexpr int kBridgePort = 1365;

}  // namespace Lumenbox
