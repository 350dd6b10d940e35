// libFuzzer harness over the C API's boundary: a master and a virtual slave driven by
// arbitrary calls with arbitrary lengths, capacities and NULL pointers, and callbacks
// that call back into their master (reset, stop, a reply, an attempt to free it). Every
// call must return a known status, refuse what it is given wrongly without writing
// past the caller's buffer, and keep the master's answers consistent: a request is a
// whole frame, the inputs have the configured size and read as the fail-safe image
// outside Data. The input's first bytes pick the configuration (a refused one must be
// refused by tarnwick_master_config_check alike).
#include "fuzz_input.hpp"
#include "tarnwick/tarnwick.h"
#include "tarnwick/virtual_slave.h"

#include <cstdio>
#include <cstring>
#include <vector>

// A broken expectation names its line before the abort that keeps the input.
#define EXPECT(condition)                                                                          \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "fuzz_capi.cpp:%d: %s\n", __LINE__, #condition);                  \
            fuzz_input::require(false);                                                            \
        }                                                                                          \
    } while (0)

namespace {

using fuzz_input::Reader;

constexpr uint8_t FAIL_SAFE = 0xA5;
constexpr uint8_t GUARD = 0xEE;
constexpr std::size_t ROOM = 64; // each buffer's room; a call is given at most ROOM - 8

bool known(tarnwick_status s) {
    return s >= TARNWICK_STATUS_MIN && s <= TARNWICK_OK;
}

#define require_ok(call) EXPECT((call) == TARNWICK_OK)

// What a callback does, picked by the script before each event.
enum class Act : uint8_t { None, Reset, Stop, Reply, TryFree, Count };

struct Harness {
    tarnwick_master* master = nullptr;
    tarnwick_vslave* slave = nullptr;
    uint8_t in_bytes = 0;
    uint8_t out_bytes = 0;
    uint64_t now = 0;
    Act act = Act::None;
    unsigned depth = 0;
    std::vector<uint8_t> last_reply;

    static void changed(tarnwick_master* m, tarnwick_state from, tarnwick_state to, void* ctx) {
        EXPECT(from != to && from >= 0 && to >= 0 && from < TARNWICK_STATE_COUNT &&
               to < TARNWICK_STATE_COUNT);
        static_cast<Harness*>(ctx)->react(m);
    }
    static void error(tarnwick_master* m, const tarnwick_error_report* r, void* ctx) {
        EXPECT(r && r->message && r->message[0] != '\0');
        EXPECT(r->transition >= 0 && r->transition < TARNWICK_TRANSITION_COUNT);
        EXPECT(std::strcmp(tarnwick_transition_name(r->transition), "unknown transition") != 0);
        static_cast<Harness*>(ctx)->react(m);
    }

    // One act per event, and no deeper than two nested events.
    void react(tarnwick_master* m) {
        EXPECT(m == master);
        if (depth >= 2) return;
        ++depth;
        Act a = act;
        act = Act::None;
        switch (a) {
        case Act::Reset:
            require_ok(tarnwick_master_reset(m, now));
            break;
        case Act::Stop:
            require_ok(tarnwick_master_stop(m, now));
            break;
        case Act::Reply:
            require_ok(
                tarnwick_master_set_reply(m, last_reply.data(), last_reply.size(), now, nullptr));
            break;
        case Act::TryFree: {
            tarnwick_master* self = m;
            EXPECT(tarnwick_master_free(&self) == TARNWICK_E_IN_CALLBACK && self == m);
            break;
        }
        default:
            break;
        }
        --depth;
    }

