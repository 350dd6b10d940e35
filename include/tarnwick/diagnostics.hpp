// What a master connection has seen: counters of requests and replies, the
// transitions taken, resets by either side, the first and last error, the time spent
// in each state and the response time. The Master keeps them on every event, in fixed
// storage: no allocation and no system call; times are the caller's (see Master).
#pragma once

#include "tarnwick/frame.hpp"
#include "tarnwick/transitions.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarnwick {

using Micros = uint64_t; // microseconds of the caller's monotonic clock

// A report's text is at most this long, its terminating zero included.
constexpr std::size_t ERROR_TEXT_BYTES = 96;

// One reported failure: which transition, the FSoE code it carried (the master's own,
// or the slave's for a reset by the slave), when, and the text the listener got.
struct ErrorRecord {
    bool set = false;
    states::Transition transition{};
    uint16_t code = 0;
    Micros time_us = 0;
    char message[ERROR_TEXT_BYTES] = {};
};

// From publishing a request to accepting the reply that answers it: in microseconds,
// and in cycles (replies delivered meanwhile, repeated ones included).
struct ResponseTime {
    uint64_t count = 0;
    Micros last_us = 0, min_us = 0, max_us = 0, total_us = 0;
    uint64_t last_cycles = 0, min_cycles = 0, max_cycles = 0, total_cycles = 0;

    double mean_us() const { return count ? static_cast<double>(total_us) / count : 0.0; }
    double mean_cycles() const { return count ? static_cast<double>(total_cycles) / count : 0.0; }
};

struct MasterDiagnostics {
    uint64_t requests_published = 0;
    uint64_t replies_taken = 0;    // processed: each took one transition
    uint64_t replies_repeated = 0; // the same bytes as the last one taken: ignored
    // Replies whose length is neither the slave's frame length nor that length padded
    // to whole words: a slave sending another frame size shows here at once.
    uint64_t replies_wrong_length = 0;
    std::size_t last_wrong_length = 0;
    std::array<uint32_t, states::transition_count()> transitions{}; // by Transition
    uint64_t watchdog_expiries = 0;
    uint64_t resets_by_master = 0; // failures the master detected (its Reset frames)
    uint64_t resets_by_slave = 0;  // Reset frames of the slave
    uint16_t last_slave_code = 0;  // the error code of the slave's last Reset frame
    uint64_t reconnections = 0;    // entries into Data after the first
    ErrorRecord first_error, last_error;
    // Time in each state up to its last change, by StateId (Custom last).
    std::array<Micros, states::STATE_COUNT + 1> time_in_state_us{};
    ResponseTime response;
};

// --- Frame history ----------------------------------------------------------------------

// A history keeps at most this many frames each way: enough for minutes at 1 kHz
// around a failure, small enough that a wrong setting cannot exhaust memory.
constexpr std::size_t MAX_HISTORY_FRAMES = 65536;

// What became of a frame of the history.
enum class FrameOutcome : uint8_t {
    Request,  // a request the master built and published
    Taken,    // a reply processed: `transition` is the one the master took on it
    Repeated, // a reply with the same bytes as the last one taken: ignored (see `repeats`)
    TooLong,  // a reply longer than any frame: refused
};

// One frame of the history. A request's `transition` is the one after which it was
// built. A reply delivered again unchanged (ignored) is not stored again: the entry of
// the reply it repeats counts it in `repeats`, so a slave that stopped answering
// cannot push the frames before out of the history.
struct HistoryEntry {
    uint64_t index = 0; // order of arrival over both directions
    Micros time_us = 0;
    std::size_t size = 0; // the whole length; `bytes` holds its first bytes
    uint32_t repeats = 0; // the same reply delivered again this many times since
    Micros last_repeat_us = 0;
    bool from_master = false;
    FrameOutcome outcome = FrameOutcome::Request;
    bool has_transition = false;
    states::Transition transition{};
    uint8_t bytes[frame::MAX_FRAME_BYTES + 1] = {};

    std::size_t stored_size() const { return size < sizeof bytes ? size : sizeof bytes; }
};

} // namespace tarnwick
