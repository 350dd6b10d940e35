// The C API: misuse refused as statuses (NULL pointers, short buffers, wrong sizes,
// bad configurations, frames of any length), the names of every value, a master
// walked to Data against a virtual slave through the C functions only, and callbacks
// that call back into their master.
#include "core/master/reports.hpp"
#include "tarnwick/tarnwick.h"
#include "tarnwick/transitions.hpp"
#include "tarnwick/virtual_slave.h"

#include <doctest/doctest.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr uint16_t SLAVE_ADDRESS = 0x1234;
constexpr uint16_t CONNECTION_ID = 0x0101;
constexpr uint16_t WATCHDOG_MS = 100;
constexpr uint64_t CYCLE_US = 1000;
constexpr uint8_t FAIL_SAFE = 0xA5;
constexpr uint8_t RESET_COMMAND = 0x2A;
constexpr int WALK_LIMIT = 200;
const uint16_t SRA_WORDS[] = {0x0001, 0x0064, 0x03E8};

uint32_t sra() {
    uint32_t crc = 0;
    REQUIRE(tarnwick_sra_crc(SRA_WORDS, 3, &crc) == TARNWICK_OK);
    return crc;
}

// What the callbacks saw, and what they do when called.
struct Recorder {
    std::vector<std::pair<int, int>> changes;
    std::vector<tarnwick_error_report> errors;
    std::vector<std::string> messages;
    std::function<void(tarnwick_master*)> on_error_action;
    tarnwick_status free_status = TARNWICK_OK;

    void forget() {
        changes.clear();
        errors.clear();
        messages.clear();
    }

    static void state_change(tarnwick_master*, tarnwick_state from, tarnwick_state to, void* ctx) {
        static_cast<Recorder*>(ctx)->changes.emplace_back(from, to);
    }
    static void error(tarnwick_master* m, const tarnwick_error_report* r, void* ctx) {
        Recorder& self = *static_cast<Recorder*>(ctx);
        self.errors.push_back(*r);
        self.messages.emplace_back(r->message);
        if (self.on_error_action) self.on_error_action(m);
    }
};

// A master and a virtual slave, both driven through the C API only.
struct CPair {
    tarnwick_master* master = nullptr;
    tarnwick_vslave* slave = nullptr;
    tarnwick_app_parameter parameter{};
    Recorder recorder;
    uint64_t now = 0;

    explicit CPair(uint8_t size, size_t history_frames = 0) {
        parameter = {sra(), 4, TARNWICK_TYPE_UNSIGNED};
        tarnwick_master_config c = config(size);
        c.history_frames = history_frames;
        c.parameters = &parameter;
        c.parameter_count = 1;
        c.callbacks = {Recorder::state_change, Recorder::error, &recorder};
        REQUIRE(tarnwick_master_new(&c, &master) == TARNWICK_OK);
        tarnwick_vslave_config s;
        tarnwick_vslave_config_init(&s);
        s.sra_crc = parameter.value;
        s.safe_data_bytes = size;
        REQUIRE(tarnwick_vslave_new(&s, &slave) == TARNWICK_OK);
        REQUIRE(tarnwick_master_start(master, now) == TARNWICK_OK);
    }
    ~CPair() {
        tarnwick_master_free(&master);
        tarnwick_vslave_free(&slave);
    }
    CPair(const CPair&) = delete;
    CPair& operator=(const CPair&) = delete;

    static tarnwick_master_config config(uint8_t size) {
        tarnwick_master_config c;
        tarnwick_master_config_init(&c);
        c.slave_address = SLAVE_ADDRESS;
        c.connection_id = CONNECTION_ID;
        c.watchdog_ms = WATCHDOG_MS;
        c.output_bytes = c.input_bytes = size;
        c.session_id_seed = 7;
        std::memset(c.fail_safe_inputs, FAIL_SAFE, sizeof c.fail_safe_inputs);
        return c;
    }

