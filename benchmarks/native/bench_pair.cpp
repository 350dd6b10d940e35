// Native benchmark of the virtual slave and of master/slave pairs (make bench-native).
//
// The slave's Data cycle (request in, one engine step, reply out) is timed on a twin:
// requests are recorded from a live pair, then replayed to a slave built with the
// same settings at the same clock steps, so it walks and answers exactly as the
// recorded one and every replayed request is new and valid; it is timed for the
// 2-byte standard map and for a wide slave's 16-byte data maps. The pairs figure runs
// 128 library masters, each wired to its own library virtual slave. Times are thread
// CPU time, median of BATCHES batches.
#include "tarnwick/master.hpp"
#include "tarnwick/sra_crc.hpp"
#include "tarnwick/virtual_slave.hpp"
#include "timing.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

using namespace tarnwick;

namespace {

using bench::BATCHES;
using bench::median;
using bench::thread_ns;

constexpr unsigned CYCLES_PER_BATCH = 20000;
constexpr unsigned PAIRS = 128;
constexpr unsigned ROUNDS_PER_BATCH = 200;
constexpr unsigned SAFE_DATA_BYTES = 2;
constexpr unsigned WIDE_SAFE_DATA_BYTES = 16;
constexpr uint16_t KEY_OUT = 0x001, KEY_IN = 0x100; // the wide slave's 8-bit objects
constexpr unsigned WALK_LIMIT = 200;                // cycles a walk to Data may take at most
constexpr uint32_t CYCLE_US = 1000;                 // the slave's clock step per cycle
constexpr uint16_t SLAVE_ADDRESS = 0x1234;          // the virtual slave's own address
constexpr double NS_PER_US = 1000.0;
constexpr uint16_t SRA_WORDS[] = {0x0001, 0x0064, 0x03E8};

using Frame = std::array<uint8_t, frame::MAX_FRAME_BYTES>;
struct Wire {
    Frame bytes{};
    std::size_t size = 0;
};

uint32_t sra() {
    return frame::sra_crc(SRA_WORDS, sizeof SRA_WORDS / sizeof SRA_WORDS[0]);
}

struct Pair {
    Master master;
    VirtualSlave slave;
    Micros now = 0;

