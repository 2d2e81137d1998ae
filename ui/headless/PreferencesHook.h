#pragma once

#include <functional>

namespace Lumenbox {

// Without a window system, showNativePreferencesDialog (ui/PreferencesDialog.h) "shows" the
// preferences window by handing its state to the preferences hook, on the main thread. The hook
// plays the user: it may change the checkbox and returns when the window closes. As with the
// native window, closing always saves the checkbox to the enhanced-security setting.
struct PreferencesWindow {
    bool enhancedSecurityChecked = false;  // the setting as it read when the window opened
};

using PreferencesHook = std::function<void(PreferencesWindow& window)>;

// Installs the hook for windows opened from now on; an empty function removes it, and the
// terminal stand-in (ui/headless/TerminalApproval.h) shows the window instead. Safe from any thread.
void setPreferencesHook(PreferencesHook hook);

}  // namespace Lumenbox
