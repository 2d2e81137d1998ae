#include "plugin/PluginLifecycle.h"

#include <chrono>
#include <exception>
#include <memory>
#include <string>

#include "base/MonotonicClock.h"
#include "auth/SessionStore.h"
#include "plugin/BridgeStartupRetry.h"
#include "plugin/CustomFunction.h"
#include "plugin/HostInterface.h"
#include "base/Log.h"
#include "plugin/PluginStrings.h"
#include "plugin/ScriptBridge.h"
#include "server/HostIdleState.h"
#include "server/HttpServer.h"
#include "ui/AuthDialog.h"
#include "ui/AuthDialogState.h"
#include "ui/EnhancedSecurity.h"
#include "ui/PreferencesDialog.h"
#include "webviewer/ConnectorKeys.h"
#include "base/Version.h"
#include "ui/MainQueue.h"

namespace Lumenbox {

namespace {

constexpr const char* kShutdownReason = "Plugin shutting down";

// Set when this module's static objects are being destroyed (process exit, or the end of an
// unload). A plain bool, so it is never destroyed itself; its sentinel is defined before the
// owners below and so destroyed after them.
bool g_staticsDestroyed = false;
struct StaticsSentinel {
    ~StaticsSentinel() { g_staticsDestroyed = true; }
} g_staticsSentinel;

// The plug-in's long-lived objects, owned from Init to Shutdown. Main thread only. Static objects
// are destroyed in the reverse order of their definition, so should they still be owned when
// the process exits, the server stops before the store it refers to goes.
std::unique_ptr<SessionStore> g_sessions;
std::unique_ptr<ConnectorKeys> g_connectorKeys;
std::unique_ptr<ScriptBridge> g_bridge;
std::unique_ptr<HttpServer> g_httpServer;
bool g_customFunctionsRegistered = false;
BridgeStartupRetry g_bridgeStartupRetry;
const MonotonicClock* g_restartClock = nullptr;  // null: the platform's

std::chrono::steady_clock::time_point monotonicNow() {
    return (g_restartClock ? *g_restartClock : realMonotonicClock()).now();
}

// `error="<message>"` for a standard exception, `error="unknown exception"` for anything else.
void unregisterCustomFunctionsQuietly() noexcept {
    if (!g_customFunctionsRegistered) return;
    g_customFunctionsRegistered = false;
    try {
        unregisterCustomFunctions();
    } catch (...) {
        // The host could not remove the function; it is forgotten on our side all the same, and
        // the store it used is about to go.
    }
}

// Tears down whatever is owned, in the one safe order: the server first (its thread uses the
// store), then the calculation function (it writes to the store), then the bridge's waiting
// callers, then the stores. Used by Shutdown, before a repeated Init, and at unload.
void releaseEverything() noexcept {
    g_fileMakerIdleLevel = -1;
    g_fileMakerIdleObservedAtUnixMs = 0;
    g_bridgeStartupRetry.reset();
    // Each step runs even if the one before failed: a later Init, or the host's unloading, must
    // find nothing left behind.
    if (g_httpServer) {
        try {
            g_httpServer->stop();
        } catch (...) {
        }
        g_httpServer.reset();
    }
    // Shutdown runs on the host's main thread, where the approval dialogs live: none may stay
    // open to call into a plug-in that is about to be unloaded. Their answers go nowhere now.
    try {
        dismissOpenAuthDialogs();
    } catch (...) {
    }
    unregisterCustomFunctionsQuietly();
    if (g_bridge) {
        try {
            g_bridge->rejectAll(kShutdownReason);
        } catch (...) {
        }
        g_bridge.reset();
    }
    g_sessions.reset();
    g_connectorKeys.reset();
}

// A host that unloads the plug-in without a Shutdown message still gets everything torn down,
// the calculation function included (the host would otherwise keep a callback into unloaded
// code). The loader runs this before it destroys the library's static objects, so the server's
// thread is stopped while everything it uses still exists. At process exit it runs after them:
// the owners are gone by then, the server first, and there is nothing left to do.
__attribute__((destructor)) void releaseAtUnload() {
    if (!g_staticsDestroyed) releaseEverything();
}

void startOrScheduleRetry(std::chrono::steady_clock::time_point now) {
    if (g_httpServer->start(kBridgePort)) {
        g_bridgeStartupRetry.reset();
    } else {
        g_bridgeStartupRetry.schedule(now);
    }
}

// Why the plug-in stays disabled on this host; empty when it can run. A host whose API version
// is out of any range answers kBadExtnVersion, as the SDK asks.
std::string declineReason(const FMX_ExternCallStruct& call) {
    const short hostVersion = call.extnVersion;
    if (hostVersion < kOldestHostExtnVersion) {
        return "host API version " + std::to_string(hostVersion) + ", the plug-in needs " +
               std::to_string(kOldestHostExtnVersion) + " or later";
    }
    const FMX_Application kind = call.parm1;
    if (kind != kFMXT_Pro && kind != kFMXT_Developer) {
        return "application kind " + std::to_string(kind) + ": the bridge runs in FileMaker Pro only";
    }
    return {};
}

void handleInit(FMX_ExternCallStruct& call) {
    if (const std::string reason = declineReason(call); !reason.empty()) {
        appendPluginLog("plugin_init_declined", "reason=\"" + reason + "\"");
        const bool outOfRange = call.extnVersion < kMinExtnVersion || call.extnVersion > kMaxExtnVersion;
        call.result = static_cast<fmx::ptrtype>(outOfRange ? kBadExtnVersion : kDoNotEnable);
        return;
    }
    // The host does not send Init twice without a Shutdown; should it, the earlier objects go
    // first, the server before the stores it refers to.
    if (g_bridge || g_httpServer || g_sessions || g_connectorKeys) releaseEverything();
    g_fileMakerIdleLevel = -1;
    g_fileMakerIdleObservedAtUnixMs = 0;
    g_bridgeStartupRetry.reset();
    try {
        g_bridge = std::make_unique<ScriptBridge>();
        g_sessions = std::make_unique<SessionStore>();
        g_connectorKeys = std::make_unique<ConnectorKeys>();
        // The bridge asks the user through the plug-in's dialogs and reads the user's setting.
        HttpServer::Options options;
        options.enhancedSecurity = [] { return isEnhancedSecurityEnabled(); };
        options.approvalPrompt = &nativeApprovalPrompt();
        g_httpServer = std::make_unique<HttpServer>(*g_sessions, options, g_connectorKeys.get());
        registerCustomFunctions(*g_sessions, *g_connectorKeys);
        g_customFunctionsRegistered = true;
        // A server that cannot listen yet does not stop the plug-in: Idle tries again.
        startOrScheduleRetry(monotonicNow());
        // Copied now: the host may reuse the structure, and scripts are started long after.
        setHostStartScript(call.cStartScript);
        call.result = static_cast<fmx::ptrtype>(kCurrentExtnVersion);
    } catch (...) {
        appendPluginLog("plugin_init_exception", exceptionDetails(std::current_exception()));
        unregisterCustomFunctionsQuietly();
        g_httpServer.reset();
        g_bridge.reset();
        g_sessions.reset();
        g_connectorKeys.reset();
        call.result = static_cast<fmx::ptrtype>(kDoNotEnable);
    }
}

void restartBridgeIfDue() {
    const auto now = monotonicNow();
    if (!g_bridgeStartupRetry.scheduled) {
        // Down without a schedule: the server stopped on its own since the last message.
        g_bridgeStartupRetry.schedule(now);
        return;
    }
    if (!g_bridgeStartupRetry.isDue(now)) return;
    try {
        startOrScheduleRetry(now);
    } catch (...) {
        appendPluginLog("bridge_retry_exception", exceptionDetails(std::current_exception()));
        g_bridgeStartupRetry.schedule(now);
    }
}

void handleIdle(const FMX_ExternCallStruct& call) {
    g_fileMakerIdleLevel = call.parm1;
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    g_fileMakerIdleObservedAtUnixMs = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count();
    if (g_httpServer && !g_httpServer->isRunning()) restartBridgeIfDue();
    // Without a main dispatch queue, work for the main thread (script starts, dialogs) waits here
    // for the host's next safe idle message, which arrives on the main thread several times a
    // second. An unsafe one is not on the main thread: the work waits for the next.
    if (call.parm1 != kFMXT_Unsafe && !call.unsafeCalls) drainMainQueue();
}

void handleGetString(const FMX_ExternCallStruct& call) {
    // The capacity is in parm3; parm2 is the host's Windows language id.
    writePluginString(call.parm1, call.parm3, reinterpret_cast<fmx::unichar16*>(call.result));
}

}  // namespace

void handleExternCall(FMX_ExternCallPtr call) {
    if (!call) return;
    switch (call->whichCall) {
        case kFMXT_Init:
            handleInit(*call);
            break;
        case kFMXT_Idle:
            handleIdle(*call);
            break;
        case kFMXT_Shutdown:
            releaseEverything();
            setHostStartScript(nullptr);
            break;
        case kFMXT_DoAppPreferences:
            showNativePreferencesDialog();
            break;
        case kFMXT_GetString:
            handleGetString(*call);
            break;
        default:
            // Session and file shutdowns, schema changes and codes yet to come: nothing to do.
            break;
    }
}

void setRestartClock(const MonotonicClock* clock) {
    g_restartClock = clock;
}

ScriptBridge* activeScriptBridge() {
    return g_bridge.get();
}

}  // namespace Lumenbox
