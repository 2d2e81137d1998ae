#pragma once

#include <filesystem>
#include <cstdint>
#include <optional>
#include <string>

namespace Lumenbox::devhost {

// The enhanced-security setting where a user keeps it outside macOS: the "EnableEnhancedSecurity"
// key of ${XDG_CONFIG_HOME:-$HOME/.config}/lumenbox/defaults.json. The development host edits the
// file before it loads the plug-in, as a user would, and reads it to report the mode; the plug-in
// reads it for itself. Nothing else passes between the two.
// Main thread only.

// The file, or nothing when neither variable names a folder.
std::optional<std::filesystem::path> settingsFile();
// False when the file or the key is missing or not a boolean.
bool readEnhancedSecurity();
// Writes the key, keeping the file's other keys; the file is replaced whole, so the plug-in never
// reads half of it. False when it cannot be written.
bool writeEnhancedSecurity(bool enabled);

// The plug-in log where a user finds it (the rule of base/Log, repeated here because the host holds
// none of the plug-in's code): LUMENBOX_PLUGIN_LOG_PATH, else ${XDG_STATE_HOME:-$HOME/.local/state}/
// lumenbox/lumenbox-plugin.log; nothing when no variable names a folder.
std::optional<std::filesystem::path> pluginLogFile();

// What the plug-in logged about its bridge after byte `from` of the log: the reason of the last
// start failure ("Address already in use") and whether it then started after all. `from` becomes
// the log's end, so the next call reads only what came later.
struct BridgeStartNews {
    std::optional<std::string> failure;
    bool recovered = false;
};
BridgeStartNews readBridgeStartNews(std::uintmax_t& from);

}  // namespace Lumenbox::devhost
