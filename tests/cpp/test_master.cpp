// The master connection object against a scripted slave: the walk to Data, the
// failures and the transitions they take, the watchdog with injected time, several
// masters in one process, and the hooks.
#include "scripted_slave.hpp"
#include "tarnwick/master.hpp"

#include <doctest/doctest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

// Every allocation of this test program is counted: the Data cycle must make none.
static unsigned long allocations = 0;
void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

using namespace tarnwick;
using testing::ScriptedSlave;
using testing::Wire;
using C = frame::Command;
using Answer = ScriptedSlave::Answer;

namespace {

constexpr uint16_t CONN_ID = 0x1234;
constexpr uint16_t WATCHDOG_MS = 100;
constexpr Micros TIMEOUT = Micros{WATCHDOG_MS} * 1000;
constexpr uint8_t FAIL_SAFE = 0xEE;
constexpr uint16_t NO_COMMAND = 0x77;
constexpr int NO_RESET_FRAME = -1; // the transition starts a new session or stays
const char* const STATE_NAMES[] = {"Reset", "Session", "Connection", "Parameter", "Data", "Custom"};

MasterConfig config_for(unsigned out, unsigned in, uint64_t seed = 1, uint16_t id = CONN_ID) {
    MasterConfig c;
    c.slave_address = 1;
    c.connection_id = id;
    c.watchdog_ms = WATCHDOG_MS;
    c.parameters = {{0x1A2B3C4D, 4, {}}, {0xFF, 1, data::DataType::INT8}};
    c.output_bytes = out;
    c.input_bytes = in;
    c.session_id_seed = seed;
    c.fail_safe_inputs.fill(FAIL_SAFE);
    return c;
}

MasterConfig with_history(MasterConfig c, std::size_t frames) {
    c.history_frames = frames;
    return c;
}

frame::FrameRecord parsed(ConstBytes b) {
    frame::FrameRecord f;
    frame::clear(f);
    frame::parse(f, b.data, b.size);
    return f;
}

// A slave checks each request with the CRC_0 of its own last reply as the seed.
bool seeded_by_last_reply(const Master& m) {
    frame::FrameRecord req = parsed(m.request());
    req.control.crc0 = parsed(m.last_reply()).crcs[0];
    req.control.sequence_number = static_cast<uint16_t>(m.own().frame.control.sequence_number - 1);
    uint16_t calc[frame::MAX_CRC_WORDS];
    return frame::check_crcs(req, calc);
}

std::vector<uint8_t> bytes_of(ConstBytes b) {
    return {b.data, b.data + b.size};
}

using Action = std::function<void(Master&)>;

// Reports as "NAME: message" and changes as "Session>Connection", in order; runs a
// one-shot action from inside the next report or change when given one.
struct Recorder : MasterListener {
    std::vector<std::string> events;
    Action on_error_do, on_state_do;

    void on_error(Master& m, Transition t, const char* message) override {
        events.push_back(std::string(states::info(t).name) + ": " + message);
        run_once(on_error_do, m);
    }
    void on_state_change(Master& m, StateId from, StateId to) override {
        events.push_back(std::string(STATE_NAMES[unsigned(from)]) + ">" +
                         STATE_NAMES[unsigned(to)]);
        run_once(on_state_do, m);
    }
    static void run_once(Action& slot, Master& m) {
        Action act = std::move(slot);
        slot = nullptr;
        if (act) act(m);
    }
};

// A started master, its slave and its listener.
struct Rig {
    Master m;
    ScriptedSlave slave;
    Recorder rec;

