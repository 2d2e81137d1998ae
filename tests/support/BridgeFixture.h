#pragma once

#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include "auth/SessionStore.h"
#include "server/HttpServer.h"
#include "support/ScopedEnv.h"
#include "support/TestClients.h"

namespace Lumenbox::testing {

// A bridge on an ephemeral port with its own session store, its log and settings in a
// temporary home directory (enhanced security off unless a test switches it on).
class BridgeFixture : public ::testing::Test {
protected:
    BridgeFixture();
    ~BridgeFixture() override;

    int port() const { return server_->port(); }
    std::string logText() const;
    // A web viewer connection registered for `fileName`, its first status message consumed.
    std::unique_ptr<WsClient> connectWebviewer(const std::string& fileName);
    std::unique_ptr<WsClient> connectAgentBrowser(const std::string& fileName);

    TempDir home_;
    ScopedEnv homeEnv_;
    ScopedEnv configEnv_;
    ScopedEnv logEnv_;
    SessionStore store_;
    std::unique_ptr<HttpServer> server_;
};

}  // namespace Lumenbox::testing
