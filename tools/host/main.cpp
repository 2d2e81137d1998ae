// lumenbox-host: plays the FileMaker host on any machine. It loads the Lumenbox plug-in, sends it
// the host's messages and evaluates its calculation function, so the bridge can be run and tried
// without FileMaker.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "standin/StandInHost.h"
#include "tools/host/BridgeProbe.h"
#include "tools/host/DemoWebviewer.h"
#include "tools/host/HostOptions.h"
#include "tools/host/PluginLibrary.h"
#include "tools/host/SettingsFile.h"
#include "base/Version.h"

namespace {

using Lumenbox::devhost::PluginLibrary;

using Lumenbox::kBridgePort;
constexpr int kIdleTicksPerSecond = 4;

// The plug-in built with this program: LUMENBOX_PLUGIN_RELATIVE_PATH is its path relative to
// this executable's folder, so the pair can be moved together.
std::filesystem::path defaultPluginPath() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    const auto folder = error ? std::filesystem::current_path() : self.parent_path();
    return (folder / LUMENBOX_PLUGIN_RELATIVE_PATH).lexically_normal();
}

// The idle level of tick `tick`: the simulated user and scripts change what the host reports
// about once a second, going through every level.
FMX_IdleLevel idleLevelAt(unsigned long tick) {
    return static_cast<FMX_IdleLevel>((tick / kIdleTicksPerSecond) % (kFMXT_Unsafe + 1));
}

void registerTokens(const Lumenbox::devhost::HostOptions& options) {
    for (const auto& [file, token] : options.tokens) {
        fmx::standin::CalculationContext context;
        context.fileName = file;
        const auto evaluation = fmx::standin::evaluate("Lumenbox_RegisterPersistentToken", context, {token});
        if (!evaluation) {
            std::cerr << "lumenbox-host: the plug-in has no function Lumenbox_RegisterPersistentToken\n";
        } else {
            std::cout << "Lumenbox_RegisterPersistentToken(\"" << token.substr(0, 8) << (token.size() > 8 ? "…" : "")
                      << "\") in file \"" << file << "\": " << evaluation->result << std::endl;
        }
    }
}

// The demo file's connector key, as its web viewer would get it: from the URL that
// Lumenbox_ConnectorURL returns in the file. Empty when the plug-in hands out none.
std::string demoConnectorKey(const std::string& fileName) {
    fmx::standin::CalculationContext context;
    context.fileName = fileName;
    const auto evaluation = fmx::standin::evaluate("Lumenbox_ConnectorURL", context, {});
    if (!evaluation) return {};
    const auto key = evaluation->result.find("&key=");
    return key == std::string::npos ? std::string() : evaluation->result.substr(key + 5);
}

