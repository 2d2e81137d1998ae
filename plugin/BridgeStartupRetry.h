#pragma once

#include <array>
#include <chrono>

namespace Lumenbox {

// Host's main thread only (the plug-in's Idle handler owns the schedule).
// When the plug-in next tries to start a bridge server that is down: 1 s after the first failure,
// then 5 s, 30 s, and every 60 s from then on. Counted on the monotonic clock.
struct BridgeStartupRetry {
    using TimePoint = std::chrono::steady_clock::time_point;
    static constexpr std::array<int, 4> kDelaysSeconds{1, 5, 30, 60};

    unsigned attempts = 0;  // at most kDelaysSeconds.size()
    bool scheduled = false;
    TimePoint nextAttemptAt{};

    void reset() { *this = BridgeStartupRetry{}; }

    // Schedules the next attempt one delay after `now`, each delay longer than the last until the
    // longest.
    void schedule(TimePoint now) {
        const unsigned step = attempts < kDelaysSeconds.size() ? attempts : kDelaysSeconds.size() - 1;
        nextAttemptAt = now + std::chrono::seconds(kDelaysSeconds[step]);
        scheduled = true;
        if (attempts < kDelaysSeconds.size()) ++attempts;
    }

    bool isDue(TimePoint now) const { return scheduled && now >= nextAttemptAt; }
};

}  // namespace Lumenbox
