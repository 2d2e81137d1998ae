#include "plugin/ScriptBridge.h"

#include <condition_variable>
#include <future>
#include <mutex>
#include <new>
#include <vector>

#include <gtest/gtest.h>

#include "plugin/HostInterface.h"
#include "plugin/PluginHarness.h"

namespace Lumenbox::testing {
namespace {

using fmx::standin::ScriptRequest;

// The host's side of script starts: records each one, lets a test wait for them, and checks that
// every host object made for a start is released again, whatever the outcome.
class ScriptBridgeTest : public ::testing::Test {
protected:
    ScriptBridgeTest() {
        gFMX_ExternCallPtr = &call_;
        fmx::standin::setScriptHandler([this](const ScriptRequest& request) {
            if (answer_) bridge_->deliverResult(fetchIdOf(request), answer_(request));
            std::lock_guard lock(mutex_);
            starts_.push_back(request);
            changed_.notify_all();
        });
    }
    ~ScriptBridgeTest() override {
        fmx::standin::setScriptHandler({});
        gFMX_ExternCallPtr = nullptr;
        EXPECT_EQ(fmx::standin::liveObjects(), objectsBefore_);
    }

    std::vector<ScriptRequest> waitForStarts(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return starts_.size() >= count; });
        return starts_;
    }
    static std::string fetchIdOf(const ScriptRequest& request) {
        return nlohmann::json::parse(request.parameter)["callback"]["fetchId"];
    }
    std::future<std::pair<std::string, std::string>> callAsync(const std::string& data) {
        return std::async(std::launch::async, [this, data] { return bridge_->callScript("Invoices", "Report", data); });
    }

    PluginEnvironment environment_;
    FMX_ExternCallStruct call_ = fmx::standin::makeExternCall();
    std::size_t objectsBefore_ = fmx::standin::liveObjects();
    std::unique_ptr<ScriptBridge> bridge_ = std::make_unique<ScriptBridge>();
    std::function<std::string(const ScriptRequest&)> answer_;  // answers a start while the host starts it
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ScriptRequest> starts_;  // Guarded by mutex_
};

