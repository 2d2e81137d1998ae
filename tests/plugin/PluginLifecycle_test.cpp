// The plug-in's lifecycle driven in-process, where the restart schedule's clock can be moved by
// hand. LoadedPlugin_test.cpp drives the built library the way the host does.
#include "plugin/PluginLifecycle.h"

#include <future>

#include <gtest/gtest.h>

#include "fmx/StandInHost.h"
#include "plugin/PluginHarness.h"
#include "plugin/ScriptBridge.h"
#include "support/FakeClock.h"

namespace Lumenbox::testing {
namespace {

using namespace std::chrono_literals;

class PluginLifecycleTest : public ::testing::Test {
protected:
    PluginLifecycleTest() { setRestartClock(&clock_); }
    ~PluginLifecycleTest() override {
        host_.shutdown();
        setRestartClock(nullptr);
    }

    PluginEnvironment environment_;
    FakeClock clock_;
    InProcessHost host_;
    PortBlocker port_;
};

TEST_F(PluginLifecycleTest, BridgeThatCouldNotStartIsRetriedAfter1_5_30_60And60Seconds) {
    ASSERT_TRUE(port_.bind());
    ASSERT_EQ(host_.init(), fmx::kInterfaceVersion);
    ASSERT_FALSE(bridgeHealth());

    // For each delay: just before it the port is free, and an idle message must not start the
    // bridge; at the delay the port is taken again and the attempt made then fails, which
    // schedules the next one.
    for (const int delay : {1, 5, 30, 60, 60}) {
        SCOPED_TRACE("delay " + std::to_string(delay) + " s");
        clock_.advance(std::chrono::seconds(delay) - 1ms);
        port_.release();
        host_.idle();
        EXPECT_FALSE(bridgeHealth()) << "started before its time";
        ASSERT_TRUE(port_.bind()) << "started before its time";
        clock_.advance(1ms);
        host_.idle();
    }

    port_.release();
    clock_.advance(60s - 1ms);
    host_.idle();
    EXPECT_FALSE(bridgeHealth());
    clock_.advance(1ms);
    host_.idle();
    EXPECT_TRUE(bridgeHealth());
}

TEST_F(PluginLifecycleTest, ShutdownStopsTheBridgeAndFailsWaitingScriptCalls) {
    std::promise<void> started;
    fmx::standin::setScriptHandler([&](const fmx::standin::ScriptRequest&) { started.set_value(); });
    ASSERT_EQ(host_.init(), fmx::kInterfaceVersion);
    ScriptBridge* bridge = activeScriptBridge();
    ASSERT_NE(bridge, nullptr);
    auto call = std::async(std::launch::async, [bridge] { return bridge->callScript("Invoices", "Report", "{}"); });
    started.get_future().wait();

    host_.shutdown();

    try {
        call.get();
        FAIL() << "the waiting call was not failed";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Plugin shutting down");
    }
    EXPECT_FALSE(bridgeHealth());
    EXPECT_EQ(activeScriptBridge(), nullptr);
    EXPECT_TRUE(fmx::standin::registrations().empty());
}

TEST_F(PluginLifecycleTest, SecondInitWithoutShutdownReplacesEverythingCleanly) {
    std::promise<void> started;
    fmx::standin::setScriptHandler([&](const fmx::standin::ScriptRequest&) { started.set_value(); });
    ASSERT_EQ(host_.init(), fmx::kInterfaceVersion);
    ScriptBridge* first = activeScriptBridge();
    auto call = std::async(std::launch::async, [first] { return first->callScript("Invoices", "Report", "{}"); });
    started.get_future().wait();

    ASSERT_EQ(host_.init(), fmx::kInterfaceVersion);

    // The earlier objects were shut down first: their callers released, the port and the
    // function id free for the new ones.
    EXPECT_THROW(call.get(), std::runtime_error);
    EXPECT_TRUE(bridgeHealth());
    EXPECT_EQ(fmx::standin::registrations().size(), 2u);
    host_.shutdown();
    EXPECT_TRUE(fmx::standin::registrations().empty());
}

}  // namespace
}  // namespace Lumenbox::testing
