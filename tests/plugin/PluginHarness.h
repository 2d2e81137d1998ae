#pragma once
// The plug-in layer's harness: the built plug-in, what it sees of the machine, and what can be
// seen of it from outside. Main thread only.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

#include "standin/StandInHost.h"
#include "support/ScopedEnv.h"
#include "support/TestClients.h"

namespace Lumenbox::testing {

inline const std::filesystem::path kPluginPath = LUMENBOX_PLUGIN_PATH;
inline constexpr int kBridgePort = 1365;
// Init's answers: enabled, or staying disabled.
inline constexpr fmx::ptrtype kEnabled = kCurrentExtnVersion;
inline constexpr fmx::ptrtype kDeclined = static_cast<fmx::ptrtype>(kDoNotEnable);

// A fresh home folder (log, settings), no failing host calls and no script handler; all restored.
class PluginEnvironment {
public:
    PluginEnvironment() { fmx::standin::clearFaults(); }
    ~PluginEnvironment() { fmx::standin::clearFaults(), fmx::standin::setScriptHandler({}); }
    std::string logText() const { return readFile(home_.path() / "plugin.log"); }
    const std::filesystem::path& home() const { return home_.path(); }

private:
    TempDir home_;
    ScopedEnv homeEnv_{"HOME", home_.path().string()};
    ScopedEnv configEnv_{"XDG_CONFIG_HOME", (home_.path() / "config").string()};
    ScopedEnv logEnv_{"LUMENBOX_PLUGIN_LOG_PATH", (home_.path() / "plugin.log").string()};
};

// Holds 127.0.0.1:1365 so that the bridge cannot take it, closing every connection at once so that
// nothing answers (a socket merely bound stops the bridge only while no connection is in TIME_WAIT).
class PortBlocker {
public:
    ~PortBlocker() { release(); }
    bool bind() {  // false when someone else has the port
        release();
        const int on = 1;
        setsockopt(fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{.sin_family = AF_INET, .sin_port = htons(kBridgePort), .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd_, 16) != 0) return release(), false;
        closer_ = std::thread([fd = fd_] { for (int connection; (connection = accept(fd, nullptr, nullptr)) >= 0;) close(connection); });
        return true;
    }
    void release() {
        if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);  // ends the accept
        if (closer_.joinable()) closer_.join();
        if (fd_ >= 0) close(std::exchange(fd_, -1));
    }

private:
    int fd_ = -1;
    std::thread closer_;
};

// GET /health on port 1365, parsed; nullopt when nothing answers there.
inline std::optional<nlohmann::json> bridgeHealth() {
    try {
        auto reply = httpGet(kBridgePort, "/health");
        return reply.status == 200 ? std::optional(reply.json()) : std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Entries of a /proc folder of this process: "task" counts threads, "fd" open descriptors (the
// iterator's own one included, every time alike).
inline std::size_t procEntries(const char* folder) {
    std::filesystem::directory_iterator entries(std::filesystem::path("/proc/self") / folder);
    return static_cast<std::size_t>(std::distance(entries, {}));
}

}  // namespace Lumenbox::testing
