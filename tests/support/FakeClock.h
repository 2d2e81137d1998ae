#pragma once

#include <atomic>
#include <cstdint>

#include "base/MonotonicClock.h"

namespace Lumenbox::testing {

// A monotonic clock that moves only when a test advances it. Starts well away from the zero time
// point so that a default-constructed time point is never mistaken for "now". Thread-safe.
class FakeClock final : public MonotonicClock {
public:
    std::chrono::steady_clock::time_point now() const override {
        return std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::nanoseconds(nanos_.load())));
    }

    void advance(std::chrono::nanoseconds by) { nanos_ += by.count(); }

private:
    std::atomic<std::int64_t> nanos_{std::chrono::nanoseconds(std::chrono::hours(24)).count()};
};

}  // namespace Lumenbox::testing
