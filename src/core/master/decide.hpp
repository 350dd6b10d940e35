// The check tables: which transition a reply leads to in each state.
//
// Each state's table lists its rows in the order the checks are made; the first
// row whose command matches and whose conditions hold decides. The conditions ask
// the handler lazily, at most once per reply, so a CRC check (which may step the
// expected sequence number and is traced) runs only where the table reaches it.
#pragma once

#include "tarnwick/transitions.hpp"

#include <cstdint>

namespace tarnwick::states {

// The facts a state may ask about the reply and the connection.
class ReplyFacts {
  public:
    virtual ~ReplyFacts() = default;
    virtual bool command_valid() = 0;
    virtual uint16_t command() = 0;
    virtual bool connection_id_matches() = 0;
    virtual bool data_correct() = 0; // echoed data so far equals what was sent
    virtual bool crcs_ok() = 0;
    virtual bool pending() = 0; // either dynamic map still has bytes to move
    virtual bool second_session_frame_sent() = 0;
};

// The transition for a received reply in state s.
Transition decide_frame(StateId s, ReplyFacts& facts);

} // namespace tarnwick::states
