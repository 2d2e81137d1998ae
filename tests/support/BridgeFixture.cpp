#include "support/BridgeFixture.h"

#include <future>

#include "ui/AuthDialog.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {

// As the plug-in builds it: the user's setting and the dialogs (the headless stand-in here).
static HttpServer::Options asThePluginDoes(HttpServer::Options options) {
    if (!options.enhancedSecurity) options.enhancedSecurity = [] { return isEnhancedSecurityEnabled(); };
    if (!options.approvalPrompt) options.approvalPrompt = &nativeApprovalPrompt();
    return options;
}

BridgeFixture::BridgeFixture() : BridgeFixture(HttpServer::Options{}) {}

BridgeFixture::BridgeFixture(const HttpServer::Options& options)
    : homeEnv_("HOME", home_.path().string()),
      configEnv_("XDG_CONFIG_HOME", std::nullopt),
      logEnv_("LUMENBOX_PLUGIN_LOG_PATH", (home_.path() / "bridge.log").string()),
      server_(std::make_unique<HttpServer>(store_, asThePluginDoes(options), &connectorKeys_)) {
    EXPECT_TRUE(server_->start(0));
}

std::unique_ptr<WsClient> BridgeFixture::connectAs(const std::string& fileName, const std::string& role) {
    auto client = std::make_unique<WsClient>(port());
    client->registerAs(fileName, role);
    EXPECT_EQ(client->receiveJson()["type"], "status");
    return client;
}

ForwardedCall BridgeFixture::receiveForwardedCall(WsClient& webviewer) {
    ForwardedCall call;
    auto text = webviewer.receive();
    if (!text) return ADD_FAILURE() << "no script call reached the web viewer", call;
    call.message = nlohmann::json::parse(call.text = *text);
    EXPECT_EQ(call.message.value("type", ""), "callScript") << *text;
    if (call.message.contains("param") && call.message["param"].is_string()) {
        call.envelope = nlohmann::json::parse(call.message["param"].get<std::string>());
        call.fetchId = call.envelope["callback"]["fetchId"].get<std::string>();
    }
    return call;
}

void BridgeFixture::sendResult(WsClient& webviewer, const nlohmann::json& result, const std::string& fetchId) {
    webviewer.sendJson({{"type", "callback"}, {"fn", "handleFMCallback"}, {"args", {result, fetchId}}});
}

void BridgeFixture::runOnLoop(const std::function<void()>& task) {
    std::promise<void> done;
    ASSERT_TRUE(server_->deferToLoop([&] { task(), done.set_value(); })) << "the server loop is not running";
    done.get_future().wait();
}

}  // namespace Lumenbox::testing