    explicit Rig(unsigned size = 2, Micros start = 0, uint64_t seed = 1, uint16_t id = CONN_ID,
                 std::size_t history = 0)
        : m(with_history(config_for(size, size, seed, id), history)), slave(size, id) {
        MasterHooks hooks;
        hooks.listener = &rec;
        m.set_hooks(hooks);
        m.start(start);
    }
    void to(StateId s, Micros now = 0) {
        REQUIRE(slave.walk_to(m, s, now));
        rec.events.clear();
    }
    ReplyResult send(const Answer& a, Micros now = 0) {
        Wire w = slave.reply(m.request(), a);
        return m.set_reply(w.bytes, w.size, now);
    }
    // The error code a Reset request carries (2 safe-data bytes: the whole code).
    int reset_code() const {
        frame::FrameRecord f = parsed(m.request());
        if (f.control.command != uint16_t(C::RESET)) return NO_RESET_FRAME;
        return f.safe_data[0];
    }
    bool inputs_fail_safe() const {
        ConstBytes in = m.inputs();
        for (std::size_t k = 0; k < in.size; ++k)
            if (in.data[k] != FAIL_SAFE) return false;
        return true;
    }
};

enum class Fault { BadCrc, WrongConnId, WrongCommand, InvalidCommand, WrongEcho, SlaveReset };

Answer faulty(const Rig& r, Fault fault) {
    Answer a = r.slave.correct(r.m);
    switch (fault) {
    case Fault::BadCrc:
        a.seed = static_cast<uint16_t>(ScriptedSlave::request_crc0(r.m.request()) ^ 1);
        break;
    case Fault::WrongConnId:
        ++a.connection_id;
        break;
    case Fault::WrongCommand: // a command, but not the one the state expects
        a.command = r.m.state() == StateId::Session ? C::CONNECTION : C::SESSION;
        break;
    case Fault::InvalidCommand:
        a.command = static_cast<C>(NO_COMMAND);
        break;
    case Fault::WrongEcho:
        a.data[0] ^= 1;
        break;
    case Fault::SlaveReset:
        a = {C::RESET, {static_cast<uint8_t>(states::ErrorCode::INVALID_CRC)}, a.connection_id, {}};
        break;
    }
    return a;
}

} // namespace

TEST_CASE("the walk to Data and safe data both ways, for each frame size") {
    // The first Reset request of a 1-byte master, as the Python module sends it.
    const std::vector<uint8_t> first_reset_1_byte = {0x2A, 0x00, 0x86, 0xF8, 0x00, 0x00};
    const unsigned sizes[][2] = {{1, 1}, {2, 2}, {2, 4}, {4, 2}, {16, 16}};
    const C commands[] = {C::RESET, C::SESSION, C::CONNECTION, C::PARAMETER};
    for (const auto& size : sizes) {
        unsigned out = size[0], in = size[1];
        CAPTURE(out);
        CAPTURE(in);
        Master m(config_for(out, in));
        Recorder rec;
        MasterHooks hooks;
        hooks.listener = &rec;
        m.set_hooks(hooks);
        ScriptedSlave slave(in, CONN_ID);
        m.start(0);
        if (out == 1 && in == 1) CHECK(bytes_of(m.request()) == first_reset_1_byte);
        CHECK(m.initialization_data_bytes() == std::min(out, in));
        for (unsigned cycle = 0; cycle < ScriptedSlave::MAX_WALK && m.state() != StateId::Data;
             ++cycle) {
            frame::FrameRecord req = parsed(m.request());
            bool unconnected = m.state() == StateId::Reset || m.state() == StateId::Session;
            CHECK(m.request().size == frame::wire_length(out));
            CHECK(req.control.command == uint16_t(commands[unsigned(m.state())]));
            CHECK(req.control.connection_id == (unconnected ? 0 : CONN_ID));
            bool seeds = m.state() != StateId::Reset;
            slave.step(m);
            if (seeds && m.state() != StateId::Reset) CHECK(seeded_by_last_reply(m));
        }
        CHECK(rec.events == std::vector<std::string>{"Reset>Session", "Session>Connection",
                                                     "Connection>Parameter", "Parameter>Data"});
        for (SessionField f : {SessionField::connection_id, SessionField::slave_address,
                               SessionField::watchdog_ms, SessionField::app_parameter_size_bytes})
            CHECK(m.slave().session.get(f) == m.own().session.get(f));
        CHECK(m.slave().parameters == m.own().parameters);
        CHECK(parsed(m.request()).control.command == uint16_t(C::FAILSAFE_DATA));

        m.set_fail_safe(false);
        for (unsigned k = 0; k < out; ++k)
            m.outputs().data[k] = static_cast<uint8_t>(0x10 + k);
        Answer a = slave.correct(m);
        for (unsigned k = 0; k < in; ++k)
            a.data[k] = static_cast<uint8_t>(0xA0 + k);
        Wire w = slave.reply(m.request(), a);
        CHECK(m.set_reply(w.bytes, w.size, 0) == ReplyResult::Taken);
        frame::FrameRecord req = parsed(m.request());
        CHECK(req.control.command == uint16_t(C::PROCESS_DATA));
        for (unsigned k = 0; k < out; ++k)
            CHECK(frame::data_byte(req, k) == 0x10 + k);
        CHECK(std::memcmp(m.inputs().data, a.data, in) == 0);

        a = slave.correct(m);
        a.command = C::FAILSAFE_DATA;
        w = slave.reply(m.request(), a);
        m.set_reply(w.bytes, w.size, 0);
        CHECK(m.state() == StateId::Data);
        CHECK(std::all_of(m.inputs().data, m.inputs().data + in,
                          [](uint8_t b) { return b == FAIL_SAFE; }));

        m.set_hooks({}); // the plain cycle, which allocates nothing (nor does the slave)
        unsigned long before = allocations;
        for (int cycle = 0; cycle < 8; ++cycle) {
            w = slave.answer(m);
            m.set_reply(w.bytes, w.size, 0);
        }
        CHECK(allocations == before);
        CHECK(m.state() == StateId::Data);
    }
}

