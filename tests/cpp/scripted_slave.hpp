// A hand-written FSoE slave that drives a tarnwick::Master in the native tests, the
// master's fuzz seeds and the native benchmark. It builds its replies with the frame
// codec: each reply is seeded with the CRC_0 of the request it answers, replies are
// numbered from 1 after every reset of the connection, and a reply never repeats the
// CRC_0 of the previous one (as any FSoE sender).
#pragma once

#include "tarnwick/frame.hpp"
#include "tarnwick/master.hpp"

#include <cstdint>
#include <optional>

namespace tarnwick::testing {

struct Wire {
    uint8_t bytes[frame::MAX_FRAME_BYTES] = {};
    std::size_t size = 0;
};

class ScriptedSlave {
  public:
    // The session id a correct slave sends in the Session state.
    static constexpr uint8_t SESSION_BYTE = 0x5A;
    // A correct slave answers this many requests at most on the way to a state.
    static constexpr unsigned MAX_WALK = 64;

    ScriptedSlave(unsigned size, uint16_t connection_id)
        : size_(size), connection_id_(connection_id) {}

    // The slave's counters after a reset of the connection.
    void restart() { sequence_number_ = 1; }

    // The parts of a reply: command, safe data (size bytes used), connection id and
    // CRC_0 seed (the request's own CRC_0 when not given).
    struct Answer {
        frame::Command command;
        uint8_t data[frame::MAX_DATA_BYTES];
        uint16_t connection_id;
        std::optional<uint16_t> seed;
    };

    Wire reply(ConstBytes request, const Answer& a) {
        frame::FrameRecord f;
        frame::clear(f);
        f.safe_data_size = static_cast<uint16_t>(size_);
        f.control.command = static_cast<uint16_t>(a.command);
        f.control.connection_id = a.connection_id;
        f.control.crc0 = a.seed ? *a.seed : request_crc0(request);
        f.control.sequence_number = sequence_number_;
        for (unsigned k = 0; k < size_; ++k)
            f.safe_data[k / 2] |= static_cast<uint16_t>(a.data[k] << (8 * (k % 2)));
        if (sent_)
            frame::generate_crcs_cyclic(f, last_crc0_);
        else
            frame::generate_crcs(f);
        last_crc0_ = frame::generated_crc0(f);
        sent_ = true;
        frame::increment_sequence_number(f.control);
        sequence_number_ = f.control.sequence_number;
        Wire w;
        w.size = frame::serialise(f, w.bytes);
        return w;
    }

    // What a correct slave answers to the master's current request: a Reset frame, its
    // session id, the echo of the connection data, or (in Data) ProcessData of zeros.
    Answer correct(const Master& m) const {
        Answer a{frame::Command::PROCESS_DATA,
                 {},
                 m.own().session.get(SessionField::connection_id),
                 std::nullopt};
        switch (m.state()) {
        case StateId::Reset:
            a.command = frame::Command::RESET;
            a.connection_id = connection_id_;
            break;
        case StateId::Session:
            a.command = frame::Command::SESSION;
            a.data[0] = SESSION_BYTE;
            a.connection_id = 0;
            break;
        case StateId::Connection:
        case StateId::Parameter:
            a.command = m.state() == StateId::Connection ? frame::Command::CONNECTION
                                                         : frame::Command::PARAMETER;
            request_data(m.request(), a.data);
            break;
        case StateId::Data:
        case StateId::Custom: // an application's own state: answered as in Data
            break;
        }
        return a;
    }

    Wire answer(const Master& m) { return reply(m.request(), correct(m)); }

    // Answers the master's current request correctly.
    void step(Master& m, Micros now = 0) {
        bool was_reset = m.state() == StateId::Reset;
        Wire w = answer(m);
        m.set_reply(w.bytes, w.size, now);
        if (was_reset) restart(); // the connection starts again from the Reset handshake
    }

    // Answers correctly until the master is in `target`; false when it never gets there.
    bool walk_to(Master& m, StateId target, Micros now = 0) {
        for (unsigned cycle = 0; cycle < MAX_WALK && m.state() != target; ++cycle)
            step(m, now);
        return m.state() == target;
    }

    static uint16_t request_crc0(ConstBytes request) {
        frame::FrameRecord f;
        frame::clear(f);
        frame::parse(f, request.data, request.size);
        return f.crcs[0];
    }

    static void request_data(ConstBytes request, uint8_t* out) {
        frame::FrameRecord f;
        frame::clear(f);
        frame::parse(f, request.data, request.size);
        for (unsigned k = 0; k < frame::MAX_DATA_BYTES; ++k)
            out[k] = frame::data_byte(f, k);
    }

  private:
    unsigned size_;
    uint16_t connection_id_;
    uint16_t sequence_number_ = 1;
    bool sent_ = false; // a first reply has no predecessor to step past
    uint16_t last_crc0_ = 0;
};

} // namespace tarnwick::testing
