// Native benchmark of the library master (make bench-native; prints medians).
//
// Replies are recorded first from a twin master answered by the scripted slave: a
// master built from the same configuration sends the same requests, so every
// replayed reply is new and valid, and the timed loop runs only the master (reply
// in, request out). The pairs figure runs the scripted slave in the loop as well.
// Times are thread CPU time, median of BATCHES batches, as the Python benchmarks.
#include "recorded.hpp"
#include "scripted_slave.hpp"
#include "tarnwick/master.hpp"
#include "timing.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

using namespace tarnwick;
using testing::ScriptedSlave;
using testing::Wire;

namespace {

using bench::BATCHES;
using bench::median;
using bench::record;
using bench::Recorded;
using bench::thread_ns;

constexpr unsigned CYCLES_PER_BATCH = 20000;
constexpr unsigned MASTERS = 128;
constexpr unsigned ROUNDS_PER_BATCH = 200;
constexpr unsigned SAFE_DATA_BYTES = 2;
constexpr double NS_PER_US = 1000.0;
// A history as an application might keep for a post-mortem: a quarter second at 1 kHz.
constexpr std::size_t HISTORY_FRAMES = 256;

MasterConfig config_for(uint16_t connection_id) {
    MasterConfig c;
    c.slave_address = 1;
    c.connection_id = connection_id;
    c.watchdog_ms = 1000;
    c.parameters = {{0x1A2B3C4D, 4, {}}};
    c.output_bytes = c.input_bytes = SAFE_DATA_BYTES;
    c.session_id_seed = connection_id;
    return c;
}

void walk(Master& m, const Recorded& r) {
    m.start(0);
    for (const Wire& w : r.walk)
        m.set_reply(w.bytes, w.size, 0);
    m.set_fail_safe(false);
    if (m.state() != StateId::Data) std::fprintf(stderr, "the replayed walk missed Data\n");
}

unsigned sink = 0; // keeps the requests observable

void cycle(Master& m, const Wire& reply) {
    m.set_reply(reply.bytes, reply.size, 0);
    sink += m.request().data[1];
}

double data_cycle_ns(std::size_t history_frames = 0) {
    MasterConfig c = config_for(0x1234);
    c.history_frames = history_frames;
    Recorded r = record(c, BATCHES * CYCLES_PER_BATCH);
    Master m(c);
    walk(m, r);
    std::vector<double> per_cycle;
    for (unsigned b = 0; b < BATCHES; ++b) {
        const Wire* replies = &r.data[b * CYCLES_PER_BATCH];
        double t0 = thread_ns();
        for (unsigned i = 0; i < CYCLES_PER_BATCH; ++i)
            cycle(m, replies[i]);
        per_cycle.push_back((thread_ns() - t0) / CYCLES_PER_BATCH);
    }
    return median(per_cycle);
}

// Each round: one reply in and one request out for every master in turn.
template <typename Round> double round_us(Round&& round) {
    std::vector<double> per_round;
    for (unsigned b = 0; b < BATCHES; ++b) {
        double t0 = thread_ns();
        for (unsigned i = 0; i < ROUNDS_PER_BATCH; ++i)
            round(b * ROUNDS_PER_BATCH + i);
        per_round.push_back((thread_ns() - t0) / ROUNDS_PER_BATCH / NS_PER_US);
    }
    return median(per_round);
}

double masters_round_us() {
    constexpr unsigned rounds = BATCHES * ROUNDS_PER_BATCH;
    std::vector<std::unique_ptr<Master>> masters;
    // Round by round, as a bus delivers them: one stream the caches can follow.
    std::vector<Wire> replies(rounds * MASTERS);
    for (unsigned k = 0; k < MASTERS; ++k) {
        MasterConfig c = config_for(static_cast<uint16_t>(k + 1));
        Recorded r = record(c, rounds);
        for (unsigned round = 0; round < rounds; ++round)
            replies[round * MASTERS + k] = r.data[round];
        masters.push_back(std::make_unique<Master>(c));
        walk(*masters.back(), r);
    }
    return round_us([&](unsigned round) {
        for (unsigned k = 0; k < MASTERS; ++k)
            cycle(*masters[k], replies[round * MASTERS + k]);
    });
}

double pairs_round_us() {
    std::vector<std::unique_ptr<Master>> masters;
    std::vector<ScriptedSlave> slaves;
    for (unsigned k = 0; k < MASTERS; ++k) {
        MasterConfig c = config_for(static_cast<uint16_t>(k + 1));
        masters.push_back(std::make_unique<Master>(c));
        slaves.emplace_back(c.input_bytes, c.connection_id);
        masters.back()->start(0);
        slaves.back().walk_to(*masters.back(), StateId::Data);
        masters.back()->set_fail_safe(false);
    }
    return round_us([&](unsigned) {
        for (unsigned k = 0; k < MASTERS; ++k)
            cycle(*masters[k], slaves[k].answer(*masters[k]));
    });
}

} // namespace

int main() {
    std::printf("master Data cycle (reply in, request out, %u safe-data bytes): median %.1f ns\n",
                SAFE_DATA_BYTES, data_cycle_ns());
    std::printf("the same with a history of %zu frames each way: median %.1f ns\n", HISTORY_FRAMES,
                data_cycle_ns(HISTORY_FRAMES));
    std::printf("%u masters round-robin, replayed replies: median %.2f us per round\n", MASTERS,
                masters_round_us());
    std::printf("%u masters each with a scripted slave in the loop: median %.2f us per round\n",
                MASTERS, pairs_round_us());
    return sink == 0xFFFFFFFFu; // never: the sum only keeps the work from being dropped
}
