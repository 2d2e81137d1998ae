#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "server/transport/App.h"

namespace Lumenbox {

class ApprovalPrompt;
class ConnectorKeys;
class SessionStore;

// Returns "host=127.0.0.1 port=<port>", the endpoint part of the bridge's log lines.
std::string bridgeEndpointDetails(int port);

// The loopback HTTP/WebSocket bridge, run on a thread of its own. Every route handler, WebSocket
// callback and deferred task runs on that thread; other threads reach it only through
// `deferToLoop`.
//
// REQUIRES: start, stop, isRunning and the destructor are called from one thread (the host's
// main thread).
class HttpServer {
public:
    class Impl;

    // Settings fixed for the server's life. The defaults are the product's; tests shorten limits.
    struct Options {
        // How long an authorization question waits for the user before its requests are
        // answered "408 Request Timeout" and every open dialog is dismissed.
        std::chrono::milliseconds authorizationTimeout{std::chrono::seconds(120)};
        // After the user denies a session for a file, how long the same session and file are
        // refused at once ("403", no new question), so that a client cannot ask again and again.
        std::chrono::milliseconds authorizationDenialCooldown{std::chrono::seconds(60)};
        // The transport's limits: connection count, idle time, request deadlines, body sizes.
        transport::HttpLimits httpLimits;
        // The user's enhanced-security setting, read afresh at each request (callable from the
        // server thread); empty reads as off.
        std::function<bool()> enhancedSecurity;
        // Who asks the user to approve a session (the plug-in's dialogs); must outlive the server.
        // Null: nobody is asked, and every question ends at its time limit.
        ApprovalPrompt* approvalPrompt = nullptr;
    };

    // What the bridge holds at one moment, for tests and the soak's invariants.
    struct BridgeCounts {
        std::size_t calls = 0;          // script calls waiting for their callback
        std::size_t pings = 0;          // pings waiting for their pong
        std::size_t questions = 0;      // authorization questions open
        std::size_t webviewers = 0;     // files with a web viewer
        std::size_t agentBrowsers = 0;  // files with an agent browser
    };

    explicit HttpServer(SessionStore& sessionStore);
    // `connectorKeys` (the plug-in's, which its calculation function hands to the files' pages)
    // must outlive the server; null: no page can prove that its file opened it.
    HttpServer(SessionStore& sessionStore, const Options& options, ConnectorKeys* connectorKeys = nullptr);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Starts the server thread on 127.0.0.1:`port` and blocks until it reports. True when the
    // server listens (at once when it already runs). Port 0 takes an ephemeral port (see port()).
    // Throws std::system_error when the thread cannot be created.
    bool start(int port);
    // Stops listening, answers held requests "503 Service Unavailable" and closes WebSockets with
    // 1001 (going away), waiting at most HttpLimits::closeGracePeriod for that to go out, then
    // drops what the routes hold and joins the thread. Safe when not running.
    void stop();
    bool isRunning() const { return running_.load(); }
    // The port the server listens on, 0 when it does not listen.
    int port() const;

    // Startup logging: a failure identical to the last one logged is not written again; the
    // first successful listen after a logged failure writes "bridge_start_recovered".
    void logStartupFailure(const std::string& event, const std::string& details);
    void logStartupRecovered(int port);

    // Hands `task` to the server thread, from any thread, only while the loop runs and no stop
    // has been requested; otherwise drops it. Returns whether the task was handed over.
    bool deferToLoop(std::function<void()> task) const;
    // Server thread only (from a task handed over with deferToLoop).
    BridgeCounts pendingCounts() const;
    // The time limit of the script call or ping waiting under `id`; nullopt when none. Server
    // thread only.
    std::optional<std::int32_t> pendingTimeLimit(const std::string& id) const;

private:
    struct StartupSignal;
    void runServerThread(int port, std::shared_ptr<StartupSignal> signal);

    std::shared_ptr<Impl> impl_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::string lastStartupFailure_;  // event + "\n" + details of the last failure logged
};

}  // namespace Lumenbox
