#pragma once

// What the plug-in does for each message of the host: at Init it creates the script bridge, the
// session store and the bridge server, registers its calculation function and starts the server
// on 127.0.0.1:1365; at Idle it records the host's idle level for "/health" and restarts a server
// that is down on the BridgeStartupRetry schedule; at Shutdown it tears everything down again.
// It answers the host's string queries and opens the preferences window.
//
// The bridge runs in FileMaker Pro only (Init's application kind kFMXT_Pro, or the former
// kFMXT_Developer): the other hosts that load plug-ins are FileMaker Server's processes (scripting,
// web publishing, Data API), several per machine, each of which would compete for the one port,
// and none has a user to approve sessions. There the plug-in declines to load, with a log line, as
// it does on a host older than the calls it makes (API version 60, FileMaker 18).
//
// The host calls the entry point on its main thread, except Idle, which may come from another
// thread at the unsafe level (kFMXT_Unsafe, unsafeCalls set): that Idle touches no host object and
// runs no main-thread work.

#include "FMWrapper/FMXExtern.h"

namespace Lumenbox {

class MonotonicClock;
class ScriptBridge;

// The oldest host API the plug-in runs on: FM_ExprEnv_EvaluateGetFunction, which its functions
// need, came with API 60 (the other calls are older).
inline constexpr short kOldestHostExtnVersion = k180ExtnVersion;

// Handles one message from the host; the exported entry point calls it for each. Keeps nothing of
// the structure but what it copies (the start-script callback, at Init). Init and the idle restart
// catch and log their own failures; anything else a message throws is left to the caller.
void handleExternCall(FMX_ExternCallPtr call);

// The clock of the restart schedule: the platform's monotonic clock unless a test substitutes one
// (null restores the platform's).
// REQUIRES: `clock` outlives its use.
void setRestartClock(const MonotonicClock* clock);

// The script bridge between Init and Shutdown, null otherwise. Main thread only.
ScriptBridge* activeScriptBridge();

}  // namespace Lumenbox
