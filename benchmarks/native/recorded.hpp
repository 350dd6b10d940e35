// Replies recorded for the native benchmarks: a twin master of the same configuration
// sends the same requests, so every replayed reply is new and valid to the master timed.
#pragma once

#include "scripted_slave.hpp"
#include "tarnwick/master.hpp"

#include <cstdint>
#include <vector>

namespace bench {

struct Recorded {
    std::vector<tarnwick::testing::Wire> walk;
    std::vector<tarnwick::testing::Wire> data;
};

// The replies a correct slave gives a master of this configuration: the walk to Data,
// then `cycles` ProcessData replies with changing inputs.
inline Recorded record(const tarnwick::MasterConfig& c, unsigned cycles) {
    using tarnwick::testing::ScriptedSlave;
    tarnwick::Master m(c);
    ScriptedSlave slave(c.input_bytes, c.connection_id);
    Recorded r;
    m.start(0);
    for (unsigned i = 0; i < ScriptedSlave::MAX_WALK && m.state() != tarnwick::StateId::Data; ++i) {
        bool was_reset = m.state() == tarnwick::StateId::Reset;
        r.walk.push_back(slave.answer(m));
        m.set_reply(r.walk.back().bytes, r.walk.back().size, 0);
        if (was_reset) slave.restart();
    }
    m.set_fail_safe(false);
    for (unsigned i = 0; i < cycles; ++i) {
        ScriptedSlave::Answer a = slave.correct(m);
        a.data[0] = static_cast<uint8_t>(i);
        a.data[1] = static_cast<uint8_t>(i >> 8);
        r.data.push_back(slave.reply(m.request(), a));
        m.set_reply(r.data.back().bytes, r.data.back().size, 0);
    }
    return r;
}

} // namespace bench
