// lumenbox-test-bridge: the bridge alone, for the browser tests and the benchmarks. It listens on
// 127.0.0.1 (port 0 takes an ephemeral port), prints "listening <port>", then obeys one command
// per line on standard input, answering each with one line:
//   stop -> "stopped"; start (again on the same port) -> "listening <port>";
//   approve <session> <file> <name> [seconds, default 3600], token <token> <file>,
//   security on|off, answer allow|deny (every approval question from now on) -> "ok";
//   pending -> "pending calls=<n> pings=<n> questions=<n>" (what waits on the loop right now).
// --max-connections N raises the cap on open connections (the benchmarks hold 10,000 calls).
// End of input stops the bridge. The caller gives it a HOME of its own, so that the setting and
// the log stay out of the user's.
#include <atomic>
#include <chrono>
#include <future>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "auth/SessionStore.h"
#include "server/HttpServer.h"
#include "ui/AuthDialog.h"
#include "ui/EnhancedSecurity.h"
#include "ui/MainQueue.h"
#include "ui/headless/ApprovalHook.h"

using namespace Lumenbox;

int main(int argc, char** argv) {
    int port = 0;
    HttpServer::Options options;
    options.enhancedSecurity = [] { return isEnhancedSecurityEnabled(); };
    options.approvalPrompt = &nativeApprovalPrompt();
    for (int i = 1; i < argc; i += 2) {
        const std::string arg = argv[i];
        if (i + 1 < argc && arg == "--port") port = std::stoi(argv[i + 1]);
        else if (i + 1 < argc && arg == "--max-connections")
            options.httpLimits.maxConnections = std::stoul(argv[i + 1]);
        else return std::cerr << "usage: lumenbox-test-bridge [--port N] [--max-connections N]\n", 2;
    }
    // The host's main thread, where approval dialogs open and are answered.
    std::atomic<bool> running{true};
    std::thread mainQueue([&running] { while (running) waitAndDrainMainQueue(std::chrono::milliseconds(100)); });
    SessionStore store;
    HttpServer server(store, options);
    auto listen = [&] { return server.start(port) ? "listening " + std::to_string(server.port()) : "failed"; };
    std::string answer = listen();
    const bool started = answer != "failed";
    port = server.port();  // restarts keep the port, so pages reconnect to the same address
    for (std::string line; std::cout << answer << std::endl, started && std::getline(std::cin, line);) {
        std::istringstream words(line);
        std::string command, a, b, c, d;
        words >> command >> a >> b >> c >> d;
        answer = command == "start" ? listen() : command == "stop" ? "stopped" : "ok";
        if (command == "stop") server.stop();
        else if (command == "pending") {
            // Read on the loop thread, which owns the counts; a stopped bridge has nothing waiting.
            std::promise<HttpServer::BridgeCounts> counts;
            auto read = counts.get_future();
            if (!server.deferToLoop([&] { counts.set_value(server.pendingCounts()); })) counts.set_value({});
            const auto n = read.get();
            answer = "pending calls=" + std::to_string(n.calls) + " pings=" + std::to_string(n.pings) +
                     " questions=" + std::to_string(n.questions);
        }
        else if (command == "approve") store.approve(a, b, c, d.empty() ? 3600 : std::stoll(d));
        else if (command == "token") store.registerSharedToken(a, b);
        else if (command == "security") setEnhancedSecurityEnabled(a == "on");
        else if (command == "answer")
            setApprovalHook([allow = a == "allow"](const AuthDialogContent&, AuthDialogHandle dialog) {
                allow ? dialog.allow() : dialog.deny();
            });
        else if (command != "start") answer = "unknown command";
    }
    server.stop();
    running = false;
    mainQueue.join();
    drainMainQueue();
    return started ? 0 : 1;
}