    void cycle() {
        now += CYCLE_US;
        uint8_t request[TARNWICK_MAX_FRAME_BYTES];
        uint8_t reply[TARNWICK_VSLAVE_MAX_REPLY_BYTES];
        size_t request_len = 0, reply_len = 0;
        REQUIRE(tarnwick_master_poll(master, now, nullptr) == TARNWICK_OK);
        REQUIRE(tarnwick_master_get_request(master, request, sizeof request, &request_len) ==
                TARNWICK_OK);
        REQUIRE(tarnwick_vslave_advance_time(slave, CYCLE_US) == TARNWICK_OK);
        REQUIRE(tarnwick_vslave_cycle(slave, request, request_len, reply, sizeof reply,
                                      &reply_len) == TARNWICK_OK);
        REQUIRE(tarnwick_master_set_reply(master, reply, reply_len, now, nullptr) == TARNWICK_OK);
    }
    tarnwick_state state() const {
        tarnwick_state s = -1;
        REQUIRE(tarnwick_master_get_state(master, &s) == TARNWICK_OK);
        return s;
    }
    bool walk_to_data() {
        for (int k = 0; k < WALK_LIMIT && state() != TARNWICK_STATE_DATA; ++k)
            cycle();
        return state() == TARNWICK_STATE_DATA;
    }
    std::vector<uint8_t> inputs() const {
        uint8_t buf[TARNWICK_MAX_SAFE_DATA_BYTES];
        size_t len = 0;
        REQUIRE(tarnwick_master_get_inputs(master, buf, sizeof buf, &len) == TARNWICK_OK);
        return {buf, buf + len};
    }
    std::vector<uint8_t> request() const {
        uint8_t buf[TARNWICK_MAX_FRAME_BYTES];
        size_t len = 0;
        REQUIRE(tarnwick_master_get_request(master, buf, sizeof buf, &len) == TARNWICK_OK);
        return {buf, buf + len};
    }
    // STO commanded by the master; true once the slave and the master's inputs show it.
    bool sto_round_trip(bool on) {
        uint8_t out[TARNWICK_MAX_SAFE_DATA_BYTES] = {static_cast<uint8_t>(on)};
        size_t size = inputs().size();
        REQUIRE(tarnwick_master_set_fail_safe(master, false) == TARNWICK_OK);
        REQUIRE(tarnwick_master_set_outputs(master, out, size) == TARNWICK_OK);
        for (int k = 0; k < 10; ++k) {
            cycle();
            bool sto = !on;
            REQUIRE(tarnwick_vslave_get_sto(slave, &sto) == TARNWICK_OK);
            if (sto == on && (inputs()[0] & 1) == on) return true;
        }
        return false;
    }
};

struct Case {
    const char* what;
    std::function<tarnwick_status()> call;
};
// A table row named by the call's own text.
#define ROW(call)                                                                                  \
    Case {                                                                                         \
        #call, [&] { return call; }                                                                \
    }

void check_all(const std::vector<Case>& cases, tarnwick_status expected) {
    for (const Case& c : cases) {
        CAPTURE(c.what);
        CHECK(c.call() == expected);
    }
}

} // namespace

TEST_CASE("every function refuses a NULL handle") {
    uint8_t buf[64] = {};
    size_t len = 0;
    bool flag = false;
    uint64_t deadline = 0;
    tarnwick_state state = 0;
    uint32_t u32 = 0;
    tarnwick_master* m = nullptr;
    tarnwick_vslave* s = nullptr;
    tarnwick_diagnostics diag;
    tarnwick_diagnostics_init(&diag);
    check_all(
        {
            ROW(tarnwick_master_new(nullptr, &m)),
            ROW(tarnwick_master_config_check(nullptr, nullptr, 0)),
            ROW(tarnwick_master_free(nullptr)),
            ROW(tarnwick_master_set_callbacks(m, nullptr)),
            ROW(tarnwick_master_start(m, 0)),
            ROW(tarnwick_master_stop(m, 0)),
            ROW(tarnwick_master_reset(m, 0)),
            ROW(tarnwick_master_set_reply(m, buf, 6, 0, nullptr)),
            ROW(tarnwick_master_get_request(m, buf, 64, &len)),
            ROW(tarnwick_master_cycle(m, buf, 6, 0, buf, 64, &len, nullptr)),
            ROW(tarnwick_master_poll(m, 0, &flag)),
            ROW(tarnwick_master_set_outputs(m, buf, 1)),
            ROW(tarnwick_master_get_inputs(m, buf, 64, &len)),
            ROW(tarnwick_master_set_fail_safe(m, true)),
            ROW(tarnwick_master_set_fail_safe_inputs(m, buf, 1)),
            ROW(tarnwick_master_get_state(m, &state)),
            ROW(tarnwick_master_is_running(m, &flag)),
            ROW(tarnwick_master_get_watchdog(m, &flag, &deadline)),
            ROW(tarnwick_master_set_slave_address(m, 1)),
            ROW(tarnwick_master_set_parameter(m, 0, 1)),
            ROW(tarnwick_master_get_diagnostics(m, &diag)),
            ROW(tarnwick_master_reset_diagnostics(m)),
            ROW(tarnwick_master_get_history(m, nullptr, 0, &len)),
            ROW(tarnwick_vslave_new(nullptr, &s)),
            ROW(tarnwick_vslave_free(nullptr)),
            ROW(tarnwick_vslave_stop(s)),
            ROW(tarnwick_vslave_start(s)),
            ROW(tarnwick_vslave_set_request(s, buf, 6)),
            ROW(tarnwick_vslave_process(s)),
            ROW(tarnwick_vslave_get_reply(s, buf, 64, &len)),
            ROW(tarnwick_vslave_cycle(s, buf, 6, buf, 64, &len)),
            ROW(tarnwick_vslave_set_time(s, 1)),
            ROW(tarnwick_vslave_advance_time(s, 1)),
            ROW(tarnwick_vslave_get_time(s, &u32)),
            ROW(tarnwick_vslave_get_state(s, &state)),
            ROW(tarnwick_vslave_get_sto(s, &flag)),
            ROW(tarnwick_vslave_set_sra_crc(s, 1)),
            ROW(tarnwick_vslave_read_object(s, 0x040, buf, 64, &len, &u32)),
            ROW(tarnwick_vslave_write_object(s, 0x193, buf, 2, &u32)),
        },
        TARNWICK_E_NULL);
}

