#include "support/BridgeFixture.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {
namespace {

constexpr const char* kWebviewerOnly = R"({"agentBrowserConnected":false,"type":"status","webviewerConnected":true})";
constexpr const char* kAgentBrowserOnly = R"({"agentBrowserConnected":true,"type":"status","webviewerConnected":false})";
constexpr const char* kBothConnected = R"({"agentBrowserConnected":true,"type":"status","webviewerConnected":true})";

class WebSocketRegistry : public BridgeFixture {
protected:
    std::string connectedFiles() { return httpGet(port(), "/connectedFiles").body; }
    std::string bridgeStatus() { return httpGet(port(), "/bridgeStatus").body; }
    void expectServerHealthy() { EXPECT_EQ(httpGet(port(), "/health").status, 200); }

    // Sends a script call for "Invoices" and checks which page it reaches; answers it from there.
    void expectCallsReach(WsClient& webviewer) {
        auto reply = httpPostAsync(port(), "/callScript?timeout=10000", R"({"connectedFileName":"Invoices","scriptName":"Report"})",
                                   {{"x-lumenbox-session", "registry-test"}});
        sendResult(webviewer, "ok", receiveForwardedCall(webviewer).fetchId);
        EXPECT_EQ(reply.get().status, 200);
    }
};

constexpr const char* kTakenError =
    R"({"message":"Another web viewer is connected for Invoices; open this page with the file's connector URL )"
    R"((Lumenbox_ConnectorURL) to replace it.","type":"error"})";

TEST_F(WebSocketRegistry, PagesOfAFileAreToldWhenAnAgentBrowserJoinsOrLeavesUnderTheTrimmedName) {
    WsClient webviewer(port());
    webviewer.registerAs(" \tInvoices \r\n", "webviewer");
    EXPECT_EQ(webviewer.receive(), kWebviewerOnly);
    auto otherFile = connectWebviewer("Contacts");

    WsClient agentBrowser(port());
    agentBrowser.registerAs("Invoices", "agent-browser");
    EXPECT_EQ(agentBrowser.receive(), kBothConnected);
    EXPECT_EQ(webviewer.receive(), kBothConnected);
    EXPECT_TRUE(otherFile->quiet());
    const std::string contacts = R"({"agentBrowserConnected":false,"fileName":"Contacts","webviewerConnected":true})";
    EXPECT_EQ(bridgeStatus(), "[" + contacts + R"(,{"agentBrowserConnected":true,"fileName":"Invoices","webviewerConnected":true}])");
    agentBrowser.close();
    EXPECT_EQ(webviewer.receive(), kWebviewerOnly);
    EXPECT_EQ(bridgeStatus(), "[" + contacts + R"(,{"agentBrowserConnected":false,"fileName":"Invoices","webviewerConnected":true}])");
}

TEST_F(WebSocketRegistry, NewerWebviewerTakesTheFileAndTheOlderOneIsNoLongerTold) {
    auto older = connectWebviewer("Invoices");
    auto agentBrowser = connectAgentBrowser("Invoices");
    EXPECT_EQ(older->receive(), kBothConnected);

    WsClient newer(port());
    newer.registerAs("Invoices", "webviewer");
    EXPECT_EQ(newer.receive(), kBothConnected);
    EXPECT_EQ(agentBrowser->receive(), kBothConnected);

    // Another broadcast for the file goes to the newer web viewer only.
    agentBrowser->registerAs("Invoices", "agent-browser");
    EXPECT_EQ(agentBrowser->receive(), kBothConnected);
    EXPECT_EQ(newer.receive(), kBothConnected);
    EXPECT_TRUE(older->quiet());

    // The older one leaving does not take the file away from the newer one.
    older->close();
    EXPECT_EQ(newer.receive(), kBothConnected);
    EXPECT_EQ(agentBrowser->receive(), kBothConnected);
    EXPECT_EQ(connectedFiles(), R"(["Invoices"])");
}

