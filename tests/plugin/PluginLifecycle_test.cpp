// The plug-in's lifecycle driven in-process, where the restart schedule's clock is moved by hand.
#include "plugin/PluginLifecycle.h"

#include <future>

#include <gmock/gmock.h>
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
    ~PluginLifecycleTest() override { send(fmx::kMessageShutdown), setRestartClock(nullptr); }
    fmx::intptr send(fmx::uchar message) {
        call_.message = message, call_.parameter1 = fmx::kIdleUserIdle, call_.result = 0;
        return handleExternCall(&call_), call_.result;
    }

    PluginEnvironment environment_;
    FakeClock clock_;
    FMX_ExternCallStruct call_ = fmx::standin::makeExternCall();
    PortBlocker port_;
};

// Just before each delay the port is free and an idle message must not start the bridge; at the
// delay the port is taken again, so the attempt fails and schedules the next one, but the last.
TEST_F(PluginLifecycleTest, BridgeThatCouldNotStartIsRetriedAfter1_5_30_60And60Seconds) {
    ASSERT_TRUE(port_.bind());
    ASSERT_EQ(send(fmx::kMessageInit), fmx::kInterfaceVersion);
    const int delays[] = {1, 5, 30, 60, 60, 60};
    for (const int& delay : delays) {
        const bool last = &delay == std::end(delays) - 1;
        clock_.advance(std::chrono::seconds(delay) - 1ms);
        port_.release();
        send(fmx::kMessageIdle);
        EXPECT_FALSE(bridgeHealth()) << "started before " << delay << " s";
        if (!last) ASSERT_TRUE(port_.bind());
        clock_.advance(1ms);
        send(fmx::kMessageIdle);
        EXPECT_EQ(bridgeHealth().has_value(), last) << delay << " s";
    }
}

// Both release the calls waiting for a script and leave the port and function ids free.
TEST_F(PluginLifecycleTest, ShutdownOrASecondInitReleasesWaitingScriptCallsFirst) {
    for (const fmx::uchar message : {fmx::kMessageShutdown, fmx::kMessageInit}) {
        std::promise<void> started;
        fmx::standin::setScriptHandler([&](const fmx::standin::ScriptRequest&) { started.set_value(); });
        ASSERT_EQ(send(fmx::kMessageInit), fmx::kInterfaceVersion);
        auto call = std::async(std::launch::async, [bridge = activeScriptBridge()] { return bridge->callScript("Invoices", "Report", "{}"); });
        started.get_future().wait();
        send(message);
        EXPECT_THAT([&] { call.get(); }, ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq("Plugin shutting down")));
        const bool running = message == fmx::kMessageInit;
        EXPECT_EQ(std::tuple(bridgeHealth().has_value(), activeScriptBridge() != nullptr, fmx::standin::registrations().size()),
                  std::tuple(running, running, running ? 2u : 0u));
        send(fmx::kMessageShutdown);
    }
}

}  // namespace
}  // namespace Lumenbox::testing
