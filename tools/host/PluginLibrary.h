#pragma once

#include <filesystem>
#include <string>

#include "fmx/HostSdk.h"

namespace Lumenbox::devhost {

// A plug-in loaded the way the host loads it: with dlopen, talked to only through its exported
// FMExternCallProc, with one extern-call structure that stays put for the plug-in's whole life
// (the plug-in keeps its address). Unloaded with dlclose on destruction; sending Shutdown before
// is the owner's business, as it is the host's.
//
// REQUIRES: all calls on one thread, the "main thread" of the plug-in.
class PluginLibrary {
public:
    // Throws std::runtime_error with the loader's message when the file cannot be loaded or does
    // not export FMExternCallProc.
    explicit PluginLibrary(const std::filesystem::path& path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // Sends Init; returns the plug-in's answer (fmx::kInterfaceVersion to be enabled).
    fmx::intptr init();
    void idle(fmx::uchar level = fmx::kIdleUserIdle);
    void shutdown();
    void preferences();
    // GetString `id` into a buffer of `capacity` units, returned as UTF-8 up to the first 0 unit.
    std::string getString(fmx::uchar id, fmx::uint32 capacity = 1024);
    // Sends any message as the host would, for messages the plug-in is meant to ignore.
    void send(fmx::uchar message, fmx::uchar parameter1 = 0, fmx::uint32 parameter2 = 0, fmx::intptr result = 0);

    // The structure as the plug-in left it after the last message.
    const FMX_ExternCallStruct& lastCall() const { return call_; }

private:
    void* handle_ = nullptr;
    FMX_ExternCallProc entry_ = nullptr;
    FMX_ExternCallStruct call_;
};

}  // namespace Lumenbox::devhost
