// The virtual slave as an object, driven by a master peer built on the master's own
// frame codec: the handshake, refused requests, the watchdog in mock time, hooks,
// and several slaves in one process.
#include "tarnwick/frame.hpp"
#include "tarnwick/virtual_slave.hpp"

#include <doctest/doctest.h>

#include <algorithm>
#include <vector>

using tarnwick::VirtualSlave;
using State = VirtualSlave::State;
using Bytes = std::vector<uint8_t>;
namespace frame = tarnwick::frame;
using frame::Command;

namespace {

constexpr uint16_t CONN_ID = 0x0055;
constexpr uint16_t SLAVE_ADDRESS = 0x1234;
constexpr uint32_t SRA_CRC = 0xD0CBA2C6;
constexpr uint16_t WATCHDOG_MS = 100;
constexpr uint32_t US_PER_MS = 1000;
constexpr uint16_t MASTER_SESSION_ID = 0xABCD;
// Parameter lengths the slave expects: the watchdog time, the 4-byte SRA CRC.
constexpr uint16_t COMM_PARAM_LENGTH = 2;
constexpr uint16_t APP_PARAM_LENGTH = 4;
// A CRC bit flipped to corrupt a request.
constexpr uint16_t CRC_CORRUPTION = 0x0100;
constexpr uint16_t NO_COMMAND = 0x77;
// The connection id and the STO status as dictionary objects.
constexpr uint16_t KEY_OWN_CONNECTION_ID = 0x194;
constexpr uint16_t KEY_STO = 0x040;

// Error codes a Reset frame carries.
enum Error : uint8_t {
    INVALID_CMD = 1,
    UNKNOWN_CMD = 2,
    INVALID_CONNID = 3,
    INVALID_CRC = 4,
    WD_EXPIRED = 5,
    INVALID_COMPARA = 9,
    INVALID_USERPARA = 11,
};

uint16_t cmd(Command c) {
    return static_cast<uint16_t>(c);
}

Bytes le(uint32_t value, unsigned size) {
    Bytes out(size);
    for (unsigned i = 0; i < size; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

uint16_t next_sequence(uint16_t s) {
    return s == 0xFFFF ? 1 : static_cast<uint16_t>(s + 1);
}

// What the master sends while connecting.
struct Params {
    uint16_t conn_id = CONN_ID;
    uint16_t watchdog_ms = WATCHDOG_MS;
    uint32_t sra_crc = SRA_CRC;
};

struct Send {
    bool first = false; // starts a new sequence: a Reset or first Session frame
    bool crc_ok = true;
};

// The master's side of one connection: each request is seeded with the slave's last
// CRC_0 and steps its sequence number past a repeated CRC_0; each reply's CRCs are
// checked the same way, a Reset reply with sequence number 1 and no seed.
class Master {
  public:
    explicit Master(VirtualSlave& slave) : slave_(slave), n_(slave.frame_words() - 2) {}

    Bytes build(uint16_t command, const Bytes& data, uint16_t conn_id, Send how = {}) {
        if (how.first) seq_ = seed_ = slave_seq_ = 0;
        frame::FrameRecord f{};
        f.safe_data_size = static_cast<uint16_t>(n_);
        f.control = {command, next_sequence(seq_), conn_id, seed_};
        for (unsigned k = 0; k < data.size() && k < n_; ++k)
            f.safe_data[k / 2] = static_cast<uint16_t>(f.safe_data[k / 2] | data[k] << 8 * (k % 2));
        if (how.first)
            frame::generate_crcs(f);
        else
            frame::generate_crcs_cyclic(f, last_crc0_);
        seq_ = f.control.sequence_number;
        last_crc0_ = frame::calc_crc0(f);
        if (!how.crc_ok) f.crcs[0] ^= CRC_CORRUPTION;
        Bytes wire(frame::MAX_FRAME_BYTES);
        wire.resize(frame::serialise(f, wire.data()));
        return wire;
    }

    frame::FrameRecord exchange(const Bytes& request) {
        REQUIRE(slave_.set_request(request.data(), request.size()));
        slave_.process();
        return take_reply();
    }

    frame::FrameRecord send(uint16_t command, const Bytes& data, uint16_t conn_id, Send how = {}) {
        return exchange(build(command, data, conn_id, how));
    }

    // Sends `payload` a frame's worth at a time; returns what the slave echoed.
    Bytes transfer(uint16_t command, const Bytes& payload, uint16_t conn_id, bool first = false) {
        Bytes echoed;
        for (unsigned k = 0; k < payload.size(); k += n_) {
            Bytes chunk(payload.begin() + k,
                        payload.begin() + std::min<size_t>(k + n_, payload.size()));
            frame::FrameRecord reply = send(command, chunk, conn_id, Send{first && k == 0});
            CHECK(reply.control.command == command);
            echoed = echoed + data_bytes(reply);
        }
        echoed.resize(payload.size());
        return echoed;
    }

    // Walks Session, Connection and Parameter; returns the slave's session id.
    uint16_t connect(const Params& p = Params{}) {
        Bytes session = transfer(cmd(Command::SESSION), le(MASTER_SESSION_ID, 2), 0, true);
        CHECK(slave_.state() == State::Session);
        Bytes connection = le(p.conn_id, 2) + le(SLAVE_ADDRESS, 2);
        CHECK(transfer(cmd(Command::CONNECTION), connection, p.conn_id) == connection);
        Bytes params = le(COMM_PARAM_LENGTH, 2) + le(p.watchdog_ms, 2) + le(APP_PARAM_LENGTH, 2) +
                       le(p.sra_crc, 4);
        CHECK(transfer(cmd(Command::PARAMETER), params, p.conn_id) == params);
        CHECK(slave_.state() == State::Parameter);
        return static_cast<uint16_t>(session[0] | session[1] << 8);
    }

    // Connects and sends the first data frame: the slave judges the parameters.
    void reach_data(const Params& p = Params{}) {
        connect(p);
        CHECK(send(cmd(Command::PROCESS_DATA), {}, p.conn_id).control.command ==
              cmd(Command::PROCESS_DATA));
        CHECK(slave_.state() == State::Data);
    }

    Bytes data_bytes(const frame::FrameRecord& f) const {
        Bytes out(n_);
        for (unsigned k = 0; k < n_; ++k)
            out[k] = frame::data_byte(f, k);
        return out;
    }

  private:
    frame::FrameRecord take_reply() {
        uint8_t wire[2 * VirtualSlave::REPLY_AREA_WORDS];
        std::size_t length = slave_.reply(wire);
        REQUIRE(length == 2 * (n_ + 2));
        frame::FrameRecord f{};
        uint16_t calc[frame::MAX_CRC_WORDS];
        if (wire[0] == cmd(Command::RESET)) {
            f.control.sequence_number = 1;
            frame::parse(f, wire, length);
            CHECK(frame::check_crcs(f, calc));
            slave_seq_ = 0;
        } else {
            f.control.crc0 = last_crc0_;
            f.control.sequence_number = next_sequence(slave_seq_);
            frame::parse(f, wire, length);
            CHECK(frame::check_crcs(f, calc, frame::step_past_repeated_crc0(f, slave_last_crc0_)));
            slave_seq_ = f.control.sequence_number;
            seed_ = f.crcs[0];
        }
        slave_last_crc0_ = f.crcs[0];
        return f;
    }

    VirtualSlave& slave_;
    unsigned n_;
    uint16_t seq_ = 0, last_crc0_ = 0, seed_ = 0, slave_seq_ = 0, slave_last_crc0_ = 0;
};

VirtualSlave::Settings settings_for(unsigned safe_data_bytes, uint32_t sra_crc = SRA_CRC) {
    VirtualSlave::Settings s;
    s.safe_data_bytes = safe_data_bytes;
    s.sra_crc = sra_crc;
    return s;
}

uint8_t reset_error(const frame::FrameRecord& f) {
    CHECK(f.control.command == cmd(Command::RESET));
    CHECK(f.control.connection_id == 0);
    return frame::data_byte(f, 0);
}

uint32_t read32(const VirtualSlave& slave, uint16_t key) {
    uint8_t b[4] = {};
    slave.read_object(key, b, sizeof b);
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

// The first session id a slave seeded with `seed` draws.
uint16_t first_session_id(uint64_t seed) {
    VirtualSlave::Settings s;
    s.random_seed = seed;
    return VirtualSlave(s).next_random();
}

} // namespace

TEST_CASE("the handshake walks Reset, Session, Connection, Parameter and Data") {
    for (unsigned bytes : {1u, 2u, 4u}) {
        CAPTURE(bytes);
        VirtualSlave slave(settings_for(bytes));
        CHECK(slave.frame_words() == bytes + 2);
        CHECK(slave.state() == State::Reset);
        Master master(slave);
        CHECK(master.connect() == first_session_id(1));
        master.reach_data();
        // The STO command travels in the lowest bit of the first safe-data byte and
        // the slave's status comes back the same way.
        for (uint8_t sto : {1, 0, 1}) {
            frame::FrameRecord reply = master.send(cmd(Command::PROCESS_DATA), {sto}, CONN_ID);
            CHECK(master.data_bytes(reply)[0] == sto);
            CHECK(slave.sto_status() == (sto != 0));
            CHECK(reply.control.connection_id == CONN_ID);
        }
        CHECK(read32(slave, KEY_OWN_CONNECTION_ID) == CONN_ID);
    }
}

TEST_CASE("a refused request is answered with a Reset frame carrying its error code") {
    struct Case {
        const char* name;
        Params params;
        bool in_data; // sent after the first data frame, else as the first data frame
        uint16_t command;
        uint16_t conn_id;
        bool crc_ok;
        uint8_t error;
    };
    const Params wrong_sra{CONN_ID, WATCHDOG_MS, SRA_CRC ^ 1};
    const Params short_watchdog{CONN_ID, 49, SRA_CRC};
    const Params long_watchdog{CONN_ID, 10001, SRA_CRC};
    const uint16_t DATA = cmd(Command::PROCESS_DATA);
    const Case cases[] = {
        {"bad CRC", {}, false, DATA, CONN_ID, false, INVALID_CRC},
        {"bad CRC in Data", {}, true, DATA, CONN_ID, false, INVALID_CRC},
        {"bad CRC on fail-safe data",
         {},
         true,
         cmd(Command::FAILSAFE_DATA),
         CONN_ID,
         false,
         INVALID_CRC},
        {"wrong connection id", {}, false, DATA, CONN_ID + 1, true, INVALID_CONNID},
        {"wrong connection id in Data", {}, true, DATA, CONN_ID + 1, true, INVALID_CONNID},
        {"Connection in Parameter",
         {},
         false,
         cmd(Command::CONNECTION),
         CONN_ID,
         true,
         INVALID_CMD},
        {"Parameter in Data", {}, true, cmd(Command::PARAMETER), CONN_ID, true, INVALID_CMD},
        {"no command", {}, true, NO_COMMAND, CONN_ID, true, UNKNOWN_CMD},
        {"wrong SRA CRC", wrong_sra, false, DATA, CONN_ID, true, INVALID_USERPARA},
        {"watchdog time too short", short_watchdog, false, DATA, CONN_ID, true, INVALID_COMPARA},
        {"watchdog time too long", long_watchdog, false, DATA, CONN_ID, true, INVALID_COMPARA},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        VirtualSlave slave(settings_for(2));
        Master master(slave);
        if (c.in_data) {
            master.reach_data(c.params);
            master.send(cmd(Command::PROCESS_DATA), {1}, CONN_ID);
            CHECK(slave.sto_status());
        } else {
            master.connect(c.params);
        }
        frame::FrameRecord reply = master.send(c.command, {1}, c.conn_id, Send{false, c.crc_ok});
        CHECK(reset_error(reply) == c.error);
        CHECK(slave.state() == State::Reset);
        CHECK_FALSE(slave.sto_status()); // the outputs fall to their safe value
    }
}

TEST_CASE("the watchdog runs on the time the caller passes in") {
    struct Case {
        uint16_t watchdog_ms;
        uint32_t elapsed_us;
        bool hooked; // the clock hook, not the mock clock, tells the time
        State after;
    };
    const Case cases[] = {
        {100, 99'999, false, State::Data},      {100, 100'000, false, State::Reset},
        {50, 50'000, false, State::Reset},      {10000, 9'999'999, false, State::Data},
        {100, 99'999, true, State::Data},       {100, 100'000, true, State::Reset},
        {100, 0xFFFFFFFF, false, State::Reset},
    };
    for (const Case& c : cases) {
        CAPTURE(c.watchdog_ms);
        CAPTURE(c.elapsed_us);
        CAPTURE(c.hooked);
        uint32_t hook_now = 0;
        VirtualSlave slave(settings_for(1));
        if (c.hooked)
            slave.set_hooks({&hook_now, [](void* now) { return *static_cast<uint32_t*>(now); }});
        Master master(slave);
        master.reach_data(Params{CONN_ID, c.watchdog_ms, SRA_CRC});
        Bytes last = master.build(cmd(Command::PROCESS_DATA), {1}, CONN_ID);
        master.exchange(last); // the watchdog starts again here
        if (c.hooked) {
            hook_now += c.elapsed_us;
            slave.advance_time(c.watchdog_ms * US_PER_MS); // ignored while hooked
        } else {
            slave.advance_time(c.elapsed_us);
        }
        slave.process();
        CHECK(slave.state() == c.after);
        if (c.after == State::Reset) {
            // The request already handled puts out the Reset frame prepared at expiry.
            CHECK(reset_error(master.exchange(last)) == WD_EXPIRED);
        } else {
            CHECK(master.send(cmd(Command::PROCESS_DATA), {1}, CONN_ID).control.command ==
                  cmd(Command::PROCESS_DATA));
        }
    }
}

TEST_CASE("hooks replace the session ids and the SRA CRC of the slave's own mock") {
    struct Surroundings {
        uint16_t session_id = 0xBEEF;
        uint32_t sra_crc = 0xCAFEF00D;
    } around;
    VirtualSlave slave(settings_for(4, SRA_CRC));
    VirtualSlave::Hooks hooks;
    hooks.context = &around;
    hooks.session_id = [](void* a) { return static_cast<Surroundings*>(a)->session_id; };
    hooks.sra_crc = [](void* a) { return static_cast<Surroundings*>(a)->sra_crc; };
    slave.set_hooks(hooks);
    Master master(slave);
    CHECK(master.connect(Params{CONN_ID, WATCHDOG_MS, around.sra_crc}) == around.session_id);
    CHECK(master.send(cmd(Command::PROCESS_DATA), {}, CONN_ID).control.command ==
          cmd(Command::PROCESS_DATA));
    CHECK(slave.next_random() == first_session_id(1)); // the mock's source was not drawn
}

TEST_CASE("slaves in one process keep their state apart") {
    struct Peer {
        unsigned bytes;
        uint64_t seed;
        uint32_t sra_crc;
        uint16_t conn_id;
        uint32_t start_us;
    };
    const Peer peers[] = {
        {1, 1, 0x11111111, 0x0101, 0},
        {2, 7, 0x22222222, 0x0202, 1'000'000},
        {4, 45677, 0x33333333, 0x0303, 0xFFFF0000},
    };
    std::vector<VirtualSlave> slaves;
    for (const Peer& p : peers) {
        VirtualSlave::Settings s = settings_for(p.bytes, p.sra_crc);
        s.random_seed = p.seed;
        s.time_us = p.start_us;
        slaves.emplace_back(s);
    }
    std::vector<Master> masters(slaves.begin(), slaves.end());
    // Each connects in turn: the slaves set up and connected later leave the earlier
    // ones where they were.
    for (std::size_t i = 0; i < slaves.size(); ++i) {
        CAPTURE(i);
        Params params{peers[i].conn_id, WATCHDOG_MS, peers[i].sra_crc};
        CHECK(masters[i].connect(params) == first_session_id(peers[i].seed));
        masters[i].send(cmd(Command::PROCESS_DATA), {}, peers[i].conn_id);
    }
    // Only the first slave's STO is switched on; only the second slave's time passes.
    for (std::size_t i = 0; i < slaves.size(); ++i) {
        CAPTURE(i);
        CHECK(slaves[i].state() == State::Data);
        uint8_t sto = i == 0 ? 1 : 0;
        frame::FrameRecord reply =
            masters[i].send(cmd(Command::PROCESS_DATA), {sto}, peers[i].conn_id);
        CHECK(reply.control.connection_id == peers[i].conn_id);
        CHECK(read32(slaves[i], KEY_OWN_CONNECTION_ID) == peers[i].conn_id);
    }
    slaves[1].advance_time(WATCHDOG_MS * US_PER_MS);
    for (VirtualSlave& s : slaves)
        s.process();
    const State after[] = {State::Data, State::Reset, State::Data};
    for (std::size_t i = 0; i < slaves.size(); ++i) {
        CAPTURE(i);
        CHECK(slaves[i].state() == after[i]);
        CHECK(slaves[i].sto_status() == (i == 0));
        CHECK(read32(slaves[i], KEY_STO) == (i == 0 ? 1u : 0u));
        CHECK(slaves[i].time() == peers[i].start_us + (i == 1 ? WATCHDOG_MS * US_PER_MS : 0));
    }
}

TEST_CASE("a slave before its first init counts its map invalid") {
    VirtualSlave slave = VirtualSlave::uninitialised();
    const uint32_t padding = VirtualSlave::map_item(0, 48, true);
    for (bool initialised : {false, true}) {
        CAPTURE(initialised);
        if (initialised) slave.init();
        for (auto d : {VirtualSlave::Direction::Rx, VirtualSlave::Direction::Tx}) {
            CHECK(slave.set_map_count(d, 1) == VirtualSlave::MapResult::Success);
            CHECK(slave.set_map_item(d, 1, padding) == VirtualSlave::MapResult::Success);
        }
        CHECK(slave.validate_map() == initialised);
        CHECK(slave.start() == initialised);
        CHECK(slave.frame_words() == (initialised ? 3u : 0u));
    }
}

TEST_CASE("application objects and data maps refuse what a frame cannot carry") {
    using R = VirtualSlave::ConfigResult;
    using D = VirtualSlave::Direction;
    VirtualSlave::Settings wide;
    wide.wide = true;
    VirtualSlave slave(wide);
    REQUIRE(slave.add_application_object(0x001, 8, 0x7F) == R::Ok);
    REQUIRE(slave.add_application_object(0x002, 32, 0xFFFFFFFF) == R::Ok);
    struct Object {
        uint16_t key;
        unsigned bits;
        uint32_t initial;
        R result;
    };
    const Object objects[] = {
        {KEY_STO, 1, 0, R::ReservedKey}, {0x194, 16, 0, R::ReservedKey},
        {0x001, 8, 0, R::DuplicateKey},  {0x003, 0, 0, R::InvalidWidth},
        {0x003, 33, 0, R::InvalidWidth}, {0x003, 4, 16, R::ValueTooWide},
    };
    for (const Object& o : objects) {
        CAPTURE(o.key);
        CHECK(slave.add_application_object(o.key, o.bits, o.initial) == o.result);
    }
    CHECK(slave.set_application_value(0x001, 0x100) == R::ValueTooWide);
    CHECK(slave.set_application_value(0x009, 1) == R::NoObject);
    struct Map {
        std::vector<VirtualSlave::DataItem> items;
        R result;
        std::size_t failed;
    };
    const Map maps[] = {
        {{{0x001, 8, false}, {0, 112, true}, {0x001, 8, false}}, R::Ok, 0},
        {{{0x001, 8, false}, {0, 121, true}}, R::TooLarge, 1},
        {{{0x001, 16, false}}, R::WidthMismatch, 0},
        {{{0x005, 8, false}}, R::NoObject, 0},
        {{{0x194, 16, false}}, R::WidthMismatch, 0}, // a protocol object no map carries
        {{{KEY_STO, 1, false}, {0, 0, true}}, R::InvalidWidth, 1},
    };
    for (const Map& m : maps) {
        std::size_t failed = 99;
        CHECK(slave.set_data_map(D::Rx, m.items.data(), m.items.size(), &failed) == m.result);
        if (m.result != R::Ok) CHECK(failed == m.failed);
        CHECK(slave.data_map_bytes(D::Rx) == (m.result == R::Ok ? 16u : 0u));
    }
    // A slave with the default areas takes a data map of at most 4 bytes.
    VirtualSlave narrow;
    REQUIRE(narrow.add_application_object(0x001, 8, 0) == R::Ok);
    const VirtualSlave::DataItem six[] = {{0x001, 8, false}, {0, 40, true}};
    CHECK(narrow.set_data_map(D::Tx, six, 2) == R::TooWide);
    CHECK(narrow.set_data_map(D::Tx, six, 1) == R::Ok);
    // Requests longer than the areas are refused: 24 bytes by default, 36 when wide.
    const Bytes long_request(VirtualSlave::WIDE_REQUEST_BUFFER_BYTES + 1);
    CHECK(narrow.set_request(long_request.data(), VirtualSlave::REQUEST_BUFFER_BYTES));
    CHECK_FALSE(narrow.set_request(long_request.data(), VirtualSlave::REQUEST_BUFFER_BYTES + 1));
    CHECK(slave.set_request(long_request.data(), VirtualSlave::WIDE_REQUEST_BUFFER_BYTES));
    CHECK_FALSE(slave.set_request(long_request.data(), long_request.size()));
}
