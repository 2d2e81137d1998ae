#include "support/BridgeFixture.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {
namespace {

// Pings that a pong is meant to answer get the longest limit, so that a failing test ends in time.
constexpr const char* kPingInvoices = "/webviewerPing?fileName=Invoices&timeout=5000";

class WebviewerPing : public BridgeFixture {
protected:
    // The next message at `webviewer`, which must be a ping; returns its id.
    static std::string receivePing(WsClient& webviewer) {
        auto text = webviewer.receive();
        EXPECT_TRUE(text.has_value()) << "no ping reached the web viewer";
        if (!text) return {};
        const std::string id = nlohmann::json::parse(*text).value("id", "");
        EXPECT_EQ(*text, R"({"id":")" + id + R"(","type":"ping"})");
        EXPECT_EQ(id.size(), 36u);
        return id;
    }
    static void pong(WsClient& webviewer, const std::string& id) { webviewer.sendJson({{"type", "pong"}, {"id", id}}); }
};

TEST_F(WebviewerPing, RequestsAreCheckedTimeLimitFirstThenFileThenRegistryThenSession) {
    setEnhancedSecurityEnabled(true);
    const std::string invalidTimeout = R"({"error":"Invalid timeout query parameter. Expected positive integer milliseconds."})";
    const std::pair<std::string, std::pair<const char*, std::string>> cases[] = {
        {"?timeout=0", {"400 Bad Request", invalidTimeout}},  // an invalid limit wins over a missing file name
        {"?timeout=-1", {"400 Bad Request", invalidTimeout}},
        {"?timeout=5001", {"400 Bad Request", invalidTimeout}},
        {"?timeout=1.5", {"400 Bad Request", invalidTimeout}},
        {"?timeout=100ms", {"400 Bad Request", invalidTimeout}},
        {"?timeout=abc", {"400 Bad Request", invalidTimeout}},
        {"?timeout=%20", {"400 Bad Request", invalidTimeout}},
        {"?timeout=99999999999999999999", {"400 Bad Request", invalidTimeout}},
        {"", {"400 Bad Request", R"({"code":"missing_file_name","error":"Missing required fileName query parameter."})"}},
        {"?fileName=%20%20&timeout=10", {"400 Bad Request", R"({"code":"missing_file_name","error":"Missing required fileName query parameter."})"}},
        // A file without a web viewer wins over the session, which would be refused here.
        {"?fileName=Invoices", {"404 Not Found", R"({"code":"webviewer_not_connected","error":"No active WebSocket for Invoices",)"
                                                 R"("fileName":"Invoices","webviewerConnected":false})"}},
    };
    for (const auto& [query, expected] : cases) {
        SCOPED_TRACE(query);
        expectJsonReply(httpGet(port(), "/webviewerPing" + query), expected.first, expected.second);
    }
    auto webviewer = connectWebviewer("Invoices");
    expectJsonReply(httpGet(port(), "/webviewerPing?fileName=http://host/page?fileName=Invoices%26x=1"), "401 Unauthorized",
                    R"({"code":"session_not_authorized","error":"Session is not authorized for Invoices"})");
    EXPECT_TRUE(webviewer->quiet());
    EXPECT_EQ(pendingPingCount(), 0u);
}

TEST_F(WebviewerPing, SilentPageTimesOutAfterTheLimitAskedForAndALatePongIsIgnored) {
    auto webviewer = connectWebviewer("Invoices");
    const std::pair<const char*, int> cases[] = {
        {"", 1500}, {"&timeout=", 1500}, {"&timeout=1", 1}, {"&timeout=%2B25", 25}, {"&timeout=%20%2025", 25},
    };
    std::vector<std::future<HttpReply>> replies;
    for (const auto& [query, timeoutMs] : cases) {
        replies.push_back(httpGetAsync(port(), std::string("/webviewerPing?fileName=Invoices") + query));
    }
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < replies.size(); ++i) ids.push_back(receivePing(*webviewer));
    for (std::size_t i = 0; i < replies.size(); ++i) {
        SCOPED_TRACE(cases[i].first);
        expectJsonReply(replies[i].get(), "504 Gateway Timeout",
                        R"({"code":"webviewer_ping_timeout","error":"Timed out waiting for webviewer pong","fileName":"Invoices",)"
                        R"("timeoutMs":)" + std::to_string(cases[i].second) + R"(,"webviewerConnected":true})");
    }
    for (const auto& id : ids) pong(*webviewer, id);
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
    EXPECT_EQ(pendingPingCount(), 0u);
}

TEST_F(WebviewerPing, PongAnswersThePingWithItsIdAndElapsedTimeOnce) {
    auto webviewer = connectWebviewer("Invoices");
    auto reply = httpGetAsync(port(), kPingInvoices);
    const std::string id = receivePing(*webviewer);
    pong(*webviewer, id);
    auto answer = reply.get();
    const auto elapsed = answer.json().value("elapsedMs", std::int64_t{-1});
    EXPECT_GE(elapsed, 0) << answer.body;
    expectJsonReply(answer, "200 OK", R"({"code":"webviewer_responsive","elapsedMs":)" + std::to_string(elapsed) +
                                          R"(,"fileName":"Invoices","id":")" + id + R"(","status":"ok"})");
    EXPECT_EQ(pendingPingCount(), 0u);
    pong(*webviewer, id);  // the same pong again finds nothing
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
}

TEST_F(WebviewerPing, OnlyAWellFormedPongFromAWebviewerOfThePingedFileAnswers) {
    auto invoices = connectWebviewer("Invoices");
    auto contacts = connectWebviewer("Contacts");
    auto agentBrowser = connectAgentBrowser("Invoices");
    EXPECT_EQ(invoices->receiveJson()["type"], "status");
    auto reply = httpGetAsync(port(), kPingInvoices);
    const std::string id = receivePing(*invoices);

    pong(*contacts, id);      // another file's web viewer
    pong(*agentBrowser, id);  // the right file, but not a web viewer
    WsClient unregistered(port());
    pong(unregistered, id);
    for (const nlohmann::json& badId : {nlohmann::json(42), nlohmann::json{{"id", id}}, nlohmann::json(nullptr),
                                        nlohmann::json(""), nlohmann::json("not-a-pending-ping")}) {
        invoices->sendJson({{"type", "pong"}, {"id", badId}});
    }
    invoices->sendJson({{"type", "pong"}});
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
    EXPECT_EQ(pendingPingCount(), 1u);

    pong(*invoices, id);
    EXPECT_EQ(reply.get().statusLine, "200 OK");
}

}  // namespace
}  // namespace Lumenbox::testing
