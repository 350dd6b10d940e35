// The dynamic map's item list and the comparison of a received echo.
#include "tarnwick/dynamic_map.hpp"

namespace tarnwick::data {

namespace {

double as_real(const Natural& n) {
    return n.kind == Natural::REAL ? n.r : static_cast<double>(n.i);
}

// Equality of the values of two patterns as the interpreter's == sees them. The
// patterns are 32-bit, so no value is BIG and an integer converts to double exactly.
bool same_value(const DynamicItem& a, const DynamicItem& b) {
    Natural na, nb;
    unserialize(a.type, *a.raw, na);
    unserialize(b.type, *b.raw, nb);
    if (na.kind == Natural::REAL || nb.kind == Natural::REAL) return as_real(na) == as_real(nb);
    return na.i == nb.i;
}

// A partly moved item: only its first `bytes` bytes (fewer than 4) have travelled.
bool same_low_bytes(const DynamicItem& a, const DynamicItem& b, unsigned bytes) {
    uint32_t mask = (uint32_t{1} << (BITS_PER_BYTE * bytes)) - 1;
    return (*a.raw & mask) == (*b.raw & mask);
}

} // namespace

void DynamicMap::clear() {
    queue_.clear();
    count_ = 0;
}

bool DynamicMap::add(const DynamicItem& item) {
    if (count_ >= CAPACITY) return false;
    if (queue_.push(item.raw, item.n_bytes) != DynamicQueue::Push::OK) return false;
    items_[count_++] = item;
    return true;
}

bool DynamicMap::matches(const DynamicMap& expected) const {
    unsigned done = total_items() - pending_items();
    unsigned partial = queue_.byte_index();
    unsigned needed = done + (partial != 0 ? 1 : 0);
    if (needed > expected.total_items()) return false;
    for (unsigned i = 0; i < done; ++i)
        if (!same_value(items_[i], expected.items_[i])) return false;
    return partial == 0 || same_low_bytes(items_[done], expected.items_[done], partial);
}

} // namespace tarnwick::data
