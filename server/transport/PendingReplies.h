#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "server/transport/HttpResponse.h"
#include "server/transport/Loop.h"

namespace Lumenbox::transport {

// Requests held until an answer comes from elsewhere (a web viewer's callback or pong, the user's
// answer to a question), each under its key with a time limit on the loop. Whoever takes an entry
// out answers it, and an entry can be taken once, so nothing is answered twice; the time limit
// takes the entry itself. An entry whose client went away is forgotten unanswered.
// Entry is free-form: one response, or a list of waiters. Loop thread only.
template <class Key, class Entry>
class PendingReplies {
public:
    using TimeoutHandler = std::function<void(const Key& key, Entry entry)>;

    explicit PendingReplies(Loop& loop) : loop_(loop) {}
    ~PendingReplies() { clear(); }
    PendingReplies(const PendingReplies&) = delete;
    PendingReplies& operator=(const PendingReplies&) = delete;

    // Holds `entry` under `key`; an entry already held under it is dropped unanswered. When
    // `timeout` passes first, the entry is taken out and handed to `onTimeout`.
    Entry& add(const Key& key, Entry entry, std::chrono::milliseconds timeout, TimeoutHandler onTimeout) {
        auto timer = std::make_unique<Timer>(loop_);
        timer->start(timeout, [this, key, onTimeout = std::move(onTimeout)] {
            if (auto entry = take(key)) onTimeout(key, std::move(*entry));
        });
        auto [slot, inserted] = slots_.insert_or_assign(key, Slot{std::move(entry), std::move(timer)});
        return slot->second.entry;
    }

    // Forgets the entry under `key` when `response`'s client goes away first.
    void forgetWhenAborted(HttpResponse& response, const Key& key) {
        response.onAborted([alive = std::weak_ptr<int>(alive_), this, key] {
            if (alive.lock()) forget(key);
        });
    }

    // Takes the entry out, its time limit cancelled, for the caller to answer.
    std::optional<Entry> take(const Key& key) {
        auto slot = slots_.find(key);
        if (slot == slots_.end()) return std::nullopt;
        Entry entry = std::move(slot->second.entry);
        slots_.erase(slot);
        return entry;
    }

    // Takes out every entry for which `pred(key, entry)` holds (all the work sent to one target,
    // say), in key order.
    template <class Pred>
    std::vector<std::pair<Key, Entry>> takeAll(Pred pred) {
        std::vector<std::pair<Key, Entry>> taken;
        for (auto slot = slots_.begin(); slot != slots_.end();) {
            if (!pred(slot->first, std::as_const(slot->second.entry))) {
                ++slot;
                continue;
            }
            taken.emplace_back(slot->first, std::move(slot->second.entry));
            slot = slots_.erase(slot);
        }
        return taken;
    }

    // The entry under `key`, left in place (to add a waiter, say); null when none.
    Entry* find(const Key& key) {
        auto slot = slots_.find(key);
        return slot == slots_.end() ? nullptr : &slot->second.entry;
    }

    // Calls `fn(key, entry)` for every entry, in key order. `fn` may change an entry but must
    // neither add nor take one (collect the keys and take them afterwards).
    template <class Fn>
    void forEach(Fn fn) {
        for (auto& [key, slot] : slots_) fn(key, slot.entry);
    }

    // Drops the entry under `key` unanswered.
    void forget(const Key& key) { slots_.erase(key); }

    std::size_t size() const { return slots_.size(); }

    // Drops every entry unanswered. Moved out first: dropping an entry releases what it holds,
    // and nothing may re-enter the map while it is being cleared.
    void clear() {
        auto slots = std::move(slots_);
        slots_.clear();
        slots.clear();
    }

private:
    struct Slot {
        Entry entry;
        std::unique_ptr<Timer> timer;
    };

    Loop& loop_;
    std::map<Key, Slot> slots_;
    // Abort handlers live in responses, which may outlive this map.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace Lumenbox::transport
