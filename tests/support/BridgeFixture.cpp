#include "support/BridgeFixture.h"

namespace Lumenbox::testing {

BridgeFixture::BridgeFixture()
    : homeEnv_("HOME", home_.path().string()),
      configEnv_("XDG_CONFIG_HOME", std::nullopt),
      logEnv_("LUMENBOX_PLUGIN_LOG_PATH", (home_.path() / "bridge.log").string()),
      server_(std::make_unique<HttpServer>(store_)) {
    EXPECT_TRUE(server_->start(0));
}

BridgeFixture::~BridgeFixture() {
    server_.reset();
}

std::string BridgeFixture::logText() const {
    return readFile(home_.path() / "bridge.log");
}

std::unique_ptr<WsClient> BridgeFixture::connectWebviewer(const std::string& fileName) {
    auto client = std::make_unique<WsClient>(port());
    client->registerAs(fileName, "webviewer");
    EXPECT_EQ(client->receiveJson()["type"], "status");
    return client;
}

std::unique_ptr<WsClient> BridgeFixture::connectAgentBrowser(const std::string& fileName) {
    auto client = std::make_unique<WsClient>(port());
    client->registerAs(fileName, "agent-browser");
    EXPECT_EQ(client->receiveJson()["type"], "status");
    return client;
}

}  // namespace Lumenbox::testing
