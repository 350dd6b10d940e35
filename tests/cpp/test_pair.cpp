// The library's master against the library's virtual slave: whole connections,
// several at once in one process, the two watchdogs in injected time.
#include "tarnwick/master.hpp"
#include "tarnwick/sra_crc.hpp"
#include "tarnwick/virtual_slave.hpp"

#include <doctest/doctest.h>

#include <array>
#include <memory>
#include <vector>

using namespace tarnwick;

namespace {

constexpr Micros CYCLE_US = 1000;          // one bus cycle of injected time
constexpr uint16_t WATCHDOG_MS = 1000;     // a time the virtual slave accepts
constexpr uint16_t SLAVE_ADDRESS = 0x1234; // the virtual slave's own address
constexpr int WALK_LIMIT = 200;            // cycles a walk to Data may take at most
constexpr uint16_t SRA_WORDS[] = {0x0001, 0x0064, 0x03E8};

uint32_t sra_of_the_parameters() {
    return frame::sra_crc(SRA_WORDS, sizeof SRA_WORDS / sizeof SRA_WORDS[0]);
}

// One master wired to one virtual slave; the bus carries each frame unchanged.
struct Pair {
    Master master;
    VirtualSlave slave;
    Micros now = 0;

    Pair(unsigned size, uint16_t connection_id, uint64_t seed)
        : master(config(size, connection_id, seed)), slave(settings(size, seed)) {
        master.start(now);
    }
    // A wide slave whose data maps carry `out` and `in` bytes: application objects on
    // the first and the last byte each way, padding between.
    struct Wide {};
    Pair(Wide, unsigned out, unsigned in, uint64_t seed)
        : master(config(out, 0x0303, seed)), slave(wide_settings(seed)) {
        master.set_data_sizes(out, in);
        slave.stop();
        REQUIRE(map_ends(VirtualSlave::Direction::Rx, out, KEY_OUT));
        REQUIRE(map_ends(VirtualSlave::Direction::Tx, in, KEY_IN));
        REQUIRE(slave.start());
        master.start(now);
    }
    // Objects `key` (first byte) and `key + 1` (last byte) over `bytes` bytes.
    bool map_ends(VirtualSlave::Direction direction, unsigned bytes, uint16_t key) {
        std::vector<VirtualSlave::DataItem> items{{key, 8, false}};
        if (slave.add_application_object(key, 8, 0) != VirtualSlave::ConfigResult::Ok) return false;
        if (bytes > 1) {
            if (bytes > 2) items.push_back({0, static_cast<uint16_t>(8 * (bytes - 2)), true});
            items.push_back({static_cast<uint16_t>(key + 1), 8, false});
            if (slave.add_application_object(key + 1, 8, 0) != VirtualSlave::ConfigResult::Ok)
                return false;
        }
        return slave.set_data_map(direction, items.data(), items.size()) ==
               VirtualSlave::ConfigResult::Ok;
    }
    static VirtualSlave::Settings wide_settings(uint64_t seed) {
        VirtualSlave::Settings s = settings(0, seed);
        s.wide = true;
        return s;
    }
    static constexpr uint16_t KEY_OUT = 0x001; // 0x002 on the last output byte
    static constexpr uint16_t KEY_IN = 0x011;  // 0x012 on the last input byte

    uint32_t value(uint16_t key) const {
        uint32_t v = 0xFFFFFFFF;
        slave.application_value(key, v);
        return v;
    }

    static MasterConfig config(unsigned size, uint16_t connection_id, uint64_t seed) {
        MasterConfig c;
        c.slave_address = SLAVE_ADDRESS;
        c.connection_id = connection_id;
        c.watchdog_ms = WATCHDOG_MS;
        c.parameters = {{sra_of_the_parameters(), 4, {}}};
        c.output_bytes = size;
        c.input_bytes = size;
        c.session_id_seed = seed;
        return c;
    }
    static VirtualSlave::Settings settings(unsigned size, uint64_t seed) {
        VirtualSlave::Settings s;
        s.sra_crc = sra_of_the_parameters();
        s.random_seed = seed;
        s.safe_data_bytes = size;
        return s;
    }

    // One bus cycle; `deliver` false drops both frames (a cable pulled).
    void cycle(bool deliver = true) {
        now += CYCLE_US;
        slave.advance_time(static_cast<uint32_t>(CYCLE_US));
        master.poll(now);
        if (!deliver) return;
        ConstBytes request = master.request();
        slave.set_request(request.data, request.size);
        slave.process();
        std::array<uint8_t, 2 * VirtualSlave::WIDE_AREA_WORDS> reply{};
        std::size_t n = slave.reply(reply.data());
        master.set_reply(reply.data(), n, now);
    }

