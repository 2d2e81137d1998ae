#include "server/HostIdleState.h"
#include "support/BridgeFixture.h"

namespace Lumenbox::testing {
namespace {

struct StatusRoutes : BridgeFixture {
    void TearDown() override { g_fileMakerIdleLevel = -1, g_fileMakerIdleObservedAtUnixMs = 0; }
};

TEST_F(StatusRoutes, HealthReportsTheIdleLevelAndTimeStampAsLastObservedWhateverTheRequestCarries) {
    auto health = [](int level, const char* state, std::int64_t at) {
        return R"({"fileMaker":{"idleLevel":)" + std::to_string(level) + R"(,"idleState":")" + state + R"(","observedAtUnixMs":)" +
               std::to_string(at) + R"(},"service":"lbhttp-plugin","status":"ok","version":"3.2.0"})";
    };
    HttpClient client(port());
    expectJsonReply(client.request("GET", "/health?x=1", "ignored body", {{"X-Lumenbox-Session", "unknown"}}), "200 OK", health(-1, "unknown", 0));
    g_fileMakerIdleObservedAtUnixMs = 1767225600123;  // beyond 32 bits
    for (const auto& [level, state] : {std::pair<int, const char*>{0, "user_idle"}, {1, "user_not_idle"}, {2, "script_paused"},
                                       {3, "script_running"}, {4, "unsafe"}, {5, "unknown"}, {-2, "unknown"}}) {
        g_fileMakerIdleLevel = level;
        EXPECT_EQ(client.get("/health").body, health(level, state, 1767225600123));
    }
}

TEST_F(StatusRoutes, ListFilesInByteOrderAndOnlyWebviewerFilesAsConnected) {
    WsClient unregistered(port());
    auto beta = connectWebviewer("beta");
    auto umlaut = connectWebviewer("\xC3\xA4rger");
    auto upperBeta = connectWebviewer("Beta");
    auto agentOnly = connectAgentBrowser("Alpha");
    auto agentOfBeta = connectAgentBrowser("beta");
    EXPECT_EQ(httpGet(port(), "/connectedFiles?fileName=Other").body, "[\"Beta\",\"beta\",\"\xC3\xA4rger\"]");
    expectJsonReply(httpGet(port(), "/bridgeStatus"), "200 OK",
                    R"([{"agentBrowserConnected":true,"fileName":"Alpha","webviewerConnected":false},)"
                    R"({"agentBrowserConnected":false,"fileName":"Beta","webviewerConnected":true},)"
                    R"({"agentBrowserConnected":true,"fileName":"beta","webviewerConnected":true},)"
                    "{\"agentBrowserConnected\":false,\"fileName\":\"\xC3\xA4rger\",\"webviewerConnected\":true}]");
    for (auto* page : {&beta, &umlaut, &upperBeta, &agentOnly, &agentOfBeta}) page->reset();
    EXPECT_TRUE(eventually([&] { return httpGet(port(), "/bridgeStatus").body == "[]" && httpGet(port(), "/connectedFiles").body == "[]"; }, 5s));
}

}  // namespace
}  // namespace Lumenbox::testing
