// The slave protocol engine: one FSoE slave connection per engine record.
//
// Plain procedural code over a record the caller owns (fsoe_engine_record.hpp);
// every function takes it first. Protocol errors never leave the engine: they put
// the slave into its Reset state and make it answer with a Reset frame carrying an
// FSoE error code.
#pragma once

#include "core/slave/engine/fsoe_engine_record.hpp"

#include <cstddef>
#include <cstdint>

namespace brisel {

enum fsoe_state_number : uint8_t {
    FSOE_STATE_RESET = 0,
    FSOE_STATE_SESSION = 1,
    FSOE_STATE_CONNECTION = 2,
    FSOE_STATE_PARAMETER = 3,
    FSOE_STATE_DATA = 4,
};
constexpr unsigned FSOE_STATE_COUNT = 5;

// The master's request is first copied into a zeroed buffer of this size.
constexpr std::size_t FSOE_REQUEST_BUFFER_BYTES = 24;

// The slave address a slave gets unless it is given another.
constexpr uint16_t FSOE_DEFAULT_SLAVE_ADDRESS = 0x1234;
// Parameter lengths the slave expects, restored by init and by every start.
constexpr uint16_t FSOE_EXPECTED_COMM_PARAM_LENGTH = 2;
constexpr uint16_t FSOE_EXPECTED_APP_PARAM_LENGTH = 4; // the 32-bit SRA CRC
// Accepted watchdog times, in milliseconds.
constexpr uint16_t FSOE_WATCHDOG_MIN_MS = 50;
constexpr uint16_t FSOE_WATCHDOG_MAX_MS = 10000;
constexpr uint32_t FSOE_US_PER_MS = 1000;

// Engine fields the object dictionary exposes.
enum fsoe_engine_field : uint8_t {
    FSOE_FIELD_REPLY_COMMAND,
    FSOE_FIELD_REPLY_CONNECTION_ID,
    FSOE_FIELD_REPLY_REFERENCE_CRC,
    FSOE_FIELD_RX_COMMAND,
    FSOE_FIELD_RX_CONNECTION_ID,
    FSOE_FIELD_RX_REFERENCE_CRC,
    FSOE_FIELD_OWN_SLAVE_ADDRESS,
    FSOE_FIELD_OWN_CONNECTION_ID,
    FSOE_FIELD_OWN_WATCHDOG_TIME,
    FSOE_FIELD_EXPECTED_COMM_PARAM_LENGTH,
    FSOE_FIELD_EXPECTED_APP_PARAM_LENGTH,
    FSOE_FIELD_EXPECTED_APP_PARAM,
};

enum fsoe_request_result : uint8_t {
    FSOE_REQUEST_OK = 0,
    FSOE_REQUEST_TOO_LONG = 1, // longer than the request buffer; nothing taken
};

// Everything back to the initial condition: Reset state, no frame size, no
// process-data operations, watchdog disarmed, connection settings with the own
// address `slave_address`.
void fsoe_engine_init(fsoe_engine_record& e, const fsoe_engine_sources& sources,
                      uint16_t slave_address);

// The request buffer of a wide engine: a 16-byte frame is 35 bytes, one more is taken.
constexpr std::size_t FSOE_WIDE_REQUEST_BUFFER_BYTES = 36;

// Activates the engine with a frame of `frame_words` words both ways (at most its
// area) and clears its connection data; the state is kept. The operations are
// called with `ops_context`.
void fsoe_engine_start(fsoe_engine_record& e, uint16_t frame_words,
                       const fsoe_process_data_ops* ops, void* ops_context);
// The same with a request of `rx_bytes` and a reply of `tx_bytes` safe-data bytes
// (1 to 16 each, within the area); the smaller size carries the connection data.
// False, and the engine left as it was, for a size it cannot hold.
bool fsoe_engine_start_sized(fsoe_engine_record& e, unsigned rx_bytes, unsigned tx_bytes,
                             const fsoe_process_data_ops* ops, void* ops_context);

// The areas' capacity: FSOE_AREA_WORDS words and FSOE_REQUEST_BUFFER_BYTES after
// init, or with `wide` FSOE_WIDE_AREA_WORDS and FSOE_WIDE_REQUEST_BUFFER_BYTES.
// Kept by init; takes effect at the next start.
void fsoe_engine_set_wide(fsoe_engine_record& e, bool wide);

// Deactivates the engine and returns it to the Reset state. The mapped outputs
// first receive a frame with zero safe data: the connection is gone.
void fsoe_engine_stop(fsoe_engine_record& e);

// One engine step: watchdog, then the pending request, then the reply area.
void fsoe_engine_process(fsoe_engine_record& e);

fsoe_request_result fsoe_engine_set_request(fsoe_engine_record& e, const uint8_t* data,
                                            std::size_t len);
// Read every cycle, so defined here where callers can inline them.
inline fsoe_lanes fsoe_engine_reply(const fsoe_engine_record& e) { // area_words words
    return e.reply;
}
inline const fsoe_tail& fsoe_engine_reply_tail(const fsoe_engine_record& e) {
    return e.reply_tail;
}
inline uint16_t fsoe_engine_rx_words(const fsoe_engine_record& e) {
    return e.rx_words;
}
inline uint16_t fsoe_engine_tx_words(const fsoe_engine_record& e) {
    return e.tx_words;
}
inline uint16_t fsoe_engine_area_words(const fsoe_engine_record& e) {
    return e.area_words;
}
inline std::size_t fsoe_engine_request_max(const fsoe_engine_record& e) {
    return e.request_max;
}
inline uint16_t fsoe_engine_frame_words(const fsoe_engine_record& e) {
    return e.frame_words;
}
uint8_t fsoe_engine_state(const fsoe_engine_record& e);

// Where the field lives in `e`, with its own width; none for an unknown field.
fsoe_field_ref fsoe_engine_field_ref(fsoe_engine_record& e, fsoe_engine_field field);
uint32_t fsoe_engine_read_field(const fsoe_engine_record& e, fsoe_engine_field field);
void fsoe_engine_write_field(fsoe_engine_record& e, fsoe_engine_field field, uint32_t value);

} // namespace brisel
