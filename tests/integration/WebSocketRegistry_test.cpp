#include "support/BridgeFixture.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {
namespace {

constexpr const char* kWebviewerOnly = R"({"agentBrowserConnected":false,"type":"status","webviewerConnected":true})";
constexpr const char* kAgentBrowserOnly = R"({"agentBrowserConnected":true,"type":"status","webviewerConnected":false})";
constexpr const char* kBothConnected = R"({"agentBrowserConnected":true,"type":"status","webviewerConnected":true})";

using WebSocketRegistry = BridgeFixture;

TEST_F(WebSocketRegistry, PagesOfAFileHearEachOtherComeAndGoUnderTheTrimmedNameAndNothingElse) {
    WsClient webviewer(port());
    webviewer.registerAs(" \tInvoices \r\n", "webviewer");
    EXPECT_EQ(webviewer.receive(), kWebviewerOnly);
    auto otherFile = connectWebviewer("Contacts");
    auto agentBrowser = connectAgentBrowser("Invoices");
    EXPECT_EQ(webviewer.receive(), kBothConnected);
    // Registrations that are not usable change nothing, not even an earlier registration.
    for (const char* ignored : {R"({"type":"register","fileName":"Invoices","role":"WebViewer"})", R"({"type":"register","fileName":42,"role":"webviewer"})",
                                R"({"type":"register","fileName":"Contacts","role":null})", R"({"type":"register","fileName":"   ","role":"agent-browser"})"}) {
        webviewer.send(ignored);
    }
    EXPECT_TRUE(agentBrowser->quiet());
    webviewer.registerAs("Contacts", "agent-browser");  // moves: the old file's agent browser is told
    EXPECT_EQ(agentBrowser->receive(), kAgentBrowserOnly);
    EXPECT_EQ(std::make_tuple(*webviewer.receive(), *otherFile->receive()), std::make_tuple(kBothConnected, kBothConnected));
    // A text frame that is not UTF-8 ends that connection like any page that leaves.
    webviewer.send("{\"type\":\"callScript\",\"script\":\"Re\xffport\",\"param\":\"\"}");
    EXPECT_TRUE(webviewer.waitClosed());
    EXPECT_EQ(otherFile->receive(), kWebviewerOnly);
    EXPECT_TRUE(agentBrowser->quiet());
    EXPECT_EQ(httpGet(port(), "/connectedFiles").body, R"(["Contacts"])");
}

TEST_F(WebSocketRegistry, WithEnhancedSecurityOnlyTheFilesConnectorKeyReplacesItsConnectedWebviewer) {
    setEnhancedSecurityEnabled(true);
    const std::string key = connectorKeys_.keyFor("Invoices");
    const std::string taken = R"({"message":"Another web viewer is connected for Invoices; open this page with the file's connector URL )"
                              R"((Lumenbox_ConnectorURL) to replace it.","type":"error"})";
    auto real = connectWebviewer("Invoices");  // nobody holds the file: no key needed
    WsClient hijacker(port());
    for (const nlohmann::json& wrongKey : {nlohmann::json(""), nlohmann::json(key.substr(1) + "0"), nlohmann::json(connectorKeys_.keyFor("Contacts")), nlohmann::json(42)}) {
        hijacker.sendJson({{"type", "register"}, {"fileName", " Invoices "}, {"role", "webviewer"}, {"key", wrongKey}});
        EXPECT_EQ(hijacker.receive(), taken) << wrongKey;
    }
    EXPECT_TRUE(real->quiet());
    WsClient keyed(port());
    keyed.sendJson({{"type", "register"}, {"fileName", "Invoices"}, {"role", "webviewer"}, {"key", key}});
    EXPECT_EQ(keyed.receive(), kWebviewerOnly);
    store_.approve("registry-test", "Invoices", "test", 600);
    auto reply = httpPostAsync(port(), "/callScript", R"({"connectedFileName":"Invoices","scriptName":"Report"})", {{"x-lumenbox-session", "registry-test"}});
    sendResult(keyed, "ok", receiveForwardedCall(keyed).fetchId);
    EXPECT_EQ(reply.get().status, 200);
    real->registerAs("Invoices", "webviewer");  // the replaced page cannot return without the key
    EXPECT_EQ(real->receive(), taken);
    EXPECT_TRUE(hijacker.quiet());
}

}  // namespace
}  // namespace Lumenbox::testing
