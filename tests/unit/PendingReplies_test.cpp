#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/transport/PendingReplies.h"

namespace Lumenbox::transport {
namespace {

using namespace std::chrono_literals;

// An entry that counts how often it is answered: a reply sent twice shows as 2.
struct Held {
    std::shared_ptr<int> answered = std::make_shared<int>(0);
    std::string target;
};

// The loop runs on the test thread and returns once no timer is left, so an entry whose time
// limit outlived its answer would show as a test that never ends.
TEST(PendingReplies, EachEntryIsAnsweredOnceByWhoeverTakesItFirst) {
    Loop loop;
    PendingReplies<std::string, Held> pending(loop);
    std::vector<std::string> timedOut;
    auto onTimeout = [&](const std::string& key, Held held) {
        ++*held.answered;
        timedOut.push_back(key);
    };
    Held answered, late, replaced, sentToA, sentToB;
    sentToA.target = "A";
    sentToB.target = "B";
    pending.add("answered", answered, 1h, onTimeout);
    pending.add("late", late, 1ms, onTimeout);
    pending.add("replaced", replaced, 1h, onTimeout);
    pending.add("replaced", Held{}, 2ms, onTimeout);  // the first one is dropped unanswered
    pending.add("a1", sentToA, 1h, onTimeout);
    pending.add("b1", sentToB, 1h, onTimeout);
    EXPECT_EQ(pending.size(), 5u);

    auto taken = pending.take("answered");
    ASSERT_TRUE(taken);
    ++*taken->answered;
    EXPECT_FALSE(pending.take("answered"));  // a second answer finds nothing

    auto ofA = pending.takeAll([](const std::string&, const Held& held) { return held.target == "A"; });
    ASSERT_EQ(ofA.size(), 1u);
    EXPECT_EQ(ofA[0].first, "a1");
    EXPECT_NE(pending.find("b1"), nullptr);
    pending.forget("b1");

    loop.run();  // the two short time limits pass
    EXPECT_EQ(timedOut, (std::vector<std::string>{"late", "replaced"}));
    EXPECT_EQ(*answered.answered, 1);
    EXPECT_EQ(*late.answered, 1);
    EXPECT_EQ(*replaced.answered, 0);
    EXPECT_EQ(*sentToB.answered, 0);
    EXPECT_EQ(pending.size(), 0u);
}

TEST(PendingReplies, ClearingDropsEveryEntryUnansweredAndItsTimeLimitWithIt) {
    Loop loop;
    PendingReplies<int, Held> pending(loop);
    Held held;
    int timeouts = 0;
    for (int key = 0; key < 3; ++key) pending.add(key, held, 1h, [&](const int&, Held) { ++timeouts; });
    pending.clear();
    loop.run();  // returns at once: no time limit is left
    EXPECT_EQ(pending.size(), 0u);
    EXPECT_EQ(timeouts, 0);
    EXPECT_EQ(held.answered.use_count(), 1);  // nothing holds the entries any more
}

}  // namespace
}  // namespace Lumenbox::transport