TEST_CASE("NULL buffers and results are refused and leave the objects as they were") {
    CPair p(2);
    std::vector<uint8_t> request = p.request();
    uint8_t buf[64] = {};
    size_t len = 0;
    bool flag = false;
    uint64_t deadline = 0;
    uint32_t u32 = 0;
    tarnwick_master* out = nullptr;
    tarnwick_master_config c = CPair::config(2);
    c.parameter_count = 1; // parameters NULL
    tarnwick_vslave_config v;
    tarnwick_vslave_config_init(&v);
    v.safe_data_bytes = 1;
    tarnwick_master* m = p.master;
    tarnwick_vslave* s = p.slave;
    check_all(
        {
            ROW(tarnwick_master_new(&c, nullptr)),
            ROW(tarnwick_master_new(&c, &out)),
            ROW(tarnwick_vslave_new(&v, nullptr)),
            ROW(tarnwick_sra_crc(nullptr, 3, &u32)),
            ROW(tarnwick_sra_crc(SRA_WORDS, 3, nullptr)),
            ROW(tarnwick_master_set_reply(m, nullptr, 6, 0, nullptr)),
            ROW(tarnwick_master_get_request(m, nullptr, 64, &len)),
            ROW(tarnwick_master_get_request(m, buf, 64, nullptr)),
            ROW(tarnwick_master_cycle(m, nullptr, 0, 0, nullptr, 64, &len, nullptr)),
            ROW(tarnwick_master_cycle(m, nullptr, 0, 0, buf, 64, nullptr, nullptr)),
            ROW(tarnwick_master_set_outputs(m, nullptr, 2)),
            ROW(tarnwick_master_get_inputs(m, nullptr, 64, &len)),
            ROW(tarnwick_master_get_inputs(m, buf, 64, nullptr)),
            ROW(tarnwick_master_set_fail_safe_inputs(m, nullptr, 2)),
            ROW(tarnwick_master_get_state(m, nullptr)),
            ROW(tarnwick_master_is_running(m, nullptr)),
            ROW(tarnwick_master_get_watchdog(m, nullptr, &deadline)),
            ROW(tarnwick_master_get_watchdog(m, &flag, nullptr)),
            ROW(tarnwick_vslave_set_request(s, nullptr, 6)),
            ROW(tarnwick_vslave_get_reply(s, nullptr, 64, &len)),
            ROW(tarnwick_vslave_get_reply(s, buf, 64, nullptr)),
            ROW(tarnwick_vslave_cycle(s, buf, 6, nullptr, 64, &len)),
            ROW(tarnwick_vslave_get_time(s, nullptr)),
            ROW(tarnwick_vslave_get_state(s, nullptr)),
            ROW(tarnwick_vslave_get_sto(s, nullptr)),
            ROW(tarnwick_vslave_read_object(s, 0x040, nullptr, 64, &len, &u32)),
            ROW(tarnwick_vslave_read_object(s, 0x040, buf, 64, nullptr, &u32)),
            ROW(tarnwick_vslave_write_object(s, 0x193, nullptr, 2, &u32)),
        },
        TARNWICK_E_NULL);
    CHECK(out == nullptr);
    CHECK(p.request() == request);
    CHECK(p.walk_to_data()); // both still work
}

TEST_CASE("short buffers report the length needed and receive nothing") {
    CPair p(4);
    REQUIRE(p.walk_to_data());
    p.recorder.forget();
    const size_t request_len = p.request().size();
    const size_t reply_len = 12; // 6 words for 4 safe-data bytes
    uint8_t buf[TARNWICK_MAX_FRAME_BYTES];
    const uint8_t junk[6] = {0x36, 0x36, 0x36, 0x36, 0x36, 0x36}; // would drop the connection
    struct Short {
        const char* what;
        std::function<tarnwick_status(uint8_t*, size_t, size_t*)> call;
        size_t needed;
    };
    // Each call writes into b (cap bytes) and puts the length into n.
#define SHORT(call, needed)                                                                        \
    Short {                                                                                        \
        #call, [&](uint8_t* b, size_t cap, size_t* n) { return call; }, needed                     \
    }
    const Short cases[] = {
        SHORT(tarnwick_master_get_request(p.master, b, cap, n), request_len),
        SHORT(tarnwick_master_cycle(p.master, nullptr, 0, p.now, b, cap, n, nullptr), request_len),
        SHORT(tarnwick_master_get_inputs(p.master, b, cap, n), 4),
        SHORT(tarnwick_vslave_get_reply(p.slave, b, cap, n), reply_len),
        SHORT(tarnwick_vslave_cycle(p.slave, nullptr, 0, b, cap, n), reply_len),
        SHORT(tarnwick_vslave_read_object(p.slave, 0x193, b, cap, n, nullptr), 2),
        // last: once its buffer suffices, the junk is taken and the connection drops
        SHORT(tarnwick_master_cycle(p.master, junk, 6, p.now, b, cap, n, nullptr), request_len),
    };
    for (const Short& c : cases) {
        CAPTURE(c.what);
        // NULL with capacity 0 is a query for the length.
        for (uint8_t* b : {static_cast<uint8_t*>(nullptr), buf})
            for (size_t cap : {size_t{0}, c.needed - 1}) {
                if (!b && cap) continue;
                std::memset(buf, 0xCC, sizeof buf);
                size_t n = 0;
                CHECK(c.call(b, cap, &n) == TARNWICK_E_BUFFER_TOO_SMALL);
                CHECK(n == c.needed);
                CHECK(buf[0] == 0xCC);
            }
        // A refused call took nothing: no reply processed, no watchdog expiry.
        CHECK(p.state() == TARNWICK_STATE_DATA);
        CHECK(p.recorder.errors.empty());
        size_t n = 0;
        CHECK(c.call(buf, c.needed, &n) == TARNWICK_OK);
        CHECK(n == c.needed);
    }
}

