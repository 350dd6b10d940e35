// The Master's diagnostics: each event notes what it did in fixed counters, so the
// bookkeeping costs a few additions per cycle and never allocates.
#include "tarnwick/master.hpp"

#include "frame_history.hpp"

#include <algorithm>
#include <cstring>

namespace tarnwick {

namespace {

// What taking each transition means for the diagnostics, worked out at compile time
// so that noting one is a table load: whether it accepts the reply it was taken on
// (no report, no reset), and whether the master or the slave reset the connection.
struct TransitionNotes {
    bool accepts[states::transition_count()] = {};
    bool master_reset[states::transition_count()] = {};
    bool slave_reset[states::transition_count()] = {};
    constexpr TransitionNotes() {
        using K = states::ActionKind;
        for (unsigned i = 0; i < states::transition_count(); ++i) {
            const states::TransitionInfo& info = states::TRANSITION_TABLE[i];
            master_reset[i] = info.kind == K::Fail;
            slave_reset[i] = info.kind == K::SlaveReset;
            accepts[i] = info.report == states::Report::None && !master_reset[i] &&
                         !slave_reset[i] && info.kind != K::ResetStay && info.kind != K::ResetStart;
        }
    }
};
constexpr TransitionNotes NOTES{};

} // namespace

void ResponseTime::add(Micros us, uint64_t cycles) {
    min_us = count ? std::min(min_us, us) : us;
    min_cycles = count ? std::min(min_cycles, cycles) : cycles;
    max_us = std::max(max_us, us);
    max_cycles = std::max(max_cycles, cycles);
    last_us = us;
    last_cycles = cycles;
    total_us += us;
    total_cycles += cycles;
    ++count;
}

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

void Master::note_reply(std::size_t size) {
    ++cycles_since_publish_;
    if (size == expected_reply_ || size == expected_padded_reply_) return;
    ++diag_.replies_wrong_length;
    diag_.last_wrong_length = size;
}

// Only a reply takes an accepting transition: it answers the request published last.
void Master::note_transition(Transition t) {
    unsigned i = static_cast<unsigned>(t);
    ++diag_.transitions[i];
    last_transition_ = t;
    has_last_transition_ = true;
    if (reply_awaiting_transition_) {
        reply_awaiting_transition_->has_transition = true;
        reply_awaiting_transition_->transition = t;
        reply_awaiting_transition_ = nullptr;
    }
    if (NOTES.accepts[i] && awaiting_answer_) {
        diag_.response.add(now_ - std::min(now_, published_at_), cycles_since_publish_);
        awaiting_answer_ = false;
    }
    if (NOTES.master_reset[i]) ++diag_.resets_by_master;
    if (NOTES.slave_reset[i]) {
        ++diag_.resets_by_slave;
        diag_.last_slave_code = slave_.session.get(SessionField::error_id);
    }
}

// A report comes before its transition is taken: the reply that caused it shows the
// transition already, so the frames read inside the error callback are complete.
void Master::note_error(Transition t, const char* text) {
    if (reply_awaiting_transition_) {
        reply_awaiting_transition_->has_transition = true;
        reply_awaiting_transition_->transition = t;
    }
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
    HistoryEntry& e = history_->record(false, data, size, now_);
    e.outcome = outcome;
    reply_awaiting_transition_ = outcome == FrameOutcome::Taken ? &e : nullptr;
}

} // namespace tarnwick
