#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/FakeClock.h"
#include "webviewer/WebviewerPings.h"

namespace Lumenbox {
namespace {

using namespace std::chrono_literals;
using Kind = WebviewerPings::Outcome::Kind;

std::string outcome(Kind kind, const std::string& id, int ms = 0) {
    return std::to_string(int(kind)) + ":" + id + ":" + std::to_string(ms);
}

// Pings against fake pages: page[0] serves "A", page[1] is a replaced web viewer of "A", page[2]
// serves "B", page[3] is an agent browser of "A". Outcomes are recorded as "kind:id:elapsed".
struct Bench {
    transport::Loop loop;
    testing::FakeClock clock;
    WebSocketConnection page[4];
    bool dropSends = false;
    std::vector<std::string> told;
    int nextId = 0;
    WebviewerPings pings{loop, clock, {
        .send = [this](WebSocketConnection*, std::string_view) {
            return dropSends ? transport::SendStatus::Dropped : transport::SendStatus::Sent;
        },
        .webviewerOf = [this](const std::string& file) { return file == "A" ? &page[0] : nullptr; },
        .gate = {},
        .newId = [this] { return "p" + std::to_string(++nextId); },
    }};

    Bench() {
        for (int i : {0, 1}) *page[i].getUserData() = {.fileName = "A", .role = Role::Webviewer};
        *page[2].getUserData() = {.fileName = "B", .role = Role::Webviewer};
        *page[3].getUserData() = {.fileName = "A", .role = Role::AgentBrowser};
    }
    ~Bench() { pings.clear(); }

    void ping(int to, std::int32_t timeoutMs = 5000) {
        pings.ping("A", &page[to], timeoutMs,
                   [this](const WebviewerPings::Outcome& o) { told.push_back(outcome(o.kind, o.id, o.elapsedMs)); });
    }
    void pong(int from, const nlohmann::json& id) { pings.handlePong(&page[from], {{"type", "pong"}, {"id", id}}); }
};

TEST(WebviewerPings, APingIsAnsweredOnceByAPongOfItsFileItsTimeLimitOrItsPageGoing) {
    using Case = std::tuple<const char*, std::function<void(Bench&)>, std::vector<std::string>, std::size_t>;
    const Case cases[] = {
        {"a pong tells the time it took", [](Bench& b) { b.ping(0); b.clock.advance(42ms); b.pong(0, "p1"); b.pong(0, "p1"); },
         {outcome(Kind::Pong, "p1", 42)}, 0},
        {"a pong from another file, an agent browser or without a valid id is ignored",
         [](Bench& b) { b.ping(0); b.pong(2, "p1"); b.pong(3, "p1"); b.pong(0, 1); b.pong(0, "p9"); }, {}, 1},
        {"the time limit answers a silent page", [](Bench& b) { b.ping(0, 1); b.loop.run(); },
         {outcome(Kind::TimedOut, "p1")}, 0},
        {"only the pings sent to a page that goes fail",
         [](Bench& b) { b.ping(0); b.ping(1); b.pings.failSentTo("A", &b.page[1]); },
         {outcome(Kind::Disconnected, "p2")}, 1},
        {"a ping the page cannot take fails at once", [](Bench& b) { b.dropSends = true; b.ping(0); },
         {outcome(Kind::SendFailed, "p1")}, 0},
        {"a forgotten ping is never answered", [](Bench& b) { b.ping(0); b.pings.forget("p1"); b.pong(0, "p1"); }, {}, 0},
    };
    for (const auto& [name, act, told, pending] : cases) {
        Bench bench;
        act(bench);
        EXPECT_EQ(std::tuple(bench.told, bench.pings.pendingCount()), std::tuple(told, pending)) << name;
    }
}

}  // namespace
}  // namespace Lumenbox
