#pragma once

#include <chrono>

namespace Lumenbox {

// The source of monotonic time for idle expiry. Production code uses realMonotonicClock(); tests
// pass a clock they move by hand, so that nothing has to sleep to watch a session expire.
//
// Implementations must be safe to call from any thread.
class MonotonicClock {
public:
    virtual ~MonotonicClock() = default;
    virtual std::chrono::steady_clock::time_point now() const = 0;
};

// The platform's steady clock; unaffected by changes to the wall clock. Lives for the whole
// process.
const MonotonicClock& realMonotonicClock();

}  // namespace Lumenbox
