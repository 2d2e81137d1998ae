#pragma once

#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace Lumenbox {

// Starts a script in the host through the plug-in interface and lets the calling thread wait for
// the script's result. The result does not come back from the start: the script receives a fetch
// id inside its parameter (the envelope {"callback":{"fetchId":"<id>"},"data":<parameter>}, the
// same one web viewers receive) and its result is later handed over by deliverResult under that
// id. The bridge also keeps a set of tracked file names.
//
// The host promises no thread safety, so a script is never started on the caller's thread: the
// start (the host objects it needs and the host's start-script callback) is queued to the host's
// main thread (ui/MainQueue.h), which runs it at the next Idle that is safe for host calls, or
// from the main dispatch queue on macOS. A call that ended before its turn starts nothing.
//
// Thread safety: every operation may be called from any thread. mutex_ guards the map of pending
// calls and the tracked files only; it is never held while the host is called or while a caller
// waits, so a result may be delivered while its script is still being started.
class ScriptBridge {
public:
    static constexpr std::chrono::milliseconds kCallTimeout{30000};

    // `callTimeout` is how long callScript waits for a result after the host has started the
    // script; only tests pass anything but the default.
    explicit ScriptBridge(std::chrono::milliseconds callTimeout = kCallTimeout);
    // Fails calls still pending and waits until every caller has left callScript.
    ~ScriptBridge();
    ScriptBridge(const ScriptBridge&) = delete;
    ScriptBridge& operator=(const ScriptBridge&) = delete;

    // Starts `scriptName` in the open file `fileName` with the envelope around `parameter` (JSON
    // text, inserted verbatim) and blocks until its result is delivered. Returns the fetch id and
    // the result. Without the host's start-script callback (before Init) no script can be started
    // and the call runs into its time-out.
    // Throws std::runtime_error "Script call timed out after 30000ms" when no result arrives in
    // time (counted from the call, the wait for the main thread included), std::runtime_error(reason)
    // when rejectAll fails the call, and what the host threw (std::bad_alloc, std::exception) or
    // HostCallError when starting the script fails (the call is then forgotten).
    // REQUIRES: not the host's main thread, which has to run the start.
    std::pair<std::string, std::string> callScript(const std::string& fileName, const std::string& scriptName,
                                                   const std::string& parameter);

    // Completes the pending call `fetchId` with `result`; an id that is not pending is ignored.
    void deliverResult(const std::string& fetchId, const std::string& result);

    // Fails every pending call with std::runtime_error(reason) and forgets them all.
    void rejectAll(const std::string& reason);

    void trackFile(const std::string& fileName);
    void untrackFile(const std::string& fileName);
    // The tracked names in ascending byte order.
    std::vector<std::string> getTrackedFiles() const;

    // The script parameter for a call, built by concatenation: the parameter is not validated.
    static std::string makeEnvelope(const std::string& fetchId, const std::string& parameter);

private:
    struct PendingCall {
        std::promise<std::string> promise;  // the result, or the error of rejectAll
        std::string fileName;
        std::string scriptName;
        std::chrono::steady_clock::time_point startedAt;
    };

    // What a queued start finds of its bridge: null once the bridge is gone. The mutex is held
    // while a start runs, so the bridge is not destroyed under it.
    struct Lifeline {
        std::mutex mutex;
        ScriptBridge* bridge = nullptr;  // Guarded by mutex
    };

    // On the main thread: starts the script of the pending call `fetchId`, or fails the call with
    // what the host threw; nothing when the call has ended meanwhile.
    void startPending(const std::string& fetchId, const std::string& fileName, const std::string& scriptName,
                      const std::string& envelope);
    // Asks the host to start the script; nothing when there is no start-script callback.
    static void startScript(const std::string& fileName, const std::string& scriptName, const std::string& envelope);
    // Marks the end of one callScript.
    void leave();

    const std::chrono::milliseconds callTimeout_;
    mutable std::mutex mutex_;
    std::map<std::string, PendingCall> pending_;  // Guarded by mutex_; by fetch id
    std::set<std::string> trackedFiles_;           // Guarded by mutex_
    int callers_ = 0;                              // Guarded by mutex_; threads inside callScript
    std::condition_variable callersLeft_;
    std::shared_ptr<Lifeline> lifeline_ = std::make_shared<Lifeline>();
};

}  // namespace Lumenbox
