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
    Timer late(loop), early(loop), middle(loop), cancelled(loop), restarted(loop), hourLong(loop);
    auto destroyed = std::make_unique<Timer>(loop);
    late.start(30ms, [&] {
        fired.push_back("late");
        // Armed for alone, then cancelled: the queue's wake-up must go too, or `run` waits an hour.
        hourLong.start(1h, [&] { fired.push_back("hourLong"); });
        loop.defer([&] { hourLong.cancel(); });
    });
    middle.start(20ms, [&] { fired.push_back("middle"); });
    early.start(10ms, [&] {
        fired.push_back("early");
        destroyed.reset();  // gone before its deadline
    });
    destroyed->start(25ms, [&] { fired.push_back("destroyed"); });
    cancelled.start(5ms, [&] { fired.push_back("cancelled"); });
    cancelled.cancel();
    restarted.start(1ms, [&] { fired.push_back("restarted too early"); });
    restarted.start(15ms, [&] { fired.push_back("restarted"); });
    loop.run();
    EXPECT_EQ(fired, (Fired{"early", "restarted", "middle", "late"}));
}

TEST(LoopTimer, ATimerStartedFromACallbackDoesNotHoldBackOneAlreadyWaiting) {
    Loop loop;
    Fired fired;
    Timer first(loop), waiting(loop), startedLater(loop), afterWaiting(loop);
    first.start(1ms, [&] {
        fired.push_back("first");
        startedLater.start(300ms, [&] { fired.push_back("startedLater"); });
    });
    // Were "waiting" held back until "startedLater" is due, the timer it starts would come last.
    waiting.start(40ms, [&] {
        fired.push_back("waiting");
        afterWaiting.start(1ms, [&] { fired.push_back("afterWaiting"); });
    });
    loop.run();
    EXPECT_EQ(fired, (Fired{"first", "waiting", "afterWaiting", "startedLater"}));
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
    spinning.start(0ms, spin);
    throwing.start(1ms, [] { throw std::runtime_error("timer failed"); });
    loop.run();
    EXPECT_TRUE(otherWorkRan);
    EXPECT_EQ(reported, Fired{"timer failed"});
}

}  // namespace
}  // namespace Lumenbox::transport
