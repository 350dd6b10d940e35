// What every harness shares: reading its input as a script, and failing loudly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace fuzz_input {

// A broken invariant: abort, so libFuzzer keeps the input that broke it.
inline void require(bool condition) {
    if (!condition) std::abort();
}

// The input read front to back; bytes past its end read as 0.
class Reader {
  public:
    Reader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
    uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
    std::vector<uint8_t> bytes(unsigned n) {
        std::vector<uint8_t> v(n);
        for (uint8_t& b : v)
            b = byte();
        return v;
    }

  private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

} // namespace fuzz_input
