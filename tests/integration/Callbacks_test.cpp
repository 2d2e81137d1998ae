#include "support/BridgeFixture.h"

namespace Lumenbox::testing {
namespace {

constexpr const char* kCallTarget = "/callScript?timeout=10000";

std::string callBody(const std::string& fileName) {
    return nlohmann::json{{"connectedFileName", fileName}, {"scriptName", "Report"}}.dump();
}

class Callbacks : public BridgeFixture {
protected:
    // A web viewer and an agent browser of "Invoices", their registration statuses consumed.
    void SetUp() override {
        webviewer_ = connectWebviewer("Invoices");
        agentBrowser_ = connectAgentBrowser("Invoices");
        EXPECT_EQ(webviewer_->receiveJson()["type"], "status");
    }

    std::unique_ptr<WsClient> webviewer_;
    std::unique_ptr<WsClient> agentBrowser_;
};

TEST_F(Callbacks, ResultIsRepliedAsJsonWhenItsTextParsesAndAsTextOtherwise) {
    const std::pair<nlohmann::json, std::string> cases[] = {
        {"42", "42"}, {"hello", R"("hello")"}, {nlohmann::json{{"a", 1}}, R"({"a":1})"}, {"", R"("")"}, {" [1, 2] ", "[1,2]"},
        {R"({"b":true,"a":null})", R"({"a":null,"b":true})"}, {"{\"a\":1} trailing", R"("{\"a\":1} trailing")"},
        {"// 1", R"("// 1")"}, {7.5, "7.5"}, {nullptr, "null"}, {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
    };
    for (const auto& [result, expected] : cases) {
        SCOPED_TRACE(result.dump());
        auto reply = httpPostAsync(port(), kCallTarget, callBody("Invoices"));
        auto call = receiveForwardedCall(*webviewer_);
        sendResult(*webviewer_, result, call.fetchId);
        expectJsonReply(reply.get(), "200 OK", R"({"fetchId":")" + call.fetchId + R"(","result":)" + expected + "}");
    }
    EXPECT_TRUE(agentBrowser_->quiet());  // results are not relayed
}

TEST_F(Callbacks, CallbacksThatCompleteNoPendingCallReachTheFilesAgentBrowserReserialisedWhileTheCallWaits) {
    auto reply = httpPostAsync(port(), kCallTarget, callBody("Invoices"));
    const std::string id = receiveForwardedCall(*webviewer_).fetchId;
    std::vector<std::pair<std::string, std::string>> passedOn = {
        {R"( { "type" : "callback", "fn" : "streamingChunkReceived", "args" : [ 1.50, { "z" : 1, "a" : 2 }, "caf\u00e9", 1E2 ] } )",
         "{\"args\":[1.5,{\"a\":2,\"z\":1},\"caf\xc3\xa9\",100.0],\"fn\":\"streamingChunkReceived\",\"type\":\"callback\"}"},
    };
    for (const nlohmann::json& notAResult : {
             nlohmann::json{{"type", "callback"}, {"fn", "handleFMCallback"}, {"args", {"only one"}}},
             nlohmann::json{{"type", "callback"}, {"fn", "handleFMCallback"}, {"args", {"numeric id", 12}}},
             nlohmann::json{{"type", "callback"}, {"fn", "handleFMCallback"}, {"args", "r," + id}},
             nlohmann::json{{"type", "callback"}, {"fn", "handleFMCallback"}},
             nlohmann::json{{"type", "callback"}, {"fn", "HandleFMCallback"}, {"args", {"wrong case", id}}},
             nlohmann::json{{"type", "callback"}, {"args", {"no fn", id}}},
             nlohmann::json{{"type", "callback"}, {"fn", "handleFMCallback"}, {"args", {"unknown id", "not-" + id}}}}) {
        passedOn.emplace_back(notAResult.dump(), notAResult.dump());
    }
    for (const auto& [sent, relayed] : passedOn) {
        webviewer_->send(sent);
        EXPECT_EQ(agentBrowser_->receive(), relayed);
    }
    EXPECT_EQ(pendingCallCount(), 1u);
    // Arguments after the fetch id do not matter.
    webviewer_->sendJson({{"type", "callback"}, {"fn", "handleFMCallback"}, {"args", {"done", id, "extra"}}});
    EXPECT_EQ(reply.get().body, R"({"fetchId":")" + id + R"(","result":"done"})");

    // A file without agent browser drops its callbacks.
    auto lonelyWebviewer = connectWebviewer("Contacts");
    lonelyWebviewer->sendJson({{"type", "callback"}, {"fn", "streamingChunkReceived"}, {"args", {1}}});
    EXPECT_TRUE(agentBrowser_->quiet());
    EXPECT_TRUE(lonelyWebviewer->quiet());
}

TEST_F(Callbacks, ResultsForBridgeIssuedIdsReachOnlyTheirCallAndOnlyFromTheConnectionItWasSentTo) {
    auto otherWebviewer = connectWebviewer("Contacts");
    auto otherAgentBrowser = connectAgentBrowser("Contacts");
    EXPECT_EQ(otherWebviewer->receiveJson()["type"], "status");

    auto reply = httpPostAsync(port(), kCallTarget, callBody("Invoices"));
    auto call = receiveForwardedCall(*webviewer_);
    // Another file's web viewer, and a newer registration of the same file, cannot answer it.
    sendResult(*otherWebviewer, "forged by Contacts", call.fetchId);
    WsClient newer(port());
    newer.registerAs("Invoices", "webviewer");
    EXPECT_EQ(newer.receiveJson()["type"], "status");
    EXPECT_EQ(agentBrowser_->receiveJson()["type"], "status");
    sendResult(newer, "forged by a newer page", call.fetchId);
    EXPECT_EQ(pendingCallCount(), 1u);

    sendResult(*webviewer_, "from Invoices", call.fetchId);
    EXPECT_EQ(reply.get().json()["result"], "from Invoices");

    // Late results, and results for ids of the bridge's form that no call has, go nowhere.
    auto timedOut = httpPostAsync(port(), "/callScript?timeout=1", callBody("Invoices"));
    auto expired = receiveForwardedCall(newer);
    EXPECT_EQ(timedOut.get().json()["code"], "script_timeout");
    sendResult(*webviewer_, "again", call.fetchId);
    sendResult(newer, "too late", expired.fetchId);
    sendResult(newer, "never issued", "0b7e6c1d-2a3f-8c4e-9d5a-6b7c8d9e0f1a");
    // A page's own callback (its ids are version 4) still reaches the agent browser.
    sendResult(newer, "page's own", "0b7e6c1d-2a3f-4c4e-9d5a-6b7c8d9e0f1a");
    EXPECT_EQ(agentBrowser_->receiveJson()["args"][0], "page's own");
    EXPECT_TRUE(agentBrowser_->quiet());
    EXPECT_TRUE(otherAgentBrowser->quiet());
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
}

TEST_F(Callbacks, AgentBrowserScriptCallsReachTheFilesWebviewerReserialisedOrAnErrorComesBackForEach) {
    agentBrowser_->send(R"({"type":"callScript", "script":"Report", "param":"{\"a\": 1}", "extra":[true]})");
    EXPECT_EQ(webviewer_->receive(), R"({"extra":[true],"param":"{\"a\": 1}","script":"Report","type":"callScript"})");
    for (const nlohmann::json& option : {nlohmann::json(0), nlohmann::json("3"), nlohmann::json({{"x", 1}}),
                                         nlohmann::json(nullptr), nlohmann::json::array({1, 2})}) {
        nlohmann::json message = {{"type", "callScriptWithOption"}, {"script", "Report"}, {"param", ""}, {"option", option}};
        agentBrowser_->sendJson(message);
        EXPECT_EQ(webviewer_->receive(), message.dump());
    }
    EXPECT_TRUE(agentBrowser_->quiet());

    auto agentBrowser = connectAgentBrowser("Contacts");
    const std::string error = R"({"message":"No FileMaker connection for Contacts","type":"error"})";
    agentBrowser->sendJson({{"type", "callScript"}, {"script", "Report"}, {"param", ""}});
    agentBrowser->sendJson({{"type", "callScriptWithOption"}, {"script", "Report"}, {"param", ""}, {"option", 3}});
    EXPECT_EQ(agentBrowser->receive(), error);
    EXPECT_EQ(agentBrowser->receive(), error);
    EXPECT_TRUE(webviewer_->quiet());  // another file's web viewer is not used

    auto webviewer = connectWebviewer("Contacts");
    EXPECT_EQ(agentBrowser->receiveJson()["webviewerConnected"], true);
    agentBrowser->sendJson({{"type", "callScript"}, {"script", "Report"}, {"param", "p"}});
    EXPECT_EQ(webviewer->receive(), R"({"param":"p","script":"Report","type":"callScript"})");
    EXPECT_TRUE(agentBrowser->quiet());
}

TEST_F(Callbacks, MessagesFromTheWrongPageOrOfTheWrongShapeOrNestedPastTheLimitAreIgnored) {
#if defined(__SANITIZE_ADDRESS__)
    const std::size_t overflowing = 10000;  // enough for the sanitizer's larger frames
#else
    const std::size_t overflowing = 100000;
#endif
    const auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    auto reply = httpPostAsync(port(), kCallTarget, callBody("Invoices"));
    const std::string id = receiveForwardedCall(*webviewer_).fetchId;
    const std::string result = nlohmann::json{{"type", "callback"}, {"fn", "handleFMCallback"}, {"args", {"forged", id}}}.dump();
    const std::string scriptCall = R"({"type":"callScript","script":"Report","param":""})";
    WsClient unregistered(port());
    std::vector<std::pair<WsClient*, std::string>> ignored = {
        {&unregistered, result}, {&unregistered, scriptCall}, {agentBrowser_.get(), result}, {webviewer_.get(), scriptCall},
    };
    for (const char* fn : {"5", R"(["handleFMCallback"])", "null"}) {
        ignored.emplace_back(webviewer_.get(), R"({"type":"callback","fn":)" + std::string(fn) + R"(,"args":["x",")" + id + R"("]})");
    }
    for (std::size_t depth : {std::size_t{256}, overflowing}) {  // 256 levels below the message's own: 257 or more
        ignored.emplace_back(webviewer_.get(), R"({"type":"callback","fn":"handleFMCallback","args":[)" + nested(depth) + R"(,")" + id + R"("]})");
        ignored.emplace_back(webviewer_.get(), R"({"type":"callback","fn":"streamingChunkReceived","args":[)" + nested(depth) + "]}");
        ignored.emplace_back(agentBrowser_.get(), R"({"type":"callScript","script":"Report","param":"","x":)" + nested(depth) + "}");
        ignored.emplace_back(webviewer_.get(), R"({"type":"register","fileName":"Invoices","role":"webviewer","x":)" + nested(depth) + "}");
    }
    for (const auto& [page, message] : ignored) page->send(message);
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
    for (WsClient* page : {&unregistered, agentBrowser_.get(), webviewer_.get()}) EXPECT_TRUE(page->quiet());
    EXPECT_EQ(pendingCallCount(), 1u);

    // A result sent as text is parsed under the same limit: too deep, it is replied as the text.
    sendResult(*webviewer_, nested(overflowing), id);
    EXPECT_EQ(reply.get().json()["result"], nested(overflowing));
    webviewer_->sendJson({{"type", "callback"}, {"fn", "streamingChunkReceived"}, {"args", {1}}});
    EXPECT_EQ(agentBrowser_->receiveJson()["args"], nlohmann::json::array({1}));
}

TEST_F(Callbacks, ResultTooLargeForTheWebSocketFailsOnlyItsCallAndTheFileStaysConnected) {
    auto tooLarge = httpPostAsync(port(), kCallTarget, callBody("Invoices"));
    auto first = receiveForwardedCall(*webviewer_);
    auto waiting = httpPostAsync(port(), kCallTarget, callBody("Invoices"));
    auto second = receiveForwardedCall(*webviewer_);
    const auto resultTooLarge = [](const std::string& fetchId) {
        return nlohmann::json{{"type", "callback"}, {"fn", "resultTooLarge"},
                              {"args", {{{"error", "Result too large"}, {"resultBytes", 20000000}}, fetchId}}};
    };

    // Only the connection the call was sent to can fail it.
    auto otherWebviewer = connectWebviewer("Contacts");
    otherWebviewer->sendJson(resultTooLarge(first.fetchId));
    EXPECT_EQ(pendingCallCount(), 2u);

    webviewer_->sendJson(resultTooLarge(first.fetchId));
    expectJsonReply(tooLarge.get(), "502 Bad Gateway",
                    R"({"code":"result_too_large","connectedFileName":"Invoices",)"
                    R"("error":"Script result too large to send over the WebSocket","limitBytes":16777216,)"
                    R"("resultBytes":20000000,"scriptName":"Report"})");
    webviewer_->sendJson(resultTooLarge(first.fetchId));  // once answered, it is ignored
    EXPECT_TRUE(agentBrowser_->quiet());

    sendResult(*webviewer_, "ok", second.fetchId);
    EXPECT_EQ(waiting.get().status, 200);
    EXPECT_EQ(httpGet(port(), "/connectedFiles").body, R"(["Contacts","Invoices"])");
}

}  // namespace
}  // namespace Lumenbox::testing
