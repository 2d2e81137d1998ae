#include "base/Log.h"

#include <cstdlib>
#include <fstream>
#include <system_error>

namespace Lumenbox {

namespace {

constexpr const char* kLogPathVariable = "LUMENBOX_PLUGIN_LOG_PATH";

const char* nonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? value : nullptr;
}

void appendOneLine(std::string& out, std::string_view text) {
    for (char c : text) out.push_back((c == '\r' || c == '\n') ? ' ' : c);
}

}  // namespace

std::optional<std::filesystem::path> pluginLogPath() {
    if (const char* explicitPath = nonEmptyEnv(kLogPathVariable)) return std::filesystem::path(explicitPath);
#ifdef __APPLE__
    if (const char* home = nonEmptyEnv("HOME")) {
        return std::filesystem::path(home) / "Library" / "Application Support" / "Lumenbox" / "MCP" / "logs" /
               "lumenbox-plugin.log";
    }
#else
    // Elsewhere a log is state, kept where the XDG base directories put it.
    if (const char* state = nonEmptyEnv("XDG_STATE_HOME")) return std::filesystem::path(state) / "lumenbox" / "lumenbox-plugin.log";
    if (const char* home = nonEmptyEnv("HOME")) return std::filesystem::path(home) / ".local" / "state" / "lumenbox" / "lumenbox-plugin.log";
#endif
    return std::nullopt;
}

bool debugLogEnabled() {
    // Read once: the request path asks on every request, and the level is chosen before the host
    // starts.
    static const bool enabled = [] {
        const char* level = nonEmptyEnv("LUMENBOX_LOG_LEVEL");
        return level != nullptr && std::string_view(level) == "debug";
    }();
    return enabled;
}

std::string formatPluginLogLine(std::time_t when, std::string_view event, std::string_view details) {
    // gmtime_r rather than gmtime: the main thread and the server thread both log, unlocked.
    std::tm utc{};
    char stamp[32] = "";
    if (::gmtime_r(&when, &utc) != nullptr) std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);

    std::string line = stamp;
    line.reserve(line.size() + event.size() + details.size() + 3);
    line.push_back(' ');
    appendOneLine(line, event);
    if (!details.empty()) {
        line.push_back(' ');
        appendOneLine(line, details);
    }
    line.push_back('\n');
    return line;
}

void appendPluginLog(std::string_view event, std::string_view details) noexcept {
    try {
        const auto path = pluginLogPath();
        if (!path) return;
        if (path->has_parent_path()) {
            std::error_code ec;
            std::filesystem::create_directories(path->parent_path(), ec);
            if (ec) return;
        }
        const std::string line = formatPluginLogLine(std::time(nullptr), event, details);
        std::ofstream out(*path, std::ios::binary | std::ios::app);
        if (!out) return;
        out.write(line.data(), static_cast<std::streamsize>(line.size()));
        // The destructor closes (and so flushes) the file; a short write only loses the line.
    } catch (...) {
        // Logging must never be the reason the host or the server thread fails.
    }
}

std::string exceptionDetails(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return std::string("error=\"") + e.what() + "\"";
    } catch (...) {
        return "error=\"unknown exception\"";
    }
}

}  // namespace Lumenbox
