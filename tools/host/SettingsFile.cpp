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

}  // namespace Lumenbox::devhost
