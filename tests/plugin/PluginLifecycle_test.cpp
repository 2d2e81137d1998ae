// The plug-in's lifecycle driven in-process, where the restart schedule's clock is moved by hand.
#include "plugin/PluginLifecycle.h"

#include <future>

#include <gtest/gtest.h>

#include "plugin/PluginHarness.h"
#include "plugin/ScriptBridge.h"
#include "support/FakeClock.h"

namespace Lumenbox::testing {
namespace {

// Drives the plug-in's code linked into the test, through the function its entry point calls.
class PluginLifecycleTest : public ::testing::Test {
protected:
    PluginLifecycleTest() { setRestartClock(&clock_); }
    ~PluginLifecycleTest() override {
        send(fmx::kMessageShutdown);
        setRestartClock(nullptr);
    }
    fmx::intptr send(fmx::uchar message) {
        call_.message = message;
        call_.parameter1 = fmx::kIdleUserIdle;
        call_.result = 0;
        handleExternCall(&call_);
        return call_.result;
    }

    PluginEnvironment environment_;
    FakeClock clock_;
    FMX_ExternCallStruct call_ = fmx::standin::makeExternCall();
    PortBlocker port_;
};

TEST_F(PluginLifecycleTest, BridgeThatCouldNotStartIsRetriedAfter1_5_30_60And60Seconds) {
    ASSERT_TRUE(port_.bind());
    ASSERT_EQ(send(fmx::kMessageInit), fmx::kInterfaceVersion);
    // Just before each delay the port is free and an idle message must not start the bridge; at
    // the delay the port is taken again, so the attempt fails and schedules the next one, but for
    // the last delay, where the bridge starts.
    const int delays[] = {1, 5, 30, 60, 60, 60};
    for (const int& delay : delays) {
        SCOPED_TRACE("delay " + std::to_string(delay) + " s");
        const bool last = &delay == std::end(delays) - 1;
        clock_.advance(std::chrono::seconds(delay) - 1ms);
        port_.release();
        send(fmx::kMessageIdle);
        EXPECT_FALSE(bridgeHealth()) << "started before its time";
        if (!last) {
            ASSERT_TRUE(port_.bind());
        }
        clock_.advance(1ms);
        send(fmx::kMessageIdle);
        EXPECT_EQ(bridgeHealth().has_value(), last);
    }
}

// Shutdown, and an Init without one before it, release the calls waiting for a script and leave
// the port and the function ids free for what comes next.
TEST_F(PluginLifecycleTest, ShutdownOrASecondInitReleasesWaitingScriptCallsFirst) {
    for (const fmx::uchar message : {fmx::kMessageShutdown, fmx::kMessageInit}) {
        SCOPED_TRACE(int(message));
        std::promise<void> started;
        fmx::standin::setScriptHandler([&](const fmx::standin::ScriptRequest&) { started.set_value(); });
        ASSERT_EQ(send(fmx::kMessageInit), fmx::kInterfaceVersion);
        ScriptBridge* bridge = activeScriptBridge();
        auto call = std::async(std::launch::async, [bridge] { return bridge->callScript("Invoices", "Report", "{}"); });
        started.get_future().wait();

        send(message);

        try {
            call.get();
            ADD_FAILURE() << "the waiting call was not failed";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Plugin shutting down");
        }
        const bool running = message == fmx::kMessageInit;
        EXPECT_EQ(bridgeHealth().has_value(), running);
        EXPECT_EQ(activeScriptBridge() != nullptr, running);
        EXPECT_EQ(fmx::standin::registrations().size(), running ? 2u : 0u);
        send(fmx::kMessageShutdown);
    }
}

}  // namespace
}  // namespace Lumenbox::testing
