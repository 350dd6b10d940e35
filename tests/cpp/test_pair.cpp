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
        std::array<uint8_t, 2 * VirtualSlave::REPLY_AREA_WORDS> reply{};
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
}
