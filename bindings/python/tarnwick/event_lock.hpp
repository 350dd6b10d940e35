// Serialises a handler's events (reply, reset, start, stop, expiry) across the
// application's thread and the watchdog thread. Re-entrant, because callbacks run
// inside an event may call back into the handler on the same thread.
//
// The binding tries the lock first while holding the interpreter lock (the common,
// uncontended case costs no interpreter-lock round trip) and waits for it with the
// interpreter lock released, so the two locks never deadlock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tarnwick::handler {

class EventLock {
  public:
    // Takes the lock if it is free or already held by this thread.
    bool try_acquire() {
        std::lock_guard<std::mutex> lock(mutex_);
        return take_if_free();
    }

    // Waits for the lock; gives up (returning false) when give_up() turns true.
    // give_up is polled every poll_interval while waiting.
    template <typename GiveUp>
    bool acquire(GiveUp&& give_up, std::chrono::milliseconds poll_interval) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!take_if_free()) {
            if (give_up()) return false;
            freed_.wait_for(lock, poll_interval);
        }
        return true;
    }

    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--depth_ == 0) {
            owner_ = std::thread::id{};
            freed_.notify_all();
        }
    }

  private:
    bool take_if_free() {
        std::thread::id me = std::this_thread::get_id();
        if (depth_ != 0 && owner_ != me) return false;
        owner_ = me;
        ++depth_;
        return true;
    }

    std::mutex mutex_;
    std::condition_variable freed_;
    std::thread::id owner_{};
    int depth_ = 0;
};

} // namespace tarnwick::handler
