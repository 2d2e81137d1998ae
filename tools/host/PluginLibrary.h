#pragma once

#include <filesystem>
#include <string>

#include "FMWrapper/FMXExtern.h"

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

    // Sends Init as FileMaker Pro (or `application`) of API version `hostVersion` would; returns
    // the plug-in's answer (kCurrentExtnVersion to be enabled).
    fmx::ptrtype init(FMX_Application application = kFMXT_Pro, short hostVersion = kCurrentExtnVersion);
    // Idle at `level`; the unsafe level comes as from another thread (unsafeCalls set).
    void idle(FMX_IdleLevel level = kFMXT_UserIdle);
    void shutdown();
    void preferences();
    // GetString `id` into a buffer of `capacity` units, returned as UTF-8 up to the first 0 unit.
    std::string getString(FMX_Strings id, fmx::uint32 capacity = 1024);
    // Sends any message as the host would (parameters the message does not use are zero), for
    // messages the plug-in is meant to ignore too.
    void send(FMX_ExternCallSwitch message, FMX_UChar parm1 = 0, fmx::ptrtype parm2 = 0, fmx::ptrtype parm3 = 0,
              fmx::ptrtype result = 0);

    // The structure as the plug-in left it after the last message.
    const FMX_ExternCallStruct& lastCall() const { return call_; }

private:
    void* handle_ = nullptr;
    FMX_ExternCallProc entry_ = nullptr;
    FMX_ExternCallStruct call_;
};

}  // namespace Lumenbox::devhost
