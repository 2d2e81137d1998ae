// lumenbox-host: plays the FileMaker host on any machine, so the bridge can be run and tried
// without FileMaker.
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "auth/SessionStore.h"
#include "server/HttpServer.h"
#include "server/PluginVersion.h"
#include "tools/host/DemoWebviewer.h"
#include "ui/EnhancedSecurity.h"

namespace {

struct Options {
    int port = 1365;
    bool demo = false;
    std::optional<bool> enhancedSecurity;
};

void printUsage() {
    std::cout << "usage: lumenbox-host [--demo] [--enhanced-security on|off] [--port N]\n"
                 "  --demo                     attach a simulated file \"Demo\" (scripts Echo, LB_get_version, NeverAnswers)\n"
                 "  --enhanced-security on|off store the enhanced-security setting before the bridge starts\n"
                 "  --port N                   listen on 127.0.0.1:N instead of 1365\n";
}

std::optional<Options> parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string(argv[++i]);
        };
        if (arg == "--demo") {
            options.demo = true;
        } else if (arg == "--enhanced-security") {
            auto v = value();
            if (!v || (*v != "on" && *v != "off")) return std::nullopt;
            options.enhancedSecurity = *v == "on";
        } else if (arg == "--port") {
            auto v = value();
            if (!v) return std::nullopt;
            char* end = nullptr;
            long port = std::strtol(v->c_str(), &end, 10);
            if (*end != '\0' || port < 0 || port > 65535) return std::nullopt;
            options.port = static_cast<int>(port);
        } else {
            return std::nullopt;
        }
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    auto options = parseOptions(argc, argv);
    if (!options) {
        printUsage();
        return 2;
    }

    // Ctrl-C and SIGTERM are taken synchronously by this thread; every thread started below
    // inherits the blocked mask, so none of them is interrupted.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    if (options->enhancedSecurity) Lumenbox::setEnhancedSecurityEnabled(*options->enhancedSecurity);

    Lumenbox::SessionStore store;
    Lumenbox::HttpServer server(store);
    if (!server.start(options->port)) {
        std::cerr << "lumenbox-host: the bridge could not listen on 127.0.0.1:" << options->port
                  << " (see the plug-in log for the reason)\n";
        return 1;
    }
    std::cout << "Lumenbox " << Lumenbox::kPluginVersion << " bridge listening on http://127.0.0.1:" << server.port()
              << " (enhanced security " << (Lumenbox::isEnhancedSecurityEnabled() ? "on" : "off") << ")" << std::endl;

    std::unique_ptr<Lumenbox::devhost::DemoWebviewer> demo;
    if (options->demo) demo = std::make_unique<Lumenbox::devhost::DemoWebviewer>(server.port(), "Demo");

    int received = 0;
    sigwait(&signals, &received);
    std::cout << "\nstopping" << std::endl;
    demo.reset();
    server.stop();
    return 0;
}
