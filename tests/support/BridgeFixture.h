#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "auth/SessionStore.h"
#include "server/HttpServer.h"
#include "support/ScopedEnv.h"
#include "support/TestClients.h"
#include "webviewer/ConnectorKeys.h"

namespace Lumenbox::testing {

// The answer of every route to a body that is not the JSON it reads.
inline constexpr const char* kInvalidJson = R"({"error":"Invalid JSON body."})";

// A "callScript" message as a web viewer received it.
struct ForwardedCall {
    std::string text;         // the frame's text, byte for byte
    nlohmann::json message;   // the text parsed
    nlohmann::json envelope;  // the "param" text parsed
    std::string fetchId;      // envelope["callback"]["fetchId"]
};

// A bridge on an ephemeral port with its own session store, its log and settings in a
// temporary home directory (enhanced security off unless a test switches it on).
class BridgeFixture : public ::testing::Test {
protected:
    BridgeFixture();
    // For suites that need other server settings, such as a shorter authorization time limit.
    explicit BridgeFixture(const HttpServer::Options& options);

    int port() const { return server_->port(); }
    std::string logText() const { return readFile(home_.path() / "bridge.log"); }
    // A web viewer connection registered for `fileName`, its first status message consumed.
    std::unique_ptr<WsClient> connectWebviewer(const std::string& fileName) { return connectAs(fileName, "webviewer"); }
    std::unique_ptr<WsClient> connectAgentBrowser(const std::string& fileName) { return connectAs(fileName, "agent-browser"); }
    std::unique_ptr<WsClient> connectAs(const std::string& fileName, const std::string& role);

    // The next message at `webviewer`, which must be a forwarded script call.
    static ForwardedCall receiveForwardedCall(WsClient& webviewer);
    // Sends the result callback that completes the call `fetchId`.
    static void sendResult(WsClient& webviewer, const nlohmann::json& result, const std::string& fetchId);

    // Runs `task` on the server thread and waits for it to finish; `fromLoop` returns what it returns.
    void runOnLoop(const std::function<void()>& task);
    template <class F> auto fromLoop(F f) { decltype(f()) out{}; runOnLoop([&] { out = f(); }); return out; }
    // Pending script calls and web viewer pings, as the server loop sees them.
    std::size_t pendingCallCount() { return fromLoop([this] { return server_->pendingCounts().calls; }); }
    std::size_t pendingPingCount() { return fromLoop([this] { return server_->pendingCounts().pings; }); }
    // The time limit of the call or ping waiting under `id`, -1 when none waits.
    std::int32_t pendingTimeLimit(const std::string& id) {
        return fromLoop([&] { return server_->pendingTimeLimit(id).value_or(-1); });
    }

    TempDir home_;
    ScopedEnv homeEnv_, configEnv_, logEnv_;
    SessionStore store_;
    ConnectorKeys connectorKeys_;  // the files' keys, as the plug-in's calculation function mints them
    std::unique_ptr<HttpServer> server_;
};

}  // namespace Lumenbox::testing
