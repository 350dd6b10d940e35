#include "tarnwick/watchdog_core.hpp"

#include <algorithm>

namespace tarnwick::handler {

namespace {

// Longer timeouts are treated as this long: far beyond any bus cycle, and safe from
// overflow in the clock arithmetic.
constexpr double MAX_TIMEOUT_S = 365.0 * 24 * 3600;

} // namespace

WatchdogCore::WatchdogCore(double timeout_s)
    : timeout_(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(std::min(timeout_s, MAX_TIMEOUT_S)))) {}

WatchdogCore::Clock::time_point WatchdogCore::period_deadline() const {
    Clock::time_point last_reset{Clock::duration(last_reset_.load(std::memory_order_relaxed))};
    return std::max(period_start_, last_reset) + timeout_;
}

void WatchdogCore::activate() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (active_) return;
    active_ = true;
    period_start_ = Clock::now();
    wake_.notify_all();
}

void WatchdogCore::deactivate() {
    std::lock_guard<std::mutex> lock(mutex_);
    active_ = false;
    wake_.notify_all();
}

void WatchdogCore::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_requested_ = true;
    wake_.notify_all();
}

bool WatchdogCore::active() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return active_;
}

bool WatchdogCore::stop_requested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_requested_;
}

bool WatchdogCore::running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

bool WatchdogCore::on_watchdog_thread() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_ && thread_id_ == std::this_thread::get_id();
}

void WatchdogCore::wait_until_finished() {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return !running_; });
}

bool WatchdogCore::expiry_still_due() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Clock::time_point last_reset{Clock::duration(last_reset_.load(std::memory_order_relaxed))};
    return active_ && !stop_requested_ && period_start_ == last_expiry_ &&
           last_reset <= last_expiry_;
}

} // namespace tarnwick::handler