TEST_CASE("each failure class takes its transition and the Reset frame its code") {
    struct Case {
        StateId state;
        Fault fault;
        const char* report; // "TRANSITION: message"
        StateId next;
        int code; // sent in the Reset frames
    };
    using S = StateId;
    using F = Fault;
    const char* const conn_id = "Connection id exchanged does not match 4661 != 4660";
    const char* const crc = "Invalid slave CRC";
    const char* const cmd = "Invalid slave frame command";
    const char* const slave_reset =
        "Connection was reset by the slave (slave reported error INVALID_CRC)";
    const Case cases[] = {
        {S::Reset, F::WrongCommand, "RESET_STAY1", S::Reset, 0},
        {S::Session, F::BadCrc, "SESSION_STAY2", S::Session, NO_RESET_FRAME},
        {S::Session, F::WrongCommand, "SESSION_FAIL3", S::Reset, 1},
        {S::Session, F::InvalidCommand, "SESSION_FAIL4", S::Reset, 2},
        {S::Session, F::SlaveReset, "SESSION_RESET1", S::Session, NO_RESET_FRAME},
        {S::Connection, F::BadCrc, "CONN_FAIL1", S::Reset, 4},
        {S::Connection, F::WrongEcho, "CONN_FAIL2", S::Reset, 7},
        {S::Connection, F::WrongConnId, "CONN_FAIL3", S::Reset, 3},
        {S::Connection, F::WrongCommand, "CONN_FAIL4", S::Reset, 1},
        {S::Connection, F::InvalidCommand, "CONN_FAIL5", S::Reset, 2},
        {S::Connection, F::SlaveReset, "CONN_RESET1", S::Session, NO_RESET_FRAME},
        {S::Parameter, F::BadCrc, "PARA_FAIL1", S::Reset, 4},
        {S::Parameter, F::WrongEcho, "PARA_FAIL2", S::Reset, 7},
        {S::Parameter, F::WrongConnId, "PARA_FAIL3", S::Reset, 3},
        {S::Parameter, F::WrongCommand, "PARA_FAIL4", S::Reset, 1},
        {S::Parameter, F::InvalidCommand, "PARA_FAIL5", S::Reset, 2},
        {S::Parameter, F::SlaveReset, "PARA_RESET1", S::Session, NO_RESET_FRAME},
        {S::Data, F::BadCrc, "DATA_FAIL1", S::Reset, 4},
        {S::Data, F::WrongConnId, "DATA_FAIL2", S::Reset, 3},
        {S::Data, F::WrongCommand, "DATA_FAIL3", S::Reset, 1},
        {S::Data, F::InvalidCommand, "DATA_FAIL4", S::Reset, 2},
        {S::Data, F::SlaveReset, "DATA_RESET1", S::Session, NO_RESET_FRAME},
    };
    const std::string messages[] = {crc, conn_id, cmd, cmd, "", slave_reset};
    const std::string echo_messages[] = {"Data exchanged during session state does not match",
                                         "Data exchanged during parameter state does not match"};
    for (const Case& c : cases) {
        CAPTURE(c.report);
        Rig r;
        r.to(c.state);
        if (c.state == StateId::Data) { // live inputs, so that their drop shows
            Answer live = r.slave.correct(r.m);
            live.data[0] = live.data[1] = 0x01;
            r.send(live);
            REQUIRE(!r.inputs_fail_safe());
        }
        r.send(faulty(r, c.fault));
        std::string message = c.fault == F::WrongEcho ? echo_messages[c.state == StateId::Parameter]
                                                      : messages[unsigned(c.fault)];
        REQUIRE(!r.rec.events.empty());
        CHECK(r.rec.events.front() == std::string(c.report) + ": " + message);
        CHECK(r.m.state() == c.next);
        CHECK(r.reset_code() == c.code);
        if (c.next != StateId::Reset)
            CHECK(r.m.own().frame.control.command == uint16_t(C::SESSION));
        CHECK(r.inputs_fail_safe());
    }
}

