#include "tools/host/PluginLibrary.h"

#include <dlfcn.h>

#include <stdexcept>
#include <vector>

#include "standin/StandInHost.h"

namespace Lumenbox::devhost {

namespace {
std::string loaderError() {
    const char* message = dlerror();
    return message ? message : "unknown loader error";
}
}  // namespace

PluginLibrary::PluginLibrary(const std::filesystem::path& path) : call_(fmx::standin::makeExternCall()) {
    // RTLD_LOCAL: the plug-in's symbols stay its own, as in a host that loads several plug-ins.
    // An absolute path: a bare file name would send the loader searching the library path.
    handle_ = dlopen(std::filesystem::absolute(path).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) throw std::runtime_error(loaderError());
    entry_ = reinterpret_cast<FMX_ExternCallProc>(dlsym(handle_, "FMExternCallProc"));
    if (!entry_) {
        std::string message = "no FMExternCallProc in " + path.string() + ": " + loaderError();
        dlclose(handle_);
        throw std::runtime_error(message);
    }
}

PluginLibrary::~PluginLibrary() {
    dlclose(handle_);
}

void PluginLibrary::send(FMX_ExternCallSwitch message, FMX_UChar parm1, fmx::ptrtype parm2, fmx::ptrtype parm3,
                         fmx::ptrtype result) {
    call_.whichCall = message;
    call_.unsafeCalls = message == kFMXT_Idle && parm1 == kFMXT_Unsafe;
    call_.parm1 = parm1;
    call_.parm2 = parm2;
    call_.parm3 = parm3;
    call_.result = result;
    entry_(&call_);
}

fmx::ptrtype PluginLibrary::init(FMX_Application application, short hostVersion) {
    call_.extnVersion = hostVersion;
    // The host's version string, as FileMaker passes it in parm2.
    static const fmx::unichar16 kVersion[] = {'P', 'r', 'o', ' ', '2', '2', '.', '0', 0};
    send(kFMXT_Init, application, reinterpret_cast<fmx::ptrtype>(kVersion));
    return call_.result;
}

void PluginLibrary::idle(FMX_IdleLevel level) {
    send(kFMXT_Idle, level);
}

void PluginLibrary::shutdown() {
    send(kFMXT_Shutdown);
}

void PluginLibrary::preferences() {
    send(kFMXT_DoAppPreferences);
}

std::string PluginLibrary::getString(FMX_Strings id, fmx::uint32 capacity) {
    std::vector<fmx::unichar16> buffer(capacity + 1, 0);
    // FileMaker passes the Windows language id (here US English) in parm2 and the capacity in parm3.
    send(kFMXT_GetString, id, 1033, capacity, reinterpret_cast<fmx::ptrtype>(buffer.data()));
    std::string text;
    for (fmx::unichar16 unit : buffer) {
        if (unit == 0) break;
        // The plug-in's strings are ASCII; anything else is shown as a replacement.
        text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return text;
}

}  // namespace Lumenbox::devhost
