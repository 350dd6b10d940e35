// The Master's frame history: two rings, requests and replies, of fixed capacity set at
// construction. Recording copies at most one frame into a slot: no allocation, no
// system call; reading merges both rings by arrival into the caller's buffer.
#pragma once

#include "tarnwick/diagnostics.hpp"

#include <cstring>
#include <vector>

namespace tarnwick {

class FrameHistory {
  public:
    explicit FrameHistory(std::size_t frames_each_way)
        : requests_(frames_each_way), replies_(frames_each_way) {}

    std::size_t capacity() const { return requests_.size(); }

    HistoryEntry& record(bool from_master, const uint8_t* data, std::size_t size, Micros now) {
        Ring& ring = from_master ? requests_ : replies_;
        HistoryEntry& e = ring.next();
        e.index = next_index_++;
        e.time_us = now;
        e.size = size;
        e.from_master = from_master;
        e.has_transition = false;
        e.repeats = 0;
        e.last_repeat_us = 0;
        if (size != 0) std::memcpy(e.bytes, data, e.stored_size());
        return e;
    }

    // The last frames of both directions, oldest first: the newest `cap` of them when
    // there are more. Returns how many were written.
    std::size_t copy(HistoryEntry* out, std::size_t cap) const;
    std::size_t size() const { return requests_.count + replies_.count; }
    // The reply stored last, or null.
    HistoryEntry* newest_reply() {
        return replies_.count
                   ? &replies_.slots[(replies_.head + replies_.size() - 1) % replies_.size()]
                   : nullptr;
    }
    void clear() {
        requests_.count = replies_.count = 0;
        requests_.head = replies_.head = 0;
    }

  private:
    struct Ring {
        explicit Ring(std::size_t n) : slots(n) {}
        std::vector<HistoryEntry> slots;
        std::size_t head = 0;  // the slot written next
        std::size_t count = 0; // filled slots, up to the capacity
        std::size_t size() const { return slots.size(); }
        HistoryEntry& next() {
            HistoryEntry& e = slots[head];
            head = head + 1 == slots.size() ? 0 : head + 1;
            if (count < slots.size()) ++count;
            return e;
        }
        // The k-th oldest entry held.
        const HistoryEntry& at(std::size_t k) const {
            std::size_t start = (head + slots.size() - count) % slots.size();
            return slots[(start + k) % slots.size()];
        }
    };
    Ring requests_, replies_;
    uint64_t next_index_ = 0;
};

} // namespace tarnwick
