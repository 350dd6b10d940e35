// The dynamic map's item list and the comparison of a received echo.
#include "tarnwick/dynamic_map.hpp"

namespace tarnwick::data {

namespace {

double as_real(const Natural& n) {
    return n.kind == Natural::REAL ? n.r : static_cast<double>(n.i);
}

} // namespace

// The patterns are 32-bit, so no value is BIG and an integer converts to double exactly.
bool same_value(DataType ta, uint32_t a, DataType tb, uint32_t b) {
    Natural na, nb;
    unserialize(ta, a, na);
    unserialize(tb, b, nb);
    if (na.kind == Natural::REAL || nb.kind == Natural::REAL) return as_real(na) == as_real(nb);
    return na.i == nb.i;
}

bool same_low_bytes(uint32_t a, uint32_t b, unsigned bytes) {
    uint32_t mask = bytes >= 4 ? ~uint32_t{0} : (uint32_t{1} << (BITS_PER_BYTE * bytes)) - 1;
    return (a & mask) == (b & mask);
}

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
        if (!same_value(items_[i].type, *items_[i].raw, expected.items_[i].type,
                        *expected.items_[i].raw))
            return false;
    return partial == 0 || same_low_bytes(*items_[done].raw, *expected.items_[done].raw, partial);
}

} // namespace tarnwick::data
