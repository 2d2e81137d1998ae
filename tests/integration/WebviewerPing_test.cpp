#include "support/BridgeFixture.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {
namespace {

using WebviewerPing = BridgeFixture;

TEST_F(WebviewerPing, RequestsAreCheckedTimeLimitFirstThenFileThenRegistryThenSession) {
    setEnhancedSecurityEnabled(true);
    const std::string missing = R"({"code":"missing_file_name","error":"Missing required fileName query parameter."})";
    const std::tuple<std::string, const char*, std::string> cases[] = {
        {"?timeout=5001", "400 Bad Request", R"({"error":"Invalid timeout query parameter. Expected positive integer milliseconds."})"},
        {"", "400 Bad Request", missing},
        {"?fileName=%20%20&timeout=10", "400 Bad Request", missing},
        {"?fileName=Invoices", "404 Not Found", R"({"code":"webviewer_not_connected","error":"No active WebSocket for Invoices","fileName":"Invoices","webviewerConnected":false})"},
    };
    for (const auto& [query, status, body] : cases) expectJsonReply(httpGet(port(), "/webviewerPing" + query), status, body);
    auto webviewer = connectWebviewer("Invoices");
    expectJsonReply(httpGet(port(), "/webviewerPing?fileName=http://host/page?fileName=Invoices%26x=1"), "401 Unauthorized",
                    R"({"code":"session_not_authorized","error":"Session is not authorized for Invoices"})");
    EXPECT_TRUE(webviewer->quiet());
}

TEST_F(WebviewerPing, OnlyAPongOfThePingedFilesWebviewerAnswersOnceAndASilentPageTimesOutAfterTheLimitAskedFor) {
    auto webviewer = connectWebviewer("Invoices");
    auto contacts = connectWebviewer("Contacts");
    auto answered = httpGetAsync(port(), "/webviewerPing?fileName=Invoices&timeout=5000");
    const std::string text = *webviewer->receive();
    const std::string id = nlohmann::json::parse(text)["id"];
    EXPECT_EQ(std::make_tuple(text, id.size()), std::make_tuple(R"({"id":")" + id + R"(","type":"ping"})", 36u));
    contacts->sendJson({{"type", "pong"}, {"id", id}});
    webviewer->sendJson({{"type", "pong"}, {"id", {{"id", id}}}});
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
    EXPECT_EQ(pendingPingCount(), 1u);
    webviewer->sendJson({{"type", "pong"}, {"id", id}});
    auto answer = answered.get();
    const auto elapsed = answer.json().value("elapsedMs", std::int64_t{-1});
    EXPECT_GE(elapsed, 0);
    expectJsonReply(answer, "200 OK", R"({"code":"webviewer_responsive","elapsedMs":)" + std::to_string(elapsed) + R"(,"fileName":"Invoices","id":")" + id + R"(","status":"ok"})");
    // The route passes the decoded limit, or its default, through; a pong after it changes nothing.
    for (const auto& [query, limit] : {std::pair<const char*, int>{"", 1500}, {"&timeout=%20%2025", 25}}) {
        auto silent = httpGetAsync(port(), std::string("/webviewerPing?fileName=Invoices") + query);
        const std::string lateId = webviewer->receiveJson()["id"];
        expectJsonReply(silent.get(), "504 Gateway Timeout", R"({"code":"webviewer_ping_timeout","error":"Timed out waiting for webviewer pong",)"
                        R"("fileName":"Invoices","timeoutMs":)" + std::to_string(limit) + R"(,"webviewerConnected":true})");
        webviewer->sendJson({{"type", "pong"}, {"id", lateId}});
    }
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
    EXPECT_EQ(pendingPingCount(), 0u);
}

}  // namespace
}  // namespace Lumenbox::testing
