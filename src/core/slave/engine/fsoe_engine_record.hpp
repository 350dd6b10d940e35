// The record of one slave engine: everything one FSoE slave connection keeps
// between two steps. The caller owns it and hands it to every engine function, so
// any number of engines run side by side; only the engine's own code reads its fields.
#pragma once

#include "core/slave/engine/fsoe_frame.hpp"

#include <cstdint>

namespace brisel {

// Values the engine draws from its surroundings (bound by init). Each function is
// called with `context`.
struct fsoe_engine_sources {
    void* context;
    uint32_t (*clock_us)(void* context);   // free-running microsecond clock, wraps at 2^32
    uint16_t (*session_id)(void* context); // next session id
    uint32_t (*sra_crc)(void* context);    // the application parameter the master must send
};

// The static map's process-data operations (bound by start), each called with the
// context bound with them.
struct fsoe_process_data_ops {
    // Hands the first `count` words of a received frame image to the rx map.
    void (*write_rx_image)(void* context, fsoe_lanes image, unsigned count);
    // Lays out `count` words of a frame image from the tx map, zero behind them.
    fsoe_lanes (*read_tx_image)(void* context, unsigned count);
    // The map's frame size in words while it is locked, else 0.
    unsigned (*frame_size)(void* context);
    // Set for a map over the safe data alone: it takes the received frame's `bytes`
    // safe-data bytes (byte 2k the low byte of word k) in place of the image, and
    // fills the reply's `bytes` safe-data bytes, which arrive zeroed. The engine
    // lays out the rest of the frame.
    void (*write_rx_data)(void* context, const uint16_t* data, unsigned bytes);
    void (*read_tx_data)(void* context, uint16_t* data, unsigned bytes);
};

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

// The field's value; a width other than 1, 2 or 4 reads as 0.
inline uint32_t fsoe_field_load(const fsoe_field_ref& r) {
    switch (r.width) {
    case 1:
        return *static_cast<const uint8_t*>(r.field);
    case 2:
        return *static_cast<const uint16_t*>(r.field);
    case 4:
        return *static_cast<const uint32_t*>(r.field);
    }
    return 0;
}

// Stores the low `width` bytes of `v`; a width other than 1, 2 or 4 stores nothing.
inline void fsoe_field_store(const fsoe_field_ref& r, uint32_t v) {
    switch (r.width) {
    case 1:
        *static_cast<uint8_t*>(r.field) = static_cast<uint8_t>(v);
        break;
    case 2:
        *static_cast<uint16_t*>(r.field) = static_cast<uint16_t>(v);
        break;
    case 4:
        *static_cast<uint32_t*>(r.field) = v;
        break;
    }
}

struct fsoe_queue_entry {
    fsoe_field_ref ref;
    uint8_t length; // bytes that travel, at most the field's width
};

// Fields one Session, Connection or Parameter exchange transfers at most.
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

struct fsoe_state_ops; // one state's operations, private to the engine

struct fsoe_engine_record {
    // The larger frame's words, 0 while inactive; the map must still report it.
    uint16_t frame_words;
    uint16_t rx_words;    // of the master's request
    uint16_t tx_words;    // of the reply
    uint8_t conn_bytes;   // connection data per frame before Data, both ways
    uint16_t area_words;  // capacity of the request and reply areas
    uint16_t request_max; // bytes a request may have, longer ones are refused
    // The areas as frame images: whole lanes are stored and loaded, never words
    // of them, so no wide load waits on narrow stores.
    fsoe_lanes request;
    fsoe_lanes reply;
    fsoe_lanes last_request; // for the novelty test
    // Their words past the head, which only a wide frame reaches.
    fsoe_tail request_tail;
    fsoe_tail reply_tail;
    fsoe_tail last_request_tail;
    bool new_request;
    const fsoe_state_ops* state; // none before the first init: Reset
    fsoe_frame rx;               // the master's frame being judged
    fsoe_frame tx;               // the slave's reply
    fsoe_connection conn;
    fsoe_queue rx_queue;
    fsoe_queue tx_queue;
    fsoe_watchdog watchdog;
    fsoe_engine_sources sources;
    const fsoe_process_data_ops* pd;
    void* pd_context;
    uint16_t slave_address; // own address, restored by init and every start
};

} // namespace brisel
