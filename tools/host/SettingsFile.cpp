#include "tools/host/SettingsFile.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <nlohmann/json.hpp>

namespace Lumenbox::devhost {

namespace {
constexpr const char* kKey = "EnableEnhancedSecurity";

nlohmann::json readSettings() {
    auto path = settingsFile();
    std::ifstream in(path ? *path : std::filesystem::path(), std::ios::binary);
    if (!path || !in) return nlohmann::json::object();
    auto settings = nlohmann::json::parse(std::istreambuf_iterator<char>(in), {}, nullptr, false);
    return settings.is_object() ? settings : nlohmann::json::object();
}
}  // namespace

std::optional<std::filesystem::path> settingsFile() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) return std::filesystem::path(xdg) / "lumenbox/defaults.json";
    if (const char* home = std::getenv("HOME"); home && *home) return std::filesystem::path(home) / ".config/lumenbox/defaults.json";
    return std::nullopt;
}

bool readEnhancedSecurity() {
    const auto settings = readSettings();
    const auto value = settings.find(kKey);
    return value != settings.end() && value->is_boolean() && value->get<bool>();
}

bool writeEnhancedSecurity(bool enabled) {
    const auto path = settingsFile();
    if (!path) return false;
    auto settings = readSettings();
    settings[kKey] = enabled;
    std::error_code error;
    std::filesystem::create_directories(path->parent_path(), error);
    auto temporary = *path;
    temporary += ".lumenbox-host-" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << settings.dump(2) << "\n";
        if (!out.flush()) return false;
    }
    std::filesystem::rename(temporary, *path, error);
    if (!error) return true;
    std::filesystem::remove(temporary, error);
    return false;
}

std::optional<std::filesystem::path> pluginLogFile() {
    if (const char* path = std::getenv("LUMENBOX_PLUGIN_LOG_PATH"); path && *path) return std::filesystem::path(path);
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state) return std::filesystem::path(state) / "lumenbox/lumenbox-plugin.log";
    if (const char* home = std::getenv("HOME"); home && *home) return std::filesystem::path(home) / ".local/state/lumenbox/lumenbox-plugin.log";
    return std::nullopt;
}

BridgeStartNews readBridgeStartNews(std::uintmax_t& from) {
    BridgeStartNews news;
    const auto path = pluginLogFile();
    std::ifstream in(path ? *path : std::filesystem::path(), std::ios::binary);
    if (!path || !in) return news;
    in.seekg(static_cast<std::streamoff>(from));
    // A last line without its line feed is still being written: it is read next time.
    for (std::string line; std::getline(in, line) && !in.eof();) {
        from += line.size() + 1;
        if (line.find(" bridge_start_recovered ") != std::string::npos) {
            news.recovered = true;
        } else if (line.find(" bridge_start_failed ") != std::string::npos) {
            const auto reason = line.find(" error=\"");
            news.failure = reason == std::string::npos ? std::string("unknown reason") : line.substr(reason + 8, line.size() - reason - 9);
            news.recovered = false;
        }
    }
    return news;
}

}  // namespace Lumenbox::devhost
