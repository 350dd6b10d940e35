// The Master's per-cycle diagnostics, inline where the events call them (each reply,
// each transition): a few additions and table loads, no allocation, no system call.
#pragma once

#include "tarnwick/master.hpp"

#include "core/master/frame_history.hpp"

#include <algorithm>

namespace tarnwick {

// What taking each transition means for the diagnostics, worked out at compile time
// so that noting one is one table load: whether it accepts the reply it was taken on
// (no report, no reset), or whether the master or the slave reset the connection.
enum NoteFlag : uint8_t { ACCEPTS = 1, MASTER_RESET = 2, SLAVE_RESET = 4 };

struct TransitionNotes {
    uint8_t flags[states::transition_count()] = {};
    constexpr TransitionNotes() {
        using K = states::ActionKind;
        for (unsigned i = 0; i < states::transition_count(); ++i) {
            const states::TransitionInfo& info = states::TRANSITION_TABLE[i];
            bool quiet = info.report == states::Report::None && info.kind != K::ResetStay &&
                         info.kind != K::ResetStart;
            flags[i] = info.kind == K::Fail         ? MASTER_RESET
                       : info.kind == K::SlaveReset ? SLAVE_RESET
                       : quiet                      ? ACCEPTS
                                                    : 0;
        }
    }
};
constexpr TransitionNotes NOTES{};

// The history entry of the reply being judged (null: none kept) shows its transition.
inline void show_transition(HistoryEntry* reply, Transition t) {
    if (!reply) return;
    reply->has_transition = true;
    reply->transition = t;
}

inline void add_response(ResponseTime& r, Micros us, uint64_t cycles) {
    r.min_us = r.count ? std::min(r.min_us, us) : us;
    r.min_cycles = r.count ? std::min(r.min_cycles, cycles) : cycles;
    r.max_us = std::max(r.max_us, us);
    r.max_cycles = std::max(r.max_cycles, cycles);
    r.last_us = us;
    r.last_cycles = cycles;
    r.total_us += us;
    r.total_cycles += cycles;
    ++r.count;
}

inline void Master::note_reply(std::size_t size) {
    ++cycles_since_publish_;
    if (size == expected_reply_ || size == expected_padded_reply_) return;
    ++diag_.replies_wrong_length;
    diag_.last_wrong_length = size;
}

// Only a reply takes an accepting transition: it answers the request published last.
inline void Master::note_transition(Transition t) {
    unsigned i = static_cast<unsigned>(t);
    ++diag_.transitions[i];
    last_transition_ = t;
    has_last_transition_ = true;
    show_transition(reply_awaiting_transition_, t);
    reply_awaiting_transition_ = nullptr;
    uint8_t flags = NOTES.flags[i];
    if (flags & ACCEPTS) {
        if (!awaiting_answer_) return;
        add_response(diag_.response, now_ - std::min(now_, published_at_), cycles_since_publish_);
        awaiting_answer_ = false;
        return;
    }
    if (flags & MASTER_RESET) ++diag_.resets_by_master;
    if (flags & SLAVE_RESET) {
        ++diag_.resets_by_slave;
        diag_.last_slave_code = slave_.session.get(SessionField::error_id);
    }
}

} // namespace tarnwick