    explicit Pair(uint16_t connection_id, unsigned bytes = SAFE_DATA_BYTES)
        : master(config(connection_id, bytes)), slave(make_slave(bytes)) {
        master.start(0);
    }
    // The standard map of `bytes` bytes, or above 4 bytes a wide slave whose data
    // maps carry an 8-bit object in the first byte each way.
    static VirtualSlave make_slave(unsigned bytes) {
        if (bytes <= SAFE_DATA_BYTES) return VirtualSlave(settings());
        VirtualSlave::Settings s = settings();
        s.safe_data_bytes = 0;
        s.wide = true;
        VirtualSlave slave(s);
        const VirtualSlave::Direction directions[] = {VirtualSlave::Direction::Rx,
                                                      VirtualSlave::Direction::Tx};
        for (auto direction : directions) {
            uint16_t key = direction == VirtualSlave::Direction::Rx ? KEY_OUT : KEY_IN;
            slave.add_application_object(key, 8, 0);
            const VirtualSlave::DataItem items[] = {
                {key, 8, false}, {0, static_cast<uint16_t>(8 * (bytes - 1)), true}};
            slave.set_data_map(direction, items, 2);
        }
        if (!slave.start()) std::fprintf(stderr, "the wide slave did not start\n");
        return slave;
    }
    static MasterConfig config(uint16_t connection_id, unsigned bytes) {
        MasterConfig c;
        c.slave_address = SLAVE_ADDRESS;
        c.connection_id = connection_id;
        c.watchdog_ms = 1000;
        c.parameters = {{sra(), 4, {}}};
        c.output_bytes = c.input_bytes = bytes;
        c.session_id_seed = connection_id;
        return c;
    }
    static VirtualSlave::Settings settings() {
        VirtualSlave::Settings s;
        s.sra_crc = sra();
        s.safe_data_bytes = SAFE_DATA_BYTES;
        return s;
    }
    // One bus cycle; returns the request the slave took.
    const uint8_t* cycle() {
        now += CYCLE_US;
        slave.advance_time(CYCLE_US);
        ConstBytes request = master.request();
        slave.set_request(request.data, request.size);
        slave.process();
        uint8_t reply[2 * VirtualSlave::WIDE_AREA_WORDS];
        std::size_t n = slave.reply(reply);
        master.set_reply(reply, n, now);
        return request.data;
    }
    void walk() {
        for (unsigned k = 0; k < WALK_LIMIT && master.state() != StateId::Data; ++k)
            cycle();
        master.set_fail_safe(false);
        if (master.state() != StateId::Data) std::fprintf(stderr, "a pair missed Data\n");
    }
};

unsigned sink = 0; // keeps the replies observable

double slave_cycle_ns(unsigned bytes) {
    Pair live(0x1234, bytes);
    std::vector<Wire> requests;
    auto record = [&] {
        ConstBytes r = live.master.request();
        Wire w;
        std::copy(r.data, r.data + r.size, w.bytes.begin());
        w.size = r.size;
        requests.push_back(w);
        live.cycle();
    };
    for (unsigned k = 0; k < WALK_LIMIT && live.master.state() != StateId::Data; ++k)
        record();
    std::size_t walk = requests.size();
    live.master.set_fail_safe(false);
    for (unsigned i = 0; i < BATCHES * CYCLES_PER_BATCH; ++i) {
        live.master.outputs().data[0] = static_cast<uint8_t>(i & 1);
        record();
    }
    VirtualSlave twin = Pair::make_slave(bytes);
    uint8_t reply[2 * VirtualSlave::WIDE_AREA_WORDS];
    auto step = [&](const Wire& w) {
        twin.advance_time(CYCLE_US);
        twin.set_request(w.bytes.data(), w.size);
        twin.process();
        sink += reply[twin.reply(reply) - 1];
    };
    for (std::size_t i = 0; i < walk; ++i)
        step(requests[i]);
    std::vector<double> per_cycle;
    for (unsigned b = 0; b < BATCHES; ++b) {
        const Wire* batch = &requests[walk + b * CYCLES_PER_BATCH];
        double t0 = thread_ns();
        for (unsigned i = 0; i < CYCLES_PER_BATCH; ++i)
            step(batch[i]);
        per_cycle.push_back((thread_ns() - t0) / CYCLES_PER_BATCH);
    }
    if (twin.state() != VirtualSlave::State::Data) std::fprintf(stderr, "the twin left Data\n");
    return median(per_cycle);
}

double pairs_round_us() {
    std::vector<std::unique_ptr<Pair>> pairs;
    for (unsigned k = 0; k < PAIRS; ++k) {
        pairs.push_back(std::make_unique<Pair>(static_cast<uint16_t>(k + 1)));
        pairs.back()->walk();
    }
    std::vector<double> per_round;
    for (unsigned b = 0; b < BATCHES; ++b) {
        double t0 = thread_ns();
        for (unsigned i = 0; i < ROUNDS_PER_BATCH; ++i)
            for (auto& p : pairs)
                sink += p->cycle()[0];
        per_round.push_back((thread_ns() - t0) / ROUNDS_PER_BATCH / NS_PER_US);
    }
    return median(per_round);
}

} // namespace

int main() {
    std::printf("virtual slave Data cycle (request in, step, reply out, %u safe-data bytes): "
                "median %.1f ns\n",
                SAFE_DATA_BYTES, slave_cycle_ns(SAFE_DATA_BYTES));
    std::printf("wide virtual slave Data cycle (%u safe-data bytes each way, data maps): "
                "median %.1f ns\n",
                WIDE_SAFE_DATA_BYTES, slave_cycle_ns(WIDE_SAFE_DATA_BYTES));
    std::printf("%u library master/virtual slave pairs: median %.2f us per round\n", PAIRS,
                pairs_round_us());
    return sink == 0xFFFFFFFFu; // never: the sum only keeps the work from being dropped
}
