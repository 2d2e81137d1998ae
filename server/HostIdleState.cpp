#include "server/HostIdleState.h"

namespace Lumenbox {

std::atomic<std::int32_t> g_fileMakerIdleLevel{-1};
std::atomic<std::int64_t> g_fileMakerIdleObservedAtUnixMs{0};

std::string_view idleStateName(std::int32_t level) {
    switch (level) {
        case 0: return "user_idle";
        case 1: return "user_not_idle";
        case 2: return "script_paused";
        case 3: return "script_running";
        case 4: return "unsafe";
        default: return "unknown";
    }
}

}  // namespace Lumenbox