TEST_F(WebSocketRegistry, WebviewerMovingToAnotherFileLeavesTheOldFile) {
    auto webviewer = connectWebviewer("Invoices");
    auto oldFilesAgent = connectAgentBrowser("Invoices");
    EXPECT_EQ(webviewer->receive(), kBothConnected);

    webviewer->registerAs("Contacts", "webviewer");
    EXPECT_EQ(oldFilesAgent->receive(), kAgentBrowserOnly);
    EXPECT_EQ(webviewer->receive(), kWebviewerOnly);
    EXPECT_TRUE(webviewer->quiet());  // the old file's status went to its agent browser only
    EXPECT_EQ(connectedFiles(), R"(["Contacts"])");

    // Closing later touches the new file only.
    auto newFilesAgent = connectAgentBrowser("Contacts");
    EXPECT_EQ(webviewer->receive(), kBothConnected);
    webviewer->close();
    EXPECT_EQ(newFilesAgent->receive(), kAgentBrowserOnly);
    EXPECT_TRUE(oldFilesAgent->quiet());
}

TEST_F(WebSocketRegistry, MessagesThatRegisterNothingChangeNothingAndLeaveTheConnectionWorking) {
    auto webviewer = connectWebviewer("Invoices");
    WsClient frames(port());    // frames that are not text JSON objects with a type; then it registers
    WsClient stranger(port());  // registrations without a usable name or role; then it closes, silently
    const std::pair<WsClient*, std::string> ignored[] = {
        {&frames, "not json"},
        {&frames, R"({"type":"register","fileName":"Invoices","role":"webviewer",})"},  // trailing comma
        {&frames, R"(/* c */ {"type":"register","fileName":"Invoices","role":"webviewer"})"},
        {&frames, R"(["register"])"},
        {&frames, R"({"fileName":"Invoices","role":"webviewer"})"},
        {&frames, R"({"type":1,"fileName":"Invoices","role":"webviewer"})"},
        {&frames, R"({"type":"Register","fileName":"Invoices","role":"webviewer"})"},
        {&stranger, R"({"type":"register","fileName":"Invoices","role":"WebViewer"})"},
        {&stranger, R"({"type":"register","fileName":"Invoices","role":"Agent-Browser"})"},
        {&stranger, R"({"type":"register","fileName":"Invoices","role":""})"},
        {&stranger, R"({"type":"register","fileName":"Invoices"})"},
        {&stranger, R"({"type":"register","fileName":"   ","role":"agent-browser"})"},
        {&stranger, R"({"type":"register","role":"agent-browser"})"},
        // Names or roles that are not strings change nothing either, not even an earlier registration.
        {webviewer.get(), R"({"type":"register","fileName":42,"role":"webviewer"})"},
        {webviewer.get(), R"({"type":"register","fileName":"Contacts","role":7})"},
        {webviewer.get(), R"({"type":"register","fileName":["Contacts"],"role":"agent-browser"})"},
        {webviewer.get(), R"({"type":"register","fileName":"Contacts","role":null})"},
        {webviewer.get(), R"({"type":"register","fileName":null,"role":"webviewer"})"},
    };
    for (const auto& [page, text] : ignored) page->send(text);
    frames.sendBinary(R"({"type":"register","fileName":"Invoices","role":"webviewer"})");
    frames.sendBinary("{\"type\":\"register\",\"fileName\":\"Inv\xff\",\"role\":\"webviewer\"}");
    expectServerHealthy();
    for (WsClient* page : {&frames, &stranger, webviewer.get()}) EXPECT_TRUE(page->quiet());
    EXPECT_EQ(bridgeStatus(), R"([{"agentBrowserConnected":false,"fileName":"Invoices","webviewerConnected":true}])");

    stranger.close();
    EXPECT_TRUE(webviewer->quiet());
    frames.registerAs("Contacts", "webviewer");  // the first message it receives answers this registration
    EXPECT_EQ(frames.receive(), kWebviewerOnly);
    auto agentBrowser = connectAgentBrowser("Invoices");
    EXPECT_EQ(webviewer->receive(), kBothConnected);
}

TEST_F(WebSocketRegistry, TextFrameThatIsNotUtf8EndsOnlyThatConnection) {
    auto webviewer = connectWebviewer("Invoices");
    auto agentBrowser = connectAgentBrowser("Invoices");
    EXPECT_EQ(webviewer->receive(), kBothConnected);

    // Text frames must carry UTF-8; a page that breaks this rule is disconnected like any other
    // page that leaves.
    agentBrowser->send("{\"type\":\"callScript\",\"script\":\"Re\xffport\",\"param\":\"\"}");
    EXPECT_TRUE(agentBrowser->waitClosed());
    EXPECT_EQ(webviewer->receive(), kWebviewerOnly);
    EXPECT_EQ(connectedFiles(), R"(["Invoices"])");
}

