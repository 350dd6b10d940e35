// The dynamic map: connection data (session id, connection data, parameters) that
// travels a few bytes per frame before process data flows. It is the byte queue
// plus the list of items it carries, so that a received echo can be compared with
// what was sent, item by item.
#pragma once

#include "tarnwick/data_type.hpp"
#include "tarnwick/dynamic_queue.hpp"
#include "tarnwick/frame.hpp"

#include <cstdint>

namespace tarnwick::data {

// One value the map carries: a raw pattern owned elsewhere, its width and its type
// (the type only decides how an echo is compared).
struct DynamicItem {
    uint32_t* raw;
    uint8_t n_bytes;
    DataType type;
};

// Equality of two patterns' values as their types give them (True == 1 == 1.0, NaN
// never equal), as an echo is compared.
bool same_value(DataType ta, uint32_t a, DataType tb, uint32_t b);
// A partly moved item: only its first `bytes` bytes have travelled.
bool same_low_bytes(uint32_t a, uint32_t b, unsigned bytes);

class DynamicMap {
  public:
    static constexpr unsigned CAPACITY = DynamicQueue::CAPACITY;

    void clear();
    // False, with nothing added, when the map is full or the width is no 1 to 4.
    bool add(const DynamicItem& item);

    bool pending() const { return queue_.pending(); }
    unsigned total_items() const { return count_; }
    unsigned pending_items() const { return queue_.pending_count(); }

    void set_data_to_frame(frame::FrameRecord& f, uint16_t valid_data_bytes) {
        queue_.set_data_to_frame(f, valid_data_bytes);
    }
    void get_data_from_frame(const frame::FrameRecord& f, uint16_t valid_data_bytes) {
        queue_.get_data_from_frame(f, valid_data_bytes);
    }

    // True when the items moved so far equal the same items of `expected` (as their
    // types' values: True == 1, NaN never equal), and the bytes moved of a partly
    // moved item equal the same bytes of expected's. An item `expected` lacks differs.
    bool matches(const DynamicMap& expected) const;

  private:
    DynamicQueue queue_;
    DynamicItem items_[CAPACITY] = {};
    uint16_t count_ = 0;
};

} // namespace tarnwick::data
