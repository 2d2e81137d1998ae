#include "ui/EnhancedSecurity.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace Lumenbox {

namespace {

constexpr const char* kSettingKey = "EnableEnhancedSecurity";

// ${XDG_CONFIG_HOME:-$HOME/.config}/lumenbox/defaults.json, or nothing when neither variable is
// usable.
std::optional<std::filesystem::path> settingsPath() {
    std::filesystem::path base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::filesystem::path(home) / ".config";
    } else {
        return std::nullopt;
    }
    return base / "lumenbox" / "defaults.json";
}

// The file's top-level object; an empty object when the file is absent, unreadable or holds
// anything else.
nlohmann::json readSettings(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return nlohmann::json::object();
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return nlohmann::json::object();
    nlohmann::json settings = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    return settings.is_object() ? settings : nlohmann::json::object();
}

bool writeAll(int fd, const std::string& data) {
    std::size_t written = 0;
    while (written < data.size()) {
        ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes text to a fresh temporary file beside path and renames it over path, so that readers
// never see a half-written file. Leaves no temporary file behind on failure.
bool replaceFileAtomically(const std::filesystem::path& path, const std::string& text) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec) return false;

    std::string tempName = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
    int fd = ::mkstemp(tempName.data());
    if (fd < 0) return false;
    bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(tempName.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(tempName.c_str());
    return ok;
}

}  // namespace

bool isEnhancedSecurityEnabled() noexcept {
    try {
        auto path = settingsPath();
        if (!path) return false;
        nlohmann::json settings = readSettings(*path);
        auto value = settings.find(kSettingKey);
        return value != settings.end() && value->is_boolean() && value->get<bool>();
    } catch (...) {
        return false;
    }
}

void setEnhancedSecurityEnabled(bool enabled) noexcept {
    try {
        auto path = settingsPath();
        if (!path) return;
        // A file that does not hold an object is replaced rather than preserved.
        nlohmann::json settings = readSettings(*path);
        settings[kSettingKey] = enabled;
        replaceFileAtomically(*path, settings.dump(2) + "\n");
    } catch (...) {
        // Silent by contract; see the header.
    }
}

}  // namespace Lumenbox
