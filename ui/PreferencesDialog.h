#pragma once

namespace Lumenbox {

// Opens the plug-in's preferences window, where the user switches enhanced security (see
// ui/EnhancedSecurity.h), and returns when it has closed; closing always saves the checkbox. On
// macOS it is a modal window (ui/mac/PreferencesDialog.mm); without a window system a stand-in
// shows it (ui/headless/PreferencesHook.h), as the development host does on its terminal.
// REQUIRES: the host's main thread.
void showNativePreferencesDialog();

}  // namespace Lumenbox
