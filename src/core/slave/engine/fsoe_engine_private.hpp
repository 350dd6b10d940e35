// The engine's module-level records and the helpers its state tables share.
// Only the engine's own .cpp files include this header.
#pragma once

#include "core/slave/engine/fsoe_engine.hpp"

namespace brisel {

// Values exchanged while connecting. "rx_" values arrive from the master through
// the receive queue; the others are the slave's own or expected ones.
struct fsoe_connection {
    uint8_t rx_error_code;
    uint16_t rx_session_id;
    uint16_t rx_connection_id;
    uint16_t rx_slave_address;
    uint16_t rx_comm_param_length;
    uint16_t rx_watchdog_time; // ms
    uint16_t rx_app_param_length;
    uint32_t rx_app_param; // the SRA CRC the master sent
    bool failsafe_received;
    uint16_t own_session_id;
    uint16_t error_to_send; // low byte travels
    uint16_t own_connection_id;
    uint16_t own_slave_address;
    uint16_t expected_comm_param_length;
    uint16_t own_watchdog_time; // ms
    uint16_t expected_app_param_length;
    uint32_t expected_app_param;
    bool failsafe_request; // answer data frames with FailSafeData
};

// A connection field of 1, 2 or 4 bytes, addressed byte by byte (little-endian),
// so a transfer never touches memory outside its field.
struct fsoe_field_ref {
    void* field;
    uint8_t width;
};

struct fsoe_queue_entry {
    fsoe_field_ref ref;
    uint8_t length; // bytes that travel, at most the field's width
};

constexpr unsigned FSOE_QUEUE_ENTRIES = 4;

// Fields still to be filled from (receive) or sent in (send) the safe data.
struct fsoe_queue {
    fsoe_queue_entry entries[FSOE_QUEUE_ENTRIES];
    uint8_t count;
    uint8_t offset; // bytes of the head entry already transferred
};

struct fsoe_watchdog {
    bool armed;
    uint32_t start_us;
    uint32_t timeout_us;
};

// One state: its three operations return the next state number.
struct fsoe_state_ops {
    uint8_t (*handle_frame)();
    uint8_t (*local_reset)();
    uint8_t (*watchdog_expired)();
    uint8_t number;
};
extern const fsoe_state_ops FSOE_STATE_TABLE[FSOE_STATE_COUNT];

struct fsoe_engine_record {
    uint16_t frame_words; // F; 0 while inactive
    uint16_t request[FSOE_AREA_WORDS];
    uint16_t reply[FSOE_AREA_WORDS];
    uint16_t last_request[FSOE_AREA_WORDS]; // for the novelty test
    bool new_request;
    const fsoe_state_ops* state;
    fsoe_frame rx; // the master's frame being judged
    fsoe_frame tx; // the slave's reply
    fsoe_connection conn;
    fsoe_queue rx_queue;
    fsoe_queue tx_queue;
    fsoe_watchdog watchdog;
    fsoe_engine_sources sources;
    const fsoe_process_data_ops* pd;
};
extern fsoe_engine_record fsoe_slave;

// --- transfer queues ---
void fsoe_queue_clear_both();
// Adds (receive target, send source, length) to both queues; a full queue ignores it.
void fsoe_queue_add(fsoe_field_ref rx_target, fsoe_field_ref tx_source, uint8_t length);
bool fsoe_queue_both_empty();
bool fsoe_queue_any_pending();

template <typename T> fsoe_field_ref fsoe_field(T& field) {
    return fsoe_field_ref{&field, static_cast<uint8_t>(sizeof(T))};
}

// --- checks and replies ---
// Checks the received frame's CRCs, with or without the rule that a sender never
// repeats its last CRC_0.
bool fsoe_check_frame(bool repeat_rule);
// Stores the received safe data into the receive queue's fields (or keeps it as
// process data) and hands the frame image to the rx map.
void fsoe_consume_rx_data();
// Sets the reply command, fills its safe data, computes its CRCs with the repeat
// rule and returns `next`.
uint8_t fsoe_answer(uint8_t command, uint8_t next);
// Enters the Reset state with error code e: the reply becomes a Reset frame. Returns 0.
uint8_t fsoe_enter_reset(uint8_t error);
// Starts a new session after a Session frame passed the check. Returns 1.
uint8_t fsoe_start_session();
// The received frame's sequence number and reference CRC start again from 0.
void fsoe_restart_rx_sequence();

// --- watchdog ---
uint32_t fsoe_clock_now();
void fsoe_watchdog_disarm();
void fsoe_watchdog_arm(uint32_t timeout_us);

} // namespace brisel
