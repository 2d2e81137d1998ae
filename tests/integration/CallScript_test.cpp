#include <regex>

#include "support/BridgeFixture.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {
namespace {

constexpr const char* kInvalidJson = R"({"error":"Invalid JSON body."})";
constexpr const char* kInvalidPayload = R"({"error":"Invalid payload. Expected { connectedFileName, scriptName, data }."})";
// Deep enough to overflow the server thread's stack if such a value were ever built and written
// again (the sanitizer's larger frames need fewer levels).
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kOverflowingDepth = 10000;
#else
constexpr std::size_t kOverflowingDepth = 100000;
#endif
constexpr const char* kNotAuthorized = R"({"code":"session_not_authorized","error":"Session is not authorized for Invoices"})";
constexpr const char* kCallTarget = "/callScript?timeout=10000";  // ends a failing test in good time

std::string callBody(const std::string& scriptName, const std::string& dataJson = "null", const std::string& fileName = "Invoices") {
    return R"({"connectedFileName":)" + nlohmann::json(fileName).dump() + R"(,"scriptName":)" + nlohmann::json(scriptName).dump() + R"(,"data":)" + dataJson + "}";
}
std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

using CallScript = BridgeFixture;
using clients::Headers;

TEST_F(CallScript, RequestsAreRefusedTimeLimitFirstThenBodyThenFileWhateverTheSession) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);  // the body and the file are judged before any authorization
    const std::tuple<std::string, std::string, const char*, std::string> cases[] = {
        {"?timeout=0", "not json", "400 Bad Request", R"({"error":"Invalid timeout query parameter. Expected positive integer milliseconds."})"},
        {"?timeout=2147483648", "not json", "400 Bad Request", R"({"error":"Invalid timeout query parameter. Expected positive integer milliseconds."})"},
        {"", "", "400 Bad Request", kInvalidJson},
        {"", R"({"connectedFileName":"Invoices","scriptName":"Report",})", "400 Bad Request", kInvalidJson},
        {"", "{\"connectedFileName\":\"Invoices\xff\",\"scriptName\":\"Report\"}", "400 Bad Request", kInvalidJson},
        {"", std::string(kOverflowingDepth, '{'), "400 Bad Request", kInvalidJson},
        {"", callBody("Report", nested(256)), "400 Bad Request", kInvalidJson},  // the body's own object is the first level
        {"", callBody("LB_get_version", nested(kOverflowingDepth)), "400 Bad Request", kInvalidJson},
        {"", R"(["Invoices","Report"])", "400 Bad Request", kInvalidPayload},
        {"", R"({"connectedFileName":"Invoices","scriptName":7})", "400 Bad Request", kInvalidPayload},
        {"", R"({"scriptName":"Report"})", "400 Bad Request", kInvalidPayload},
        {"", R"({"connectedFileName":"Invoices","scriptName":" \t\r\n\f\u000b"})", "400 Bad Request", kInvalidPayload},
        {"", R"({"connectedFileName":"?fileName=&x=1","scriptName":"Report"})", "400 Bad Request", kInvalidPayload},
        {"", R"({"connectedFileName":"  Unknown\t","scriptName":"Report"})", "404 Not Found", R"({"error":"No active WebSocket for Unknown"})"},
        {"", callBody("lb_get_version"), "401 Unauthorized", kNotAuthorized},  // only the exact name skips approval
    };
    for (const auto& [query, body, status, expected] : cases) {
        for (const Headers& headers : {Headers{}, Headers{{"x-lumenbox-session", "session-1"}}}) {
            expectJsonReply(httpPost(port(), "/callScript" + query, body, headers), status, expected);
        }
    }
    for (const char* route : {"/authorizeSession", "/sessions/revoke"}) {
        EXPECT_EQ(httpPost(port(), route, R"({"sessionId":)" + nested(kOverflowingDepth) + "}").status, 400) << route;
    }
    EXPECT_EQ(std::make_tuple(webviewer->quiet(), pendingCallCount()), std::make_tuple(true, 0u));
    setEnhancedSecurityEnabled(false);  // no approval for a file that is not there
    httpPost(port(), "/callScript", callBody("Report", "null", "Unknown"), {{"x-lumenbox-session", "session-1"}});
    EXPECT_TRUE(store_.listSessions().empty());
}

