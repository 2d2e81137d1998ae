#include "ui/EnhancedSecurity.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

#include <nlohmann/json.hpp>

namespace Lumenbox {

namespace {

constexpr const char* kSettingKey = "EnableEnhancedSecurity";

// ${XDG_CONFIG_HOME:-$HOME/.config}/lumenbox/defaults.json, or nothing when neither variable is
// usable. Built as plain text: the script-call path asks for it on every call.
std::optional<std::string> settingsPath() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) return std::string(xdg) + "/lumenbox/defaults.json";
    if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.config/lumenbox/defaults.json";
    return std::nullopt;
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

bool settingIn(const nlohmann::json& settings) {
    auto value = settings.find(kSettingKey);
    return value != settings.end() && value->is_boolean() && value->get<bool>();
}

// What stat tells of the settings file: enough to see that it changed without reading it.
struct FileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    static FileIdentity of(const std::string& path) {
        struct stat info{};
        if (::stat(path.c_str(), &info) != 0) return {};
        return {true, info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
    }
    bool operator==(const FileIdentity& other) const {
        auto key = [](const FileIdentity& f) {
            return std::tie(f.exists, f.device, f.inode, f.size, f.modified.tv_sec, f.modified.tv_nsec,
                            f.changed.tv_sec, f.changed.tv_nsec);
        };
        return key(*this) == key(other);
    }
    // File times come from a coarse clock: a file written again within the same tick, at the
    // same size, looks unchanged. Only a file last touched well before it was read is trusted.
    bool settledBefore(const timespec& readAt) const {
        constexpr time_t kSettleSeconds = 2;
        return !exists || (modified.tv_sec + kSettleSeconds < readAt.tv_sec && changed.tv_sec + kSettleSeconds < readAt.tv_sec);
    }
};

// The setting as last read, with the file's identity at that time. The script-call path asks for
// the setting on every call; while the file stays as it was, one stat answers instead of opening,
// reading and parsing it.
struct CachedSetting {
    std::mutex mutex;
    std::string path;
    FileIdentity identity;
    bool trusted = false;
    bool enabled = false;
};

CachedSetting& cachedSetting() {
    static CachedSetting cache;
    return cache;
}

}  // namespace

bool isEnhancedSecurityEnabled() noexcept {
    try {
        auto path = settingsPath();
        if (!path) return false;
        const std::string& pathText = *path;
        CachedSetting& cache = cachedSetting();
        std::lock_guard lock(cache.mutex);
        FileIdentity identity = FileIdentity::of(pathText);
        if (cache.trusted && cache.path == pathText && cache.identity == identity) return cache.enabled;

        timespec readAt{};
        ::clock_gettime(CLOCK_REALTIME, &readAt);
        cache.enabled = identity.exists && settingIn(readSettings(*path));
        cache.path = pathText;
        cache.identity = identity;
        cache.trusted = identity.settledBefore(readAt);
        return cache.enabled;
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
