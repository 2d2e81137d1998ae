#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <string_view>

namespace Lumenbox::transport {

// The server thread's event loop. Everything that touches connections runs on the thread that
// calls `run`; other threads reach it only through `defer`.
class Loop {
public:
    Loop();
    ~Loop();
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;

    // Queues `task` to run on the loop thread. Safe from any thread; tasks run in the order in
    // which they were handed over. A task queued after `run` has returned never runs.
    void defer(std::function<void()> task);

    // Runs the loop on the calling thread until no socket, timer or task is left.
    void run();

    // The underlying io_context, for the transport's own classes. Opaque to everyone else.
    void* nativeHandle();

    // No input may end the loop: every route handler, WebSocket callback, deferred task and timer
    // callback runs through `guarded`, which hands an escaping exception's message to this
    // reporter (on the loop thread) and carries on. Set before `run`.
    void onHandlerException(std::function<void(std::string_view what)> reporter);

    // Returns false when `body` threw.
    template <class Body>
    bool guarded(Body&& body) noexcept {
        try {
            body();
            return true;
        } catch (const std::exception& error) {
            report(error.what());
        } catch (...) {
            report("unknown exception");
        }
        return false;
    }

private:
    void report(std::string_view what) noexcept;

    struct State;
    std::unique_ptr<State> state_;
};

// A one-shot timer on a loop. Its callback runs on the loop thread when the time has passed; a
// timer that is cancelled, restarted or destroyed first never calls it. Use on the loop thread.
class Timer {
public:
    explicit Timer(Loop& loop);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void start(std::chrono::milliseconds delay, std::function<void()> callback);
    void cancel();

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace Lumenbox::transport
