// The engine's state tables and the helpers they share, each over the engine record
// it is given. Only the engine's own .cpp files include this header.
#pragma once

#include "core/slave/engine/fsoe_engine.hpp"

namespace brisel {

// One state: its three operations return the next state number.
struct fsoe_state_ops {
    uint8_t (*handle_frame)(fsoe_engine_record& e);
    uint8_t (*local_reset)(fsoe_engine_record& e);
    uint8_t (*watchdog_expired)(fsoe_engine_record& e);
    uint8_t number;
};
extern const fsoe_state_ops FSOE_STATE_TABLE[FSOE_STATE_COUNT];

// --- transfer queues ---
void fsoe_queue_clear_both(fsoe_engine_record& e);
// Adds (receive target, send source, length) to both queues; a full queue ignores it.
void fsoe_queue_add(fsoe_engine_record& e, fsoe_field_ref rx_target, fsoe_field_ref tx_source,
                    uint8_t length);
bool fsoe_queue_both_empty(const fsoe_engine_record& e);
bool fsoe_queue_any_pending(const fsoe_engine_record& e);

template <typename T> fsoe_field_ref fsoe_field(T& field) {
    return fsoe_field_ref{&field, static_cast<uint8_t>(sizeof(T))};
}

// --- checks and replies ---
// Checks the received frame's CRCs, with or without the rule that a sender never
// repeats its last CRC_0.
bool fsoe_check_frame(fsoe_engine_record& e, bool repeat_rule);
// Stores the received safe data into the receive queue's fields (or keeps it as
// process data) and hands the frame image to the rx map.
void fsoe_consume_rx_data(fsoe_engine_record& e);
// Sets the reply command, fills its safe data, computes its CRCs with the repeat
// rule and returns `next`.
uint8_t fsoe_answer(fsoe_engine_record& e, uint8_t command, uint8_t next);
// Enters the Reset state with error code `error`: the reply becomes a Reset frame. Returns 0.
uint8_t fsoe_enter_reset(fsoe_engine_record& e, uint8_t error);
// Starts a new session after a Session frame passed the check. Returns 1.
uint8_t fsoe_start_session(fsoe_engine_record& e);
// The received frame's sequence number and reference CRC start again from 0.
void fsoe_restart_rx_sequence(fsoe_engine_record& e);

// --- watchdog ---
uint32_t fsoe_clock_now(const fsoe_engine_record& e);
void fsoe_watchdog_disarm(fsoe_engine_record& e);
void fsoe_watchdog_arm(fsoe_engine_record& e, uint32_t timeout_us);

} // namespace brisel