TEST_CASE("the watchdog expires at its deadline and every accepted reply re-arms it") {
    struct Case {
        StateId state;
        const char* transition;
        StateId next;
        int code;
    };
    const Case cases[] = {
        {StateId::Reset, "RESET_WD", StateId::Session, NO_RESET_FRAME},
        {StateId::Session, "SESSION_WD", StateId::Reset, 5},
        {StateId::Connection, "CONN_WD", StateId::Reset, 5},
        {StateId::Parameter, "PARA_WD", StateId::Reset, 5},
        {StateId::Data, "DATA_WD", StateId::Reset, 5},
    };
    const Micros t0 = 5000;
    for (const Case& c : cases) {
        CAPTURE(c.transition);
        Rig r(2, t0);
        r.to(c.state, t0);
        CHECK_FALSE(r.m.poll(t0 + TIMEOUT - 1));
        CHECK(r.rec.events.empty());
        CHECK(r.m.poll(t0 + TIMEOUT));
        CHECK(r.rec.events.front() ==
              std::string(c.transition) + ": The watchdog of the master expired");
        CHECK(r.m.state() == c.next);
        CHECK(r.reset_code() == c.code);
        CHECK(r.m.watchdog_deadline() == t0 + 2 * TIMEOUT); // the next period from the expiry
    }

    Rig r(2, t0);
    r.to(StateId::Data, t0);
    Micros now = t0;
    for (int cycle = 0; cycle < 5; ++cycle) {
        now += TIMEOUT - 1;
        CHECK_FALSE(r.m.poll(now));
        r.send(r.slave.correct(r.m), now);
    }
    CHECK(r.m.state() == StateId::Data);
    struct Ignoring : StateOverride { // a front-end state that takes no transition
        StateId on_event(Master& m, Event) override { return m.state(); }
    } ignoring;
    r.m.set_state_override(&ignoring);
    CHECK(r.m.poll(now + TIMEOUT));
    CHECK_FALSE(r.m.poll(now + 2 * TIMEOUT - 1)); // still one expiry per period
    CHECK(r.m.poll(now + 2 * TIMEOUT));
    r.m.set_state_override(nullptr);
    r.m.on_watchdog_expired(now); // a front-end's own timer: taken at once
    CHECK(r.m.state() == StateId::Reset);
    r.m.stop(now);
    CHECK_FALSE(r.m.poll(now + 100 * TIMEOUT));
}

TEST_CASE("several masters in one process are kept apart") {
    const uint16_t ids[] = {0x0101, 0x0202, 0x0303};
    Rig rigs[] = {Rig(1, 0, 7, ids[0]), Rig(2, 0, 8, ids[1]), Rig(16, 0, 9, ids[2])};
    for (unsigned round = 0; round < ScriptedSlave::MAX_WALK; ++round)
        for (Rig& r : rigs) // interleaved: one reply each per round
            if (r.m.state() != StateId::Data) r.slave.step(r.m);
    for (unsigned i = 0; i < 3; ++i) {
        CHECK(rigs[i].m.state() == StateId::Data);
        CHECK(parsed(rigs[i].m.request()).control.connection_id == ids[i]);
    }
    rigs[1].send(faulty(rigs[1], Fault::BadCrc));
    CHECK(rigs[0].m.state() == StateId::Data);
    CHECK(rigs[1].m.state() == StateId::Reset);
    CHECK(rigs[2].m.state() == StateId::Data);
    CHECK(rigs[0].rec.events.size() == 4); // only its own walk

    // The session-id generator is per master: one seed gives one sequence.
    Rig twin_a(2, 0, 42), twin_b(2, 0, 42), other(2, 0, 43);
    for (Rig* r : {&twin_a, &twin_b, &other})
        r->to(StateId::Session);
    uint16_t a = twin_a.m.own().session.get(SessionField::session_id);
    CHECK(twin_b.m.own().session.get(SessionField::session_id) == a);
    CHECK(other.m.own().session.get(SessionField::session_id) != a);
}

