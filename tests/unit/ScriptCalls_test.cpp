#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "base/Identifiers.h"
#include "scripts/ScriptCalls.h"

namespace Lumenbox {
namespace {

using Kind = ScriptOutcome::Kind;

// Script calls against fake pages: page[0] and page[1] are web viewers of "A" (page[0] serves it),
// page[2] its agent browser, page[3] a web viewer of "B". Sends are recorded; outcomes are counted,
// so that an outcome told twice shows.
struct Bench {
    transport::Loop loop;
    WebSocketConnection page[4];
    std::vector<std::string> sent[4];
    bool dropSends = false;
    bool enhancedSecurity = false;
    int servesA = 0;  // which of page[0] and page[1] is A's web viewer now
    std::vector<std::string> approved;  // "session/file"
    std::vector<ScriptOutcome> outcomes;
    std::vector<std::string> results;  // the Result and ResultTooLarge values, as text
    int nextId = 0;
    ScriptCalls calls{loop, {
        .send = [this](WebSocketConnection* ws, std::string_view text) {
            if (dropSends) return transport::SendStatus::Dropped;
            sent[ws - page].emplace_back(text);
            return transport::SendStatus::Sent;
        },
        .webviewerOf = [this](const std::string& file) { return file == "A" ? &page[servesA] : file == "B" ? &page[3] : nullptr; },
        .agentBrowserOf = [this](const std::string& file) { return file == "A" ? &page[2] : nullptr; },
        .gate = {.enhancedSecurity = [this] { return enhancedSecurity; },
                 .isAuthorized = [](const std::string& session, const std::string&) { return session == "approved"; },
                 .approveOnFirstUse = [this](const std::string& session, const std::string& file,
                                             const std::string&) { approved.push_back(session + "/" + file); }},
        .newId = [this] { return "call-" + std::to_string(++nextId); },
    }};

    Bench() {
        for (int i : {0, 1}) *page[i].getUserData() = {.fileName = "A", .role = Role::Webviewer};
        *page[2].getUserData() = {.fileName = "A", .role = Role::AgentBrowser};
        *page[3].getUserData() = {.fileName = "B", .role = Role::Webviewer};
    }
    ~Bench() { calls.clear(); }

