#pragma once

namespace Lumenbox {

// The user's enhanced-security setting: when on, every new client session needs the user's
// approval before it may reach a file. On macOS it is the "EnableEnhancedSecurity" user default
// of the host process; elsewhere the "EnableEnhancedSecurity" key of
// ${XDG_CONFIG_HOME:-$HOME/.config}/lumenbox/defaults.json.

// A change takes effect at the next request: each call sees the setting as it is now (elsewhere
// than macOS, the file is read again whenever it has changed since the last read). False when the
// setting was never written or cannot be read.
// Safe to call from any thread.
bool isEnhancedSecurityEnabled() noexcept;

// Stores the setting, leaving any other settings in place. The file is replaced atomically, so a
// concurrent reader sees either the old or the new value. A failed write is silent: the callers
// (the development host, tests, the preferences window) have nothing to report it to, and the
// setting then keeps its previous value.
void setEnhancedSecurityEnabled(bool enabled) noexcept;

}  // namespace Lumenbox
