// The master's diagnostics and frame history in C: the library's records copied into
// the caller's structs, checked like every other call.
#include "core/capi/master_handle.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

static_assert(TARNWICK_MAX_HISTORY_FRAMES == tarnwick::MAX_HISTORY_FRAMES, "history frames");
static_assert(sizeof(tarnwick_error_record{}.message) == tarnwick::ERROR_TEXT_BYTES, "error text");
static_assert(TARNWICK_FRAME_TOO_LONG == static_cast<int>(tarnwick::FrameOutcome::TooLong),
              "frame outcomes");
static_assert(sizeof(tarnwick_history_entry{}.bytes) == sizeof(tarnwick::HistoryEntry{}.bytes),
              "history bytes");

void copy_error(const tarnwick::ErrorRecord& from, tarnwick_error_record& to) {
    to.set = from.set;
    to.transition = static_cast<int>(from.transition);
    to.error_code = from.code;
    to.time_us = from.time_us;
    std::memcpy(to.message, from.message, sizeof to.message);
}

void copy_response(const tarnwick::ResponseTime& from, tarnwick_response_time& to) {
    to.count = from.count;
    to.last_us = from.last_us;
    to.min_us = from.min_us;
    to.max_us = from.max_us;
    to.total_us = from.total_us;
    to.last_cycles = from.last_cycles;
    to.min_cycles = from.min_cycles;
    to.max_cycles = from.max_cycles;
    to.total_cycles = from.total_cycles;
}

void copy_entry(const tarnwick::HistoryEntry& from, tarnwick_history_entry& to) {
    to.index = from.index;
    to.time_us = from.time_us;
    to.size = from.size;
    to.repeats = from.repeats;
    to.last_repeat_us = from.last_repeat_us;
    to.from_master = from.from_master;
    to.outcome = static_cast<int>(from.outcome);
    to.has_transition = from.has_transition;
    to.transition = static_cast<int>(from.transition);
    std::memcpy(to.bytes, from.bytes, sizeof to.bytes);
}

} // namespace

extern "C" {

tarnwick_status tarnwick_master_get_diagnostics(const tarnwick_master* m,
                                                tarnwick_diagnostics* out) {
    if (!m || !out) return TARNWICK_E_NULL;
    if (out->struct_size != sizeof(tarnwick_diagnostics)) return TARNWICK_E_VERSION;
    const tarnwick::MasterDiagnostics& d = m->master.diagnostics();
    out->requests_published = d.requests_published;
    out->replies_taken = d.replies_taken;
    out->replies_repeated = d.replies_repeated;
    out->replies_wrong_length = d.replies_wrong_length;
    out->last_wrong_length = d.last_wrong_length;
    std::copy(d.transitions.begin(), d.transitions.end(), out->transitions);
    out->watchdog_expiries = d.watchdog_expiries;
    out->resets_by_master = d.resets_by_master;
    out->resets_by_slave = d.resets_by_slave;
    out->last_slave_code = d.last_slave_code;
    out->reconnections = d.reconnections;
    copy_error(d.first_error, out->first_error);
    copy_error(d.last_error, out->last_error);
    std::copy_n(d.time_in_state_us.begin(), TARNWICK_STATE_COUNT, out->time_in_state_us);
    out->state_since_us = m->master.state_since_us();
    copy_response(d.response, out->response);
    return TARNWICK_OK;
}

tarnwick_status tarnwick_master_reset_diagnostics(tarnwick_master* m) {
    if (!m) return TARNWICK_E_NULL;
    m->master.reset_diagnostics();
    return TARNWICK_OK;
}

tarnwick_status tarnwick_master_get_history(const tarnwick_master* m, tarnwick_history_entry* out,
                                            size_t cap, size_t* count) {
    if (!m || !count || (!out && cap != 0)) return TARNWICK_E_NULL;
    std::size_t held = m->master.history_size();
    if (!out) {
        *count = held;
        return TARNWICK_OK;
    }
    try {
        std::vector<tarnwick::HistoryEntry> entries(std::min(cap, held));
        *count = m->master.copy_history(entries.data(), entries.size());
        for (std::size_t k = 0; k < *count; ++k)
            copy_entry(entries[k], out[k]);
    } catch (const std::bad_alloc&) {
        return TARNWICK_E_NO_MEMORY;
    }
    return TARNWICK_OK;
}

} // extern "C"
