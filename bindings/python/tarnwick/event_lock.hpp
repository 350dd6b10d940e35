// Serialises a handler's events (reply, reset, start, stop, expiry) across the
// application's thread and the watchdog thread. Re-entrant, because callbacks run
// inside an event may call back into the handler on the same thread.
//
// The binding tries the lock first while holding the interpreter lock (the common,
// uncontended case costs no interpreter-lock round trip) and waits for it with the
// interpreter lock released, so the two locks never deadlock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tarnwick::handler {

// The owner is an atomic thread id: taking and releasing a free lock, the per-event
// case, costs one compare-and-swap and one store. Only a thread that must wait uses
// the mutex and the condition variable, and a release wakes them only when one is
// waiting. A waiter counts itself before it tries, and the releaser frees the lock
// before it looks at the count (all sequentially consistent), so either the waiter's
// try succeeds or the releaser sees it and wakes it; the waits are bounded anyway.
class EventLock {
  public:
    // Takes the lock if it is free or already held by this thread.
    bool try_acquire() {
        std::thread::id me = std::this_thread::get_id();
        if (owner_.load(std::memory_order_relaxed) == me) { // only this thread stores `me`
            ++depth_;
            return true;
        }
        std::thread::id free{};
        if (!owner_.compare_exchange_strong(free, me)) return false;
        depth_ = 1;
        return true;
    }

    // Waits for the lock; gives up (returning false) when give_up() turns true.
    // give_up is polled every poll_interval while waiting.
    template <typename GiveUp>
    bool acquire(GiveUp&& give_up, std::chrono::milliseconds poll_interval) {
        std::unique_lock<std::mutex> lock(mutex_);
        ++waiters_;
        bool taken = false;
        while (!(taken = try_acquire()) && !give_up())
            freed_.wait_for(lock, poll_interval);
        --waiters_;
        return taken;
    }

    // By the owner only.
    void release() {
        if (--depth_ != 0) return;
        owner_.store(std::thread::id{});
        if (waiters_.load() == 0) return;
        std::lock_guard<std::mutex> lock(mutex_);
        freed_.notify_all();
    }

  private:
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0; // the owner's nesting; only the owner touches it
    std::atomic<int> waiters_{0};
    std::mutex mutex_;
    std::condition_variable freed_;
};

} // namespace tarnwick::handler
