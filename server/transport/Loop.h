#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

namespace Lumenbox::transport {

class Timer;

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
    friend class Timer;
    class TimerQueue;

    void report(std::string_view what) noexcept;
    TimerQueue* timers();  // null while the loop is being destroyed

    struct State;
    std::unique_ptr<State> state_;
};

// A one-shot timer on a loop. Its callback runs on the loop thread when the time has passed; a
// timer that is cancelled, restarted or destroyed first never calls it. Use on the loop thread,
// and destroy it before its loop.
//
// The timers of a loop share one kernel timer set for the earliest deadline, so starting and
// cancelling one costs an insertion and a removal in an ordered map: every script call and ping
// carries a time limit, and nearly all of them are cancelled by their answer.
class Timer {
public:
    explicit Timer(Loop& loop);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void start(std::chrono::milliseconds delay, std::function<void()> callback);
    void cancel();

    // The timer's place in its loop's queue: the deadline, then the order of starting.
    using QueueKey = std::pair<std::chrono::steady_clock::time_point, std::uint64_t>;

private:
    friend class Loop::TimerQueue;

    Loop& loop_;
    std::function<void()> callback_;
    std::optional<QueueKey> queued_;
};

}  // namespace Lumenbox::transport
