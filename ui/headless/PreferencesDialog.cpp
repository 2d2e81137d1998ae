#include "ui/PreferencesDialog.h"

#include <mutex>
#include <utility>

#include "ui/EnhancedSecurity.h"
#include "ui/headless/PreferencesHook.h"
#include "ui/headless/TerminalApproval.h"

namespace Lumenbox {

namespace {

std::mutex g_hookMutex;
PreferencesHook g_hook;  // Guarded by g_hookMutex

}  // namespace

void setPreferencesHook(PreferencesHook hook) {
    std::lock_guard lock(g_hookMutex);
    g_hook = std::move(hook);
}

// The stand-in window: opened with the setting as it reads now, shown by the hook (or on the
// terminal), and saved when it closes, whether or not anything changed, as the native window is.
void showNativePreferencesDialog() {
    PreferencesWindow window;
    window.enhancedSecurityChecked = isEnhancedSecurityEnabled();
    PreferencesHook hook;
    {
        std::lock_guard lock(g_hookMutex);
        hook = g_hook;
    }
    if (hook) {
        hook(window);
    } else {
        showPreferencesOnTerminal(window);
    }
    setEnhancedSecurityEnabled(window.enhancedSecurityChecked);
}

}  // namespace Lumenbox
