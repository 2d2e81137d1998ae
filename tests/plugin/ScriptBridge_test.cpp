#include "plugin/ScriptBridge.h"

#include <future>
#include <mutex>
#include <new>
#include <ranges>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "plugin/HostInterface.h"
#include "plugin/PluginHarness.h"

namespace Lumenbox::testing {
namespace {

using fmx::standin::HostCall;
using fmx::standin::ScriptRequest;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

// The host's side of script starts: records each one, answers it while the host starts it when
// `answer_` is set, and checks that every host object made for a start is released again.
class ScriptBridgeTest : public ::testing::Test {
protected:
    ScriptBridgeTest() {
        gFMX_ExternCallPtr = &call_;
        fmx::standin::setScriptHandler([this](const ScriptRequest& request) {
            if (answer_) bridge_->deliverResult(fetchIdOf(request), answer_);
            std::lock_guard lock(mutex_);
            starts_.push_back(request);
        });
    }
    ~ScriptBridgeTest() override {
        fmx::standin::setScriptHandler({});
        gFMX_ExternCallPtr = nullptr;
        EXPECT_EQ(fmx::standin::liveObjects(), objectsBefore_);
    }
    std::vector<ScriptRequest> waitForStarts(std::size_t count) {
        std::vector<ScriptRequest> seen;
        EXPECT_TRUE(eventually([&] { std::lock_guard lock(mutex_); return (seen = starts_).size() >= count; })) << count << " starts";
        return seen;
    }
    static std::string fetchIdOf(const ScriptRequest& request) { return nlohmann::json::parse(request.parameter)["callback"]["fetchId"]; }
    std::future<std::pair<std::string, std::string>> callAsync(const std::string& data) {
        return std::async(std::launch::async, [this, data] { return bridge_->callScript("Invoices", "Report", data); });
    }
    // After a call ended otherwise, its late delivery changes nothing and the next call gets its own.
    void expectLateDeliveryIgnored(const ScriptRequest& start) {
        bridge_->deliverResult(fetchIdOf(start), "late");
        answer_ = "next";
        EXPECT_EQ(bridge_->callScript("Invoices", "Fast", "null").second, "next");
        answer_ = nullptr;
    }

    PluginEnvironment environment_;
    FMX_ExternCallStruct call_ = fmx::standin::makeExternCall();
    std::size_t objectsBefore_ = fmx::standin::liveObjects();
    std::unique_ptr<ScriptBridge> bridge_ = std::make_unique<ScriptBridge>();
    const char* answer_ = nullptr;
    std::mutex mutex_;
    std::vector<ScriptRequest> starts_;  // Guarded by mutex_
};

TEST_F(ScriptBridgeTest, EachCallIsAnsweredByItsOwnDeliveryEvenWhileTheHostStartsTheScript) {
    auto first = callAsync("1"), second = callAsync("2");
    for (const auto& start : waitForStarts(2) | std::views::reverse) {  // the later one first
        bridge_->deliverResult(fetchIdOf(start), "result " + start.parameter.substr(start.parameter.size() - 2, 1));
    }
    EXPECT_EQ(std::pair(first.get().second, second.get().second), std::pair(std::string("result 1"), std::string("result 2")));
    answer_ = R"({"total":42})";
    const auto [fetchId, result] = bridge_->callScript("Invoices", "Monthly report", R"({"month":3})");
    const auto start = waitForStarts(3)[2];
    using Start = std::tuple<std::string, std::string, std::string, fmx::uchar, std::string>;
    EXPECT_EQ(Start(result, start.fileName, start.scriptName, start.control, start.parameter),
              Start(answer_, "Invoices", "Monthly report", fmx::kScriptControlResume, R"({"callback":{"fetchId":")" + fetchId + R"("},"data":{"month":3}})"));
    EXPECT_EQ(ScriptBridge::makeEnvelope("f-1", R"("ü \"x\"")"), R"({"callback":{"fetchId":"f-1"},"data":"ü \"x\""})");
}

// With a host that never answers, and with no host to start the script at all.
TEST_F(ScriptBridgeTest, CallWithoutAnAnswerTimesOutAndALateDeliveryChangesNothing) {
    for (const bool withHost : {true, false}) {
        gFMX_ExternCallPtr = withHost ? &call_ : nullptr;
        bridge_ = std::make_unique<ScriptBridge>(0ms);
        EXPECT_THAT([&] { bridge_->callScript("Invoices", "Slow", "null"); }, ThrowsMessage<std::runtime_error>(StrEq("Script call timed out after 0ms")));
    }
    EXPECT_EQ(waitForStarts(1).size(), 1u) << "a script started without the host";
    gFMX_ExternCallPtr = &call_;
    expectLateDeliveryIgnored(starts_[0]);
}

TEST_F(ScriptBridgeTest, WaitingCallIsFailedByRejectAllOrByTheBridgesEnd) {
    auto call = callAsync("{}");
    const auto start = waitForStarts(1).back();
    bridge_->rejectAll("Plugin shutting down");
    EXPECT_THAT([&] { call.get(); }, ThrowsMessage<std::runtime_error>(StrEq("Plugin shutting down")));
    expectLateDeliveryIgnored(start);
    call = callAsync("{}");
    waitForStarts(3);
    bridge_.reset();  // returns only after the caller was released
    EXPECT_THROW(call.get(), std::runtime_error);
}

// Host failures come out as the exceptions callers expect; texts of characters of one to four
// bytes and longer than any buffer survive the host, a UTF-8 error as the replacement character.
TEST_F(ScriptBridgeTest, HostFailuresSurfaceAsTheirExceptionsAndTextsSurviveTheHost) {
    fmx::standin::failCalls(HostCall::TextAssign, fmx::ErrorCode::kOutOfMemory);
    EXPECT_THROW(bridge_->callScript("Invoices", "Report", "{}"), std::bad_alloc);
    for (const auto& [call, expected] : {std::pair{HostCall::DataSetAsText, "FM_Data_SetAsText failed with host error 7"},
                                         std::pair{HostCall::TextAssign, "FM_Text_Assign failed with host error 7"}}) {
        fmx::standin::clearFaults(), fmx::standin::failCalls(call, 7);
        EXPECT_THAT([&] { call == HostCall::TextAssign ? void(makeText("x")) : void(bridge_->callScript("Invoices", "Report", "{}")); },
                    ThrowsMessage<HostCallError>(StrEq(expected)));
    }
    fmx::standin::clearFaults();
    EXPECT_TRUE(starts_.empty());
    for (const std::string text : {"", "Ärzte – Übersicht", "請求書", "😀🎉 x", "a\xFF" "b"}) {
        EXPECT_EQ(textToString(*makeText(text)), text.ends_with("b") ? "a\xEF\xBF\xBD" "b" : text);
    }
    EXPECT_EQ(textToString(*makeText(std::string(5000, 'a'))), std::string(5000, 'a'));
}

TEST_F(ScriptBridgeTest, TrackedFilesAreUniqueAndSortedByBytes) {
    for (const char* name : {"invoices", "Orders", "invoices", "Ärzte", "Contacts"}) bridge_->trackFile(name);
    for (const char* name : {"Orders", "never tracked", "Contacts"}) bridge_->untrackFile(name);
    EXPECT_EQ(bridge_->getTrackedFiles(), (std::vector<std::string>{"invoices", "Ärzte"}));
}

}  // namespace
}  // namespace Lumenbox::testing
