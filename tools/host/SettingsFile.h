#pragma once

#include <filesystem>
#include <optional>

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

}  // namespace Lumenbox::devhost
