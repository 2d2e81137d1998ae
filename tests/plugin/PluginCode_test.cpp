// The plug-in's code linked into the test and driven in-process: its calculation functions, the
// script bridge and the lifecycle, where the restart schedule's clock is moved by hand.
#include <atomic>
#include <future>
#include <mutex>
#include <new>
#include <ranges>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "auth/SessionStore.h"
#include "plugin/CustomFunction.h"
#include "plugin/HostInterface.h"
#include "plugin/PluginHarness.h"
#include "plugin/PluginLifecycle.h"
#include "plugin/ScriptBridge.h"
#include "support/FakeClock.h"
#include "ui/MainQueue.h"
#include "webviewer/ConnectorKeys.h"

namespace Lumenbox::testing {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;
using fmx::standin::CalculationContext;
using fmx::standin::HostCall;
using fmx::standin::ScriptRequest;

class CustomFunctionTest : public ::testing::Test {
protected:
    CustomFunctionTest() { registerCustomFunctions(store_, keys_); }
    ~CustomFunctionTest() override {
        fmx::standin::clearFaults();
        if (!fmx::standin::registrations().empty()) unregisterCustomFunctions();
        EXPECT_EQ(fmx::standin::liveObjects(), objectsBefore_) << "a host object was not released";
    }
    // `function`(arguments) as a calculation in `context`; status -1 when it is not registered.
    static fmx::standin::Evaluation evaluate(const char* function, const CalculationContext& context, const std::vector<std::string>& arguments = {}) {
        return fmx::standin::evaluate(function, context, arguments).value_or(fmx::standin::Evaluation{-1, ""});
    }