TEST_CASE("the listener hears reports before changes, and an event it runs decides") {
    Rig order;
    order.to(StateId::Data);
    order.send(faulty(order, Fault::BadCrc));
    CHECK(order.rec.events ==
          std::vector<std::string>{"DATA_FAIL1: Invalid slave CRC", "Data>Reset"});

    struct Case {
        StateId state;
        Fault fault;
        bool from_state_change; // else from the error report
        bool stop;              // else reset
    };
    const Case cases[] = {
        {StateId::Data, Fault::BadCrc, false, false},
        {StateId::Data, Fault::BadCrc, false, true},
        {StateId::Session, Fault::BadCrc, false, false}, // a staying state's report
        {StateId::Data, Fault::SlaveReset, true, false},
        {StateId::Parameter, Fault::WrongEcho, true, true},
    };
    for (const Case& c : cases) {
        CAPTURE(STATE_NAMES[unsigned(c.state)]);
        CAPTURE(c.stop);
        Rig r;
        r.to(c.state);
        bool stop = c.stop;
        (c.from_state_change ? r.rec.on_state_do : r.rec.on_error_do) = [stop](Master& m) {
            stop ? m.stop(1) : m.reset(1);
        };
        r.send(faulty(r, c.fault));
        CHECK(r.m.state() == StateId::Reset);
        CHECK(r.reset_code() == 0); // the application's reset, not the failure's code
        CHECK(r.m.running() == !c.stop);
        CHECK(r.m.watchdog_armed() == !c.stop);
        std::size_t heard = r.rec.events.size();
        CHECK_FALSE(r.m.poll(1 + 10 * TIMEOUT) == c.stop);
        if (c.stop) CHECK(r.rec.events.size() == heard); // a stopped master stays quiet
    }
}

TEST_CASE("front-end hooks: session ids, trace, process data, watchdog timer, state override") {
    struct Hooks : SessionIdSource, MasterTrace, ProcessData, WatchdogTimer, StateOverride {
        std::vector<std::string> transitions, overridden;
        int generated = 0, checked = 0, packed = 0, unpacked = 0, dropped = 0, armed = 0;
        bool refuse_crcs = false;
        uint16_t next_session_id() override { return 0xBEEF; }
        void on_transition(const Master&, Transition t) override {
            transitions.push_back(states::info(t).name);
        }
        void on_crc_generated(const frame::FrameRecord&) override { ++generated; }
        void on_crc_checked(const uint16_t*, const frame::FrameRecord&, bool) override {
            ++checked;
        }
        void pack_outputs(Master&, frame::FrameRecord& req) override {
            ++packed;
            req.safe_data[0] = 0x5A;
        }
        void unpack_inputs(Master&, const frame::FrameRecord&) override { ++unpacked; }
        void inputs_to_fail_safe(Master&) override { ++dropped; }
        void arm(Micros) override { ++armed; }
        void disarm() override { armed = -1000; }
        bool check_received_crcs(Master&) override { return !refuse_crcs; }
        StateId run_transition(Master& m, Transition t) override {
            overridden.push_back(states::info(t).name);
            return m.run_transition(t);
        }
    } h;
    Rig r;
    r.m.set_hooks({&r.rec, &h, &h, &h, &h});
    r.m.reset(0);
    r.to(StateId::Session);
    CHECK(parsed(r.m.request()).safe_data[0] == 0xBEEF);
    r.to(StateId::Data);
    CHECK(h.transitions.front() == "RESET_START");
    CHECK(h.transitions.back() == "PARA_OK");
    CHECK(h.checked == int(h.transitions.size()) - 2); // neither reset nor Reset's reply is checked
    CHECK(h.generated >= int(h.transitions.size()));
    CHECK(h.armed == int(h.transitions.size()));

    r.send(r.slave.correct(r.m));
    CHECK(parsed(r.m.request()).safe_data[0] == 0x5A);
    CHECK(h.unpacked == 1);
    CHECK(r.m.inputs().data[0] == FAIL_SAFE); // the byte images are not used

    r.m.adopt_state(StateId::Data, &h);
    h.refuse_crcs = true;
    r.send(r.slave.correct(r.m));
    CHECK(h.overridden == std::vector<std::string>{"DATA_FAIL1"});
    CHECK(h.dropped == 1);
    CHECK(r.m.state() == StateId::Reset);
    r.m.reset(0); // the override went with the state it was given for
    CHECK(h.overridden.size() == 1);
    r.m.stop(0);
    CHECK(h.armed < 0);
}

