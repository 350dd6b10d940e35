// Reading the frame history: both rings merged by arrival, newest kept when cut.
#include "core/master/frame_history.hpp"

namespace tarnwick {

std::size_t FrameHistory::copy(HistoryEntry* out, std::size_t cap) const {
    std::size_t total = size();
    std::size_t skip = total > cap ? total - cap : 0;
    std::size_t r = 0, s = 0, written = 0;
    for (std::size_t k = 0; k < total; ++k) {
        bool take_request = s == replies_.count ||
                            (r < requests_.count && requests_.at(r).index < replies_.at(s).index);
        const HistoryEntry& e = take_request ? requests_.at(r++) : replies_.at(s++);
        if (k >= skip) out[written++] = e;
    }
    return written;
}

} // namespace tarnwick