// What the host does when the plug-in starts a script (on the host's main thread, at a safe idle):
// there is no file to run it in, so it says so.
void reportScriptStarts() {
    fmx::standin::setScriptHandler([](const fmx::standin::ScriptRequest& request) {
        std::cout << "host: the plug-in started script \"" << request.scriptName << "\" in file \""
                  << request.fileName << "\" with parameter " << request.parameter << std::endl;
    });
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    auto options = Lumenbox::devhost::parseHostOptions(argc, argv, error);
    if (!options) {
        std::cerr << "lumenbox-host: " << error << "\n";
        Lumenbox::devhost::printUsage(std::cerr);
        return 2;
    }
    if (options->help) {
        Lumenbox::devhost::printUsage(std::cout);
        return 0;
    }

    // Ctrl-C and SIGTERM are taken synchronously by the main loop below; every thread started
    // from here on, the plug-in's too, inherits the blocked mask, so none of them is interrupted.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // The setting and the approval mode are the plug-in's inputs on a machine without FileMaker, set
    // before it loads: the settings file as a user edits it, and the variable its stand-in dialogs
    // read (ui/headless/TerminalApproval.h).
    if (options->enhancedSecurity && !Lumenbox::devhost::writeEnhancedSecurity(*options->enhancedSecurity)) {
        std::cerr << "lumenbox-host: cannot write the enhanced-security setting\n";
    }
    // Unanswered, every question of enhanced security would wait out its 120 s unseen: on a
    // terminal the host asks there, and so does the preferences window, which is its only use.
    if (!options->approve && (isatty(STDIN_FILENO) || options->preferences)) options->approve = "ask";
    if (options->approve) setenv("LUMENBOX_APPROVE", options->approve->c_str(), 1);
    reportScriptStarts();

    // Where the log ends now: what the plug-in logs from here on says whether its bridge started.
    std::uintmax_t logRead = 0;
    if (const auto log = Lumenbox::devhost::pluginLogFile()) {
        std::error_code sizeError;
        logRead = std::filesystem::file_size(*log, sizeError);
        if (sizeError) logRead = 0;
    }

    const auto pluginPath = options->pluginPath.empty() ? defaultPluginPath() : options->pluginPath;
    std::optional<PluginLibrary> plugin;
    try {
        plugin.emplace(pluginPath);
    } catch (const std::exception& loadError) {
        std::cerr << "lumenbox-host: cannot load the plug-in " << pluginPath << ": " << loadError.what() << "\n";
        return 1;
    }
    std::cout << plugin->getString(kFMXT_NameStr) << ": " << plugin->getString(kFMXT_AppConfigStr) << "\n"
              << "  loaded from " << pluginPath.string() << std::endl;

    if (plugin->init() != static_cast<fmx::ptrtype>(kCurrentExtnVersion)) {
        std::cerr << "lumenbox-host: the plug-in refused to start (the plug-in log says why)\n";
        plugin.reset();
        return 1;
    }
    registerTokens(*options);
    if (options->preferences) plugin->preferences();

    // Another host or FileMaker may hold the port: then what answers there is not this plug-in's
    // bridge, and the demo file waits for its own.
    auto news = Lumenbox::devhost::readBridgeStartNews(logRead);
    bool listening = !news.failure && Lumenbox::devhost::bridgeAnswers(kBridgePort);
    const bool secure = Lumenbox::devhost::readEnhancedSecurity();
    if (listening) {
        std::cout << "bridge listening on http://127.0.0.1:" << kBridgePort << " (enhanced security " << (secure ? "on" : "off") << ")\n";
    } else if (news.failure) {
        std::cout << "port " << kBridgePort << " is taken (" << *news.failure
                  << "): another host or FileMaker with the plug-in may be running; the plug-in retries after 1, 5, 30, "
                     "then every 60 s\n";
    } else {
        std::cout << "bridge not listening yet on 127.0.0.1:" << kBridgePort << "; the plug-in retries after 1, 5, 30, then every 60 s\n";
    }
    if (const auto settings = Lumenbox::devhost::settingsFile()) {
        std::cout << "  enhanced security is " << (secure ? "on" : "off") << ", kept for later runs in " << settings->string()
                  << "; change it with --enhanced-security " << (secure ? "off" : "on") << "\n";
    }
    if (secure && options->approve.value_or("never") == "never") {
        std::cout << "  no one answers authorization questions here: each times out after 120 s; choose with --approve "
                     "ask|allow|deny\n";
    }
    if (const auto log = Lumenbox::devhost::pluginLogFile()) std::cout << "  plug-in log: " << log->string() << "\n";
    std::cout << std::flush;

    std::unique_ptr<Lumenbox::devhost::DemoWebviewer> demo;
    auto startDemo = [&] {
        if (options->demo) demo = std::make_unique<Lumenbox::devhost::DemoWebviewer>(kBridgePort, "Demo", demoConnectorKey("Demo"));
    };
    if (listening) startDemo();

    // The host's main loop: idle messages until a stop signal arrives.
    const timespec tick{0, 1'000'000'000L / kIdleTicksPerSecond};
    for (unsigned long ticks = 0;; ++ticks) {
        const int signal = sigtimedwait(&stopSignals, nullptr, &tick);
        if (signal == SIGINT || signal == SIGTERM) break;
        plugin->idle(idleLevelAt(ticks));
        if (!listening && ticks % kIdleTicksPerSecond == 0) {
            const auto later = Lumenbox::devhost::readBridgeStartNews(logRead);
            if (later.failure) news.failure = later.failure;
            if (later.recovered) news.failure.reset();
            if (!news.failure && Lumenbox::devhost::bridgeAnswers(kBridgePort)) {
                listening = true;
                std::cout << "bridge listening on http://127.0.0.1:" << kBridgePort << std::endl;
                startDemo();
            }
        }
    }

    std::cout << "\nstopping" << std::endl;
    demo.reset();
    plugin->shutdown();
    plugin.reset();
    fmx::standin::setScriptHandler({});
    return 0;
}
