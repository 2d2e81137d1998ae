#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/transport/Loop.h"

namespace Lumenbox::transport {
namespace {

using namespace std::chrono_literals;

// The loop runs on the test thread: `run` returns once no timer or task is left, so a timer that
// stayed queued would show as a test that never ends.
TEST(LoopTimer, TimersFireInDeadlineOrderAndCancelledOrDestroyedOnesNever) {
    Loop loop;
    std::vector<std::string> fired;
    Timer late(loop), early(loop), middle(loop), cancelled(loop), restarted(loop);
    auto destroyed = std::make_unique<Timer>(loop);
    late.start(30ms, [&] { fired.push_back("late"); });
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
    EXPECT_EQ(fired, (std::vector<std::string>{"early", "restarted", "middle", "late"}));
}

TEST(LoopTimer, ALoopWhoseLastTimerIsCancelledRunsOutOfWork) {
    Loop loop;
    Timer hourLong(loop);
    hourLong.start(std::chrono::hours(1), [] {});
    loop.defer([&] { hourLong.cancel(); });
    loop.run();  // returns only because the queue's own wake-up went with the last timer
    SUCCEED();
}

TEST(LoopTimer, ATimerStartedFromACallbackDoesNotHoldBackOneAlreadyWaiting) {
    Loop loop;
    std::vector<std::string> fired;
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
    EXPECT_EQ(fired, (std::vector<std::string>{"first", "waiting", "afterWaiting", "startedLater"}));
}

TEST(LoopTimer, ATimerRestartingItselfWithoutDelayLetsOtherWorkRunAndAThrowingOneIsReported) {
    Loop loop;
    std::vector<std::string> reported;
    loop.onHandlerException([&](std::string_view what) { reported.emplace_back(what); });
    Timer spinning(loop), throwing(loop);
    bool otherWorkRan = false;
    int spins = 0;
    std::function<void()> spin = [&] {
        ++spins;
        if (spins == 1) loop.defer([&] { otherWorkRan = true; });
        if (!otherWorkRan) spinning.start(0ms, spin);
    };
    spinning.start(0ms, spin);
    throwing.start(1ms, [] { throw std::runtime_error("timer failed"); });
    loop.run();
    EXPECT_TRUE(otherWorkRan);
    EXPECT_EQ(reported, std::vector<std::string>{"timer failed"});
}

}  // namespace
}  // namespace Lumenbox::transport
