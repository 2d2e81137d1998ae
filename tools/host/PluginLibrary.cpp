#include "tools/host/PluginLibrary.h"

#include <dlfcn.h>

#include <stdexcept>
#include <vector>

#include "fmx/StandInHost.h"

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

void PluginLibrary::send(fmx::uchar message, fmx::uchar parameter1, fmx::uint32 parameter2, fmx::intptr result) {
    call_.message = message;
    call_.parameter1 = parameter1;
    call_.parameter2 = parameter2;
    call_.parameter3 = 0;
    call_.result = result;
    entry_(&call_);
}

fmx::intptr PluginLibrary::init() {
    send(fmx::kMessageInit);
    return call_.result;
}

void PluginLibrary::idle(fmx::uchar level) {
    send(fmx::kMessageIdle, level);
}

void PluginLibrary::shutdown() {
    send(fmx::kMessageShutdown);
}

void PluginLibrary::preferences() {
    send(fmx::kMessagePreferences);
}

std::string PluginLibrary::getString(fmx::uchar id, fmx::uint32 capacity) {
    std::vector<fmx::unichar16> buffer(capacity + 1, 0);
    send(fmx::kMessageGetString, id, capacity, reinterpret_cast<fmx::intptr>(buffer.data()));
    std::string text;
    for (fmx::unichar16 unit : buffer) {
        if (unit == 0) break;
        // The plug-in's strings are ASCII; anything else is shown as a replacement.
        text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return text;
}

}  // namespace Lumenbox::devhost
