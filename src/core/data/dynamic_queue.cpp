#include "tarnwick/dynamic_queue.hpp"

#include "tarnwick/data_type.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace tarnwick::data {

namespace {

void set_data_byte(frame::FrameRecord& f, unsigned k, uint8_t b) {
    uint16_t& word = f.safe_data[k / 2];
    unsigned shift = BITS_PER_BYTE * (k % 2);
    word = static_cast<uint16_t>((word & ~(0xFFu << shift)) | (unsigned{b} << shift));
}

} // namespace

void DynamicQueue::clear() {
    std::fill(std::begin(entries_), std::end(entries_), Entry{nullptr, 0});
    count_ = 0;
    byte_index_ = 0;
}

DynamicQueue::Push DynamicQueue::push(uint32_t* raw, uint16_t n_bytes) {
    // A 0-byte entry would never complete; more than 4 would read past the value.
    if (raw == nullptr || n_bytes == 0 || n_bytes > MAX_ITEM_BYTES) return Push::BAD_SIZE;
    if (count_ >= CAPACITY) return Push::FULL;
    entries_[count_++] = Entry{raw, n_bytes};
    return Push::OK;
}

unsigned DynamicQueue::usable_bytes(const frame::FrameRecord& f, uint16_t valid_data_bytes) {
    if (valid_data_bytes > f.safe_data_size) return 0;
    return std::min<unsigned>(valid_data_bytes, frame::MAX_DATA_BYTES);
}

// The first entry is done once all its bytes moved: the others move up one place.
void DynamicQueue::advance() {
    if (++byte_index_ < entries_[0].n_bytes) return;
    byte_index_ = 0;
    std::copy(entries_ + 1, entries_ + count_, entries_);
    entries_[--count_] = Entry{nullptr, 0};
}

uint8_t DynamicQueue::take_byte() {
    uint8_t b = static_cast<uint8_t>(*entries_[0].raw >> (BITS_PER_BYTE * byte_index_));
    advance();
    return b;
}

void DynamicQueue::store_byte(uint8_t b) {
    uint32_t& raw = *entries_[0].raw;
    unsigned shift = BITS_PER_BYTE * byte_index_;
    raw = (raw & ~(uint32_t{0xFF} << shift)) | (uint32_t{b} << shift);
    advance();
}

void DynamicQueue::set_data_to_frame(frame::FrameRecord& f, uint16_t valid_data_bytes) {
    std::memset(f.safe_data, 0, sizeof f.safe_data);
    unsigned n = usable_bytes(f, valid_data_bytes);
    for (unsigned k = 0; k < n && count_ != 0; ++k)
        set_data_byte(f, k, take_byte());
}

void DynamicQueue::get_data_from_frame(const frame::FrameRecord& f, uint16_t valid_data_bytes) {
    unsigned n = usable_bytes(f, valid_data_bytes);
    for (unsigned k = 0; k < n && count_ != 0; ++k)
        store_byte(frame::data_byte(f, k));
}

} // namespace tarnwick::data
