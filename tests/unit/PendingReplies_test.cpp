// Each loop runs on the test thread and `run` returns once no timer or task is left, so a timer that
// stayed queued (an entry's time limit outliving its answer) shows as a test that never ends.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/transport/Loop.h"
#include "server/transport/PendingReplies.h"

namespace Lumenbox::transport {
namespace {

using namespace std::chrono_literals;

// An entry that counts how often it is answered: a reply sent twice shows as 2.
struct Held { std::shared_ptr<int> answered = std::make_shared<int>(0); std::string target; };

TEST(PendingReplies, EachEntryIsAnsweredOnceByWhoeverTakesItFirst) {
    Loop loop;
    PendingReplies<std::string, Held> pending(loop);
    std::vector<std::string> timedOut;
    auto onTimeout = [&](const std::string& key, Held held) { ++*held.answered, timedOut.push_back(key); };
    Held answered, late, replaced, sentToA{.target = "A"}, sentToB{.target = "B"};
    // The second "replaced" drops the first unanswered.
    using Add = std::tuple<const char*, Held, std::chrono::milliseconds>;
    for (const auto& [key, held, limit] : std::initializer_list<Add>{
             {"answered", answered, 1h}, {"late", late, 1ms}, {"replaced", replaced, 1h}, {"replaced", {}, 2ms},
             {"a1", sentToA, 1h}, {"b1", sentToB, 1h}})
        pending.add(key, held, limit, onTimeout);
    EXPECT_EQ(pending.size(), 5u);

    ++*pending.take("answered").value().answered;
    EXPECT_FALSE(pending.take("answered"));  // a second answer finds nothing

    auto ofA = pending.takeAll([](const std::string&, const Held& held) { return held.target == "A"; });
    ASSERT_EQ(ofA.size(), 1u);
    EXPECT_TRUE(ofA[0].first == "a1" && pending.find("b1"));
    pending.forget("b1");

    loop.run();  // the two short time limits pass
    EXPECT_EQ(timedOut, (std::vector<std::string>{"late", "replaced"}));
    EXPECT_EQ(std::tuple(*answered.answered, *late.answered, *replaced.answered, *sentToB.answered, pending.size()),
              std::tuple(1, 1, 0, 0, 0u));
}

TEST(PendingReplies, ClearingDropsEveryEntryUnansweredAndItsTimeLimitWithIt) {
    Loop loop;
    PendingReplies<int, Held> pending(loop);
    Held held;
    int timeouts = 0;
    for (int key = 0; key < 3; ++key) pending.add(key, held, 1h, [&](const int&, Held) { ++timeouts; });
    pending.clear();
    loop.run();  // returns at once: no time limit is left, and nothing holds the entries any more
    EXPECT_EQ(std::tuple(pending.size(), timeouts, held.answered.use_count()), std::tuple(0u, 0, 1));
}

using Fired = std::vector<std::string>;

// Only the order of firing is checked.
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
