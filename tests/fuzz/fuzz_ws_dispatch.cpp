// The WebSocket message dispatch on fake connections (no socket: every send is dropped). The
// first byte picks the sending connection and whether it closes afterwards; the rest is the
// message text. A web viewer and an agent browser of one file, a pending script call and a
// pending ping are restored before every input, so that callbacks and pongs can match them.
#include <cstdint>
#include <memory>
#include <string_view>

#include <nlohmann/json.hpp>

#include "auth/SessionStore.h"
#include "fuzz/FuzzBridge.h"
#include "server/HttpServerImpl.h"

namespace {

using namespace Lumenbox;

struct Harness {
    SessionStore store;
    std::shared_ptr<HttpServer::Impl> impl;
    WebSocketConnection connections[4];  // web viewer, agent browser, unregistered, spare

    Harness() {
        fuzz::isolateHome();
        impl = std::make_shared<HttpServer::Impl>(store);
        impl->rejectPendingWebviewerPings_ = [this](const std::string& fileName, WebSocketConnection* closing) {
            impl->rejectPendingWebviewerPingsForFile(fileName, closing);
        };
    }

    void reset() {
        impl->clearState();
        for (auto& connection : connections) *connection.getUserData() = PerSocketData{};
        impl->handleRegister(&connections[0], {{"fileName", fuzz::kFileName}, {"role", kRoleWebviewer}});
        impl->handleRegister(&connections[1], {{"fileName", fuzz::kFileName}, {"role", kRoleAgentBrowser}});
        PendingHttpCall call;
        call.fileName = fuzz::kFileName;
        call.scriptName = "script";
        call.target = &connections[0];
        impl->pendingHttpCalls_.emplace("fetch-1", std::move(call));
        PendingWebviewerPing ping;
        ping.fileName = fuzz::kFileName;
        ping.target = &connections[0];
        impl->pendingWebviewerPings_.emplace("ping-1", std::move(ping));
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Harness harness;
    if (size == 0) return 0;
    harness.reset();
    WebSocketConnection* ws = &harness.connections[data[0] & 3];
    const std::string_view message(reinterpret_cast<const char*>(data + 1), size - 1);
    harness.impl->onWsMessage(ws, message, (data[0] & 8) ? transport::OpCode::Binary : transport::OpCode::Text);
    if (data[0] & 4) harness.impl->onWsClose(ws);
    return 0;
}
