// The Master's diagnostics off the cycle's path: state changes, errors, the expected
// reply length, resetting, and the frame history (the per-cycle notes are inline in
// master_notes.hpp).
#include "tarnwick/master.hpp"

#include "core/master/frame_history.hpp"
#include "core/master/master_notes.hpp"

#include <algorithm>
#include <cstring>

namespace tarnwick {

void Master::reset_diagnostics() {
    diag_ = MasterDiagnostics{};
    if (history_) history_->clear();
    reply_awaiting_transition_ = nullptr;
    state_since_ = now_;
    awaiting_answer_ = false;
    been_in_data_ = state_ == StateId::Data;
}

void Master::note_state_change(StateId from, StateId to) {
    diag_.time_in_state_us[static_cast<unsigned>(from)] += now_ - std::min(now_, state_since_);
    state_since_ = now_;
    if (to != StateId::Data) return;
    if (been_in_data_) ++diag_.reconnections;
    been_in_data_ = true;
}

// A padding byte after an odd-length frame (the slave's process data is whole words)
// is part of the reply as delivered, not another frame size.
void Master::expect_reply_length() {
    std::size_t frame = frame::wire_length(input_bytes_);
    expected_reply_ = frame;
    expected_padded_reply_ = frame % 2 == 1 ? frame + 1 : frame;
}

// A report comes before its transition is taken: the reply that caused it shows the
// transition already, so the frames read inside the error callback are complete.
void Master::note_error(Transition t, const char* text) {
    show_transition(reply_awaiting_transition_, t);
    ErrorRecord e;
    e.set = true;
    e.transition = t;
    e.code = reported_error_code(*this, t);
    e.time_us = now_;
    std::strncpy(e.message, text, ERROR_TEXT_BYTES - 1);
    if (!diag_.first_error.set) diag_.first_error = e;
    diag_.last_error = e;
}

// --- Frame history -----------------------------------------------------------------------

std::size_t Master::history_capacity() const {
    return history_ ? history_->capacity() : 0;
}

std::size_t Master::history_size() const {
    return history_ ? history_->size() : 0;
}

std::size_t Master::copy_history(HistoryEntry* out, std::size_t cap) const {
    return history_ && out ? history_->copy(out, cap) : 0;
}

void Master::record_request() {
    HistoryEntry& e = history_->record(true, request_, request_size_, now_);
    e.outcome = FrameOutcome::Request;
    e.has_transition = has_last_transition_;
    e.transition = last_transition_;
}

// A reply taken learns its transition when the master takes one on it.
void Master::record_reply(const uint8_t* data, std::size_t size, FrameOutcome outcome) {
    if (outcome == FrameOutcome::Repeated) {
        // The newest reply taken (or its repetition already stored) has these bytes.
        HistoryEntry* last = history_->newest_reply();
        if (last &&
            (last->outcome == FrameOutcome::Taken || last->outcome == FrameOutcome::Repeated)) {
            if (last->repeats != UINT32_MAX) ++last->repeats; // saturates after 49 days at 1 kHz
            last->last_repeat_us = now_;
            return;
        }
    }
    HistoryEntry& e = history_->record(false, data, size, now_);
    e.outcome = outcome;
    reply_awaiting_transition_ = outcome == FrameOutcome::Taken ? &e : nullptr;
}

} // namespace tarnwick