TEST_CASE("diagnostics count what the connection saw, with times and the response time") {
    constexpr Micros CYCLE = 1000;
    Rig r;
    Micros now = 0;
    while (r.m.state() != StateId::Data) { // one reply per cycle, answered at once
        now += CYCLE;
        r.slave.step(r.m, now);
    }
    const MasterDiagnostics& d = r.m.diagnostics();
    CHECK(d.requests_published == d.replies_taken + 1); // start() published the first
    CHECK(d.response.count == d.replies_taken);
    CHECK(d.response.last_us == CYCLE);
    CHECK(d.response.max_cycles == 1);
    CHECK(d.transitions[unsigned(Transition::PARA_OK)] == 1);
    CHECK(d.time_in_state_us[unsigned(StateId::Reset)] == CYCLE);

    Wire w = r.slave.reply(r.m.request(), r.slave.correct(r.m));
    r.m.set_reply(w.bytes, w.size, now += CYCLE);
    r.m.set_reply(w.bytes, w.size, now += CYCLE); // repeated: counted, not answered
    CHECK(d.replies_repeated == 1);
    r.send(faulty(r, Fault::BadCrc), now += CYCLE);
    CHECK(d.resets_by_master == 1);
    CHECK(d.last_error.transition == Transition::DATA_FAIL1);
    CHECK(d.last_error.code == uint16_t(states::ErrorCode::INVALID_CRC));
    CHECK(d.last_error.time_us == now);
    CHECK(std::string(d.last_error.message) == "Invalid slave CRC");

    r.m.on_watchdog_expired(now);
    CHECK(d.watchdog_expiries == 1);
    CHECK(d.transitions[unsigned(Transition::RESET_WD)] == 1);
    CHECK(d.first_error.transition == Transition::DATA_FAIL1); // the first one is kept

    Rig other;
    other.to(StateId::Data);
    w = other.slave.reply(other.m.request(), other.slave.correct(other.m));
    other.m.set_reply(w.bytes, w.size - 2, 0); // a slave frame of another size
    CHECK(other.m.diagnostics().replies_wrong_length == 1);
    CHECK(other.m.diagnostics().last_wrong_length == w.size - 2);
    r.m.reset_diagnostics();
    CHECK(d.requests_published == 0);
    CHECK_FALSE(d.first_error.set);
}

TEST_CASE("the frame history keeps the last frames each way, oldest first, with their effect") {
    constexpr std::size_t KEPT = 3;
    Rig r(2, 0, 1, CONN_ID, KEPT);
    r.to(StateId::Data, 10);
    Wire w = r.slave.reply(r.m.request(), r.slave.correct(r.m));
    r.m.set_reply(w.bytes, w.size, 20);
    r.m.set_reply(w.bytes, w.size, 30); // repeated
    r.send(faulty(r, Fault::BadCrc), 40);
    std::vector<uint8_t> reset_request(r.m.request().data, r.m.request().data + r.m.request().size);

    std::array<HistoryEntry, 2 * KEPT + 1> h{};
    REQUIRE(r.m.copy_history(h.data(), h.size()) == 2 * KEPT);
    for (std::size_t k = 1; k < 2 * KEPT; ++k)
        CHECK(h[k - 1].index < h[k].index);
    // The reply delivered twice is one entry: taken at 20, repeated (ignored) at 30.
    const HistoryEntry& twice = h[2 * KEPT - 4];
    const HistoryEntry& bad = h[2 * KEPT - 2];
    const HistoryEntry& reset = h[2 * KEPT - 1];
    CHECK(twice.outcome == FrameOutcome::Taken);
    CHECK(twice.transition == Transition::DATA_OK1);
    CHECK(twice.time_us == 20);
    CHECK(twice.repeats == 1);
    CHECK(twice.last_repeat_us == 30);
    CHECK(h[2 * KEPT - 3].from_master); // the request built on it, not again on the repeat
    CHECK(bad.outcome == FrameOutcome::Taken);
    CHECK(bad.transition == Transition::DATA_FAIL1);
    CHECK(reset.from_master);
    CHECK(reset.transition == Transition::DATA_FAIL1);
    CHECK(std::vector<uint8_t>(reset.bytes, reset.bytes + reset.size) == reset_request);

    HistoryEntry newest{};
    CHECK(r.m.copy_history(&newest, 1) == 1); // cut: the newest kept
    CHECK(newest.index == reset.index);
    r.m.reset_diagnostics();
    CHECK(r.m.history_size() == 0);
    CHECK(Rig().m.copy_history(h.data(), h.size()) == 0); // none kept by default
    CHECK_THROWS_AS(Master(with_history(config_for(2, 2), MAX_HISTORY_FRAMES + 1)),
                    std::invalid_argument);
}

