// The one symbol the plug-in exports. The host calls it for every message; nothing thrown below
// may reach the host, so everything is caught here, once.

#include <cstddef>
#include <new>
#include <string>

#include "FMWrapper/FMXExtern.h"
#include "plugin/PluginLifecycle.h"
#include "base/Log.h"

// The plug-in reads and writes the structure the host fills in: a build whose headers or compiler
// lay it out otherwise would misread every message.
#if !defined(_MSC_VER)
static_assert(sizeof(FMX_ExternCallStruct) == 74);
static_assert(offsetof(FMX_ExternCallStruct, extnVersion) == 0 && offsetof(FMX_ExternCallStruct, whichCall) == 15 &&
              offsetof(FMX_ExternCallStruct, unsafeCalls) == 16 && offsetof(FMX_ExternCallStruct, parm1) == 17 &&
              offsetof(FMX_ExternCallStruct, parm2) == 18 && offsetof(FMX_ExternCallStruct, parm3) == 26 &&
              offsetof(FMX_ExternCallStruct, result) == 42 && offsetof(FMX_ExternCallStruct, cStartScript) == 58);
#endif

namespace {

void logUnhandled(FMX_ExternCallPtr call, const char* message) noexcept {
    const int code = call ? call->whichCall : -1;
    try {
        Lumenbox::appendPluginLog("plugin_message_exception",
                                  "message=" + std::to_string(code) + " error=\"" + message + "\"");
    } catch (...) {
    }
}

}  // namespace

// FMX_ENTRYPT exports nothing with GCC and Clang, and the plug-in hides everything else.
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
