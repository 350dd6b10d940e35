// The byte queue of a dynamic map: values spread over the safe data of successive
// frames, least significant byte first, at most a given number of bytes per frame.
//
// Entries refer to 32-bit raw values owned elsewhere (the items); received bytes
// change those values in place. The owner keeps the items alive while queued.
#pragma once

#include "tarnwick/frame.hpp"

#include <cstdint>

namespace tarnwick::data {

class DynamicQueue {
  public:
    static constexpr unsigned CAPACITY = 50;      // pending items at most
    static constexpr unsigned MAX_ITEM_BYTES = 4; // a raw value is 32 bits

    enum class Push : uint8_t { OK, FULL, BAD_SIZE };

    struct Entry {
        uint32_t* raw;
        uint16_t n_bytes;
    };

    void clear();
    // Appends an item of 1 to 4 bytes; refuses a 51st pending item.
    Push push(uint32_t* raw, uint16_t n_bytes);

    bool pending() const { return count_ != 0; }
    uint16_t pending_count() const { return count_; }
    uint16_t byte_index() const { return byte_index_; }

    // Zeroes the safe data, then fills bytes 0 ... valid-1 with the next bytes of the
    // stream (0 once the queue runs dry). Nothing moves when valid exceeds the
    // frame's safe-data size.
    void set_data_to_frame(frame::FrameRecord& f, uint16_t valid_data_bytes);
    // Stores safe-data bytes 0 ... valid-1 over the next bytes of the stream; the
    // rest of the frame is ignored. Nothing moves when valid exceeds the frame's size.
    void get_data_from_frame(const frame::FrameRecord& f, uint16_t valid_data_bytes);

  private:
    // Bytes one exchange may move: never more than the frame holds.
    static unsigned usable_bytes(const frame::FrameRecord& f, uint16_t valid_data_bytes);
    uint8_t take_byte();
    void store_byte(uint8_t b);
    void advance();

    Entry entries_[CAPACITY] = {};
    uint16_t count_ = 0;
    uint16_t byte_index_ = 0; // bytes of entries_[0] already transferred
};

} // namespace tarnwick::data
