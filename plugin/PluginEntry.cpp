// The one symbol the plug-in exports. The host calls it on its main thread for every message;
// nothing thrown below may reach the host, so everything is caught here, once.

#include <new>
#include <string>

#include "fmx/HostSdk.h"
#include "plugin/PluginLifecycle.h"
#include "base/Log.h"

namespace {

void logUnhandled(FMX_ExternCallPtr call, const char* message) noexcept {
    const int code = call ? call->message : -1;
    try {
        Lumenbox::appendPluginLog("plugin_message_exception",
                                  "message=" + std::to_string(code) + " error=\"" + message + "\"");
    } catch (...) {
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void FMExternCallProc(FMX_ExternCallPtr call) {
    try {
        Lumenbox::handleExternCall(call);
    } catch (const std::bad_alloc&) {
        logUnhandled(call, "out of memory");
    } catch (const std::exception& error) {
        logUnhandled(call, error.what());
    } catch (...) {
        logUnhandled(call, "unknown exception");
    }
}
