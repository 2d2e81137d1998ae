#include "fuzz/FuzzBridge.h"

#include <cstdio>
#include <cstdlib>
#include <span>
#include <thread>

#include <boost/system/system_error.hpp>

namespace Lumenbox::fuzz {
namespace {

[[noreturn]] void fail(const char* what) { std::fprintf(stderr, "fuzz bridge: %s\n", what), std::abort(); }

// The server's whole answer to `bytes`, read until it closes. A connect may fail while earlier
// connections hold the local ports in TIME_WAIT; a bridge that stopped listening fails them all.
std::string rawExchange(int port, const std::string& bytes) {
    for (int attempt = 1;; ++attempt) {
        try {
            if (auto reply = clients::exchangeRaw(port, bytes, std::chrono::seconds(10))) return *reply;
            fail("the server neither answered nor closed within 10 s");
        } catch (const boost::system::system_error& error) {
            std::fprintf(stderr, "fuzz bridge: connect: %s\n", error.what());
            if (attempt == 50) fail("connect() keeps failing");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}
// HOME and the log in a temporary folder, once per process: no user settings touched.
void isolateHome() {
    static testing::TempDir home;
    static testing::ScopedEnv homeEnv("HOME", home.path().string());
    static testing::ScopedEnv configEnv("XDG_CONFIG_HOME", std::nullopt);
    static testing::ScopedEnv logEnv("LUMENBOX_PLUGIN_LOG_PATH", (home.path() / "bridge.log").string());
}
}  // namespace

// Never destroyed: libFuzzer exits from anywhere.
FuzzBridge& FuzzBridge::instance() { static auto* bridge = new FuzzBridge(); return *bridge; }

FuzzBridge::FuzzBridge() {
    isolateHome();
    server_ = std::make_unique<HttpServer>(store_);
    if (!server_->start(0)) fail("the bridge did not start");
    webviewer_ = std::make_unique<testing::WsClient>(server_->port());
    webviewer_->registerAs(kFileName, "webviewer");
    if (!webviewer_->receive()) fail("the web viewer was not registered");
}

std::string FuzzBridge::exchange(const std::string& bytes) {
    const int port = server_->port();
    std::string reply = rawExchange(port, bytes);
    while (webviewer_->receive(std::chrono::milliseconds(0))) {}  // calls and pings abandoned with their requests
    if (++calls_ % 64 == 0 && !rawExchange(port, httpRequest("GET", "/health")).starts_with("HTTP/1.1 200 OK"))
        fail("the bridge stopped answering /health");
    if (calls_ % 1024 == 0) store_.revokeAll();  // keeps the approved sessions bounded
    return reply;
}

std::string httpRequest(const std::string& method, const std::string& target, const std::string& headers,
                        const std::string& body) {
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers;
    if (method == "POST") request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return request + "\r\n" + body;
}

std::string escapeForTarget(const std::uint8_t* data, std::size_t size) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const std::uint8_t byte : std::span(data, size)) {
        if (byte <= 0x20 || byte >= 0x7f || byte == '#') out += {'%', kHex[byte >> 4], kHex[byte & 15]};
        else out += static_cast<char>(byte);
    }
    return out;
}

DispatchHarness::DispatchHarness() {
    isolateHome();
    auto send = [](WebSocketConnection*, std::string_view) { return transport::SendStatus::Sent; };
    auto webviewerOf = [this](const std::string& fileName) { return registry->webviewerOf(fileName); };
    using Json = const nlohmann::json&;
    using S = const std::string&;
    SessionGate gate{.enhancedSecurity = [] { return false; },
                     .isAuthorized = [this](S session, S file) { return store.isAuthorized(session, file, false); },
                     .approveOnFirstUse = [this](S session, S fileName, S name) {
                         store.approve(session, fileName, name, SessionStore::kMaxIdleTimeoutSeconds, true);
                     }};
    registry = std::make_unique<WebviewerRegistry>(WebviewerRegistry::Hooks{
        .send = send, .enhancedSecurity = [] { return false; },
        .webviewerLeft = [this](S fileName, WebSocketConnection* webviewer) {
            scriptCalls->failSentTo(fileName, webviewer), pings->failSentTo(fileName, webviewer);
        },
        .connectionClosed = [](WebSocketConnection*) {}});
    scriptCalls = std::make_unique<ScriptCalls>(loop, ScriptCalls::Hooks{
        .send = send, .webviewerOf = webviewerOf, .agentBrowserOf = [this](S f) { return registry->agentBrowserOf(f); },
        .gate = gate, .newId = [] { return std::string("fetch-1"); }});
    relay = std::make_unique<AgentBrowserRelay>(AgentBrowserRelay::Hooks{
        .send = send, .webviewerOf = webviewerOf, .gate = gate,
        .awaitApproval = [](const void*, S, S, S, std::function<void(ApprovalAnswer)> answer) {
            answer(ApprovalAnswer::TooManyQuestions);
        }});
    pings = std::make_unique<WebviewerPings>(loop, realMonotonicClock(), WebviewerPings::Hooks{
        .send = send, .webviewerOf = webviewerOf, .gate = gate, .newId = [] { return std::string("ping-1"); }});
    dispatch.on("register", [this](WebSocketConnection* ws, Json m) { registry->handleRegister(ws, m); });
    dispatch.on("callback", [this](WebSocketConnection* ws, Json m) { scriptCalls->handleCallback(ws, m); });
    for (const char* type : {"callScript", "callScriptWithOption"})
        dispatch.on(type, [this](WebSocketConnection* ws, Json m) { relay->handleCall(ws, m); });
    dispatch.on("pong", [this](WebSocketConnection* ws, Json m) { pings->handlePong(ws, m); });
}

DispatchHarness::~DispatchHarness() { pings.reset(), scriptCalls.reset(); }  // their timers go before the loop

void DispatchHarness::reset() {
    registry->clear(), scriptCalls->clear(), pings->clear();
    for (auto& connection : connections) *connection.getUserData() = PerSocketData{};
    registry->handleRegister(&connections[0], {{"fileName", kFileName}, {"role", "webviewer"}});
    registry->handleRegister(&connections[1], {{"fileName", kFileName}, {"role", "agent-browser"}});
    scriptCalls->run({kFileName, "Report", "null", "", 3600 * 1000}, [](const ScriptOutcome&) {});
    pings->ping(kFileName, &connections[0], 5000, [](const WebviewerPings::Outcome&) {});
}

}  // namespace Lumenbox::fuzz
