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

errcode startScript(const Text* fileName, const Text* scriptName, uchar control, const Data* parameter) {
    ErrorCode fault;
    if (detail::shouldFail(HostCall::StartScript, fault)) return static_cast<errcode>(fault.code);
    if (!fileName || !scriptName) return 1;
    std::function<void(const ScriptRequest&)> handler;
    {
        auto& current = scriptHandler();
        std::lock_guard lock(current.mutex);
        handler = current.handler;
    }
    if (!handler) return 0;
    ScriptRequest request;
    request.fileName = detail::utf16ToUtf8(fileName->units);
    request.scriptName = detail::utf16ToUtf8(scriptName->units);
    request.control = control;
    if (parameter) request.parameter = detail::utf16ToUtf8(parameter->text.units);
    // Run without the lock: a handler may answer the script at once, from this very thread.
    handler(request);
    return 0;
}

}  // namespace

namespace detail {

bool shouldFail(HostCall call, ErrorCode& error) {
    const int32 code = g_faults[static_cast<std::size_t>(call)].load();
    if (code == ErrorCode::kNoError) return false;
    error.code = code;
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
    FMX_ExternCallStruct call;
    call.startScript = &startScript;
    return call;
}

void failCalls(HostCall call, int32 code) {
    g_faults[static_cast<std::size_t>(call)] = code;
}

void clearFaults() {
    for (auto& fault : g_faults) fault = ErrorCode::kNoError;
}

std::size_t liveObjects() {
    return g_liveObjects.load();
}

}  // namespace fmx::standin
