#pragma once

#include <cstdint>
#include <memory>
#include <string>

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

// Points HOME and the bridge's log at a temporary folder, once per process: no user settings touched.
void isolateHome();

// One real bridge per process on an ephemeral port, with a web viewer registered for kFileName,
// so that script calls and pings are forwarded and held like in production.
class FuzzBridge {
public:
    static FuzzBridge& instance();

    // Sends `bytes` on a new connection, half-closes it and reads until the server closes: the
    // request is handled or abandoned on return. Aborts when the server neither answers nor closes
    // within 10 s, or stops answering the /health asked every 64 calls.
    std::string exchange(const std::string& bytes);

private:
    FuzzBridge();

    SessionStore store_;
    std::unique_ptr<HttpServer> server_;
    std::unique_ptr<testing::WsClient> webviewer_;
    std::size_t calls_ = 0;
};

// The WebSocket message dispatch and the features it feeds, wired as the bridge wires them, on
// fake connections (no socket: every send goes nowhere), for targets that feed messages without a
// real bridge. reset() restores, before every input, a web viewer (connections[0]) and an agent
// browser (connections[1]) of kFileName with a pending script call "fetch-1" and a pending ping
// "ping-1" sent to the web viewer, so that results and pongs can match them; connections[2] and
// [3] stay unregistered. Questions are never opened: a call that needs one is refused at once.
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
    void deliver(WebSocketConnection* ws, std::string_view text, transport::OpCode opCode) {
        dispatch.dispatch(ws, text, opCode);
    }
    void close(WebSocketConnection* ws) { registry->handleClose(ws); }
};

// An HTTP/1.1 request; `headers` holds "Name: value\r\n" lines.
std::string httpRequest(const std::string& method, const std::string& target, const std::string& headers,
                        const std::string& body);

// Bytes a request target may not carry become "%XX", so every input reaches the route; "%" stays.
std::string escapeForTarget(const std::uint8_t* data, std::size_t size);

}  // namespace Lumenbox::fuzz
