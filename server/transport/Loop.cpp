#include "server/transport/Loop.h"

#include <map>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

namespace Lumenbox::transport {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

// The timers of one loop, by deadline, with one Asio timer armed for the earliest of them. The
// Asio timer is moved only when a sooner deadline arrives; a timer cancelled before its deadline
// just leaves the queue. When the queue empties the Asio timer is cancelled, so that a loop whose
// sockets are all closed runs out of work and returns.
class Loop::TimerQueue {
public:
    TimerQueue(Loop& loop, asio::io_context& context) : loop_(loop), wakeup_(context) {}

    Timer::QueueKey add(Timer& timer, Clock::time_point deadline) {
        Timer::QueueKey key{deadline, nextSequence_++};
        queue_.emplace(key, &timer);
        if (!armedFor_ || deadline < *armedFor_) arm(deadline);
        return key;
    }

    void remove(const Timer::QueueKey& key) {
        queue_.erase(key);
        if (queue_.empty() && armedFor_) {
            armedFor_.reset();
            ++generation_;
            wakeup_.cancel();
        }
    }

private:
    void arm(Clock::time_point deadline) {
        armedFor_ = deadline;
        wakeup_.expires_at(deadline);
        wakeup_.async_wait([this, generation = ++generation_](const boost::system::error_code& error) {
            if (error || generation != generation_) return;
            armedFor_.reset();
            runDue();
        });
    }

    // Runs the timers due now, each through the loop's guard. Timers that their callbacks start
    // wait for the next wake-up even when already due, so a timer restarting itself with no delay
    // cannot hold the loop here.
    void runDue() {
        const Clock::time_point now = Clock::now();
        const std::uint64_t startedBefore = nextSequence_;
        while (!queue_.empty()) {
            auto first = queue_.begin();
            if (first->first.first > now || first->first.second >= startedBefore) break;
            Timer& timer = *first->second;
            queue_.erase(first);
            timer.queued_.reset();
            // Moved out first: the callback may restart or destroy its own timer.
            auto callback = std::move(timer.callback_);
            timer.callback_ = nullptr;
            if (callback) loop_.guarded(callback);
        }
        // Timers the callbacks started may have armed for a deadline later than one still waiting.
        if (!queue_.empty() && (!armedFor_ || queue_.begin()->first.first < *armedFor_)) {
            arm(queue_.begin()->first.first);
        }
    }

    Loop& loop_;
    asio::steady_timer wakeup_;
    std::map<Timer::QueueKey, Timer*> queue_;
    std::optional<Clock::time_point> armedFor_;  // the Asio timer's deadline while it waits
    std::uint64_t nextSequence_ = 0;
    // Bumped by every arm and cancel, so that a wake-up already queued for an earlier arming
    // does nothing.
    std::uint64_t generation_ = 0;
};

struct Loop::State {
    explicit State(Loop& loop) : timers(loop, context) {}
    asio::io_context context{1};  // one thread runs it: Asio may skip its internal locking hints
    std::function<void(std::string_view)> reporter;
    TimerQueue timers;
};

Loop::Loop() : state_(std::make_unique<State>(*this)) {}
Loop::~Loop() {
    // The pointer is cleared before the state dies: a connection destroyed with the io_context's
    // pending handlers may still destroy a timer, which must then leave the queue alone.
    state_.reset();
}

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

Loop::TimerQueue* Loop::timers() {
    return state_ ? &state_->timers : nullptr;
}

Timer::Timer(Loop& loop) : loop_(loop) {}

Timer::~Timer() {
    cancel();
}

void Timer::start(std::chrono::milliseconds delay, std::function<void()> callback) {
    cancel();
    callback_ = std::move(callback);
    if (auto* timers = loop_.timers()) queued_ = timers->add(*this, Clock::now() + delay);
}

void Timer::cancel() {
    callback_ = nullptr;
    if (!queued_) return;
    if (auto* timers = loop_.timers()) timers->remove(*queued_);
    queued_.reset();
}

}  // namespace Lumenbox::transport