TEST_F(WebSocketRegistry, SwitchingRoleUnderTheSameNameLeavesNoEntryBehind) {
    WsClient client(port());
    client.registerAs("Invoices", "webviewer");
    EXPECT_EQ(client.receive(), kWebviewerOnly);

    client.registerAs("Invoices", "agent-browser");
    EXPECT_EQ(client.receive(), kAgentBrowserOnly);
    EXPECT_EQ(connectedFiles(), "[]");

    // A second agent browser takes the entry and sees the first one's close; had the first kept
    // its web viewer entry, that status would claim a web viewer (a closed one).
    WsClient observer(port());
    observer.registerAs("Invoices", "agent-browser");
    EXPECT_EQ(observer.receive(), kAgentBrowserOnly);
    client.close();
    EXPECT_EQ(observer.receive(), kAgentBrowserOnly);
    EXPECT_EQ(bridgeStatus(), R"([{"agentBrowserConnected":true,"fileName":"Invoices","webviewerConnected":false}])");
    EXPECT_EQ(httpPost(port(), "/callScript", R"({"connectedFileName":"Invoices","scriptName":"Report"})").status, 404);
}

TEST_F(WebSocketRegistry, WithEnhancedSecurityOnlyTheFilesConnectorKeyReplacesItsConnectedWebviewer) {
    setEnhancedSecurityEnabled(true);
    store_.approve("registry-test", "Invoices", "test", 600);
    const std::string key = connectorKeys_.keyFor("Invoices");
    auto real = connectWebviewer("Invoices");  // nobody holds the file: no key needed

    WsClient hijacker(port());
    const nlohmann::json attempts[] = {
        {{"type", "register"}, {"fileName", "Invoices"}, {"role", "webviewer"}},
        {{"type", "register"}, {"fileName", " Invoices "}, {"role", "webviewer"}, {"key", ""}},
        {{"type", "register"}, {"fileName", "Invoices"}, {"role", "webviewer"}, {"key", key.substr(1) + "0"}},
        {{"type", "register"}, {"fileName", "Invoices"}, {"role", "webviewer"}, {"key", connectorKeys_.keyFor("Contacts")}},
        {{"type", "register"}, {"fileName", "Invoices"}, {"role", "webviewer"}, {"key", 42}},
    };
    for (const auto& attempt : attempts) {
        SCOPED_TRACE(attempt.dump());
        hijacker.sendJson(attempt);
        EXPECT_EQ(hijacker.receive(), kTakenError);
    }
    EXPECT_TRUE(real->quiet());
    expectCallsReach(*real);

    // The page that FileMaker opened with the key takes over, and the replaced one cannot return
    // without it; the key also works with enhanced security off.
    WsClient keyed(port());
    keyed.sendJson({{"type", "register"}, {"fileName", "Invoices"}, {"role", "webviewer"}, {"key", key}});
    EXPECT_EQ(keyed.receive(), kWebviewerOnly);
    real->registerAs("Invoices", "webviewer");
    EXPECT_EQ(real->receive(), kTakenError);
    expectCallsReach(keyed);
    setEnhancedSecurityEnabled(false);
    hijacker.registerAs("Invoices", "webviewer");  // as before: the newest page wins
    EXPECT_EQ(hijacker.receive(), kWebviewerOnly);
    real->sendJson({{"type", "register"}, {"fileName", "Invoices"}, {"role", "webviewer"}, {"key", key}});
    EXPECT_EQ(real->receive(), kWebviewerOnly);

    // With enhanced security on, a keyed page that goes hands the file only to an older keyed
    // page, never to the keyless one it replaced.
    setEnhancedSecurityEnabled(true);
    real->close();
    EXPECT_EQ(keyed.receive(), kWebviewerOnly);
    expectCallsReach(keyed);
    keyed.close();
    EXPECT_TRUE(eventually([&] { return connectedFiles() == "[]"; }));
    EXPECT_TRUE(hijacker.quiet());
    expectServerHealthy();
}

}  // namespace
}  // namespace Lumenbox::testing
