// The stand-in host's switches: failing calls, object counting and the scripts plug-ins start.

#include <array>
#include <atomic>
#include <mutex>

#include "HostObjects.h"

namespace fmx::standin {

namespace {

constexpr std::size_t kHostCallCount = static_cast<std::size_t>(HostCall::StartScript) + 1;

// The error each host call fails with; 0 = it works.
std::array<std::atomic<int32>, kHostCallCount> g_faults{};
std::atomic<std::size_t> g_liveObjects{0};

// Never destroyed, as plug-ins may start scripts from their own threads until the very end.
struct ScriptHandler {
    std::mutex mutex;
    std::function<void(const ScriptRequest&)> handler;  // Guarded by mutex
};
ScriptHandler& scriptHandler() {
    static auto* instance = new ScriptHandler;
    return *instance;
}

std::string textOf(const Text* text) {
    return detail::utf16ToUtf8(detail::objectOf<detail::TextObject>(static_cast<const void*>(text)).units);
}

errcode startScript(const Text* fileName, const Text* scriptName, FMX_ScriptControl control, const Data* parameter) {
    _fmxcpt fault;
    if (detail::shouldFail(HostCall::StartScript, fault)) return static_cast<errcode>(fault.m_code);
    if (!fileName || !scriptName) return 1;
    std::function<void(const ScriptRequest&)> handler;
    {
        auto& current = scriptHandler();
        std::lock_guard lock(current.mutex);
        handler = current.handler;
    }
    if (!handler) return 0;
    ScriptRequest request;
    request.fileName = textOf(fileName);
    request.scriptName = textOf(scriptName);
    request.control = control;
    if (parameter) {
        request.parameter = detail::utf16ToUtf8(detail::objectOf<detail::DataObject>(static_cast<const void*>(parameter)).text.units);
    }
    request.thread = std::this_thread::get_id();
    // Run without the lock: a handler may answer the script at once, from this very thread.
    handler(request);
    return 0;
}

}  // namespace

namespace detail {

bool shouldFail(HostCall call, _fmxcpt& error) {
    const int32 code = g_faults[static_cast<std::size_t>(call)].load();
    if (code == _fmxcpt::kNoErr) return false;
    error.m_code = code;
    return true;
}

void objectCreated() {
    ++g_liveObjects;
}

void objectDeleted() {
    --g_liveObjects;
}

}  // namespace detail

void setScriptHandler(std::function<void(const ScriptRequest&)> handler) {
    auto& current = scriptHandler();
    std::lock_guard lock(current.mutex);
    current.handler = std::move(handler);
}

FMX_ExternCallStruct makeExternCall() {
    FMX_ExternCallStruct call{};
    call.extnVersion = kCurrentExtnVersion;
    call.unusedID = -1;
    call.cStartScript = &startScript;
    return call;
}

void failCalls(HostCall call, int32 code) {
    g_faults[static_cast<std::size_t>(call)] = code;
}

void clearFaults() {
    for (auto& fault : g_faults) fault = _fmxcpt::kNoErr;
}

std::size_t liveObjects() {
    return g_liveObjects.load();
}

}  // namespace fmx::standin
