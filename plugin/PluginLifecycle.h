#pragma once

// What the plug-in does for each message of the host: at Init it creates the script bridge, the
// session store and the bridge server, registers its calculation function and starts the server
// on 127.0.0.1:1365; at Idle it records the host's idle level for "/health" and restarts a server
// that is down on the BridgeStartupRetry schedule; at Shutdown it tears everything down again.
// It answers the host's string queries and opens the preferences window.
//
// All of it runs on the host's main thread, the only thread the host calls the plug-in on.

#include "fmx/HostSdk.h"

namespace Lumenbox {

class MonotonicClock;
class ScriptBridge;

// Handles one message from the host; the exported entry point calls it for each. Stores the
// structure's address for later host calls first. Init and the idle restart catch and log their
// own failures; anything else a message throws is left to the caller.
void handleExternCall(FMX_ExternCallPtr call);

// The clock of the restart schedule: the platform's monotonic clock unless a test substitutes one
// (null restores the platform's).
// REQUIRES: `clock` outlives its use.
void setRestartClock(const MonotonicClock* clock);

// The script bridge between Init and Shutdown, null otherwise. Main thread only.
ScriptBridge* activeScriptBridge();

}  // namespace Lumenbox