    void run(const std::string& file, const std::string& script = "Report", const std::string& session = "",
             std::int32_t timeoutMs = 3600000) {
        calls.run({file, script, R"({"x":1})", session, timeoutMs}, [this](const ScriptOutcome& outcome) {
            outcomes.push_back(outcome);
            if (outcome.result) results.push_back(outcome.result->dump());
            if (outcome.resultBytes) results.push_back(outcome.resultBytes->dump());
        });
    }
    void callback(int from, const nlohmann::json& args, const char* fn = "handleFMCallback") {
        calls.handleCallback(&page[from], {{"type", "callback"}, {"fn", fn}, {"args", args}});
    }
    std::string kinds() const;
};

std::string told(Kind kind, const std::string& id = "") { return std::to_string(int(kind)) + ":" + id + " "; }
std::string Bench::kinds() const {
    std::string out;
    for (const auto& outcome : outcomes) out += told(outcome.kind, outcome.fetchId);
    return out;
}

TEST(ScriptCalls, EveryCallIsToldItsOutcomeOnceAndOnlyByTheConnectionItWasSentTo) {
    using Case = std::tuple<const char*, std::function<void(Bench&)>, std::string, std::size_t>;  // outcomes, pending
    const Case cases[] = {
        {"a result from the web viewer completes the call; a second result for it is dropped",
         [](Bench& b) { b.run("A"); b.callback(0, {1, "call-1"}); b.callback(0, {2, "call-1"}); },
         told(Kind::Result, "call-1"), 0},
        {"another web viewer of the file, another file's or an agent browser cannot answer a call",
         [](Bench& b) { b.run("A"); for (int from : {1, 3, 2}) b.callback(from, {1, "call-1"}); }, "", 1},
        {"a result too large fails only its own call",
         [](Bench& b) { b.run("A"); b.run("A"); b.callback(0, {{{"resultBytes", 99}}, "call-2"}, "resultTooLarge"); },
         told(Kind::ResultTooLarge, "call-2"), 1},
        {"a web viewer that goes fails only the calls sent to it",
         [](Bench& b) { b.run("A"), b.servesA = 1, b.run("A"), b.run("B"), b.calls.failSentTo("A", &b.page[0]); },
         told(Kind::Disconnected, "call-1"), 2},
        {"a file without a web viewer is told at once", [](Bench& b) { b.run("C"); }, told(Kind::NoWebviewer), 0},
        {"a message the page cannot take fails at once and is not held",
         [](Bench& b) { b.dropSends = true; b.run("A"); }, told(Kind::SendFailed, "call-1"), 0},
        {"an abandoned call is never told", [](Bench& b) { b.run("A"); b.calls.abandon("call-1"); }, "", 0},
        {"the time limit tells the call, with the web viewer still there",
         [](Bench& b) { b.run("A", "Report", "", 1); b.loop.run(); }, told(Kind::TimedOut, "call-1"), 0},
        {"with enhanced security an unapproved session is refused",
         [](Bench& b) { b.enhancedSecurity = true; b.run("A", "Report", "stranger"); b.run("A", "Report", ""); },
         told(Kind::NotAuthorized) + told(Kind::NotAuthorized), 0},
        {"with enhanced security an approved session gets through",
         [](Bench& b) { b.enhancedSecurity = true; b.run("A", "Report", "approved"); }, "", 1},
    };
    for (const auto& [name, act, outcomes, pending] : cases) {
        Bench bench;
        act(bench);
        EXPECT_EQ(std::tuple(bench.kinds(), bench.calls.pendingCount()), std::tuple(outcomes, pending)) << name;
    }
}

TEST(ScriptCalls, ResultsAndSizesReachTheCallerAndStrayCallbacksTheAgentBrowser) {
    Bench bench;
    bench.run("A"), bench.run("A");
    bench.callback(0, {{{"rows", 3}}, "call-1"});
    bench.callback(0, {{{"resultBytes", "many"}}, "call-2"}, "resultTooLarge");  // size not a number: none
    bench.callback(0, {{{"resultBytes", 99}}, "call-1"}, "resultTooLarge");      // already answered
    EXPECT_EQ(std::make_tuple(bench.results, bench.kinds(), bench.outcomes[1].resultBytes == nullptr),
              std::make_tuple(std::vector<std::string>{R"({"rows":3})"},
                              told(Kind::Result, "call-1") + told(Kind::ResultTooLarge, "call-2"), true));

    // Only what the page says on its own goes to the agent browser: never a result for an id the
    // bridge issued, and never a pending call's result from the wrong connection.
    bench.run("A");
    bench.callback(1, {7, "call-3"});
    bench.callback(0, {8, "page-made-id"});
    bench.callback(0, {9, generateUuid()});  // an id the bridge issued, no longer pending
    bench.callback(0, {10, "call-3"}, "somethingElse");
    ASSERT_EQ(bench.sent[2].size(), 2u);
    EXPECT_EQ(nlohmann::json::parse(bench.sent[2][0])["args"][1], "page-made-id");
}

TEST(ScriptCalls, TheVersionProbeAlwaysRunsButCarriesNoDataUnapprovedAndOtherScriptsApproveOnFirstUse) {
    Bench bench;
    bench.run("A", "Report", "fresh"), bench.run("A", "Report", "approved");
    bench.enhancedSecurity = true, bench.run("A", "LB_get_version", "stranger");
    EXPECT_EQ(bench.approved, (std::vector<std::string>{"fresh/A"}));
    ASSERT_EQ(bench.sent[0].size(), 3u);
    auto data = [&](int i) {
        return nlohmann::json::parse(nlohmann::json::parse(bench.sent[0][i])["param"].get<std::string>())["data"];
    };
    EXPECT_EQ(std::make_tuple(data(2), data(0)), std::make_tuple(nlohmann::json(), nlohmann::json{{"x", 1}}));
}

}  // namespace
}  // namespace Lumenbox