TEST_CASE("images and frames of the wrong length are refused whole") {
    CPair p(2);
    REQUIRE(p.walk_to_data());
    const uint8_t bytes[32] = {1, 1, 1};
    for (size_t len : {size_t{0}, size_t{1}, size_t{3}, size_t{16}}) {
        CAPTURE(len);
        CHECK(tarnwick_master_set_outputs(p.master, bytes, len) == TARNWICK_E_SIZE);
        CHECK(tarnwick_master_set_fail_safe_inputs(p.master, bytes, len) == TARNWICK_E_SIZE);
    }
    CHECK(tarnwick_vslave_set_request(p.slave, bytes, 25) == TARNWICK_E_SIZE);
    size_t n = 0;
    uint8_t reply[16];
    CHECK(tarnwick_vslave_cycle(p.slave, bytes, 25, reply, sizeof reply, &n) == TARNWICK_E_SIZE);
    // An object takes its own size only (0x193: 2 bytes), like a short write refused.
    const uint8_t address[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    for (size_t len : {size_t{0}, size_t{1}, size_t{3}, size_t{4}, size_t{8}}) {
        CAPTURE(len);
        uint32_t abort_code = 0;
        CHECK(tarnwick_vslave_write_object(p.slave, 0x193, address, len, &abort_code) ==
              TARNWICK_E_OBJECT);
        CHECK(abort_code == 0x06070010);
        uint8_t value[2] = {};
        CHECK(tarnwick_vslave_read_object(p.slave, 0x193, value, sizeof value, &n, nullptr) ==
              TARNWICK_OK);
        CHECK(value[0] + 256 * value[1] == SLAVE_ADDRESS);
    }
    // Nothing refused reached either side: the STO stays off, the pair connected.
    CHECK(p.sto_round_trip(false));
    CHECK(p.state() == TARNWICK_STATE_DATA);
}

TEST_CASE("bad configurations are refused, give no handle and are explained") {
    const tarnwick_app_parameter good{0x1234, 2, TARNWICK_TYPE_UNSIGNED};
    struct Bad {
        const char* text; // a part of the explanation
        std::function<void(tarnwick_master_config&, tarnwick_app_parameter&)> edit;
        tarnwick_status expected;
    };
    std::vector<tarnwick_app_parameter> many(TARNWICK_MAX_APP_PARAMETERS + 1, good);
    const Bad cases[] = {
        {"struct_size 0 ", [](auto& c, auto&) { c.struct_size = 0; }, TARNWICK_E_VERSION},
        {"not this library's", [](auto& c, auto&) { c.struct_size -= 8; }, TARNWICK_E_VERSION},
        {"not this library's", [](auto& c, auto&) { c.struct_size += 8; }, TARNWICK_E_VERSION},
        {"Connection ID = 0", [](auto& c, auto&) { c.connection_id = 0; }, TARNWICK_E_INVALID},
        {"Watchdog time", [](auto& c, auto&) { c.watchdog_ms = 0; }, TARNWICK_E_INVALID},
        {"output_bytes", [](auto& c, auto&) { c.output_bytes = 17; }, TARNWICK_E_INVALID},
        {"input_bytes", [](auto& c, auto&) { c.input_bytes = 17; }, TARNWICK_E_INVALID},
        {"output_bytes must be 1 to 16 (got 0)", [](auto& c, auto&) { c.output_bytes = 0; },
         TARNWICK_E_INVALID},
        {"input_bytes must be 1 to 16 (got 0)", [](auto& c, auto&) { c.input_bytes = 0; },
         TARNWICK_E_INVALID},
        {"At most 47 application parameters (got 48)",
         [&](auto& c, auto&) {
             c.parameters = many.data();
             c.parameter_count = many.size();
         },
         TARNWICK_E_INVALID},
        {"parameters is NULL", [](auto& c, auto&) { c.parameters = nullptr; }, TARNWICK_E_NULL},
        {"1, 2 or 4 (got 3)", [](auto&, auto& p) { p.n_bytes = 3; }, TARNWICK_E_INVALID},
        {"1, 2 or 4 (got 0)", [](auto&, auto& p) { p.n_bytes = 0; }, TARNWICK_E_INVALID},
        {"does not fit 2 byte", [](auto&, auto& p) { p.value = 0x10000; }, TARNWICK_E_INVALID},
        {"unknown type 9", [](auto&, auto& p) { p.type = 9; }, TARNWICK_E_INVALID},
        {"unknown type -1", [](auto&, auto& p) { p.type = -1; }, TARNWICK_E_INVALID},
        {"bytes of INT32", [](auto&, auto& p) { p.type = TARNWICK_TYPE_INT32; },
         TARNWICK_E_INVALID},
    };
    for (const Bad& b : cases) {
        CAPTURE(b.text);
        tarnwick_app_parameter p = good;
        tarnwick_master_config c = CPair::config(1);
        c.parameters = &p;
        c.parameter_count = 1;
        b.edit(c, p);
        tarnwick_master* m = reinterpret_cast<tarnwick_master*>(&p); // must be cleared
        CHECK(tarnwick_master_new(&c, &m) == b.expected);
        CHECK(m == nullptr);
        char text[128];
        CHECK(tarnwick_master_config_check(&c, text, sizeof text) == b.expected);
        CHECK(std::string(text).find(b.text) != std::string::npos);
    }
    // A good config has no explanation; a short text is cut, never overrun.
    tarnwick_master_config c = CPair::config(1);
    char text[8] = "x";
    CHECK(tarnwick_master_config_check(&c, text, sizeof text) == TARNWICK_OK);
    CHECK(text[0] == 0);
    c.connection_id = 0;
    std::memset(text, 'x', sizeof text);
    CHECK(tarnwick_master_config_check(&c, text, sizeof text) == TARNWICK_E_INVALID);
    CHECK(std::string(text) == "Connect");
    CHECK(tarnwick_master_config_check(&c, nullptr, 0) == TARNWICK_E_INVALID);
    CHECK(tarnwick_master_config_check(&c, nullptr, 8) == TARNWICK_E_NULL);

    for (int size : {0, 3, 5, 16}) {
        CAPTURE(size);
        tarnwick_vslave_config v;
        tarnwick_vslave_config_init(&v);
        v.safe_data_bytes = static_cast<uint8_t>(size);
        tarnwick_vslave* s = nullptr;
        CHECK(tarnwick_vslave_new(&v, &s) == TARNWICK_E_INVALID);
        CHECK(s == nullptr);
    }
    tarnwick_vslave_config v;
    tarnwick_vslave_config_init(&v);
    v.safe_data_bytes = 1;
    v.struct_size += 4;
    tarnwick_vslave* s = nullptr;
    CHECK(tarnwick_vslave_new(&v, &s) == TARNWICK_E_VERSION);
}

TEST_CASE("freeing twice through the same variable is harmless") {
    CPair p(1);
    CHECK(tarnwick_master_free(&p.master) == TARNWICK_OK);
    CHECK(p.master == nullptr);
    CHECK(tarnwick_master_free(&p.master) == TARNWICK_OK);
    CHECK(tarnwick_vslave_free(&p.slave) == TARNWICK_OK);
    CHECK(p.slave == nullptr);
    CHECK(tarnwick_vslave_free(&p.slave) == TARNWICK_OK);
}

TEST_CASE("settings and requests at the wrong time are statuses") {
    tarnwick_app_parameter p{0x12, 1, TARNWICK_TYPE_UINT8};
    tarnwick_master_config c = CPair::config(1);
    c.parameters = &p;
    c.parameter_count = 1;
    tarnwick_master* m = nullptr;
    REQUIRE(tarnwick_master_new(&c, &m) == TARNWICK_OK);
    uint8_t buf[TARNWICK_MAX_FRAME_BYTES];
    size_t len = 0;
    tarnwick_reply_result result = -1;
    CHECK(tarnwick_master_get_request(m, buf, sizeof buf, &len) == TARNWICK_E_NOT_STARTED);
    CHECK(tarnwick_master_set_reply(m, buf, 6, 0, &result) == TARNWICK_OK);
    CHECK(result == TARNWICK_REPLY_NOT_RUNNING);
    CHECK(tarnwick_master_set_parameter(m, 1, 1) == TARNWICK_E_INVALID);     // no such index
    CHECK(tarnwick_master_set_parameter(m, 0, 0x100) == TARNWICK_E_INVALID); // wider than 1 byte
    CHECK(tarnwick_master_set_parameter(m, 0, 0xFF) == TARNWICK_OK);
    CHECK(tarnwick_master_set_slave_address(m, 7) == TARNWICK_OK);
    REQUIRE(tarnwick_master_start(m, 0) == TARNWICK_OK);
    CHECK(tarnwick_master_set_parameter(m, 0, 1) == TARNWICK_E_RUNNING);
    CHECK(tarnwick_master_set_parameter(m, 1, 1) == TARNWICK_E_INVALID); // index first
    CHECK(tarnwick_master_set_slave_address(m, 8) == TARNWICK_E_RUNNING);
    CHECK(tarnwick_master_get_request(m, buf, sizeof buf, &len) == TARNWICK_OK);
    CHECK(buf[0] == RESET_COMMAND);
    CHECK(tarnwick_master_free(&m) == TARNWICK_OK);
}

TEST_CASE("replies of any length are taken, ignored or refused, never misuse") {
    struct Odd {
        size_t len;
        tarnwick_reply_result result;
    };
    // 0 bytes is no frame (a cycle without one); 1 byte fails the checks.
    const Odd cases[] = {{0, TARNWICK_REPLY_NONE},
                         {1, TARNWICK_REPLY_TAKEN},
                         {36, TARNWICK_REPLY_TAKEN},
                         {37, TARNWICK_REPLY_TOO_LONG},
                         {1000, TARNWICK_REPLY_TOO_LONG}};
    std::vector<uint8_t> junk(1000, 0x36);
    for (const Odd& o : cases) {
        CAPTURE(o.len);
        CPair p(2);
        REQUIRE(p.walk_to_data());
        REQUIRE(p.sto_round_trip(true));
        p.recorder.forget();
        tarnwick_reply_result r = -1;
        CHECK(tarnwick_master_set_reply(p.master, o.len ? junk.data() : nullptr, o.len, p.now,
                                        &r) == TARNWICK_OK);
        CHECK(r == o.result);
        r = -1;
        size_t n = 0;
        uint8_t request[TARNWICK_MAX_FRAME_BYTES];
        if (o.result == TARNWICK_REPLY_NONE) { // the same through cycle, NULL or not
            for (const uint8_t* reply : {static_cast<uint8_t*>(nullptr), junk.data()}) {
                CHECK(tarnwick_master_cycle(p.master, reply, 0, p.now, request, sizeof request, &n,
                                            &r) == TARNWICK_OK);
                CHECK(r == TARNWICK_REPLY_NONE);
            }
            CHECK(p.recorder.errors.empty());
        }
        if (o.result == TARNWICK_REPLY_TAKEN) { // a failure: inputs to fail-safe, Reset
            CHECK(p.state() == TARNWICK_STATE_RESET);
            CHECK(p.inputs() == std::vector<uint8_t>(2, FAIL_SAFE));
            REQUIRE_FALSE(p.recorder.errors.empty());
            CHECK(p.recorder.errors.back().state == TARNWICK_STATE_DATA);
        } else { // refused: the connection goes on
            CHECK(p.state() == TARNWICK_STATE_DATA);
            CHECK(p.sto_round_trip(false));
        }
    }
}

TEST_CASE("every status, state, transition, reply result and error code has its name") {
    std::set<std::string> texts;
    for (int s = TARNWICK_STATUS_MIN; s <= TARNWICK_OK; ++s) {
        CAPTURE(s);
        std::string text = tarnwick_strerror(s);
        CHECK(text == tarnwick_vslave_strerror(s));
        CHECK(text != "unknown status");
        texts.insert(text);
    }
    CHECK(texts.size() == TARNWICK_OK - TARNWICK_STATUS_MIN + 1);
    for (int bad : {TARNWICK_STATUS_MIN - 1, 1, 1 << 30})
        CHECK(std::string(tarnwick_strerror(bad)) == "unknown status");

    const char* const states[] = {"Reset", "Session", "Connection", "Parameter", "Data"};
    for (int s = 0; s < TARNWICK_STATE_COUNT; ++s)
        CHECK(std::string(tarnwick_state_name(s)) == states[s]);
    CHECK(std::string(tarnwick_state_name(TARNWICK_STATE_COUNT)) == "unknown state");
    CHECK(std::string(tarnwick_state_name(-1)) == "unknown state");

    // The C constants against the library's own names, one by one.
#define TARNWICK_CHECK_NAME(name, state, kind, code, report, next)                                 \
    CHECK(std::string(tarnwick_transition_name(TARNWICK_##name)) == #name);
    TARNWICK_TRANSITIONS(TARNWICK_CHECK_NAME)
#undef TARNWICK_CHECK_NAME
    CHECK(std::string(tarnwick_transition_name(TARNWICK_TRANSITION_COUNT)) == "unknown transition");
    CHECK(std::string(tarnwick_transition_name(-1)) == "unknown transition");

    const char* const results[] = {"TAKEN", "REPEATED", "NOT_RUNNING", "TOO_LONG", "NONE"};
    for (int r = 0; r <= TARNWICK_REPLY_NONE; ++r)
        CHECK(std::string(tarnwick_reply_result_name(r)) == results[r]);
    CHECK(std::string(tarnwick_reply_result_name(5)) == "unknown reply result");

    for (uint32_t code = 0; code < 300; ++code) {
        CAPTURE(code);
        char name[tarnwick::states::ERROR_NAME_BYTES];
        bool known =
            code <= 0xFFFF && tarnwick::states::error_code_name(static_cast<uint16_t>(code), name);
        CHECK(std::string(tarnwick_error_code_name(code)) == (known ? name : "UNKNOWN_ERROR"));
    }
    CHECK(std::string(tarnwick_error_code_name(4)) == "INVALID_CRC");
    CHECK(std::string(tarnwick_error_code_name(200)) == "INVALID_SAFEPARA_200");
    CHECK(std::string(tarnwick_error_code_name(0x10004)) == "UNKNOWN_ERROR");

    // Each library reports the version of the headers it was built with.
    const std::string version = std::to_string(TARNWICK_VERSION_MAJOR) + "." +
                                std::to_string(TARNWICK_VERSION_MINOR) + "." +
                                std::to_string(TARNWICK_VERSION_PATCH);
    CHECK(version == TARNWICK_VERSION_STRING);
    CHECK(tarnwick_version() == version);
    CHECK(tarnwick_vslave_version() == version);
}

TEST_CASE("a C master connects to a C virtual slave and carries the STO bit both ways") {
    for (uint8_t size : {1, 2, 4}) {
        CAPTURE(int(size));
        CPair p(size);
        CHECK(p.walk_to_data());
        const std::vector<std::pair<int, int>> walk = {
            {TARNWICK_STATE_RESET, TARNWICK_STATE_SESSION},
            {TARNWICK_STATE_SESSION, TARNWICK_STATE_CONNECTION},
            {TARNWICK_STATE_CONNECTION, TARNWICK_STATE_PARAMETER},
            {TARNWICK_STATE_PARAMETER, TARNWICK_STATE_DATA}};
        CHECK(p.recorder.changes == walk);
        CHECK(p.sto_round_trip(true));
        CHECK(p.sto_round_trip(false));
        // The slave's watchdog time and address went over the connection as configured.
        uint8_t obj[16];
        size_t n = 0;
        REQUIRE(tarnwick_vslave_read_object(p.slave, 0x195, obj, sizeof obj, &n, nullptr) ==
                TARNWICK_OK);
        CHECK((obj[0] | obj[1] << 8) == WATCHDOG_MS);
    }
}

TEST_CASE("the watchdog expires through poll and is reported with its code") {
    CPair p(1);
    REQUIRE(p.walk_to_data());
    p.recorder.forget(); // the walk's own reports
    bool armed = false, expired = true;
    uint64_t deadline = 0;
    REQUIRE(tarnwick_master_get_watchdog(p.master, &armed, &deadline) == TARNWICK_OK);
    CHECK(armed);
    CHECK(deadline == p.now + WATCHDOG_MS * 1000);
    CHECK(tarnwick_master_poll(p.master, deadline - 1, &expired) == TARNWICK_OK);
    CHECK_FALSE(expired);
    CHECK(tarnwick_master_poll(p.master, deadline, &expired) == TARNWICK_OK);
    CHECK(expired);
    CHECK(p.state() == TARNWICK_STATE_RESET);
    REQUIRE(p.recorder.errors.size() == 1);
    CHECK(p.recorder.errors[0].transition == TARNWICK_DATA_WD);
    CHECK(p.recorder.errors[0].error_code == 5); // WD_EXPIRED, sent in the Reset frames
    CHECK(p.request()[1] == 5);
}

TEST_CASE("diagnostics and the frame history read through C") {
    constexpr size_t KEPT = 4;
    CPair p(2, KEPT);
    REQUIRE(p.walk_to_data());
    bool expired = false;
    REQUIRE(tarnwick_master_poll(p.master, p.now + WATCHDOG_MS * 1000, &expired) == TARNWICK_OK);
    REQUIRE(expired);

    tarnwick_diagnostics d;
    tarnwick_diagnostics_init(&d);
    REQUIRE(tarnwick_master_get_diagnostics(p.master, &d) == TARNWICK_OK);
    CHECK(d.watchdog_expiries == 1);
    CHECK(d.transitions[TARNWICK_DATA_WD] == 1);
    CHECK(d.transitions[TARNWICK_PARA_OK] == 1);
    CHECK(d.last_error.set);
    CHECK(d.last_error.transition == TARNWICK_DATA_WD);
    CHECK(d.last_error.error_code == 5);
    CHECK(d.resets_by_slave == 1); // the slave's first answer after its start is a Reset frame
    CHECK(d.response.count == d.replies_taken - d.resets_by_slave); // every other one answers
    CHECK(d.response.max_us == CYCLE_US);
    CHECK(d.state_since_us == p.now + WATCHDOG_MS * 1000);
    d.struct_size -= 1;
    CHECK(tarnwick_master_get_diagnostics(p.master, &d) == TARNWICK_E_VERSION);

    size_t held = 0, got = 0;
    REQUIRE(tarnwick_master_get_history(p.master, nullptr, 0, &held) == TARNWICK_OK);
    CHECK(held == 2 * KEPT);
    std::vector<tarnwick_history_entry> h(held + 3);
    REQUIRE(tarnwick_master_get_history(p.master, h.data(), h.size(), &got) == TARNWICK_OK);
    REQUIRE(got == held);
    const tarnwick_history_entry& reset = h[got - 1]; // the Reset frame after the expiry
    CHECK(reset.from_master);
    CHECK(reset.transition == TARNWICK_DATA_WD);
    CHECK(std::vector<uint8_t>(reset.bytes, reset.bytes + reset.size) == p.request());
    CHECK(h[got - 2].from_master); // the last Data request, built on the reply before it
    CHECK(h[got - 3].outcome == TARNWICK_FRAME_TAKEN);
    CHECK(h[got - 3].transition == TARNWICK_PARA_OK);
    CHECK(tarnwick_master_get_history(p.master, nullptr, 5, &got) == TARNWICK_E_NULL);
    REQUIRE(tarnwick_master_reset_diagnostics(p.master) == TARNWICK_OK);
    REQUIRE(tarnwick_master_get_history(p.master, nullptr, 0, &held) == TARNWICK_OK);
    CHECK(held == 0);
}

TEST_CASE("the virtual slave resets a master outside its limits, and the report has its code") {
    struct Limit {
        const char* code; // the slave's, in the master's report
        uint16_t watchdog_ms;
        uint8_t n_bytes;
        uint32_t xor_value;
    };
    const Limit cases[] = {{"INVALID_COMPARA", 49, 4, 0},
                           {"INVALID_COMPARA", 10001, 4, 0},
                           {"INVALID_CMD", 50, 2, 0}, // a Data frame while parameter bytes are due
                           {"INVALID_USERPARA", 10000, 4, 1}};
    for (const Limit& l : cases) {
        CAPTURE(l.code);
        CAPTURE(l.watchdog_ms);
        CPair p(1);
        REQUIRE(tarnwick_master_free(&p.master) == TARNWICK_OK);
        tarnwick_app_parameter parameter{(p.parameter.value ^ l.xor_value) & 0xFFFF, l.n_bytes,
                                         TARNWICK_TYPE_UNSIGNED};
        if (l.n_bytes == 4) parameter.value = p.parameter.value ^ l.xor_value;
        tarnwick_master_config c = CPair::config(1);
        c.watchdog_ms = l.watchdog_ms;
        c.parameters = &parameter;
        c.parameter_count = 1;
        c.callbacks = {Recorder::state_change, Recorder::error, &p.recorder};
        REQUIRE(tarnwick_master_new(&c, &p.master) == TARNWICK_OK);
        REQUIRE(tarnwick_master_start(p.master, p.now) == TARNWICK_OK);
        // Data once, then the slave's Reset (the walk's own early reports aside).
        auto reset_in_data = [&p] {
            for (const tarnwick_error_report& e : p.recorder.errors)
                if (e.state == TARNWICK_STATE_DATA) return &e;
            return static_cast<const tarnwick_error_report*>(nullptr);
        };
        for (int k = 0; k < WALK_LIMIT && !reset_in_data(); ++k)
            p.cycle();
        REQUIRE(reset_in_data());
        CHECK(reset_in_data()->transition == TARNWICK_DATA_RESET1);
        CHECK(std::string(tarnwick_error_code_name(reset_in_data()->error_code)) == l.code);
    }
}

TEST_CASE("a callback may call back into its master, but not free it") {
    // A corrupted reply in Data: DATA_FAIL1 reports an invalid CRC (code 4). Left alone,
    // the master sends code 4 in its Reset frames. Reset or stopped from the report, it
    // sends the application's code 0, and the failure's transition is not taken on top
    // of the nested event (a stopped master stays stopped).
    enum class Action { None, Reset, Stop };
    struct Reentry {
        Action action;
        uint8_t code_sent;
        bool running;
    };
    for (const Reentry& r : {Reentry{Action::None, 4, true}, Reentry{Action::Reset, 0, true},
                             Reentry{Action::Stop, 0, false}}) {
        CAPTURE(static_cast<int>(r.action));
        CPair p(1);
        REQUIRE(p.walk_to_data());
        p.recorder.forget();
        if (r.action != Action::None)
            p.recorder.on_error_action = [&p, &r](tarnwick_master* m) {
                tarnwick_master* self = m;
                p.recorder.free_status = tarnwick_master_free(&self);
                CHECK(self == m); // refused: the handle stays
                CHECK((r.action == Action::Reset ? tarnwick_master_reset(m, p.now)
                                                 : tarnwick_master_stop(m, p.now)) == TARNWICK_OK);
            };
        p.cycle(); // the first Data exchange
        std::vector<uint8_t> request = p.request();
        uint8_t reply[TARNWICK_VSLAVE_MAX_REPLY_BYTES];
        size_t n = 0;
        REQUIRE(tarnwick_vslave_cycle(p.slave, request.data(), request.size(), reply, sizeof reply,
                                      &n) == TARNWICK_OK);
        reply[2] ^= 0x01; // CRC_0
        REQUIRE(tarnwick_master_set_reply(p.master, reply, n, p.now, nullptr) == TARNWICK_OK);
        REQUIRE(p.recorder.errors.size() == 1);
        CHECK(p.recorder.errors[0].transition == TARNWICK_DATA_FAIL1);
        CHECK(p.recorder.errors[0].error_code == 4);
        CHECK(p.recorder.messages[0] == "Invalid slave CRC");
        CHECK(p.recorder.free_status ==
              (r.action == Action::None ? TARNWICK_OK : TARNWICK_E_IN_CALLBACK));
        CHECK(p.state() == TARNWICK_STATE_RESET);
        request = p.request();
        CHECK(request[0] == RESET_COMMAND);
        CHECK(request[1] == r.code_sent);
        bool running = !r.running;
        REQUIRE(tarnwick_master_is_running(p.master, &running) == TARNWICK_OK);
        CHECK(running == r.running);
        p.recorder.on_error_action = nullptr; // the walk has reports of its own
        if (!running) REQUIRE(tarnwick_master_start(p.master, p.now) == TARNWICK_OK);
        CHECK(p.walk_to_data()); // and it connects again
        // Outside a callback the same call frees.
        CHECK(tarnwick_master_free(&p.master) == TARNWICK_OK);
    }
}
