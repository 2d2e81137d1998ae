#include "base/MonotonicClock.h"

namespace Lumenbox {

namespace {

class SteadyClock final : public MonotonicClock {
public:
    std::chrono::steady_clock::time_point now() const override { return std::chrono::steady_clock::now(); }
};

}  // namespace

const MonotonicClock& realMonotonicClock() {
    static const SteadyClock clock;
    return clock;
}

}  // namespace Lumenbox