TEST_F(CallScript, ACallIsForwardedOnceUnderItsOwnIdWithTheLimitAskedForAndAnsweredByItsCallback) {
    auto webviewer = connectWebviewer("Invoices");
    auto first = httpPostAsync(port(), kCallTarget, callBody(" Monthly report\t", R"({"a":[1,"b",null],"year":2024})", "https://host/app?x=1&fileName=Invoices&y=2"));
    auto call = receiveForwardedCall(*webviewer);
    EXPECT_TRUE(std::regex_match(call.fetchId, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}"))) << call.fetchId;
    EXPECT_EQ(call.text, R"({"param":"{\"callback\":{\"fetchId\":\")" + call.fetchId +
                             R"(\"},\"data\":{\"a\":[1,\"b\",null],\"year\":2024}}","script":"Monthly report","type":"callScript"})");
    // The route passes the decoded limit through: an escaped "&" and "=" make no parameter.
    auto expiring = httpPostAsync(port(), "/callScript?note=a%26timeout%3D1&time%6Fut=+%32%35", callBody("Report"));
    auto expired = receiveForwardedCall(*webviewer);
    EXPECT_NE(expired.fetchId, call.fetchId);
    expectJsonReply(expiring.get(), "502 Bad Gateway",
                    R"({"code":"script_timeout","connectedFileName":"Invoices","error":"Timed out waiting for FileMaker callback",)"
                    R"("scriptName":"Report","timeoutMs":25,"webviewerConnected":true})");
    sendResult(*webviewer, "done", call.fetchId);
    expectJsonReply(first.get(), "200 OK", R"({"fetchId":")" + call.fetchId + R"(","result":"done"})");
    EXPECT_EQ(pendingCallCount(), 0u);
}

TEST_F(CallScript, CallWhoseMessageWouldExceedTheWebSocketLimitIsRefusedUpFront) {
    auto webviewer = connectWebviewer("Invoices");
    // Under the body limit, but each quote is escaped once more inside the envelope's text.
    std::string quotes = "[";
    while (quotes.size() < 11 * 1024 * 1024) quotes += R"("",)";
    quotes.back() = ']';
    expectJsonReply(httpPost(port(), kCallTarget, callBody("Report", quotes)), "413 Payload Too Large",
                    R"({"error":"Request too large to send to the web viewer of Invoices"})");
    EXPECT_EQ(std::make_tuple(webviewer->quiet(), pendingCallCount()), std::make_tuple(true, 0u));
}


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
        {nested(kOverflowingDepth), nlohmann::json(nested(kOverflowingDepth)).dump()},  // too deep to parse: the text
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
    EXPECT_EQ(std::make_tuple(webviewer_->quiet(), agentBrowser_->quiet()), std::make_tuple(true, true));  // nor another file's
}

TEST_F(Callbacks, MessagesFromTheWrongPageOrNestedPastTheLimitAreIgnored) {
    auto reply = call();
    const std::string id = receiveForwardedCall(*webviewer_).fetchId;
    WsClient unregistered(port());
    // Which connection may answer a call is the component's to show; an unregistered one calls nothing.
    std::vector<std::pair<WsClient*, std::string>> ignored = {{&unregistered, R"({"type":"callScript","script":"Report","param":""})"}};
    for (std::size_t depth : {std::size_t{256}, kOverflowingDepth}) {  // 256 levels below the message's own: 257 or more
        ignored.emplace_back(webviewer_.get(), R"({"type":"callback","fn":"handleFMCallback","args":[)" + nested(depth) + R"(,")" + id + R"("]})");
        ignored.emplace_back(webviewer_.get(), R"({"type":"callback","fn":"streamingChunkReceived","args":[)" + nested(depth) + "]}");
        ignored.emplace_back(agentBrowser_.get(), R"({"type":"callScript","script":"Report","param":"","x":)" + nested(depth) + "}");
    }
    for (const auto& [page, message] : ignored) page->send(message);
    for (WsClient* page : {&unregistered, agentBrowser_.get(), webviewer_.get()}) EXPECT_TRUE(page->quiet());
    sendResult(*webviewer_, "ok", id);
    EXPECT_EQ(reply.get().status, 200);
}

TEST_F(Callbacks, AResultTooLargeForTheWebSocketFailsItsCallWithTheSizes) {
    auto tooLarge = call();
    const std::string id = receiveForwardedCall(*webviewer_).fetchId;
    const nlohmann::json message = {{"type", "callback"}, {"fn", "resultTooLarge"}, {"args", {{{"error", "Result too large"}, {"resultBytes", 20000000}}, id}}};
    webviewer_->sendJson(message);  // that it is told once, and only its call, is the component's to show
    expectJsonReply(tooLarge.get(), "502 Bad Gateway",
                    R"({"code":"result_too_large","connectedFileName":"Invoices","error":"Script result too large to send over the WebSocket",)"
                    R"("limitBytes":16777216,"resultBytes":20000000,"scriptName":"Report"})");
}

}  // namespace
}  // namespace Lumenbox::testing
