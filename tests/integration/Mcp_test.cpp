// The agents' endpoint where only a socket shows the fact: the event stream's framing, and what
// a client that goes away or cancels leaves behind. The official clients' suites test the rest.
#include "support/BridgeFixture.h"
#include "support/DialogDriver.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {
namespace {

using clients::Headers;

class Mcp : public BridgeFixture {
protected:
    // A legacy session's headers, after its handshake.
    Headers openSession() {
        auto reply = httpPost(port(), "/mcp",
                              R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
                              R"("capabilities":{},"clientInfo":{"name":"test-agent","version":"1.0"}}})",
                              {{"content-type", "application/json"}});
        EXPECT_EQ(reply.status, 200);
        return {{"mcp-session-id", reply.headers["mcp-session-id"]}, {"mcp-protocol-version", "2025-06-18"},
                {"accept", "application/json, text/event-stream"}, {"content-type", "application/json"}};
    }
    static std::string runScriptBody(int id, const std::string& progress = "") {
        return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
               R"(,"method":"tools/call","params":{"name":"run_script","arguments":{"fileName":"Invoices",)"
               R"("scriptName":"Report","data":{"n":1}})" +
               (progress.empty() ? "" : R"(,"_meta":{"progressToken":")" + progress + "\"}") + "}}";
    }
};

TEST_F(Mcp, AScriptCallWithAProgressTokenStreamsProgressThenItsResultAndTheStreamEnds) {
    auto webviewer = connectWebviewer("Invoices");
    auto reply = httpPostAsync(port(), "/mcp", runScriptBody(7, "p1"), openSession());
    ForwardedCall call = receiveForwardedCall(*webviewer);
    EXPECT_EQ(call.envelope["data"], nlohmann::json({{"n", 1}}));
    sendResult(*webviewer, {{"total", 3}}, call.fetchId);
    HttpReply answered = reply.get();
    EXPECT_EQ(answered.status, 200);
    EXPECT_EQ(answered.headers["content-type"], "text/event-stream");
    EXPECT_EQ(answered.headers["x-accel-buffering"], "no");
    EXPECT_EQ(answered.headers["transfer-encoding"], "chunked");
    const std::string progress =
        R"(event: message)" "\n" R"(data: {"jsonrpc":"2.0","method":"notifications/progress","params":{"message":)"
        R"("Waiting for FileMaker to run the script","progress":1,"progressToken":"p1"}})" "\n\n";
    const nlohmann::json structured = {{"fetchId", call.fetchId}, {"fileName", "Invoices"}, {"result", {{"total", 3}}},
                                       {"scriptName", "Report"}};
    const nlohmann::json result = {{"jsonrpc", "2.0"}, {"id", 7},
                                   {"result", {{"content", {{{"type", "text"}, {"text", structured.dump()}}}},
                                               {"structuredContent", structured}}}};
    EXPECT_EQ(answered.body, progress + "event: message\ndata: " + result.dump() + "\n\n");
}

TEST_F(Mcp, AClientThatGoesAwayOrCancelsFreesItsCallAndTheLateResultReachesNobody) {
    auto webviewer = connectWebviewer("Invoices");
    auto agentBrowser = connectAgentBrowser("Invoices");
    webviewer->receive();  // the file's status, now with an agent browser
    const Headers session = openSession();
    // The client closes its stream.
    {
        HttpClient client(port());
        Headers raw = session;
        raw.erase("content-type");  // the raw request writes its own
        client.sendRaw(clients::requestBytes("POST", "/mcp", runScriptBody(1, "p"), raw));
        ForwardedCall call = receiveForwardedCall(*webviewer);
        client.close();
        EXPECT_TRUE(eventually([&] { return pendingCallCount() == 0; }));
        sendResult(*webviewer, "late", call.fetchId);
    }
    // notifications/cancelled for a plain request: it ends with 202 and no body.
    auto reply = httpPostAsync(port(), "/mcp", runScriptBody(2), session);
    ForwardedCall call = receiveForwardedCall(*webviewer);
    Headers plain = session;
    plain.erase("accept");
    auto cancelled = httpPost(port(), "/mcp",
                              R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":2}})", plain);
    EXPECT_EQ(cancelled.status, 202);
    HttpReply ended = reply.get();
    EXPECT_EQ(std::make_tuple(ended.status, ended.body), std::make_tuple(202, std::string()));
    EXPECT_EQ(pendingCallCount(), 0u);
    sendResult(*webviewer, "late", call.fetchId);
    // The session still works, and neither late result went anywhere.
    EXPECT_EQ(httpPost(port(), "/mcp", R"({"jsonrpc":"2.0","id":3,"method":"ping"})", session).body,
              R"({"id":3,"jsonrpc":"2.0","result":{}})");
    EXPECT_TRUE(agentBrowser->quiet());
}

#if !defined(__APPLE__)
// The stateless generation, with enhanced security: the question is the one /authorizeSession
// asks, progress flows while the user decides, and the call runs once allowed.
class McpApproval : public Mcp {
protected:
    ~McpApproval() override { server_.reset(), dialogs_.shutdown(); }
    static Headers modern(const std::string& session) {
        return {{"content-type", "application/json"}, {"accept", "application/json, text/event-stream"}, {"mcp-protocol-version", "2026-07-28"},
                {"mcp-method", "tools/call"}, {"mcp-name", "run_script"}, {"x-lumenbox-session", session}};
    }
    static std::string modernBody() {
        return R"({"jsonrpc":"2.0","id":"c1","method":"tools/call","params":{"name":"run_script","arguments":)"
               R"({"fileName":"Invoices","scriptName":"Report"},"_meta":{"progressToken":5,)"
               R"("io.modelcontextprotocol/protocolVersion":"2026-07-28","io.modelcontextprotocol/clientCapabilities":{},)"
               R"("io.modelcontextprotocol/clientInfo":{"name":"agent\nX","version":"2.1"}}}})";
    }
    DialogDriver dialogs_;
};

TEST_F(McpApproval, AnUnapprovedSessionIsAskedAboutWithProgressAndRunsOnceAllowed) {
    auto webviewer = connectWebviewer("Invoices");
    setEnhancedSecurityEnabled(true);
    auto reply = httpPostAsync(port(), "/mcp", modernBody(), modern("agent-session-1"));
    auto dialog = dialogs_.nextDialog();
    ASSERT_TRUE(dialog);
    EXPECT_EQ(std::make_tuple(dialog->content.fileName, dialog->content.clientName, dialog->content.clientDescription),
              std::make_tuple("Invoices", "agentX", "An MCP client that says it is agentX 2.1."));
    dialogs_.allow(*dialog);
    ForwardedCall call = receiveForwardedCall(*webviewer);
    sendResult(*webviewer, 42, call.fetchId);
    const std::string body = reply.get().body;
    const std::string asking = R"("message":"Waiting for the user to approve this session in Lumenbox","progress":1,)";
    const std::string running = R"("message":"Waiting for FileMaker to run the script","progress":2,)";
    ASSERT_NE(body.find(asking), std::string::npos) << body;
    ASSERT_NE(body.find(running), std::string::npos) << body;
    EXPECT_NE(body.find(R"("resultType":"complete","structuredContent":{"fetchId":")"), std::string::npos) << body;
    setEnhancedSecurityEnabled(false);
}
#endif

}  // namespace
}  // namespace Lumenbox::testing