    bool connected() const {
        return master.state() == StateId::Data && slave.state() == VirtualSlave::State::Data;
    }
    int walk_to_data() {
        for (int k = 0; k < WALK_LIMIT; ++k) {
            if (connected()) return k;
            cycle();
        }
        return -1;
    }
    // STO requested by the master; true once the slave and the master's inputs show it.
    void request_sto(bool on) {
        master.set_fail_safe(false);
        master.outputs().data[0] = on ? 1 : 0;
    }
    bool sto_seen(bool on) const {
        return slave.sto_status() == on && ((master.inputs().data[0] & 1) != 0) == on;
    }
    bool cycles_until_sto(bool on) {
        request_sto(on);
        for (int k = 0; k < 10; ++k) {
            cycle();
            if (sto_seen(on)) return true;
        }
        return false;
    }
};

} // namespace

TEST_CASE("the master connects to the virtual slave and carries the STO bit both ways") {
    for (unsigned size : {1u, 2u, 4u}) {
        CAPTURE(size);
        Pair p(size, 0x0101, 1);
        CHECK(p.walk_to_data() > 0);
        CHECK(p.cycles_until_sto(true));
        CHECK(p.cycles_until_sto(false));
        CHECK(p.connected());
    }
}

TEST_CASE("pairs in one process are kept apart") {
    constexpr unsigned PAIRS = 24;
    std::vector<std::unique_ptr<Pair>> pairs;
    for (unsigned k = 0; k < PAIRS; ++k)
        pairs.push_back(
            std::make_unique<Pair>(1u << (k % 3), static_cast<uint16_t>(0x100 + k), k + 1));
    for (auto& p : pairs)
        REQUIRE(p->walk_to_data() >= 0);
    // Every third pair switches its STO on; the others must not see it.
    for (unsigned k = 0; k < PAIRS; k += 3)
        pairs[k]->request_sto(true);
    for (int c = 0; c < 10; ++c)
        for (auto& p : pairs)
            p->cycle();
    for (unsigned k = 0; k < PAIRS; ++k) {
        CAPTURE(k);
        CHECK(pairs[k]->sto_seen(k % 3 == 0));
        CHECK(pairs[k]->connected());
    }
}

TEST_CASE("a pulled cable drops both sides to fail-safe, and they reconnect") {
    Pair p(2, 0x0202, 7);
    REQUIRE(p.walk_to_data() >= 0);
    REQUIRE(p.cycles_until_sto(true));
    const int gap = WATCHDOG_MS * 1000 / static_cast<int>(CYCLE_US) + 5; // past both watchdogs
    for (int k = 0; k < gap; ++k)
        p.cycle(false);
    CHECK(p.master.state() == StateId::Reset);
    CHECK((p.master.inputs().data[0] & 1) == 0);
    p.cycle(); // the slave meets the master's Reset frame
    CHECK_FALSE(p.slave.sto_status());
    CHECK(p.walk_to_data() >= 0);
    CHECK(p.cycles_until_sto(true));
    CHECK(p.master.diagnostics().reconnections == 1);
    CHECK(p.master.diagnostics().transitions[unsigned(Transition::DATA_WD)] == 1);
}

TEST_CASE("wide slaves connect and carry data both ways at every size, sized apart") {
    // (output bytes, input bytes): the smaller carries the connection data.
    const std::pair<unsigned, unsigned> sizes[] = {{1, 1},  {2, 2},  {6, 6},  {8, 8}, {16, 16},
                                                   {1, 16}, {16, 1}, {2, 12}, {10, 4}};
    for (auto [out, in] : sizes) {
        CAPTURE(out);
        CAPTURE(in);
        Pair p(Pair::Wide{}, out, in, out * 31 + in);
        REQUIRE(p.walk_to_data() > 0);
        CHECK(p.slave.request_words() == (out == 1 ? 3 : out + 2));
        CHECK(p.slave.reply_words() == (in == 1 ? 3 : in + 2));
        p.master.set_fail_safe(false);
        p.master.outputs().data[0] = 0xA5;
        p.master.outputs().data[out - 1] = static_cast<uint8_t>(out == 1 ? 0xA5 : 0x5A);
        REQUIRE(p.slave.set_application_value(Pair::KEY_IN, 0xC3) ==
                VirtualSlave::ConfigResult::Ok);
        if (in > 1) p.slave.set_application_value(Pair::KEY_IN + 1, 0x3C);
        for (int k = 0; k < 4; ++k)
            p.cycle();
        CHECK(p.connected());
        CHECK(p.value(Pair::KEY_OUT) == 0xA5);
        if (out > 1) CHECK(p.value(Pair::KEY_OUT + 1) == 0x5A);
        CHECK(p.master.inputs().data[0] == 0xC3);
        if (in > 1) CHECK(p.master.inputs().data[in - 1] == 0x3C);
        // A flipped bit in the request's last block fails its CRC: the slave resets
        // and its outputs fall to 0.
        ConstBytes request = p.master.request();
        std::vector<uint8_t> bad(request.data, request.data + request.size);
        bad[request.size - 3] ^= 0x01; // the last CRC word's high byte
        p.slave.set_request(bad.data(), bad.size());
        p.slave.process();
        CHECK(p.slave.state() == VirtualSlave::State::Reset);
        CHECK(p.value(Pair::KEY_OUT) == 0);
    }
}
