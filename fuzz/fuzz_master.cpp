// libFuzzer harness over the master connection object: arbitrary reply sequences,
// time steps, resets, restarts and events run from inside a report (the script is
// described in master_script.hpp). After every step it checks that the inputs hold
// their fail-safe values outside Data, that Data is reached only through the whole
// handshake with the connection data echoed, and that the request is a whole frame
// of the configured size whose command, connection id and CRCs fit the state.
#include "fuzz_input.hpp"
#include "master_script.hpp"
#include "scripted_slave.hpp"

#include <cstdlib>
#include <cstring>

using namespace tarnwick;
using namespace fuzz_master;

namespace {

using fuzz_input::Reader;
using fuzz_input::require;

// Histories of 1 to 4 frames each way: small, so the rings wrap within a few steps.
constexpr size_t HISTORY_FRAMES_MAX = 4;

// The state a change may come from on the way to Data: each step of the handshake.
bool handshake_step(StateId from, StateId to) {
    switch (to) {
    case StateId::Connection:
        return from == StateId::Session;
    case StateId::Parameter:
        return from == StateId::Connection;
    case StateId::Data:
        return from == StateId::Parameter;
    default:
        return true;
    }
}

// Data is entered only once the slave has echoed every connection datum.
void require_echo(const Master& m) {
    for (SessionField f : {SessionField::connection_id, SessionField::slave_address,
                           SessionField::watchdog_ms, SessionField::app_parameter_size_bytes})
        require(m.slave().session.get(f) == m.own().session.get(f));
    require(m.slave().parameters == m.own().parameters);
}

struct Watcher : ActOnReport {
    void on_error(Master& m, Transition t, const char* message) override {
        require(message != nullptr && message[0] != '\0');
        ActOnReport::on_error(m, t, message);
    }
    void on_state_change(Master& m, StateId from, StateId to) override {
        require(from != to && handshake_step(from, to));
        if (to == StateId::Data) require_echo(m);
    }
};

uint16_t command_of(StateId s) {
    constexpr frame::Command commands[] = {frame::Command::RESET, frame::Command::SESSION,
                                           frame::Command::CONNECTION, frame::Command::PARAMETER};
    return static_cast<uint16_t>(commands[static_cast<unsigned>(s)]);
}

// The request was built with the number before the record's next one: 1 follows
// 0xFFFF, or 0 in a record never restarted.
bool crcs_fit_the_previous_number(frame::FrameRecord f, uint16_t next) {
    uint16_t candidates[] = {static_cast<uint16_t>(next - 1), 0xFFFF};
    for (unsigned i = 0; i < (next == 1 ? 2u : 1u); ++i) {
        f.control.sequence_number = candidates[i];
        uint16_t calc[frame::MAX_CRC_WORDS];
        if (frame::check_crcs(f, calc)) return true;
    }
    return false;
}

void check_request(const Master& m, unsigned output_bytes) {
    ConstBytes req = m.request();
    if (req.size == 0) return; // nothing built yet
    require(req.size == frame::wire_length(output_bytes));
    frame::FrameRecord f;
    frame::clear(f);
    frame::parse(f, req.data, req.size);
    uint16_t command = f.control.command;
    if (m.state() == StateId::Data)
        require(command == uint16_t(frame::Command::PROCESS_DATA) ||
                command == uint16_t(frame::Command::FAILSAFE_DATA));
    else
        require(command == command_of(m.state()));
    bool unconnected = m.state() == StateId::Reset || m.state() == StateId::Session;
    require(f.control.connection_id == (unconnected ? 0 : CONNECTION_ID));
    const frame::FrameControl& built = m.own().frame.control;
    f.control.crc0 = built.crc0;
    require(crcs_fit_the_previous_number(f, built.sequence_number));
}

void check_inputs(const Master& m) {
    if (m.state() == StateId::Data) return;
    ConstBytes in = m.inputs();
    for (size_t k = 0; k < in.size; ++k)
        require(in.data[k] == FAIL_SAFE_BYTE);
}

// The history holds at most its capacity each way, in order of arrival, and its newest
// request is the one published; the response times are ordered.
void check_history(const Master& m) {
    HistoryEntry h[2 * HISTORY_FRAMES_MAX + 1];
    size_t n = m.copy_history(h, sizeof h / sizeof h[0]);
    require(n == m.history_size() && n <= 2 * m.history_capacity());
    const HistoryEntry* newest_request = nullptr;
    for (size_t k = 0; k < n; ++k) {
        require(k == 0 || h[k - 1].index < h[k].index);
        require(h[k].from_master == (h[k].outcome == FrameOutcome::Request));
        if (h[k].from_master) newest_request = &h[k];
    }
    ConstBytes req = m.request();
    if (newest_request)
        require(newest_request->size == req.size &&
                std::memcmp(newest_request->bytes, req.data, req.size) == 0);
    const ResponseTime& r = m.diagnostics().response;
    require(r.count == 0 || (r.min_us <= r.last_us && r.last_us <= r.max_us));
}

struct Reply {
    uint8_t bytes[MAX_REPLY] = {};
    size_t size = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    uint8_t shape = in.byte();
    uint16_t watchdog_ms = in.u16();
    MasterConfig config = config_for(shape, watchdog_ms, in.byte());
    config.history_frames = 1 + shape % HISTORY_FRAMES_MAX; // small: the rings wrap often
    Master m(config);
    Watcher watcher;
    MasterHooks hooks;
    hooks.listener = &watcher;
    m.set_hooks(hooks);
    testing::ScriptedSlave slave(config.input_bytes, CONNECTION_ID);
    Reply last;

