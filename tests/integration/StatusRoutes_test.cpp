#include <chrono>

#include "server/HostIdleState.h"
#include "support/BridgeFixture.h"

namespace Lumenbox::testing {
namespace {

class StatusRoutes : public BridgeFixture {
protected:
    void TearDown() override {
        g_fileMakerIdleLevel = -1;
        g_fileMakerIdleObservedAtUnixMs = 0;
    }

    std::string healthBody(int level, const char* state, std::int64_t observedAt) {
        return R"({"fileMaker":{"idleLevel":)" + std::to_string(level) + R"(,"idleState":")" + state +
               R"(","observedAtUnixMs":)" + std::to_string(observedAt) +
               R"(},"service":"lbhttp-plugin","status":"ok","version":"3.2.0"})";
    }
};

TEST_F(StatusRoutes, HealthReportsTheIdleLevelAndTimeStampAsLastObserved) {
    expectJsonReply(httpGet(port(), "/health"), "200 OK", healthBody(-1, "unknown", 0));  // before any idle message
    const std::int64_t observedAt = 1767225600123;  // beyond 32 bits
    g_fileMakerIdleObservedAtUnixMs = observedAt;
    const std::pair<int, const char*> levels[] = {
        {0, "user_idle"}, {1, "user_not_idle"}, {2, "script_paused"}, {3, "script_running"},
        {4, "unsafe"},    {5, "unknown"},       {-2, "unknown"},      {2147483647, "unknown"},
    };
    for (const auto& [level, state] : levels) {
        g_fileMakerIdleLevel = level;
        EXPECT_EQ(httpGet(port(), "/health").body, healthBody(level, state, observedAt)) << "level " << level;
    }
}

TEST_F(StatusRoutes, ListsFilesInByteOrderAndOnlyWebviewerFilesAsConnectedAndFollowThoseThatLeave) {
    WsClient unregistered(port());  // no registration
    for (const char* target : {"/connectedFiles", "/bridgeStatus"}) expectJsonReply(httpGet(port(), target), "200 OK", "[]");
    // Registered out of order; byte order puts upper case before lower case and UTF-8 last.
    auto beta = connectWebviewer("beta");
    auto umlaut = connectWebviewer("\xC3\xA4rger");
    auto upperBeta = connectWebviewer("Beta");
    auto agentOnly = connectAgentBrowser("Alpha");
    auto agentOfBeta = connectAgentBrowser("beta");
    auto trimmed = connectWebviewer("  Zed \t");  // registered under its normalised name
    EXPECT_EQ(httpGet(port(), "/connectedFiles").body, "[\"Beta\",\"Zed\",\"beta\",\"\xC3\xA4rger\"]");
    EXPECT_EQ(httpGet(port(), "/bridgeStatus").body,
              R"([{"agentBrowserConnected":true,"fileName":"Alpha","webviewerConnected":false},)"
              R"({"agentBrowserConnected":false,"fileName":"Beta","webviewerConnected":true},)"
              R"({"agentBrowserConnected":false,"fileName":"Zed","webviewerConnected":true},)"
              R"({"agentBrowserConnected":true,"fileName":"beta","webviewerConnected":true},)"
              "{\"agentBrowserConnected\":false,\"fileName\":\"\xC3\xA4rger\",\"webviewerConnected\":true}]");
    for (auto* page : {&beta, &umlaut, &upperBeta, &trimmed}) page->reset();
    EXPECT_TRUE(eventually([&] { return httpGet(port(), "/connectedFiles").body == "[]"; }, 5s));
    EXPECT_EQ(httpGet(port(), "/bridgeStatus").body,
              R"([{"agentBrowserConnected":true,"fileName":"Alpha","webviewerConnected":false},)"
              R"({"agentBrowserConnected":true,"fileName":"beta","webviewerConnected":false}])");
    agentOnly.reset();
    agentOfBeta.reset();
    EXPECT_TRUE(eventually([&] { return httpGet(port(), "/bridgeStatus").body == "[]"; }, 5s));
}

TEST_F(StatusRoutes, IgnoreSessionHeaderQueryAndBody) {
    auto webviewer = connectWebviewer("Sales");
    HttpClient client(port());
    for (const char* target : {"/health", "/connectedFiles", "/bridgeStatus"}) {
        auto plain = client.get(target);
        EXPECT_EQ(client.request("GET", target, {}, {{"X-Lumenbox-Session", "unknown-session"}}).body, plain.body) << target;
    }
    EXPECT_EQ(client.get("/connectedFiles?fileName=Other").body, R"(["Sales"])");
    EXPECT_EQ(client.request("GET", "/connectedFiles", "ignored body").body, R"(["Sales"])");
    EXPECT_EQ(client.get("/health?x=1").body, healthBody(-1, "unknown", 0));
}

}  // namespace
}  // namespace Lumenbox::testing
