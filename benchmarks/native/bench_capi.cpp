// Native benchmark of the C API's cycle against the C++ one (make bench-native).
//
// Three masters of one configuration send the same requests, so one recorded stream
// of replies (from a twin answered by the scripted slave) is valid for each. Per batch
// each runs the same replies: the C++ master (set_reply, request copied out, as an
// application copies it into its process image), the C master (set_reply, then
// get_request) and the C master's combined tarnwick_master_cycle (which polls the
// watchdog as well). Thread CPU time, medians of BATCHES batches.
#include "recorded.hpp"
#include "scripted_slave.hpp"
#include "tarnwick/master.hpp"
#include "tarnwick/tarnwick.h"
#include "timing.hpp"

#include <cstdio>
#include <cstring>
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
constexpr unsigned SAFE_DATA_BYTES = 2;
constexpr uint16_t CONNECTION_ID = 0x1234;
constexpr uint16_t WATCHDOG_MS = 1000;
constexpr uint32_t PARAMETER = 0x1A2B3C4D;

MasterConfig cpp_config() {
    MasterConfig c;
    c.slave_address = 1;
    c.connection_id = CONNECTION_ID;
    c.watchdog_ms = WATCHDOG_MS;
    c.parameters = {{PARAMETER, 4, {}}};
    c.output_bytes = c.input_bytes = SAFE_DATA_BYTES;
    c.session_id_seed = CONNECTION_ID;
    return c;
}

tarnwick_master* c_master(const Recorded& r) {
    const tarnwick_app_parameter parameter{PARAMETER, 4, TARNWICK_TYPE_UNSIGNED};
    tarnwick_master_config c;
    tarnwick_master_config_init(&c);
    c.slave_address = 1;
    c.connection_id = CONNECTION_ID;
    c.watchdog_ms = WATCHDOG_MS;
    c.parameters = &parameter;
    c.parameter_count = 1;
    c.output_bytes = c.input_bytes = SAFE_DATA_BYTES;
    c.session_id_seed = CONNECTION_ID;
    tarnwick_master* m = nullptr;
    if (tarnwick_master_new(&c, &m) != TARNWICK_OK) return nullptr;
    tarnwick_master_start(m, 0);
    for (const Wire& w : r.walk)
        tarnwick_master_set_reply(m, w.bytes, w.size, 0, nullptr);
    tarnwick_master_set_fail_safe(m, false);
    tarnwick_state s = TARNWICK_STATE_RESET;
    tarnwick_master_get_state(m, &s);
    if (s != TARNWICK_STATE_DATA) std::fprintf(stderr, "the replayed walk missed Data\n");
    return m;
}

unsigned sink = 0; // keeps the requests observable

} // namespace

int main() {
    const Recorded r = record(cpp_config(), BATCHES * CYCLES_PER_BATCH);
    Master cpp(cpp_config());
    cpp.start(0);
    for (const Wire& w : r.walk)
        cpp.set_reply(w.bytes, w.size, 0);
    cpp.set_fail_safe(false);
    tarnwick_master* split = c_master(r);
    tarnwick_master* combined = c_master(r);
    if (!split || !combined) return 1;

    std::vector<double> cpp_ns, split_ns, combined_ns;
    uint8_t out[TARNWICK_MAX_FRAME_BYTES];
    size_t len = 0;
    for (unsigned b = 0; b < BATCHES; ++b) {
        const Wire* replies = &r.data[b * CYCLES_PER_BATCH];
        double t0 = thread_ns();
        for (unsigned i = 0; i < CYCLES_PER_BATCH; ++i) {
            cpp.set_reply(replies[i].bytes, replies[i].size, 0);
            ConstBytes request = cpp.request();
            std::memcpy(out, request.data, request.size);
            sink += out[1];
        }
        double t1 = thread_ns();
        for (unsigned i = 0; i < CYCLES_PER_BATCH; ++i) {
            tarnwick_master_set_reply(split, replies[i].bytes, replies[i].size, 0, nullptr);
            tarnwick_master_get_request(split, out, sizeof out, &len);
            sink += out[1];
        }
        double t2 = thread_ns();
        for (unsigned i = 0; i < CYCLES_PER_BATCH; ++i) {
            tarnwick_master_cycle(combined, replies[i].bytes, replies[i].size, 0, out, sizeof out,
                                  &len, nullptr);
            sink += out[1];
        }
        double t3 = thread_ns();
        cpp_ns.push_back((t1 - t0) / CYCLES_PER_BATCH);
        split_ns.push_back((t2 - t1) / CYCLES_PER_BATCH);
        combined_ns.push_back((t3 - t2) / CYCLES_PER_BATCH);
    }
    tarnwick_state s1 = 0, s2 = 0;
    tarnwick_master_get_state(split, &s1);
    tarnwick_master_get_state(combined, &s2);
    bool in_data =
        cpp.state() == StateId::Data && s1 == TARNWICK_STATE_DATA && s2 == TARNWICK_STATE_DATA;
    double base = median(cpp_ns);
    std::printf("Data cycle, %u safe-data bytes (reply in, request out), medians:\n",
                SAFE_DATA_BYTES);
    std::printf("  C++ Master::set_reply + request copy:  %.1f ns\n", base);
    std::printf("  C set_reply + get_request:              %.1f ns (%+.1f ns)\n", median(split_ns),
                median(split_ns) - base);
    std::printf("  C tarnwick_master_cycle (with poll):    %.1f ns (%+.1f ns)\n",
                median(combined_ns), median(combined_ns) - base);
    if (!in_data) std::fprintf(stderr, "a master left Data: the figures are void\n");
    tarnwick_master_free(&split);
    tarnwick_master_free(&combined);
    return in_data && sink != 0xFFFFFFFFu ? 0 : 1;
}
