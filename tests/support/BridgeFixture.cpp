#include "support/BridgeFixture.h"

#include <future>
#include <thread>

#include "ui/AuthDialog.h"
#include "ui/EnhancedSecurity.h"

namespace Lumenbox::testing {

namespace {

// As the plug-in builds it: the user's setting and the dialogs (the headless stand-in here).
HttpServer::Options asThePluginDoes(HttpServer::Options options) {
    if (!options.enhancedSecurity) options.enhancedSecurity = [] { return isEnhancedSecurityEnabled(); };
    if (!options.approvalPrompt) options.approvalPrompt = &nativeApprovalPrompt();
    return options;
}

}  // namespace

BridgeFixture::BridgeFixture() : BridgeFixture(HttpServer::Options{}) {}

BridgeFixture::BridgeFixture(const HttpServer::Options& options)
    : homeEnv_("HOME", home_.path().string()),
      configEnv_("XDG_CONFIG_HOME", std::nullopt),
      logEnv_("LUMENBOX_PLUGIN_LOG_PATH", (home_.path() / "bridge.log").string()),
      server_(std::make_unique<HttpServer>(store_, asThePluginDoes(options), &connectorKeys_)) {
    EXPECT_TRUE(server_->start(0));
}

BridgeFixture::~BridgeFixture() {
    server_.reset();
}

std::string BridgeFixture::logText() const {
    return readFile(home_.path() / "bridge.log");
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
    EXPECT_TRUE(text.has_value()) << "no script call reached the web viewer";
    if (!text) return call;
    call.text = *text;
    call.message = nlohmann::json::parse(*text);
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
    bool handedOver = server_->deferToLoop([&] {
        task();
        done.set_value();
    });
    ASSERT_TRUE(handedOver) << "the server loop is not running";
    done.get_future().wait();
}

std::size_t BridgeFixture::pendingCallCount() {
    std::size_t count = 0;
    runOnLoop([&] { count = server_->pendingCounts().calls; });
    return count;
}

std::size_t BridgeFixture::pendingPingCount() {
    std::size_t count = 0;
    runOnLoop([&] { count = server_->pendingCounts().pings; });
    return count;
}

std::int32_t BridgeFixture::pendingTimeLimit(const std::string& id) {
    std::int32_t limit = -1;
    runOnLoop([&] { limit = server_->pendingTimeLimit(id).value_or(-1); });
    return limit;
}

}  // namespace Lumenbox::testing
