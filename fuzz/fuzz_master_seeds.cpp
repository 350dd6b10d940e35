// Writes the seed corpus of fuzz_master from real exchanges (make fuzz-master-seeds):
// for every shape of master_script.hpp a master walks against the scripted slave to
// the state of one of the tails below (exchanging process data in Data), meets the
// tail's event and walks to Data again. Every reply is recorded as a REPLY operation,
// so the harness, building the same master from the same header bytes, replays the
// exchange exactly.
//   fuzz_master_seeds DIR
#include "master_script.hpp"
#include "scripted_slave.hpp"

#include <cstdio>
#include <string>
#include <vector>

using namespace tarnwick;
using namespace fuzz_master;

namespace {

constexpr uint16_t WATCHDOG_MS = 100;
constexpr uint8_t SEED = 1;
constexpr Micros CYCLE_US = 1000;
constexpr unsigned DATA_CYCLES = 3;
// Session takes at most 2 replies (a 2-byte session id, 1 byte or more per frame).
constexpr unsigned SESSION_REPLIES = 2;

// A master and its slave whose every step is also written down as an operation.
class Recording {
  public:
    explicit Recording(uint8_t shape)
        : m_(config_for(shape, WATCHDOG_MS, SEED)),
          slave_(SHAPES[shape].input_bytes, CONNECTION_ID) {
        script_ = {shape, WATCHDOG_MS & 0xFF, WATCHDOG_MS >> 8, SEED};
        MasterHooks hooks;
        hooks.listener = &act_; // as the harness's, so that the replay is exact
        m_.set_hooks(hooks);
    }

    void op(Op o, std::initializer_list<uint8_t> args = {}) {
        script_.push_back(o);
        script_.insert(script_.end(), args);
        switch (o) {
        case START:
            return m_.start(act_.now);
        case STOP:
            return m_.stop(act_.now);
        case RESET:
            return m_.reset(act_.now);
        case FAIL_SAFE:
            return m_.set_fail_safe(*args.begin() & 1);
        case OUTPUT:
            m_.outputs().data[0] = *args.begin();
            return;
        case ACT:
            act_.act = *args.begin() & 1;
            return;
        default:
            return;
        }
    }

    void reply(const testing::Wire& w) {
        time(CYCLE_US);
        script_.push_back(REPLY);
        script_.push_back(static_cast<uint8_t>(w.size));
        script_.insert(script_.end(), w.bytes, w.bytes + w.size);
        m_.set_reply(w.bytes, w.size, act_.now);
    }

    void time(uint32_t us) {
        script_.push_back(TIME);
        for (unsigned k = 0; k < 4; ++k)
            script_.push_back(static_cast<uint8_t>(us >> (8 * k)));
        act_.now += us;
        m_.poll(act_.now);
    }

    // After a failure the master expects the slave's first Session reply numbered 2:
    // a slave numbering from 1 stays refused until the watchdog ends the session.
    void walk_to(StateId target) {
        unsigned in_session = 0;
        for (unsigned i = 0; i < testing::ScriptedSlave::MAX_WALK && m_.state() != target; ++i) {
            in_session = m_.state() == StateId::Session ? in_session + 1 : 0;
            if (in_session > SESSION_REPLIES) {
                time(Micros{WATCHDOG_MS} * 1000);
                continue;
            }
            bool was_reset = m_.state() == StateId::Reset;
            reply(slave_.answer(m_));
            if (was_reset) slave_.restart();
        }
    }

    void exchange_data() {
        op(FAIL_SAFE, {0});
        for (unsigned i = 0; i < DATA_CYCLES; ++i) {
            op(OUTPUT, {static_cast<uint8_t>(i)});
            testing::ScriptedSlave::Answer a = slave_.correct(m_);
            a.data[0] = static_cast<uint8_t>(i + 1);
            reply(slave_.reply(m_.request(), a));
        }
    }

    testing::Wire corrupted_answer() {
        testing::Wire w = slave_.answer(m_);
        w.bytes[1] ^= 1;
        return w;
    }

    // An answer with another command, protected by valid CRCs.
    testing::Wire answer_with(frame::Command c) {
        testing::ScriptedSlave::Answer a = slave_.correct(m_);
        a.command = c;
        return slave_.reply(m_.request(), a);
    }

    const std::vector<uint8_t>& script() const { return script_; }
    StateId state() const { return m_.state(); }

  private:
    ActOnReport act_; // also the clock, as the harness's listener is
    Master m_;
    testing::ScriptedSlave slave_;
    std::vector<uint8_t> script_;
};

// What meets the connection in the tail's state.
enum class Kind { WatchdogExpiry, Reset, Restart, CorruptedReply, ResetFromReport, Command };
struct Tail {
    StateId at;
    Kind kind;
    frame::Command command; // of Kind::Command
};
constexpr frame::Command ANY = frame::Command::RESET;
constexpr Tail TAILS[] = {
    {StateId::Data, Kind::WatchdogExpiry, ANY},
    {StateId::Data, Kind::Reset, ANY},
    {StateId::Data, Kind::Restart, ANY},
    {StateId::Data, Kind::CorruptedReply, ANY},
    {StateId::Data, Kind::ResetFromReport, ANY},
    {StateId::Data, Kind::Command, frame::Command::FAILSAFE_DATA},
    {StateId::Data, Kind::Command, frame::Command::RESET},
    {StateId::Parameter, Kind::Command, frame::Command::SESSION},
    {StateId::Parameter, Kind::Command, frame::Command::RESET},
    {StateId::Session, Kind::CorruptedReply, ANY},
};

void run_tail(Recording& r, const Tail& tail) {
    switch (tail.kind) {
    case Kind::WatchdogExpiry:
        return r.time(Micros{WATCHDOG_MS} * 1000);
    case Kind::Reset:
        return r.op(RESET);
    case Kind::Restart:
        r.op(STOP);
        r.time(CYCLE_US); // a bus cycle between stop and start
        return r.op(START);
    case Kind::CorruptedReply:
        return r.reply(r.corrupted_answer());
    case Kind::ResetFromReport:
        r.op(ACT, {0});
        return r.reply(r.corrupted_answer());
    case Kind::Command:
        return r.reply(r.answer_with(tail.command));
    }
}

// FNV-1a: a stable file name from the content, as the other corpora are named.
std::string name_of(const std::vector<uint8_t>& bytes) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (uint8_t b : bytes)
        h = (h ^ b) * 0x100000001B3ull;
    char name[17];
    std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(h));
    return name;
}

bool write(const std::string& dir, const std::vector<uint8_t>& bytes) {
    std::string path = dir + "/" + name_of(bytes);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    for (uint8_t shape = 0; shape < SHAPE_COUNT; ++shape) {
        for (const Tail& tail : TAILS) {
            Recording r(shape);
            r.op(START);
            r.walk_to(tail.at);
            if (tail.at == StateId::Data) r.exchange_data();
            run_tail(r, tail);
            r.walk_to(StateId::Data);
            if (r.state() != StateId::Data || !write(argv[1], r.script())) {
                std::fprintf(stderr, "shape %u: no seed written\n", unsigned{shape});
                return 1;
            }
        }
    }
    return 0;
}