// Each call gets its own delivery, also one made while the host is still starting the script.
TEST_F(ScriptBridgeTest, EachCallIsAnsweredByItsOwnDeliveryEvenWhileTheHostStartsTheScript) {
    auto first = callAsync("1");
    auto second = callAsync("2");
    const auto starts = waitForStarts(2);
    for (auto it = starts.rbegin(); it != starts.rend(); ++it) {  // the later one first
        bridge_->deliverResult(fetchIdOf(*it), "result " + nlohmann::json::parse(it->parameter)["data"].dump());
    }
    EXPECT_EQ(first.get().second, "result 1");
    EXPECT_EQ(second.get().second, "result 2");

    answer_ = [](const ScriptRequest&) { return "{\"total\":42}"; };
    const auto [fetchId, result] = bridge_->callScript("Invoices", "Monthly report", R"({"month":3})");
    EXPECT_EQ(result, "{\"total\":42}");
    const auto start = waitForStarts(3)[2];
    EXPECT_EQ(std::tie(start.fileName, start.scriptName, start.control),
              std::tie("Invoices", "Monthly report", fmx::kScriptControlResume));
    EXPECT_EQ(start.parameter, R"({"callback":{"fetchId":")" + fetchId + R"("},"data":{"month":3}})");
    // The parameter goes into the envelope verbatim, whatever it holds.
    EXPECT_EQ(ScriptBridge::makeEnvelope("f-1", R"("ü \"x\"")"), R"({"callback":{"fetchId":"f-1"},"data":"ü \"x\""})");
}

// Without an answer in time, and without a host to start the script at all, the call times out;
// a late delivery changes nothing, and the next call is answered by its own.
TEST_F(ScriptBridgeTest, CallWithoutAnAnswerTimesOutAndALateDeliveryChangesNothing) {
    for (const bool withHost : {true, false}) {
        gFMX_ExternCallPtr = withHost ? &call_ : nullptr;
        bridge_ = std::make_unique<ScriptBridge>(0ms);
        try {
            bridge_->callScript("Invoices", "Slow", "null");
            ADD_FAILURE() << "the call did not time out";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Script call timed out after 0ms");
        }
    }
    EXPECT_EQ(waitForStarts(1).size(), 1u) << "a script started without the host";
    bridge_->deliverResult(fetchIdOf(starts_[0]), "late");
    gFMX_ExternCallPtr = &call_;
    answer_ = [](const ScriptRequest&) { return "next"; };
    EXPECT_EQ(bridge_->callScript("Invoices", "Fast", "null").second, "next");
}

// rejectAll fails a waiting call with its reason and forgets it; destroying the bridge releases
// the caller before it returns.
TEST_F(ScriptBridgeTest, WaitingCallIsFailedByRejectAllOrByTheBridgesEnd) {
    for (const bool destroy : {false, true}) {
        const auto before = waitForStarts(0).size();
        auto call = callAsync("{}");
        const auto start = waitForStarts(before + 1).back();
        if (destroy) {
            bridge_.reset();
            EXPECT_THROW(call.get(), std::runtime_error);
            continue;
        }
        bridge_->rejectAll("Plugin shutting down");
        try {
            call.get();
            ADD_FAILURE() << "the call was not rejected";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Plugin shutting down");
        }
        bridge_->deliverResult(fetchIdOf(start), "late");
        answer_ = [](const ScriptRequest&) { return "ok"; };
        EXPECT_EQ(bridge_->callScript("Invoices", "Report", "{}").second, "ok");
        answer_ = nullptr;
    }
}

// Host failures come out as the exceptions the callers expect; the objects made are released.
TEST_F(ScriptBridgeTest, HostFailuresSurfaceAsTheirExceptionsAndTextsSurviveTheHost) {
    using fmx::standin::HostCall;
    fmx::standin::failCalls(HostCall::TextAssign, fmx::ErrorCode::kOutOfMemory);
    EXPECT_THROW(bridge_->callScript("Invoices", "Report", "{}"), std::bad_alloc);
    fmx::standin::clearFaults();
    for (const auto& [call, expected] : {std::pair{HostCall::DataSetAsText, "FM_Data_SetAsText failed with host error 7"},
                                         std::pair{HostCall::TextAssign, "FM_Text_Assign failed with host error 7"}}) {
        fmx::standin::failCalls(call, 7);
        try {
            call == HostCall::TextAssign ? void(makeText("x")) : void(bridge_->callScript("Invoices", "Report", "{}"));
            ADD_FAILURE() << "no exception";
        } catch (const HostCallError& error) {
            EXPECT_EQ(error.code(), 7);
            EXPECT_STREQ(error.what(), expected);
        }
        fmx::standin::clearFaults();
    }
    EXPECT_TRUE(starts_.empty());
    // Characters of one to four bytes, and a text longer than any buffer, come back unchanged; a
    // UTF-8 error as the replacement character, never as a cut text.
    for (const std::string& text : std::vector<std::string>{"", "Ärzte – Übersicht", "請求書", "😀🎉 x", std::string(5000, 'a')}) {
        EXPECT_EQ(textToString(*makeText(text)), text);
    }
    EXPECT_EQ(textToString(*makeText("a\xFF" "b")), "a\xEF\xBF\xBD" "b");
}

TEST_F(ScriptBridgeTest, TrackedFilesAreUniqueAndSortedByBytes) {
    for (const char* name : {"invoices", "Orders", "invoices", "Ärzte", "Contacts"}) bridge_->trackFile(name);
    for (const char* name : {"Orders", "never tracked", "Contacts"}) bridge_->untrackFile(name);
    EXPECT_EQ(bridge_->getTrackedFiles(), (std::vector<std::string>{"invoices", "Ärzte"}));
}

}  // namespace
}  // namespace Lumenbox::testing
