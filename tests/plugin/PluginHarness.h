#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "fmx/HostSdk.h"
#include "support/ScopedEnv.h"

namespace Lumenbox::testing {

// The plug-in built with these tests.
inline const std::filesystem::path kPluginPath = LUMENBOX_PLUGIN_PATH;
inline constexpr int kBridgePort = 1365;

// What the plug-in sees of the machine during a test: a fresh home folder (log, settings), no
// failing host calls and no script handler, all restored afterwards.
class PluginEnvironment {
public:
    PluginEnvironment();
    ~PluginEnvironment();
    PluginEnvironment(const PluginEnvironment&) = delete;
    PluginEnvironment& operator=(const PluginEnvironment&) = delete;

    std::string logText() const;

private:
    TempDir home_;
    ScopedEnv homeEnv_;
    ScopedEnv configEnv_;
    ScopedEnv logEnv_;
};

// Keeps 127.0.0.1:1365 bound without listening, so the bridge cannot take the port and
// connections to it are refused.
class PortBlocker {
public:
    PortBlocker() = default;
    ~PortBlocker() { release(); }
    PortBlocker(const PortBlocker&) = delete;
    PortBlocker& operator=(const PortBlocker&) = delete;

    // False when the port is in use by someone else.
    bool bind();
    void release();

private:
    int fd_ = -1;
};

// The bridge's GET /health on port 1365 parsed, or nullopt when nothing listens there.
std::optional<nlohmann::json> bridgeHealth();

// Drives the plug-in's code linked into the test, through the same function its exported entry
// point calls, with one extern-call structure from the stand-in host.
class InProcessHost {
public:
    InProcessHost();
    fmx::intptr send(fmx::uchar message, fmx::uchar parameter1 = 0);
    fmx::intptr init() { return send(fmx::kMessageInit); }
    void idle(fmx::uchar level = fmx::kIdleUserIdle) { send(fmx::kMessageIdle, level); }
    void shutdown() { send(fmx::kMessageShutdown); }

private:
    FMX_ExternCallStruct call_;
};

// Threads and open file descriptors of this process.
std::size_t threadCount();
std::size_t openDescriptorCount();

}  // namespace Lumenbox::testing