    PluginEnvironment environment_;
    std::size_t objectsBefore_ = fmx::standin::liveObjects();
    SessionStore store_;
    ConnectorKeys keys_;
};

// What calculations in FileMaker files are written against: the names, ids, arguments and flags.
TEST_F(CustomFunctionTest, AreRegisteredAsTheTokenFunctionAndTheConnectorUrlFunction) {
    std::vector<std::tuple<std::string, int, std::string, std::string, int, int, fmx::uint32>> seen;
    for (const auto& r : fmx::standin::registrations()) seen.emplace_back(r.pluginId, r.functionId, r.name, r.prototype, r.minArguments, r.maxArguments, r.flags);
    EXPECT_EQ(seen, (decltype(seen){{"LMBX", 4, "Lumenbox_RegisterPersistentToken", "Lumenbox_RegisterPersistentToken( token )", 1, 1, 0xFFFF7E},
                                    {"LMBX", 5, "Lumenbox_ConnectorURL", "Lumenbox_ConnectorURL", 0, 0, 0xFFFF7E}}));
}

// An empty token, a file the host cannot tell or a failing host register nothing and answer "OK";
// a result the host cannot take is reported to it, after the token is registered.
TEST_F(CustomFunctionTest, TokenIsRegisteredForTheEvaluatingFileAsTheHostNamesItAndEachFileOnce) {
    const std::tuple<CalculationContext, std::string, std::optional<HostCall>> cases[] = {
        {{" Ärzte.fmp12", 0}, "tok-ärzte-0123456789", {}}, {{"Invoices", 0}, "shared-token-0123", {}},
        {{"Invoices", 0}, "shared-token-0123", {}},        {{"Orders", 0}, "shared-token-0123", {}},
        {{"Invoices", 0}, "", {}},                         {{"Invoices", 100}, "unknown-file-1", {}},
        {{"Invoices", 0}, "failing-host-1", HostCall::EvaluateGetFunction},
        {{"Invoices", 0}, "set-fails-1", HostCall::DataSetAsText},
    };
    for (const auto& [context, token, failing] : cases) {
        if (failing) fmx::standin::failCalls(*failing, 1);
        const auto evaluation = evaluate("Lumenbox_RegisterPersistentToken", context, {token});
        const bool unset = failing == HostCall::DataSetAsText;
        EXPECT_EQ(std::pair(evaluation.status != 0, evaluation.result), std::pair(unset, std::string(unset ? "" : "OK"))) << token;
        fmx::standin::clearFaults();
    }
    std::map<std::string, std::vector<std::string>> tokens;
    for (const auto& token : store_.listSharedTokens()) tokens[token.tokenPrefix] = token.files;
    EXPECT_EQ(tokens, (decltype(tokens){{"shared-t", {"Invoices", "Orders"}}, {"tok-ärz", {" Ärzte.fmp12"}}, {"set-f", {"Invoices"}}}));
}

// A calculation the host set up before the functions went away, or before their registration
// failed, reaches neither the store nor the keys.
TEST_F(CustomFunctionTest, LateEvaluationAfterUnregistrationOrAFailedRegistrationDoesNothing) {
    const auto registered = fmx::standin::registrations();
    unregisterCustomFunctions();
    for (const bool failedAgain : {false, true}) {
        EXPECT_TRUE(fmx::standin::registrations().empty());
        EXPECT_EQ(fmx::standin::invoke(registered[0], {"Invoices", 0}, {"late-token"}).result, "OK");
        EXPECT_EQ(fmx::standin::invoke(registered[1], {"Orders", 0}, {}).result, "");
        EXPECT_TRUE(store_.listSharedTokens().empty() && !keys_.matches("Orders", "")) << failedAgain;
        fmx::standin::failCalls(HostCall::RegisterExternalFunction, fmx::_fmxcpt::kUnknown);
        if (!failedAgain) { EXPECT_THROW(registerCustomFunctions(store_, keys_), std::exception); }
    }
}

// The key is the file's (by its normalised name), stable, and no other file's; a file the host
// cannot tell gives no URL.
TEST_F(CustomFunctionTest, ConnectorUrlNamesTheCallingFileAndCarriesTheKeyTheBridgeChecks) {
    CalculationContext context{" Sales & Co/Ä?", 0};
    const auto url = evaluate("Lumenbox_ConnectorURL", context).result;
    const std::string prefix = "http://127.0.0.1:1365/webviewer?fileName=%20Sales%20%26%20Co%2F%C3%84%3F&key=";
    ASSERT_EQ(url.substr(0, prefix.size()), prefix);
    const std::string key = url.substr(prefix.size()), other = evaluate("Lumenbox_ConnectorURL", {"Invoices", 0}).result;
    EXPECT_EQ(std::pair(key.size(), key.find_first_not_of("0123456789abcdef")), std::pair(std::size_t{64}, std::string::npos));
    EXPECT_EQ(std::tuple(keys_.matches("Sales & Co/Ä?", key), keys_.matches("Invoices", key), keys_.matches("Invoices", other.substr(other.find("&key=") + 5)),
                         evaluate("Lumenbox_ConnectorURL", context).result == url), std::tuple(true, false, true, true));
    context.getFunctionError = 100;
    EXPECT_EQ(evaluate("Lumenbox_ConnectorURL", context).result, "");
}

// Host threads evaluate both functions at once while the main thread unregisters them: every
// evaluation answers, and none reaches the store once unregistration has returned.
TEST_F(CustomFunctionTest, ConcurrentEvaluationsAreSafeAndStopReachingTheStoreAtUnregistration) {
    const auto registered = fmx::standin::registrations();
    std::atomic<bool> stop{false};
    std::atomic<int> evaluations{0}, wrongAnswers{0};
    std::vector<std::thread> hostThreads;
    for (int t = 0; t < 4; ++t) {
        hostThreads.emplace_back([&, t] {
            for (int i = 0; !stop; ++i) {
                const std::string file = "File " + std::to_string(t);
                wrongAnswers += fmx::standin::invoke(registered[0], {file, 0}, {"concurrent-token-" + std::to_string(t) + "-" + std::to_string(i)}).result != "OK";
                fmx::standin::invoke(registered[1], {file, 0}, {});
                ++evaluations;
            }
        });
    }
    EXPECT_TRUE(eventually([&] { return store_.listSharedTokens().size() >= 20; }));
    unregisterCustomFunctions();
    const auto tokensAtUnregistration = store_.listSharedTokens().size();
    const int evaluationsAtUnregistration = evaluations;
    EXPECT_TRUE(eventually([&] { return evaluations >= evaluationsAtUnregistration + 40; }));
    stop = true;
    for (auto& thread : hostThreads) thread.join();
    EXPECT_EQ(std::pair(store_.listSharedTokens().size(), wrongAnswers.load()), std::pair(tokensAtUnregistration, 0));
}

// The host's side of script starts: a thread that plays the host's main thread (it runs the
// queued starts), records each start, answers it while the host starts it when `answer_` is set,
// and checks that every host object made for a start is released again.
class ScriptBridgeTest : public ::testing::Test {
protected:
    ScriptBridgeTest() {
        setHostStartScript(call_.cStartScript);
        fmx::standin::setScriptHandler([this](const ScriptRequest& request) {
            if (answer_) bridge_->deliverResult(fetchIdOf(request), answer_);
            std::lock_guard lock(mutex_);
            starts_.push_back(request);
        });
        playMainThread(true);
    }
    ~ScriptBridgeTest() override {
        playMainThread(false), fmx::standin::setScriptHandler({}), setHostStartScript(nullptr);
        EXPECT_EQ(fmx::standin::liveObjects(), objectsBefore_);
    }
    void playMainThread(bool play) {
        if (mainThread_.joinable()) mainThread_.request_stop(), mainThread_.join();
        if (play) mainThread_ = std::jthread([](std::stop_token stop) { while (!stop.stop_requested()) waitAndDrainMainQueue(10ms); });
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
        bridge_->deliverResult(fetchIdOf(start), "late"), answer_ = "next";
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
    std::jthread mainThread_;
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
    using Start = std::tuple<std::string, std::string, std::string, fmx::uchar, std::string, std::thread::id>;
    EXPECT_EQ(Start(result, start.fileName, start.scriptName, start.control, start.parameter, start.thread),
              Start(answer_, "Invoices", "Monthly report", kFMXT_Resume, R"({"callback":{"fetchId":")" + fetchId + R"("},"data":{"month":3}})", mainThread_.get_id()));
    EXPECT_EQ(ScriptBridge::makeEnvelope("f-1", R"("ü \"x\"")"), R"({"callback":{"fetchId":"f-1"},"data":"ü \"x\""})");
}

// With a main thread that is busy until the call has timed out, and with no host to start the
// script at all: the call times out, and its start, once the main thread gets to it, starts nothing.
TEST_F(ScriptBridgeTest, CallWithoutAnAnswerTimesOutAndItsLateStartStartsNothing) {
    playMainThread(false);
    for (const bool withHost : {true, false}) {
        setHostStartScript(withHost ? call_.cStartScript : nullptr);
        bridge_ = std::make_unique<ScriptBridge>(0ms);
        EXPECT_THAT([&] { bridge_->callScript("Invoices", "Slow", "null"); }, ThrowsMessage<std::runtime_error>(StrEq("Script call timed out after 0ms")));
        drainMainQueue();
    }
    EXPECT_TRUE(starts_.empty());
}

TEST_F(ScriptBridgeTest, WaitingCallIsFailedByRejectAllOrByTheBridgesEnd) {
    auto call = callAsync("{}");
    const auto start = waitForStarts(1).back();
    bridge_->rejectAll("Plugin shutting down");
    EXPECT_THAT([&] { call.get(); }, ThrowsMessage<std::runtime_error>(StrEq("Plugin shutting down")));
    expectLateDeliveryIgnored(start);
    call = callAsync("{}");
    waitForStarts(3), bridge_.reset();  // returns only after the caller was released
    EXPECT_THROW(call.get(), std::runtime_error);
}

// Host failures come out as the exceptions callers expect; texts of characters of one to four
// bytes and longer than any buffer survive the host, a UTF-8 error as the replacement character.
TEST_F(ScriptBridgeTest, HostFailuresSurfaceAsTheirExceptionsAndTextsSurviveTheHost) {
    fmx::standin::failCalls(HostCall::TextAssign, fmx::_fmxcpt::kBadAlloc);
    EXPECT_THROW(bridge_->callScript("Invoices", "Report", "{}"), std::bad_alloc);
    fmx::standin::clearFaults(), fmx::standin::failCalls(HostCall::DataSetAsText, fmx::_fmxcpt::kUnknown);
    EXPECT_THAT([&] { bridge_->callScript("Invoices", "Report", "{}"); }, ThrowsMessage<std::exception>(StrEq(std::exception().what())));
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

class PluginLifecycleTest : public ::testing::Test {
protected:
    PluginLifecycleTest() { setRestartClock(&clock_), drainMainQueue(); }
    ~PluginLifecycleTest() override { send(kFMXT_Shutdown), setRestartClock(nullptr); }
    // Init as FileMaker Pro would send it, Idle at a safe level unless told otherwise.
    fmx::ptrtype send(FMX_ExternCallSwitch message, FMX_UChar parm1 = kFMXT_Pro, bool unsafeCalls = false) {
        call_.whichCall = message, call_.parm1 = parm1, call_.unsafeCalls = unsafeCalls, call_.result = 0;
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
    ASSERT_EQ(send(kFMXT_Init), kEnabled);
    const int delays[] = {1, 5, 30, 60, 60, 60};
    for (const int& delay : delays) {
        const bool last = &delay == std::end(delays) - 1;
        clock_.advance(std::chrono::seconds(delay) - 1ms);
        port_.release();
        send(kFMXT_Idle, kFMXT_UserIdle);
        EXPECT_FALSE(bridgeHealth()) << "started before " << delay << " s";
        if (!last) { ASSERT_TRUE(port_.bind()); }
        clock_.advance(1ms);
        send(kFMXT_Idle, kFMXT_UserIdle);
        EXPECT_EQ(bridgeHealth().has_value(), last) << delay << " s";
    }
}

// Both release the calls waiting for a script and leave the port and function ids free.
TEST_F(PluginLifecycleTest, ShutdownOrASecondInitReleasesWaitingScriptCallsFirst) {
    for (const FMX_ExternCallSwitch message : {kFMXT_Shutdown, kFMXT_Init}) {
        std::promise<void> started;
        fmx::standin::setScriptHandler([&](const fmx::standin::ScriptRequest&) { started.set_value(); });
        ASSERT_EQ(send(kFMXT_Init), kEnabled);
        auto call = std::async(std::launch::async, [bridge = activeScriptBridge()] { return bridge->callScript("Invoices", "Report", "{}"); });
        ASSERT_TRUE(eventually([] { return queuedMainQueueTasks() == 1; }));
        send(kFMXT_Idle, kFMXT_UserIdle);
        started.get_future().wait();
        send(message);
        EXPECT_THAT([&] { call.get(); }, ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq("Plugin shutting down")));
        const bool running = message == kFMXT_Init;
        EXPECT_EQ(std::tuple(bridgeHealth().has_value(), activeScriptBridge() != nullptr, fmx::standin::registrations().size()),
                  std::tuple(running, running, running ? 2u : 0u));
        send(kFMXT_Shutdown);
    }
}

// The host promises no thread safety: a start asked for on another thread waits for the main thread's
// next safe Idle, not an unsafe one (by level or by flag), and uses the callback copied at Init even
// when the host has reused the structure since.
TEST_F(PluginLifecycleTest, ScriptStartFromAnotherThreadRunsOnTheMainThreadAtTheNextSafeIdle) {
    std::promise<fmx::standin::ScriptRequest> started;
    fmx::standin::setScriptHandler([&](const fmx::standin::ScriptRequest& request) {
        activeScriptBridge()->deliverResult(nlohmann::json::parse(request.parameter)["callback"]["fetchId"], "done");
        started.set_value(request);
    });
    ASSERT_EQ(send(kFMXT_Init), kEnabled);
    call_.cStartScript = nullptr, call_.parm2 = 0;
    auto call = std::async(std::launch::async, [bridge = activeScriptBridge()] { return bridge->callScript("Invoices", "Report", "{}"); });
    ASSERT_TRUE(eventually([] { return queuedMainQueueTasks() == 1; }));
    for (const auto& [level, unsafeCalls] : {std::pair(kFMXT_Unsafe, true), std::pair(kFMXT_UserIdle, true)}) {
        send(kFMXT_Idle, level, unsafeCalls);
        EXPECT_EQ(queuedMainQueueTasks(), 1u) << "ran at an unsafe idle";
    }
    send(kFMXT_Idle, kFMXT_ScriptRunning);
    EXPECT_EQ(started.get_future().get().thread, std::this_thread::get_id());
    EXPECT_EQ(call.get().second, "done");
}

// FileMaker Server's processes and hosts older than the calls the plug-in makes get no bridge and
// no functions, and the log says why; FileMaker Pro (Advanced) from API 60 on runs it.
TEST_F(PluginLifecycleTest, InitRunsTheBridgeOnlyInFileMakerProOfASupportedVersion) {
    const std::tuple<FMX_Application, short, fmx::ptrtype, std::string> cases[] = {
        {kFMXT_SASE, kCurrentExtnVersion, static_cast<fmx::ptrtype>(kDoNotEnable), "application kind 7: the bridge runs in FileMaker Pro only"},
        {kFMXT_FMDAPI, kCurrentExtnVersion, static_cast<fmx::ptrtype>(kDoNotEnable), "application kind 9"},
        {kFMXT_Web, kCurrentExtnVersion, static_cast<fmx::ptrtype>(kDoNotEnable), "application kind 4"},
        {kFMXT_Pro, k170ExtnVersion, static_cast<fmx::ptrtype>(kDoNotEnable), "host API version 59, the plug-in needs 60 or later"},
        {kFMXT_Pro, 3, static_cast<fmx::ptrtype>(kBadExtnVersion), "host API version 3"},
        {kFMXT_Pro, k180ExtnVersion, kEnabled, ""},
        {kFMXT_Developer, k210ExtnVersion, kEnabled, ""},
    };
    for (const auto& [kind, version, answer, logged] : cases) {
        call_.extnVersion = version;
        EXPECT_EQ(send(kFMXT_Init, kind), answer) << logged;
        EXPECT_EQ(std::pair(bridgeHealth().has_value(), fmx::standin::registrations().size()), std::pair(answer == kEnabled, std::size_t{answer == kEnabled ? 2u : 0u})) << logged;
        EXPECT_NE(environment_.logText().find(logged.empty() ? "" : "plugin_init_declined reason=\"" + logged), std::string::npos) << environment_.logText();
        send(kFMXT_Shutdown);
    }
}

}  // namespace
}  // namespace Lumenbox::testing
