#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

namespace Lumenbox {

// The host's idle state as last seen by the plug-in's idle handler (written on the host's main
// thread, read by "/health" on the server thread).
// -1 until the first idle message, then the host's idle level 0 to 4.
extern std::atomic<std::int32_t> g_fileMakerIdleLevel;
// Milliseconds since 1970-01-01 UTC of the last idle message; 0 before the first.
extern std::atomic<std::int64_t> g_fileMakerIdleObservedAtUnixMs;

// "user_idle", "user_not_idle", "script_paused", "script_running", "unsafe", else "unknown".
std::string_view idleStateName(std::int32_t level);

}  // namespace Lumenbox
