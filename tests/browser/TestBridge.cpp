// lumenbox-test-bridge: the bridge alone, for the browser tests. It listens on 127.0.0.1 (port 0
// takes an ephemeral port), prints "listening <port>", and then obeys one command per line on
// standard input, answering each with one line:
//
//   restart                          stop and start again on the same port  -> "listening <port>"
//   stop                             stop listening                          -> "stopped"
//   start                            listen again on the same port          -> "listening <port>"
//   approve <session> <file> <name> [seconds]
//                                    approve a session for a file (default 1 hour) -> "ok"
//   token <token> <file>             register a persistent token            -> "ok"
//   security on|off                  store the enhanced-security setting    -> "ok"
//   answer allow|deny                answer every approval question from now on so -> "ok"
//                                    (until then questions stay open until their time limit)
//
// --max-connections N raises the cap on open connections (the benchmarks hold 10,000 calls).
//
// End of input stops the bridge and ends the program. The caller gives it a HOME of its own, so
// that the setting and the log stay out of the user's.
#include <atomic>
#include <chrono>
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

namespace {

bool listen(Lumenbox::HttpServer& server, int port) {
    if (!server.start(port)) {
        std::cout << "failed" << std::endl;
        return false;
    }
    std::cout << "listening " << server.port() << std::endl;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    Lumenbox::HttpServer::Options options;
    options.enhancedSecurity = [] { return Lumenbox::isEnhancedSecurityEnabled(); };
    options.approvalPrompt = &Lumenbox::nativeApprovalPrompt();
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) {
            port = std::stoi(argv[++i]);
        } else if (arg == "--max-connections" && i + 1 < argc) {
            options.httpLimits.maxConnections = std::stoul(argv[++i]);
        } else {
            std::cerr << "usage: lumenbox-test-bridge [--port N] [--max-connections N]\n";
            return 2;
        }
    }

    // The host's main thread, where approval dialogs open and are answered.
    std::atomic<bool> running{true};
    std::thread mainQueue([&running] {
        while (running) Lumenbox::waitAndDrainMainQueue(std::chrono::milliseconds(100));
    });

    Lumenbox::SessionStore store;
    Lumenbox::HttpServer server(store, options);
    if (!listen(server, port)) {
        running = false;
        mainQueue.join();
        return 1;
    }
    port = server.port();  // restarts keep the port, so pages reconnect to the same address

    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command;
        words >> command;
        if (command == "restart") {
            server.stop();
            listen(server, port);
        } else if (command == "stop") {
            server.stop();
            std::cout << "stopped" << std::endl;
        } else if (command == "start") {
            listen(server, port);
        } else if (command == "approve") {
            std::string session, file, name, seconds;
            words >> session >> file >> name >> seconds;
            store.approve(session, file, name, seconds.empty() ? 3600 : std::stoll(seconds));
            std::cout << "ok" << std::endl;
        } else if (command == "token") {
            std::string token, file;
            words >> token >> file;
            store.registerSharedToken(token, file);
            std::cout << "ok" << std::endl;
        } else if (command == "answer") {
            std::string value;
            words >> value;
            const bool allow = value == "allow";
            Lumenbox::setApprovalHook([allow](const Lumenbox::AuthDialogContent&, Lumenbox::AuthDialogHandle dialog) {
                allow ? dialog.allow() : dialog.deny();
            });
            std::cout << "ok" << std::endl;
        } else if (command == "security") {
            std::string value;
            words >> value;
            Lumenbox::setEnhancedSecurityEnabled(value == "on");
            std::cout << "ok" << std::endl;
        } else {
            std::cout << "unknown command" << std::endl;
        }
    }
    server.stop();
    running = false;
    mainQueue.join();
    Lumenbox::drainMainQueue();
    return 0;
}
