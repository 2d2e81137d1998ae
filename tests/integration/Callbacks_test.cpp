#include "support/BridgeFixture.h"

namespace Lumenbox::testing {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kOverflowing = 10000;  // enough for the sanitizer's larger frames
#else
constexpr std::size_t kOverflowing = 100000;
#endif
std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

class Callbacks : public BridgeFixture {
protected:
    void SetUp() override {
        webviewer_ = connectWebviewer("Invoices");
        agentBrowser_ = connectAgentBrowser("Invoices");
        EXPECT_EQ(webviewer_->receiveJson()["type"], "status");
    }
    std::future<HttpReply> call() {
        return httpPostAsync(port(), "/callScript?timeout=10000", R"({"connectedFileName":"Invoices","scriptName":"Report"})");
    }
    std::unique_ptr<WsClient> webviewer_, agentBrowser_;
};

TEST_F(Callbacks, AResultIsRepliedAsJsonWhenItParsesAndOnlyFromTheConnectionTheCallWasSentTo) {
    auto otherWebviewer = connectWebviewer("Contacts");
    const std::pair<nlohmann::json, std::string> cases[] = {
        {"42", "42"}, {"hello", R"("hello")"}, {" [1, 2] ", "[1,2]"}, {"{\"a\":1} trailing", R"("{\"a\":1} trailing")"},
        {nested(kOverflowing), nlohmann::json(nested(kOverflowing)).dump()},  // too deep to parse: the text
    };
    for (const auto& [result, expected] : cases) {
        auto reply = call();
        auto forwarded = receiveForwardedCall(*webviewer_);
        sendResult(*otherWebviewer, "forged by Contacts", forwarded.fetchId);
        sendResult(*webviewer_, result, forwarded.fetchId);
        expectJsonReply(reply.get(), "200 OK", R"({"fetchId":")" + forwarded.fetchId + R"(","result":)" + expected + "}");
    }
    // A callback that completes no call reaches the file's agent browser, re-serialised.
    webviewer_->send(R"( { "type" : "callback", "fn" : "streamingChunkReceived", "args" : [ 1.50, { "z" : 1, "a" : 2 }, 1E2 ] } )");
    EXPECT_EQ(agentBrowser_->receive(), R"({"args":[1.5,{"a":2,"z":1},100.0],"fn":"streamingChunkReceived","type":"callback"})");
    EXPECT_TRUE(agentBrowser_->quiet());
}

TEST_F(Callbacks, AgentBrowserScriptCallsReachTheFilesWebviewerReserialisedOrAnErrorComesBack) {
    agentBrowser_->send(R"({"type":"callScript", "script":"Report", "param":"{\"a\": 1}", "extra":[true]})");
    EXPECT_EQ(webviewer_->receive(), R"({"extra":[true],"param":"{\"a\": 1}","script":"Report","type":"callScript"})");
    const nlohmann::json withOption = {{"type", "callScriptWithOption"}, {"script", "Report"}, {"param", ""}, {"option", {{"x", 1}}}};
    agentBrowser_->sendJson(withOption);
    EXPECT_EQ(webviewer_->receive(), withOption.dump());
    auto lonely = connectAgentBrowser("Contacts");
    lonely->sendJson(withOption);
    EXPECT_EQ(lonely->receive(), R"({"message":"No FileMaker connection for Contacts","type":"error"})");
    EXPECT_TRUE(webviewer_->quiet());  // another file's web viewer is not used
    EXPECT_TRUE(agentBrowser_->quiet());
}

TEST_F(Callbacks, MessagesFromTheWrongPageOrNestedPastTheLimitAreIgnored) {
    auto reply = call();
    const std::string id = receiveForwardedCall(*webviewer_).fetchId;
    const std::string result = nlohmann::json{{"type", "callback"}, {"fn", "handleFMCallback"}, {"args", {"forged", id}}}.dump();
    WsClient unregistered(port());
    std::vector<std::pair<WsClient*, std::string>> ignored = {
        {&unregistered, result}, {&unregistered, R"({"type":"callScript","script":"Report","param":""})"}, {agentBrowser_.get(), result},
    };
    for (std::size_t depth : {std::size_t{256}, kOverflowing}) {  // 256 levels below the message's own: 257 or more
        ignored.emplace_back(webviewer_.get(), R"({"type":"callback","fn":"handleFMCallback","args":[)" + nested(depth) + R"(,")" + id + R"("]})");
        ignored.emplace_back(webviewer_.get(), R"({"type":"callback","fn":"streamingChunkReceived","args":[)" + nested(depth) + "]}");
        ignored.emplace_back(agentBrowser_.get(), R"({"type":"callScript","script":"Report","param":"","x":)" + nested(depth) + "}");
    }
    for (const auto& [page, message] : ignored) page->send(message);
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
    for (WsClient* page : {&unregistered, agentBrowser_.get(), webviewer_.get()}) EXPECT_TRUE(page->quiet());
    EXPECT_EQ(pendingCallCount(), 1u);
    sendResult(*webviewer_, "ok", id);
    EXPECT_EQ(reply.get().status, 200);
}

TEST_F(Callbacks, AResultTooLargeForTheWebSocketFailsOnlyItsCallOnce) {
    auto tooLarge = call();
    const std::string id = receiveForwardedCall(*webviewer_).fetchId;
    const nlohmann::json message = {{"type", "callback"}, {"fn", "resultTooLarge"}, {"args", {{{"error", "Result too large"}, {"resultBytes", 20000000}}, id}}};
    webviewer_->sendJson(message);
    expectJsonReply(tooLarge.get(), "502 Bad Gateway",
                    R"({"code":"result_too_large","connectedFileName":"Invoices","error":"Script result too large to send over the WebSocket",)"
                    R"("limitBytes":16777216,"resultBytes":20000000,"scriptName":"Report"})");
    webviewer_->sendJson(message);  // once answered, it is ignored
    EXPECT_TRUE(agentBrowser_->quiet());
    EXPECT_EQ(httpGet(port(), "/connectedFiles").body, R"(["Invoices"])");
}

}  // namespace
}  // namespace Lumenbox::testing
