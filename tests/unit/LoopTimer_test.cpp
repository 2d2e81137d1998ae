#include "server/transport/Loop.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace Lumenbox::transport {
namespace {

using namespace std::chrono_literals;
using Fired = std::vector<std::string>;

// The loop runs on the test thread and `run` returns once no timer or task is left, so a timer
// that stayed queued shows as a test that never ends. Only the order of firing is checked.
TEST(LoopTimer, TimersFireInDeadlineOrderAndCancelledDestroyedOrRestartedOnesNeverFireEarly) {
    Loop loop;
    Fired fired;
    Timer early(loop), restarted(loop), middle(loop), late(loop), afterLate(loop), cancelled(loop), later(loop), hour(loop);
    auto destroyed = std::make_unique<Timer>(loop);
    auto record = [&](const char* name) { return [&fired, name] { fired.push_back(name); }; };
    early.start(10ms, [&] {
        fired.push_back("early");
        destroyed.reset();  // gone before its deadline
        // Armed for this later deadline, the loop must still wake for the timers already waiting.
        later.start(300ms, [&] {
            fired.push_back("later");
            // Armed for alone, then cancelled: the wake-up must go too, or `run` waits an hour.
            hour.start(1h, record("hour"));
            loop.defer([&] { hour.cancel(); });
        });
    });
    middle.start(20ms, record("middle"));
    late.start(30ms, [&] { fired.push_back("late"), afterLate.start(1ms, record("afterLate")); });
    destroyed->start(25ms, record("destroyed"));
    cancelled.start(5ms, record("cancelled")), cancelled.cancel();
    restarted.start(1ms, record("restarted too early")), restarted.start(15ms, record("restarted"));
    loop.run();
    EXPECT_EQ(fired, (Fired{"early", "restarted", "middle", "late", "afterLate", "later"}));
}

TEST(LoopTimer, ATimerRestartingItselfWithoutDelayLetsOtherWorkRunAndAThrowingOneIsReported) {
    Loop loop;
    Fired reported;
    loop.onHandlerException([&](std::string_view what) { reported.emplace_back(what); });
    Timer spinning(loop), throwing(loop);
    bool otherWorkRan = false;
    int spins = 0;
    std::function<void()> spin = [&] {
        if (++spins == 1) loop.defer([&] { otherWorkRan = true; });
        if (!otherWorkRan) spinning.start(0ms, spin);
    };
    spinning.start(0ms, spin), throwing.start(1ms, [] { throw std::runtime_error("timer failed"); });
    loop.run();
    EXPECT_TRUE(otherWorkRan && reported == Fired{"timer failed"});
}

}  // namespace
}  // namespace Lumenbox::transport