    // The master's consistency after every step.
    void check() {
        uint8_t buf[ROOM];
        size_t len = 0;
        tarnwick_state state = -1;
        require_ok(tarnwick_master_get_state(master, &state));
        EXPECT(state >= 0 && state < TARNWICK_STATE_COUNT);
        tarnwick_status s = tarnwick_master_get_request(master, buf, sizeof buf, &len);
        EXPECT(s == TARNWICK_OK || s == TARNWICK_E_NOT_STARTED);
        if (s == TARNWICK_OK) EXPECT(len >= 1 && len <= TARNWICK_MAX_FRAME_BYTES);
        require_ok(tarnwick_master_get_inputs(master, buf, sizeof buf, &len));
        EXPECT(len == in_bytes);
        if (state != TARNWICK_STATE_DATA)
            for (size_t k = 0; k < len; ++k)
                EXPECT(buf[k] == FAIL_SAFE);
    }
};

// A buffer of `cap` bytes at the front of a guarded room, or NULL.
struct Buffer {
    uint8_t room[ROOM];
    size_t cap;
    bool null;
    Buffer(Reader& in) : cap(in.byte() % (ROOM - 8)), null(in.byte() % 8 == 0) {
        std::memset(room, GUARD, sizeof room);
    }
    uint8_t* data() { return null ? nullptr : room; }
    // Nothing past cap was written; nothing at all when the call was refused.
    void require_kept(tarnwick_status s) const {
        for (size_t k = s == TARNWICK_OK ? cap : 0; k < ROOM; ++k)
            EXPECT(room[k] == GUARD);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    Harness h;
    const uint16_t sra_words[] = {0x0001, 0x0064, 0x03E8};
    uint32_t sra = 0;
    require_ok(tarnwick_sra_crc(sra_words, 3, &sra));

    static const uint8_t SLAVE_SIZES[] = {1, 2, 4};
    uint8_t slave_size = SLAVE_SIZES[in.byte() % 3];
    tarnwick_app_parameter parameter{sra, 4, TARNWICK_TYPE_UNSIGNED};
    tarnwick_master_config c;
    tarnwick_master_config_init(&c);
    c.slave_address = 0x1234;
    c.connection_id = in.byte() % 4; // 0 is refused
    c.watchdog_ms = static_cast<uint16_t>(in.byte() % 3 * 50);
    // Mostly the slave's size, sometimes any (0 and 17 are refused).
    bool odd = in.byte() % 4 == 0;
    c.output_bytes = odd ? in.byte() % 18 : slave_size;
    c.input_bytes = odd ? in.byte() % 18 : slave_size;
    c.parameters = &parameter;
    c.parameter_count = 1;
    c.session_id_seed = in.u16();
    std::memset(c.fail_safe_inputs, FAIL_SAFE, sizeof c.fail_safe_inputs);
    c.callbacks = {Harness::changed, Harness::error, &h};
    char why[32];
    tarnwick_status made = tarnwick_master_new(&c, &h.master);
    EXPECT(tarnwick_master_config_check(&c, why, sizeof why) == made);
    EXPECT(std::strlen(why) < sizeof why);
    if (made != TARNWICK_OK) {
        EXPECT(h.master == nullptr && made == TARNWICK_E_INVALID && why[0] != '\0');
        return 0;
    }
    h.in_bytes = c.input_bytes;
    h.out_bytes = c.output_bytes;

    tarnwick_vslave_config v;
    tarnwick_vslave_config_init(&v);
    v.sra_crc = sra;
    v.safe_data_bytes = slave_size;
    require_ok(tarnwick_vslave_new(&v, &h.slave));

    while (!in.done()) {
        h.act = static_cast<Act>(in.byte() % static_cast<uint8_t>(Act::Count));
        tarnwick_status s = TARNWICK_OK;
        switch (in.byte() % 10) {
        case 0: { // an arbitrary reply, possibly NULL, of any length up to 255 bytes
            std::vector<uint8_t> reply = in.bytes(in.byte());
            bool null = reply.empty() && in.byte() % 2;
            tarnwick_reply_result r = -1;
            s = tarnwick_master_set_reply(h.master, null ? nullptr : reply.data(), reply.size(),
                                          h.now, &r);
            EXPECT(s == TARNWICK_OK && r >= 0 && r <= TARNWICK_REPLY_NONE);
            EXPECT((r == TARNWICK_REPLY_NONE) == reply.empty());
            EXPECT((r == TARNWICK_REPLY_TOO_LONG) == (reply.size() > 36) ||
                   r == TARNWICK_REPLY_NOT_RUNNING);
            if (r == TARNWICK_REPLY_TAKEN) h.last_reply = reply;
            break;
        }
        case 1: { // an honest bus cycle through the virtual slave
            uint8_t request[TARNWICK_MAX_FRAME_BYTES];
            uint8_t reply[TARNWICK_VSLAVE_MAX_REPLY_BYTES];
            size_t request_len = 0, reply_len = 0;
            if (tarnwick_master_get_request(h.master, request, sizeof request, &request_len) !=
                TARNWICK_OK)
                break;
            require_ok(tarnwick_vslave_advance_time(h.slave, 1000));
            s = tarnwick_vslave_cycle(h.slave, request, request_len, reply, sizeof reply,
                                      &reply_len);
            if (request_len > TARNWICK_VSLAVE_MAX_REQUEST_BYTES) { // a master of 16 bytes
                EXPECT(s == TARNWICK_E_SIZE);
                s = TARNWICK_OK;
                break;
            }
            EXPECT(s == TARNWICK_OK);
            EXPECT(reply_len <= sizeof reply);
            h.now += 1000;
            require_ok(tarnwick_master_cycle(h.master, reply, reply_len, h.now, request,
                                             sizeof request, &request_len, nullptr));
            h.last_reply.assign(reply, reply + reply_len);
            break;
        }
        case 2: { // the request into a buffer of any size, or none
            Buffer b(in);
            size_t len = 0;
            s = tarnwick_master_get_request(h.master, b.data(), b.cap, &len);
            EXPECT(s == TARNWICK_OK || s == TARNWICK_E_BUFFER_TOO_SMALL ||
                   s == TARNWICK_E_NOT_STARTED || (s == TARNWICK_E_NULL && b.null));
            if (s == TARNWICK_OK || s == TARNWICK_E_BUFFER_TOO_SMALL)
                EXPECT(len >= 1 && len <= TARNWICK_MAX_FRAME_BYTES && (s != 0) == (len > b.cap));
            b.require_kept(s);
            break;
        }
        case 3: { // the inputs into a buffer of any size, or none
            Buffer b(in);
            size_t len = 0;
            s = tarnwick_master_get_inputs(h.master, b.data(), b.cap, &len);
            EXPECT(s == TARNWICK_OK || s == TARNWICK_E_BUFFER_TOO_SMALL ||
                   (s == TARNWICK_E_NULL && b.null));
            if (s != TARNWICK_E_NULL) EXPECT(len == h.in_bytes && (s != 0) == (len > b.cap));
            b.require_kept(s);
            break;
        }
        case 4: { // outputs of any length
            std::vector<uint8_t> out = in.bytes(in.byte() % 20);
            s = tarnwick_master_set_outputs(h.master, out.data(), out.size());
            EXPECT((s == TARNWICK_OK) == (out.size() == h.out_bytes));
            break;
        }
        case 5: // time passes, the watchdog is polled
            h.now += in.u16() * 16u;
            s = tarnwick_master_poll(h.master, h.now, nullptr);
            break;
        case 6: {
            uint8_t e = in.byte() % 3;
            s = e == 0   ? tarnwick_master_start(h.master, h.now)
                : e == 1 ? tarnwick_master_stop(h.master, h.now)
                         : tarnwick_master_reset(h.master, h.now);
            break;
        }
        case 7:
            s = tarnwick_master_set_fail_safe(h.master, in.byte() % 2);
            break;
        case 8: { // a request of any length into the slave, its reply into any buffer
            std::vector<uint8_t> request = in.bytes(in.byte() % 32);
            Buffer b(in);
            size_t len = 0;
            s = tarnwick_vslave_cycle(h.slave, request.data(), request.size(), b.data(), b.cap,
                                      &len);
            EXPECT(s == TARNWICK_OK || s == TARNWICK_E_BUFFER_TOO_SMALL ||
                   (s == TARNWICK_E_SIZE && request.size() > TARNWICK_VSLAVE_MAX_REQUEST_BYTES) ||
                   (s == TARNWICK_E_NULL && b.null));
            b.require_kept(s);
            break;
        }
        case 9: { // settings, allowed while stopped only
            bool running = false;
            require_ok(tarnwick_master_is_running(h.master, &running));
            size_t index = in.byte() % 2; // the master has one parameter: 1 is past the end
            s = tarnwick_master_set_parameter(h.master, index, in.u32());
            EXPECT(index > 0 ? s == TARNWICK_E_INVALID
                   : running ? s == TARNWICK_E_RUNNING
                             : s == TARNWICK_OK || s == TARNWICK_E_INVALID);
            break;
        }
        }
        EXPECT(known(s));
        h.act = Act::None;
        h.check();
    }
    require_ok(tarnwick_master_free(&h.master));
    EXPECT(h.master == nullptr);
    require_ok(tarnwick_master_free(&h.master));
    require_ok(tarnwick_vslave_free(&h.slave));
    return 0;
}