TEST_CASE("a custom state runs every event through its override until it leaves") {
    struct Own : StateOverride {
        int stays = 0;
        std::vector<Event> events;
        StateId on_event(Master&, Event e) override {
            events.push_back(e);
            return e == Event::FrameReceived ? StateId::Custom : StateId::Reset;
        }
        void on_stay(Master&) override { ++stays; }
    } own;
    Rig r;
    r.to(StateId::Connection);
    r.m.adopt_state(StateId::Custom, &own);
    CHECK(r.m.builtin_event(Event::FrameReceived) == StateId::Custom); // none built in
    r.send(r.slave.correct(r.m));
    CHECK(r.m.state() == StateId::Custom);
    CHECK(own.stays == 1);
    // Built as between the handshake's steps: the connection id, no Data command.
    CHECK(parsed(r.m.request()).control.connection_id == CONN_ID);
    CHECK(r.rec.events.empty());
    r.m.reset(0);
    CHECK(own.events == std::vector<Event>{Event::FrameReceived, Event::ResetConnection});
    CHECK(r.m.state() == StateId::Reset);
    CHECK(r.rec.events == std::vector<std::string>{"Custom>Reset"});
}

TEST_CASE("a front-end's own dynamic maps carry the connection data") {
    struct Maps : ConnectionMaps {
        data::DynamicMap own, echo;
        int added = 0;
        data::DynamicMap& of(Master& m, const Node& n) { return &n == &m.own() ? own : echo; }
        void clear(Master& m, Node& n) override { of(m, n).clear(); }
        void add(Master& m, Node& n, const data::DynamicItem& item) override {
            ++added;
            of(m, n).add(item);
        }
        void set_data_to_frame(Master& m, Node& n, frame::FrameRecord& f, uint16_t b) override {
            of(m, n).set_data_to_frame(f, b);
        }
        void get_data_from_frame(Master& m, Node& n, const frame::FrameRecord& f,
                                 uint16_t b) override {
            of(m, n).get_data_from_frame(f, b);
        }
        bool pending(const Master& m, const Node& n) override {
            return of(const_cast<Master&>(m), n).pending();
        }
        bool echo_matches(Master&) override { return echo.matches(own); }
    } maps;
    Rig plain, hooked;
    MasterHooks hooks;
    hooks.listener = &hooked.rec;
    hooks.maps = &maps;
    hooked.m.set_hooks(hooks);
    unsigned before = hooked.m.own().dynamic.total_items(); // mapped by start()
    for (Rig* r : {&plain, &hooked}) {
        r->m.reset(0);
        r->to(StateId::Data);
    }
    CHECK(maps.added > 0);
    CHECK(plain.m.own().dynamic.total_items() > 0);
    CHECK(hooked.m.own().dynamic.total_items() == before); // the Master's own maps stay unused
    CHECK(bytes_of(hooked.m.request()) == bytes_of(plain.m.request()));
}

TEST_CASE("the Parameter request's steps as building blocks") {
    Rig r;
    r.to(StateId::Parameter);
    r.m.set_parameter_sizes();
    CHECK(r.m.own().session.get(SessionField::app_parameter_size_bytes) == 5); // 4 + 1 bytes
    CHECK(r.m.own().session.get(SessionField::comm_parameter_size_bytes) == 2);
    r.m.clear_parameter_echo();
    CHECK(r.m.slave().parameters == std::vector<uint32_t>{0, 0});
    CHECK(r.m.slave().session.get(SessionField::watchdog_ms) == 0);
    r.m.map_parameters(r.m.own_node());
    CHECK(r.m.own().dynamic.total_items() == 5); // three communication items, two parameters
}

TEST_CASE("take_reply processes without the repeat rule and without building the request") {
    Rig r;
    Wire w = r.slave.reply(r.m.request(), r.slave.correct(r.m));
    std::vector<uint8_t> request = bytes_of(r.m.request());
    CHECK(r.m.take_reply(w.bytes, w.size));
    CHECK(r.m.state() == StateId::Session);
    CHECK(bytes_of(r.m.request()) == request);
    std::size_t heard = r.rec.events.size();
    CHECK(r.m.take_reply(w.bytes, w.size)); // the same bytes are judged again
    CHECK(r.rec.events.size() > heard);
}