    while (!in.done()) {
        switch (in.byte() % OP_COUNT) {
        case REPLY: {
            last.size = in.byte() % MAX_REPLY;
            for (size_t k = 0; k < last.size; ++k)
                last.bytes[k] = in.byte();
            ReplyResult r = m.set_reply(last.bytes, last.size, watcher.now);
            // Only a reply longer than a 16-byte frame takes (36 bytes) is refused.
            require((r == ReplyResult::TooLong) ==
                    (m.running() && last.size > frame::MAX_FRAME_BYTES + 1));
            break;
        }
        case ANSWER: {
            testing::ScriptedSlave::Answer a = slave.correct(m);
            uint8_t command = in.byte();
            if (command)
                a.command = static_cast<frame::Command>(COMMANDS[(command - 1) % COMMAND_COUNT]);
            a.data[0] = in.byte();
            uint8_t mutation = in.byte();
            bool was_reset = m.state() == StateId::Reset;
            testing::Wire w = slave.reply(m.request(), a);
            if (mutation) w.bytes[(mutation - 1u) / 8 % w.size] ^= 1u << ((mutation - 1u) % 8);
            std::memcpy(last.bytes, w.bytes, w.size);
            last.size = w.size;
            m.set_reply(last.bytes, last.size, watcher.now);
            if (was_reset) slave.restart();
            break;
        }
        case TIME:
            watcher.now += in.u32();
            m.poll(watcher.now);
            break;
        case RESET:
            m.reset(watcher.now);
            break;
        case STOP: {
            bool was_running = m.running(); // stopping a stopped master changes nothing
            m.stop(watcher.now);
            require(!m.running());
            if (was_running) require(!m.watchdog_armed() && m.state() == StateId::Reset);
            break;
        }
        case START:
            m.start(watcher.now);
            break;
        case EXPIRE:
            m.on_watchdog_expired(watcher.now);
            break;
        case REPEAT:
            m.set_reply(last.bytes, last.size, watcher.now);
            break;
        case FAIL_SAFE:
            m.set_fail_safe(in.byte() & 1);
            break;
        case OUTPUT:
            m.outputs().data[0] = in.byte();
            break;
        case ACT:
            watcher.act = in.byte() & 1;
            break;
        }
        check_inputs(m);
        check_request(m, config.output_bytes);
        check_history(m);
    }
    return 0;
}
