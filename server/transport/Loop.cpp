#include "server/transport/Loop.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

namespace Lumenbox::transport {

namespace asio = boost::asio;

struct Loop::State {
    asio::io_context context{1};  // one thread runs it: Asio may skip its internal locking hints
    std::function<void(std::string_view)> reporter;
};

Loop::Loop() : state_(std::make_unique<State>()) {}
Loop::~Loop() = default;

void Loop::defer(std::function<void()> task) {
    // The loop outlives every task queued on it: they are destroyed with its io_context.
    asio::post(state_->context, [this, task = std::move(task)] { guarded(task); });
}

void Loop::onHandlerException(std::function<void(std::string_view)> reporter) {
    state_->reporter = std::move(reporter);
}

void Loop::report(std::string_view what) noexcept {
    if (!state_->reporter) return;
    try {
        state_->reporter(what);
    } catch (...) {
    }
}

void Loop::run() {
    state_->context.run();
}

void* Loop::nativeHandle() {
    return &state_->context;
}

struct Timer::State {
    explicit State(Loop& loop) : loop(loop), timer(*static_cast<asio::io_context*>(loop.nativeHandle())) {}
    Loop& loop;
    asio::steady_timer timer;
    std::function<void()> callback;
    // Bumped by every start and cancel, so that a completion already queued for an earlier
    // start cannot call the newer callback.
    unsigned generation = 0;
};

Timer::Timer(Loop& loop) : state_(std::make_shared<State>(loop)) {}

Timer::~Timer() {
    cancel();
}

void Timer::start(std::chrono::milliseconds delay, std::function<void()> callback) {
    cancel();
    state_->callback = std::move(callback);
    state_->timer.expires_after(delay);
    std::weak_ptr<State> weak = state_;
    unsigned generation = state_->generation;
    state_->timer.async_wait([weak, generation](const boost::system::error_code& error) {
        auto state = weak.lock();
        if (error || !state || state->generation != generation) return;
        auto callback = std::move(state->callback);
        state->callback = nullptr;
        if (callback) state->loop.guarded(callback);
    });
}

void Timer::cancel() {
    ++state_->generation;
    state_->callback = nullptr;
    state_->timer.cancel();
}

}  // namespace Lumenbox::transport