TEST_CASE("a repeated reply is ignored unless its request failed to build") {
    Rig r;
    Answer a = r.slave.correct(r.m);
    a.command = C::SESSION;
    Wire w = r.slave.reply(r.m.request(), a);
    CHECK(r.m.set_reply(w.bytes, w.size, 0) == ReplyResult::Taken); // RESET_STAY1
    CHECK(r.m.repeats_last_reply(w.bytes, w.size));
    std::vector<uint8_t> request = bytes_of(r.m.request());
    CHECK(r.m.set_reply(w.bytes, w.size, 0) == ReplyResult::Repeated);
    CHECK(r.rec.events.size() == 1);
    CHECK(bytes_of(r.m.request()) == request);

    const uint8_t too_long[37] = {};
    for (int i = 0; i < 2; ++i) // refused, so never remembered as the last reply
        CHECK(r.m.set_reply(too_long, sizeof too_long, 0) == ReplyResult::TooLong);

    struct Refusing : ProcessData {
        bool refuse = true;
        void pack_outputs(Master&, frame::FrameRecord&) override {
            if (refuse) throw std::runtime_error("output refused");
        }
        void unpack_inputs(Master&, const frame::FrameRecord&) override {}
        void inputs_to_fail_safe(Master&) override {}
    } refusing;
    r.to(StateId::Data);
    r.m.set_hooks({&r.rec, nullptr, nullptr, &refusing, nullptr});
    w = r.slave.answer(r.m);
    request = bytes_of(r.m.request());
    CHECK_THROWS_WITH(r.m.set_reply(w.bytes, w.size, 0), "output refused");
    CHECK(r.m.request_stale());
    CHECK(bytes_of(r.m.request()) == request); // the last request stays published
    refusing.refuse = false;
    CHECK(r.m.set_reply(w.bytes, w.size, 0) == ReplyResult::Repeated);
    CHECK_FALSE(r.m.request_stale());
    CHECK(bytes_of(r.m.request()) != request);

    r.m.stop(0);
    CHECK(r.m.set_reply(w.bytes, w.size, 0) == ReplyResult::NotRunning);
}

TEST_CASE("misuse is refused with a text naming it") {
    struct Case {
        std::function<void(MasterConfig&)> change;
        const char* text;
    };
    const Case cases[] = {
        {[](MasterConfig& c) { c.connection_id = 0; }, "Connection ID = 0 is not permitted"},
        {[](MasterConfig& c) { c.watchdog_ms = 0; }, "Watchdog time must be at least 1 ms"},
        {[](MasterConfig& c) { c.output_bytes = 17; },
         "output_bytes: a frame carries at most 16 safe-data bytes (got 17)"},
        {[](MasterConfig& c) { c.input_bytes = 20; },
         "input_bytes: a frame carries at most 16 safe-data bytes (got 20)"},
        {[](MasterConfig& c) { c.parameters[0].n_bytes = 3; },
         "Application parameter 0: n_bytes must be 1, 2 or 4 (got 3)"},
        {[](MasterConfig& c) { c.parameters[1].type = data::DataType::FLOAT; },
         "Application parameter 1: n_bytes must be the 4 bytes of FLOAT (got 1)"},
        {[](MasterConfig& c) { c.parameters[1].value = 0x100; },
         "Application parameter 1: value 256 does not fit 1 byte(s)"},
        {[](MasterConfig& c) { c.parameters.resize(48, {1, 1, {}}); },
         "At most 47 application parameters (got 48)"},
    };
    for (const Case& c : cases) {
        MasterConfig config = config_for(2, 2);
        c.change(config);
        CHECK_THROWS_WITH_AS(Master{config}, c.text, std::invalid_argument);
    }
    Rig r;
    CHECK_THROWS_WITH_AS(r.m.set_slave_address(5), "Cannot set slave address while running",
                         std::logic_error);
    CHECK_THROWS_AS(r.m.set_data_sizes(2, 2), std::logic_error);
    r.m.stop(0);
    CHECK_THROWS_WITH_AS(r.m.set_parameter_value(2, 0), "No application parameter 2",
                         std::out_of_range);
    CHECK_THROWS_AS(r.m.set_parameter_value(1, 0x100), std::invalid_argument);
    r.m.set_slave_address(5); // stopped: allowed
    CHECK(r.m.own().session.get(SessionField::slave_address) == 5);
}
