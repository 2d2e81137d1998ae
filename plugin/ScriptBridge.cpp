#include "plugin/ScriptBridge.h"

#include <stdexcept>

#include "base/Identifiers.h"
#include "base/Log.h"
#include "plugin/HostInterface.h"
#include "ui/MainQueue.h"

namespace Lumenbox {

ScriptBridge::ScriptBridge(std::chrono::milliseconds callTimeout) : callTimeout_(callTimeout) {
    lifeline_->bridge = this;
}

ScriptBridge::~ScriptBridge() {
    {
        // Starts still queued find no bridge; one running now finishes first.
        std::lock_guard lock(lifeline_->mutex);
        lifeline_->bridge = nullptr;
    }
    rejectAll("Script bridge destroyed");
    // A rejected caller wakes at once; wait for it to be done with this object.
    std::unique_lock lock(mutex_);
    callersLeft_.wait(lock, [this] { return callers_ == 0; });
}

std::string ScriptBridge::makeEnvelope(const std::string& fetchId, const std::string& parameter) {
    return "{\"callback\":{\"fetchId\":\"" + fetchId + "\"},\"data\":" + parameter + "}";
}

std::pair<std::string, std::string> ScriptBridge::callScript(const std::string& fileName,
                                                             const std::string& scriptName,
                                                             const std::string& parameter) {
    const std::string fetchId = generateUuid();
    const std::string envelope = makeEnvelope(fetchId, parameter);

    std::future<std::string> result;
    {
        std::lock_guard lock(mutex_);
        PendingCall& call = pending_[fetchId];
        call.fileName = fileName;
        call.scriptName = scriptName;
        call.startedAt = std::chrono::steady_clock::now();
        result = call.promise.get_future();
        ++callers_;
    }
    struct Leave {
        ScriptBridge* bridge;
        ~Leave() { bridge->leave(); }
    } leaveOnExit{this};

    runOnMainQueue([lifeline = lifeline_, fetchId, fileName, scriptName, envelope] {
        std::lock_guard lock(lifeline->mutex);
        if (lifeline->bridge) lifeline->bridge->startPending(fetchId, fileName, scriptName, envelope);
    });

    const auto deadline = std::chrono::steady_clock::now() + callTimeout_;
    if (result.wait_until(deadline) == std::future_status::timeout) {
        std::lock_guard lock(mutex_);
        // Still pending: nobody answered in time. Gone: a delivery or rejection got in just after
        // the deadline, and its outcome stands.
        if (pending_.erase(fetchId) == 1) {
            throw std::runtime_error("Script call timed out after " + std::to_string(callTimeout_.count()) + "ms");
        }
    }
    return {fetchId, result.get()};
}

void ScriptBridge::startPending(const std::string& fetchId, const std::string& fileName,
                                const std::string& scriptName, const std::string& envelope) {
    {
        std::lock_guard lock(mutex_);
        if (!pending_.contains(fetchId)) return;  // timed out or rejected while it waited
    }
    try {
        startScript(fileName, scriptName, envelope);
    } catch (...) {
        // The script never started, so no result can come: fail the call now rather than at its
        // time-out, and forget it.
        std::lock_guard lock(mutex_);
        auto call = pending_.find(fetchId);
        if (call == pending_.end()) return;
        call->second.promise.set_exception(std::current_exception());
        pending_.erase(call);
    }
}

void ScriptBridge::startScript(const std::string& fileName, const std::string& scriptName,
                               const std::string& envelope) {
    const FMX_StartScriptCall start = hostStartScript();
    if (!start) return;
    auto fileText = makeText(fileName);
    auto scriptText = makeText(scriptName);
    auto parameterText = makeText(envelope);
    auto parameter = makeData();
    auto locale = makeLocale();
    setDataAsText(*parameter, *parameterText, *locale);
    // The host runs the script later; its answer here says nothing about the script's result, and
    // what a non-zero answer means is not documented, so the call still waits for its result.
    const fmx::errcode status = start(fileText.get(), scriptText.get(), kFMXT_Resume, parameter.get());
    if (status != 0) appendPluginLog("script_start_error", "code=" + std::to_string(status));
}

void ScriptBridge::leave() {
    std::lock_guard lock(mutex_);
    if (--callers_ == 0) callersLeft_.notify_all();
}

void ScriptBridge::deliverResult(const std::string& fetchId, const std::string& result) {
    std::lock_guard lock(mutex_);
    auto call = pending_.find(fetchId);
    if (call == pending_.end()) return;
    call->second.promise.set_value(result);
    pending_.erase(call);
}

void ScriptBridge::rejectAll(const std::string& reason) {
    std::lock_guard lock(mutex_);
    for (auto& [fetchId, call] : pending_) {
        try {
            call.promise.set_exception(std::make_exception_ptr(std::runtime_error(reason)));
        } catch (const std::exception&) {
            // Already satisfied: that outcome stands.
        }
    }
    pending_.clear();
}

void ScriptBridge::trackFile(const std::string& fileName) {
    std::lock_guard lock(mutex_);
    trackedFiles_.insert(fileName);
}

void ScriptBridge::untrackFile(const std::string& fileName) {
    std::lock_guard lock(mutex_);
    trackedFiles_.erase(fileName);
}

std::vector<std::string> ScriptBridge::getTrackedFiles() const {
    std::lock_guard lock(mutex_);
    return {trackedFiles_.begin(), trackedFiles_.end()};
}

}  // namespace Lumenbox
