#pragma once

#include <cstdint>
#include <memory>

#include "auth/SessionStore.h"
#include "server/HttpServer.h"
#include "scripts/AgentBrowserRelay.h"
#include "scripts/ScriptCalls.h"
#include "webviewer/MessageDispatch.h"
#include "webviewer/WebviewerPings.h"
#include "webviewer/WebviewerRegistry.h"
#include "support/ScopedEnv.h"
#include "support/TestClients.h"

namespace Lumenbox::fuzz {

// The file a web viewer is registered for while the targets run, and a session header to send.
inline constexpr const char* kFileName = "fuzz.fmp12";
inline constexpr const char* kSessionHeader = "X-Lumenbox-Session: fuzz-session\r\n";

// One real bridge per process on port 0 with a web viewer for kFileName: calls and pings are held.
class FuzzBridge {
public:
    static FuzzBridge& instance();

    // Sends `bytes` on a new connection, half-closes it and reads until the server closes. Aborts when
    // the server neither answers nor closes within 10 s, or stops answering the /health of every 64th.
    std::string exchange(const std::string& bytes);

private:
    FuzzBridge();

    SessionStore store_;  // before the server that uses it
    std::unique_ptr<HttpServer> server_;
    std::unique_ptr<testing::WsClient> webviewer_;
    std::size_t calls_ = 0;
};

// The WebSocket dispatch and its features wired as the bridge wires them, on fake connections whose
// sends go nowhere. reset() restores a web viewer (connections[0]) and an agent browser ([1]) of
// kFileName, a call "fetch-1" and a ping "ping-1" sent to the web viewer for results and pongs to
// match; [2] and [3] stay unregistered. A call that needs a question is refused at once.
struct DispatchHarness {
    SessionStore store;
    transport::Loop loop;  // never run: the pending entries' time limits never pass
    WebSocketConnection connections[4];
    std::unique_ptr<WebviewerRegistry> registry;
    std::unique_ptr<ScriptCalls> scriptCalls;
    std::unique_ptr<AgentBrowserRelay> relay;
    std::unique_ptr<WebviewerPings> pings;
    MessageDispatch dispatch;

    DispatchHarness();
    ~DispatchHarness();
    void reset();
};

// An HTTP/1.1 request; `headers` holds "Name: value\r\n" lines.
std::string httpRequest(const std::string& method, const std::string& target, const std::string& headers = "",
                        const std::string& body = "");

// Bytes a request target may not carry become "%XX", so every input reaches the route; "%" stays.
std::string escapeForTarget(const std::uint8_t* data, std::size_t size);

}  // namespace Lumenbox::fuzz
