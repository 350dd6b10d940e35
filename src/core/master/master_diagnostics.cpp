// The Master's diagnostics: each event notes what it did in fixed counters, so the
// bookkeeping costs a few additions per cycle and never allocates.
#include "tarnwick/master.hpp"

#include <algorithm>
#include <cstring>

namespace tarnwick {

namespace {

// Whether a transition accepts the reply it was taken on: no report, no reset.
constexpr bool accepts(const states::TransitionInfo& info) {
    using K = states::ActionKind;
    return info.report == states::Report::None && info.kind != K::Fail &&
           info.kind != K::SlaveReset && info.kind != K::ResetStay && info.kind != K::ResetStart;
}

// By Transition, worked out at compile time: the per-reply check is one load.
struct AcceptTable {
    bool accepts[states::transition_count()] = {};
    constexpr AcceptTable() {
        for (unsigned i = 0; i < states::transition_count(); ++i)
            accepts[i] = tarnwick::accepts(states::TRANSITION_TABLE[i]);
    }
};
constexpr AcceptTable ACCEPTS{};

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

void Master::note_transition(Transition t) {
    ++diag_.transitions[static_cast<unsigned>(t)];
    last_transition_ = t;
    switch (states::info(t).kind) {
    case states::ActionKind::Fail:
        ++diag_.resets_by_master;
        break;
    case states::ActionKind::SlaveReset:
        ++diag_.resets_by_slave;
        diag_.last_slave_code = slave_.session.get(SessionField::error_id);
        break;
    default:
        break;
    }
}

void Master::note_error(Transition t, const char* text) {
    ErrorRecord e;
    e.set = true;
    e.transition = t;
    e.code = reported_error_code(*this, t);
    e.time_us = now_;
    std::strncpy(e.message, text, ERROR_TEXT_BYTES - 1);
    if (!diag_.first_error.set) diag_.first_error = e;
    diag_.last_error = e;
}

void Master::note_accepted_reply() {
    if (!awaiting_answer_ || !last_transition_ ||
        !ACCEPTS.accepts[static_cast<unsigned>(*last_transition_)])
        return;
    diag_.response.add(now_ - std::min(now_, published_at_), cycles_since_publish_);
    awaiting_answer_ = false;
}

} // namespace tarnwick
