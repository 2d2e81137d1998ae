#include "plugin/ScriptBridge.h"

#include <condition_variable>
#include <future>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "fmx/StandInHost.h"
#include "plugin/HostInterface.h"
#include "plugin/PluginHarness.h"

namespace Lumenbox::testing {
namespace {

using namespace std::chrono_literals;

// The host side of script starts: records each request and lets a test wait for them.
class ScriptBridgeTest : public ::testing::Test {
protected:
    ScriptBridgeTest() : call_(fmx::standin::makeExternCall()) {
        gFMX_ExternCallPtr = &call_;
        objectsBefore_ = fmx::standin::liveObjects();
        fmx::standin::setScriptHandler([this](const fmx::standin::ScriptRequest& request) {
            if (onStart_) onStart_(request);
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            changed_.notify_all();
        });
    }

    ~ScriptBridgeTest() override {
        fmx::standin::setScriptHandler({});
        gFMX_ExternCallPtr = nullptr;
        // Every host object made for a script start is released again, whatever the outcome.
        EXPECT_EQ(fmx::standin::liveObjects(), objectsBefore_);
    }

    // Blocks until `count` scripts have been started; returns them.
    std::vector<fmx::standin::ScriptRequest> waitForStarts(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return requests_.size() >= count; });
        return requests_;
    }

    static std::string fetchIdOf(const fmx::standin::ScriptRequest& request) {
        return nlohmann::json::parse(request.parameter)["callback"]["fetchId"];
    }

    PluginEnvironment environment_;
    FMX_ExternCallStruct call_;
    std::size_t objectsBefore_ = 0;
    std::function<void(const fmx::standin::ScriptRequest&)> onStart_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<fmx::standin::ScriptRequest> requests_;  // Guarded by mutex_
};

TEST_F(ScriptBridgeTest, ResultDeliveredWhileTheHostIsStillStartingTheScriptIsReturned) {
    ScriptBridge bridge;
    onStart_ = [&](const fmx::standin::ScriptRequest& request) {
        bridge.deliverResult(fetchIdOf(request), "{\"total\":42}");
    };

    const auto [fetchId, result] = bridge.callScript("Invoices", "Monthly report", R"({"month":3})");

    EXPECT_EQ(result, "{\"total\":42}");
    const auto starts = waitForStarts(1);
    EXPECT_EQ(starts[0].fileName, "Invoices");
    EXPECT_EQ(starts[0].scriptName, "Monthly report");
    EXPECT_EQ(starts[0].control, fmx::kScriptControlResume);
    EXPECT_EQ(starts[0].parameter, R"({"callback":{"fetchId":")" + fetchId + R"("},"data":{"month":3}})");
}

