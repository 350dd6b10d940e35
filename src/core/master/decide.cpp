#include "core/master/decide.hpp"

#include "tarnwick/frame.hpp"

namespace tarnwick::states {

namespace {

using frame::Command;

// Command sets as bit masks; INVALID stands for a byte that is no command.
enum : uint8_t {
    INVALID = 1 << 0,
    RESET = 1 << 1,
    SESSION = 1 << 2,
    CONNECTION = 1 << 3,
    PARAMETER = 1 << 4,
    PROCESS_DATA = 1 << 5,
    FAILSAFE_DATA = 1 << 6,
    ANY = 0x7F,
};

enum class Cond : uint8_t {
    None,
    ConnIdMismatch,
    DataMismatch,
    CrcOk,
    CrcBad,
    Pending,
    NotPending,
    SecondSent,
    SecondNotSent,
};

struct Row {
    uint8_t commands;
    Cond first;
    Cond second;
    Transition transition;
};

using T = Transition;
using C = Cond;

constexpr Row RESET_ROWS[] = {
    {RESET, C::None, C::None, T::RESET_OK},
    {ANY, C::None, C::None, T::RESET_STAY1},
};

constexpr Row SESSION_ROWS[] = {
    {INVALID, C::None, C::None, T::SESSION_FAIL4},
    {SESSION, C::CrcOk, C::Pending, T::SESSION_STAY1},
    {SESSION, C::CrcOk, C::NotPending, T::SESSION_OK},
    {SESSION, C::CrcBad, C::SecondSent, T::SESSION_FAIL1},
    {SESSION, C::CrcBad, C::SecondNotSent, T::SESSION_STAY2},
    {RESET, C::None, C::None, T::SESSION_RESET1},
    {CONNECTION | PARAMETER | PROCESS_DATA | FAILSAFE_DATA, C::None, C::None, T::SESSION_FAIL3},
};

constexpr Row CONNECTION_ROWS[] = {
    {INVALID, C::None, C::None, T::CONN_FAIL5},
    {CONNECTION, C::ConnIdMismatch, C::None, T::CONN_FAIL3},
    {CONNECTION, C::DataMismatch, C::None, T::CONN_FAIL2},
    {CONNECTION, C::CrcBad, C::None, T::CONN_FAIL1},
    {CONNECTION, C::Pending, C::None, T::CONNECTION_STAY1},
    {CONNECTION, C::None, C::None, T::CONN_OK},
    {RESET, C::None, C::None, T::CONN_RESET1},
    {SESSION | PARAMETER | PROCESS_DATA | FAILSAFE_DATA, C::None, C::None, T::CONN_FAIL4},
};

constexpr Row PARAMETER_ROWS[] = {
    {INVALID, C::None, C::None, T::PARA_FAIL5},
    {PARAMETER, C::ConnIdMismatch, C::None, T::PARA_FAIL3},
    {PARAMETER, C::DataMismatch, C::None, T::PARA_FAIL2},
    {PARAMETER, C::CrcBad, C::None, T::PARA_FAIL1},
    {PARAMETER, C::Pending, C::None, T::PARA_STAY1},
    {PARAMETER, C::None, C::None, T::PARA_OK},
    {RESET, C::None, C::None, T::PARA_RESET1},
    {SESSION | CONNECTION | PROCESS_DATA | FAILSAFE_DATA, C::None, C::None, T::PARA_FAIL4},
};

constexpr Row DATA_ROWS[] = {
    {INVALID, C::None, C::None, T::DATA_FAIL4},
    {SESSION | CONNECTION | PARAMETER, C::None, C::None, T::DATA_FAIL3},
    {RESET, C::None, C::None, T::DATA_RESET1},
    {PROCESS_DATA | FAILSAFE_DATA, C::ConnIdMismatch, C::None, T::DATA_FAIL2},
    {PROCESS_DATA | FAILSAFE_DATA, C::CrcBad, C::None, T::DATA_FAIL1},
    {PROCESS_DATA, C::None, C::None, T::DATA_OK1},
    {FAILSAFE_DATA, C::None, C::None, T::DATA_OK2},
};

struct Table {
    const Row* rows;
    unsigned count;
};

template <unsigned N> constexpr Table table_of(const Row (&rows)[N]) {
    return {rows, N};
}

constexpr Table TABLES[STATE_COUNT] = {
    table_of(RESET_ROWS),     table_of(SESSION_ROWS), table_of(CONNECTION_ROWS),
    table_of(PARAMETER_ROWS), table_of(DATA_ROWS),
};

uint8_t command_bit(ReplyFacts& facts) {
    if (!facts.command_valid()) return INVALID;
    switch (static_cast<Command>(facts.command())) {
    case Command::RESET:
        return RESET;
    case Command::SESSION:
        return SESSION;
    case Command::CONNECTION:
        return CONNECTION;
    case Command::PARAMETER:
        return PARAMETER;
    case Command::PROCESS_DATA:
        return PROCESS_DATA;
    case Command::FAILSAFE_DATA:
        return FAILSAFE_DATA;
    }
    return INVALID;
}

// Asks each fact at most once per reply.
class Memo {
  public:
    explicit Memo(ReplyFacts& facts) : facts_(facts) {}

    bool holds(Cond c) {
        switch (c) {
        case Cond::None:
            return true;
        case Cond::ConnIdMismatch:
            return !ask<&ReplyFacts::connection_id_matches>(conn_id_);
        case Cond::DataMismatch:
            return !ask<&ReplyFacts::data_correct>(data_);
        case Cond::CrcOk:
            return ask<&ReplyFacts::crcs_ok>(crc_);
        case Cond::CrcBad:
            return !ask<&ReplyFacts::crcs_ok>(crc_);
        case Cond::Pending:
            return ask<&ReplyFacts::pending>(pending_);
        case Cond::NotPending:
            return !ask<&ReplyFacts::pending>(pending_);
        case Cond::SecondSent:
            return ask<&ReplyFacts::second_session_frame_sent>(second_);
        case Cond::SecondNotSent:
            return !ask<&ReplyFacts::second_session_frame_sent>(second_);
        }
        return false;
    }

  private:
    // A fact not asked yet is UNKNOWN.
    enum Answer : int8_t { UNKNOWN = -1, NO = 0, YES = 1 };

    // The fact as a template argument: a plain virtual call, not one through a pointer.
    template <bool (ReplyFacts::*Fact)()> bool ask(Answer& slot) {
        if (slot == UNKNOWN) slot = (facts_.*Fact)() ? YES : NO;
        return slot == YES;
    }

    ReplyFacts& facts_;
    Answer conn_id_ = UNKNOWN, data_ = UNKNOWN, crc_ = UNKNOWN, pending_ = UNKNOWN,
           second_ = UNKNOWN;
};

} // namespace

Transition decide_frame(StateId s, ReplyFacts& facts) {
    const Table& table = TABLES[static_cast<unsigned>(s)];
    uint8_t command = command_bit(facts);
    Memo memo(facts);
    for (unsigned i = 0; i < table.count; ++i) {
        const Row& row = table.rows[i];
        if ((row.commands & command) && memo.holds(row.first) && memo.holds(row.second))
            return row.transition;
    }
    // Every table covers every command; the last row of Reset takes anything.
    return table.rows[table.count - 1].transition;
}

} // namespace tarnwick::states
