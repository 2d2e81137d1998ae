#pragma once

#include <ctime>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace Lumenbox {

// Appends one line "<UTC time> <event>[ <details>]" to the plug-in log. This is the plug-in's
// only diagnostic output, so it must never disturb its caller: every failure (no home folder,
// a directory that cannot be created, a file that cannot be opened, a full disk) only loses the
// line. The location is resolved afresh on every call (see pluginLogPath), missing parent
// directories are created, and the file is opened in append mode, written and closed each time.
// Callable from any thread without a lock; each call writes its single line with one write.
void appendPluginLog(std::string_view event, std::string_view details) noexcept;

// Where the log lives right now: LUMENBOX_PLUGIN_LOG_PATH if set and non-empty (used unchanged);
// else on macOS $HOME/Library/Application Support/Lumenbox/MCP/logs/lumenbox-plugin.log, elsewhere
// ${XDG_STATE_HOME:-$HOME/.local/state}/lumenbox/lumenbox-plugin.log (empty variables count as
// unset); else nullopt (no log at all).
std::optional<std::filesystem::path> pluginLogPath();

// True when LUMENBOX_LOG_LEVEL was "debug" at the first call: the log then also gets a line per
// request and per WebSocket event. Read once, so that asking costs nothing; any thread.
bool debugLogEnabled();

// The exact bytes of one log line, including its final line feed: the time in UTC as
// "%Y-%m-%dT%H:%M:%SZ", a space and the event, then a space and the details only if the
// details are not empty. Every CR and LF in the event and details becomes a space, so an entry
// never spans lines; no other byte is touched.
std::string formatPluginLogLine(std::time_t when, std::string_view event, std::string_view details);

// The details of a log line about a caught exception: error="<what>", or error="unknown
// exception" for anything that is not a std::exception.
std::string exceptionDetails(std::exception_ptr error);

}  // namespace Lumenbox