TEST_F(ScriptBridgeTest, EnvelopeInsertsTheParameterVerbatim) {
    EXPECT_EQ(ScriptBridge::makeEnvelope("f-1", "{}"), R"({"callback":{"fetchId":"f-1"},"data":{}})");
    EXPECT_EQ(ScriptBridge::makeEnvelope("f-1", ""), R"({"callback":{"fetchId":"f-1"},"data":})");
    EXPECT_EQ(ScriptBridge::makeEnvelope("f-1", R"("ü \"x\"")"), R"({"callback":{"fetchId":"f-1"},"data":"ü \"x\""})");
}

TEST_F(ScriptBridgeTest, CallWithoutAnAnswerTimesOutAndALateDeliveryChangesNothing) {
    ScriptBridge bridge(0ms);
    try {
        bridge.callScript("Invoices", "Slow", "null");
        FAIL() << "the call did not time out";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Script call timed out after 0ms");
    }
    bridge.deliverResult(fetchIdOf(waitForStarts(1)[0]), "late");

    // The bridge goes on working: the next call is answered by its own delivery.
    onStart_ = [&](const fmx::standin::ScriptRequest& request) { bridge.deliverResult(fetchIdOf(request), "next"); };
    EXPECT_EQ(bridge.callScript("Invoices", "Fast", "null").second, "next");
}

TEST_F(ScriptBridgeTest, WithoutTheHostsRecordNoScriptStartsAndTheCallTimesOut) {
    gFMX_ExternCallPtr = nullptr;
    ScriptBridge bridge(0ms);
    EXPECT_THROW(bridge.callScript("Invoices", "Any", "null"), std::runtime_error);
    std::lock_guard lock(mutex_);
    EXPECT_TRUE(requests_.empty());
}

TEST_F(ScriptBridgeTest, RejectAllFailsAWaitingCallWithTheReason) {
    ScriptBridge bridge;
    auto call = std::async(std::launch::async, [&] { return bridge.callScript("Invoices", "Report", "{}"); });
    waitForStarts(1);

    bridge.rejectAll("Plugin shutting down");

    try {
        call.get();
        FAIL() << "the call was not rejected";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Plugin shutting down");
    }
    // Rejected calls are gone: their delivery does nothing, and the bridge takes new calls.
    bridge.deliverResult(fetchIdOf(waitForStarts(1)[0]), "late");
    bridge.rejectAll("nothing pending");
    onStart_ = [&](const fmx::standin::ScriptRequest& request) { bridge.deliverResult(fetchIdOf(request), "ok"); };
    EXPECT_EQ(bridge.callScript("Invoices", "Report", "{}").second, "ok");
}

TEST_F(ScriptBridgeTest, ConcurrentCallsAreCompletedEachByItsOwnDelivery) {
    ScriptBridge bridge;
    auto first = std::async(std::launch::async, [&] { return bridge.callScript("Invoices", "Report", "1"); });
    auto second = std::async(std::launch::async, [&] { return bridge.callScript("Invoices", "Report", "2"); });
    const auto starts = waitForStarts(2);
    ASSERT_NE(fetchIdOf(starts[0]), fetchIdOf(starts[1]));

    // Answer each start with its own data, the later one first.
    for (auto it = starts.rbegin(); it != starts.rend(); ++it) {
        const auto data = nlohmann::json::parse(it->parameter)["data"].dump();
        bridge.deliverResult(fetchIdOf(*it), "result " + data);
    }

    const auto [firstId, firstResult] = first.get();
    const auto [secondId, secondResult] = second.get();
    EXPECT_EQ(firstResult, "result 1");
    EXPECT_EQ(secondResult, "result 2");
    EXPECT_NE(firstId, secondId);
}

TEST_F(ScriptBridgeTest, HostFailuresWhileStartingSurfaceAsTheirExceptions) {
    ScriptBridge bridge;
    fmx::standin::failCalls(fmx::standin::HostCall::TextAssign, fmx::ErrorCode::kOutOfMemory);
    EXPECT_THROW(bridge.callScript("Invoices", "Report", "{}"), std::bad_alloc);

    fmx::standin::clearFaults();
    fmx::standin::failCalls(fmx::standin::HostCall::DataSetAsText, fmx::ErrorCode::kUnknown);
    try {
        bridge.callScript("Invoices", "Report", "{}");
        FAIL() << "the host failure was not raised";
    } catch (const HostCallError& error) {
        EXPECT_EQ(error.code(), fmx::ErrorCode::kUnknown);
        EXPECT_STREQ(error.what(), "FM_Data_SetAsText failed with host error 2");
    }
    std::lock_guard lock(mutex_);
    EXPECT_TRUE(requests_.empty());
}

TEST_F(ScriptBridgeTest, DestroyingTheBridgeReleasesAWaitingCallerFirst) {
    auto bridge = std::make_unique<ScriptBridge>();
    auto call = std::async(std::launch::async, [&] { return bridge->callScript("Invoices", "Report", "{}"); });
    waitForStarts(1);

    bridge.reset();  // returns only once the caller has left the bridge

    EXPECT_THROW(call.get(), std::runtime_error);
}

TEST_F(ScriptBridgeTest, TrackedFilesAreUniqueAndSortedByBytes) {
    ScriptBridge bridge;
    for (const char* name : {"invoices", "Orders", "invoices", "Ärzte", "Contacts"}) bridge.trackFile(name);
    bridge.untrackFile("Orders");
    bridge.untrackFile("never tracked");
    EXPECT_EQ(bridge.getTrackedFiles(), (std::vector<std::string>{"Contacts", "invoices", "Ärzte"}));

    bridge.trackFile("Contacts");
    bridge.untrackFile("Contacts");
    EXPECT_EQ(bridge.getTrackedFiles(), (std::vector<std::string>{"invoices", "Ärzte"}));
}

}  // namespace
}  // namespace Lumenbox::testing
