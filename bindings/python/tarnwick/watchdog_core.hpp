// Timing core of the master's watchdog: supervision periods, expiry detection and
// the thread loop, in plain C++. The binding runs `run` on a Python thread with the
// interpreter lock released.
//
// reset() is the per-cycle call: it only records the time (steady clock, no system
// call on the platforms we target) and never wakes the thread. The thread sleeps to
// the deadline of the current period, then re-reads the last reset and either sleeps
// on or expires.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tarnwick::handler {

class WatchdogCore {
  public:
    using Clock = std::chrono::steady_clock;

    // timeout_s must be finite and positive (the binding refuses anything else).
    explicit WatchdogCore(double timeout_s);

    // Starts supervising with a fresh period; does nothing when already active.
    void activate();
    // A cycle completed: the current period restarts now. Never blocks.
    void reset() noexcept { last_reset_.store(now_ticks(), std::memory_order_relaxed); }
    // Stops supervising: no expiry starts after this returns.
    void deactivate();
    // Ends the thread loop (at once when idle, after the running expiry otherwise).
    void stop();

    bool active() const;
    bool stop_requested() const;
    // True while run() executes on some thread.
    bool running() const;
    bool on_watchdog_thread() const;
    // Blocks until run() has returned (or never ran). Never call on the watchdog thread.
    void wait_until_finished();

    // An expiry that started is still due: supervision is on and nothing re-armed it
    // since. The handler drops an expiry that lost this race to a reply or a reset.
    bool expiry_still_due() const;

    // The thread body. on_expiry() is called without the core's lock held and
    // returns false to end the loop.
    template <typename OnExpiry> void run(OnExpiry&& on_expiry);

  private:
    static int64_t now_ticks() noexcept { return Clock::now().time_since_epoch().count(); }
    Clock::time_point period_deadline() const;

    Clock::duration timeout_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<int64_t> last_reset_{0};
    Clock::time_point period_start_{};
    Clock::time_point last_expiry_{};
    bool active_ = false;
    bool stop_requested_ = false;
    bool running_ = false;
    std::thread::id thread_id_{};
};

template <typename OnExpiry> void WatchdogCore::run(OnExpiry&& on_expiry) {
    std::unique_lock<std::mutex> lock(mutex_);
    running_ = true;
    thread_id_ = std::this_thread::get_id();
    while (!stop_requested_) {
        if (!active_) {
            wake_.wait(lock);
            continue;
        }
        Clock::time_point deadline = period_deadline();
        Clock::time_point now = Clock::now();
        if (now < deadline) {
            wake_.wait_until(lock, deadline);
            continue;
        }
        // Expired: the next period runs from this expiry.
        period_start_ = now;
        last_expiry_ = now;
        lock.unlock();
        bool go_on = on_expiry();
        lock.lock();
        if (!go_on) break;
    }
    running_ = false;
    thread_id_ = std::thread::id{};
    wake_.notify_all();
}

} // namespace tarnwick::handler
