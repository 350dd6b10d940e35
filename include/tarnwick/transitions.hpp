// The master's connection states and their transitions as data.
//
// Each transition has a fixed name (used by the trace and the error callback), an
// action kind, the FSoE error code a failure sends in the Reset frames, the report
// it makes to the application and the state it leads to. The check tables that pick
// a transition for a reply live in decide.hpp.
#pragma once

#include <cstdint>

namespace tarnwick::states {

// Custom is none of the five: a state a front-end's StateOverride runs wholly itself
// (it has no row in the tables, so it is not counted).
enum class StateId : uint8_t {
    Reset = 0,
    Session = 1,
    Connection = 2,
    Parameter = 3,
    Data = 4,
    Custom = 5,
};
constexpr unsigned STATE_COUNT = 5;

// FSoE error codes the master itself sends.
enum class ErrorCode : uint8_t {
    RESET = 0,
    INVALID_CMD = 1,
    UNKNOWN_CMD = 2,
    INVALID_CONNID = 3,
    INVALID_CRC = 4,
    WD_EXPIRED = 5,
    INVALID_DATA = 7,
};

// What a transition does after logging its name.
enum class ActionKind : uint8_t {
    EnterSession, // RESET_OK, RESET_WD: new session id, first Session request, re-arm
    ResetStay,    // RESET_STAY1: fresh Reset frames with code 0, watchdog untouched
    ResetStart,   // RESET_START: as ResetStay, and re-arm
    Fail,         // reset the connection with the transition's error code
    Stay,         // re-arm and keep the state
    SessionStay1, // SESSION_STAY1: note the second Session frame, re-arm
    SessionOk,    // prepare the Connection requests, re-arm
    ConnectionOk, // prepare the Parameter requests, re-arm
    ParameterOk,  // re-arm; Data builds its own requests
    DataOk1,      // unpack the safe inputs, re-arm
    DataOk2,      // force the safe inputs to fail-safe, re-arm
    SlaveReset,   // the slave reset: start a new session at once
};

// The report made to the application just before the action.
enum class Report : uint8_t {
    None,
    InvalidCommand,
    InvalidCrc,
    WatchdogExpired,
    SessionDataMismatch,
    ParameterDataMismatch,
    ConnectionIdMismatch, // built from the two connection ids
    ResetBySlave,         // built from the slave's error code
};

// clang-format off
#define TARNWICK_TRANSITIONS(X)                                                              \
    X(RESET_OK,         Reset,      EnterSession, RESET,          None,                  Session)    \
    X(RESET_STAY1,      Reset,      ResetStay,    RESET,          InvalidCommand,        Reset)      \
    X(RESET_WD,         Reset,      EnterSession, RESET,          WatchdogExpired,       Session)    \
    X(RESET_START,      Reset,      ResetStart,   RESET,          None,                  Reset)      \
    X(SESSION_OK,       Session,    SessionOk,    RESET,          None,                  Connection) \
    X(SESSION_FAIL1,    Session,    Fail,         INVALID_CRC,    InvalidCrc,            Reset)      \
    X(SESSION_STAY2,    Session,    Stay,         RESET,          InvalidCrc,            Session)    \
    X(SESSION_STAY1,    Session,    SessionStay1, RESET,          None,                  Session)    \
    X(SESSION_RESET1,   Session,    SlaveReset,   RESET,          ResetBySlave,          Session)    \
    X(SESSION_FAIL3,    Session,    Fail,         INVALID_CMD,    InvalidCommand,        Reset)      \
    X(SESSION_FAIL4,    Session,    Fail,         UNKNOWN_CMD,    InvalidCommand,        Reset)      \
    X(SESSION_WD,       Session,    Fail,         WD_EXPIRED,     WatchdogExpired,       Reset)      \
    X(SESSION_RESET2,   Session,    Fail,         RESET,          None,                  Reset)      \
    X(CONN_OK,          Connection, ConnectionOk, RESET,          None,                  Parameter)  \
    X(CONN_FAIL1,       Connection, Fail,         INVALID_CRC,    InvalidCrc,            Reset)      \
    X(CONN_FAIL2,       Connection, Fail,         INVALID_DATA,   SessionDataMismatch,   Reset)      \
    X(CONN_FAIL3,       Connection, Fail,         INVALID_CONNID, ConnectionIdMismatch,  Reset)      \
    X(CONNECTION_STAY1, Connection, Stay,         RESET,          None,                  Connection) \
    X(CONN_RESET1,      Connection, SlaveReset,   RESET,          ResetBySlave,          Session)    \
    X(CONN_FAIL4,       Connection, Fail,         INVALID_CMD,    InvalidCommand,        Reset)      \
    X(CONN_FAIL5,       Connection, Fail,         UNKNOWN_CMD,    InvalidCommand,        Reset)      \
    X(CONN_WD,          Connection, Fail,         WD_EXPIRED,     WatchdogExpired,       Reset)      \
    X(CONN_RESET2,      Connection, Fail,         RESET,          None,                  Reset)      \
    X(PARA_OK,          Parameter,  ParameterOk,  RESET,          None,                  Data)       \
    X(PARA_FAIL1,       Parameter,  Fail,         INVALID_CRC,    InvalidCrc,            Reset)      \
    X(PARA_FAIL2,       Parameter,  Fail,         INVALID_DATA,   ParameterDataMismatch, Reset)      \
    X(PARA_FAIL3,       Parameter,  Fail,         INVALID_CONNID, ConnectionIdMismatch,  Reset)      \
    X(PARA_STAY1,       Parameter,  Stay,         RESET,          None,                  Parameter)  \
    X(PARA_RESET1,      Parameter,  SlaveReset,   RESET,          ResetBySlave,          Session)    \
    X(PARA_FAIL4,       Parameter,  Fail,         INVALID_CMD,    InvalidCommand,        Reset)      \
    X(PARA_FAIL5,       Parameter,  Fail,         UNKNOWN_CMD,    InvalidCommand,        Reset)      \
    X(PARA_WD,          Parameter,  Fail,         WD_EXPIRED,     WatchdogExpired,       Reset)      \
    X(PARA_RESET2,      Parameter,  Fail,         RESET,          None,                  Reset)      \
    X(DATA_OK1,         Data,       DataOk1,      RESET,          None,                  Data)       \
    X(DATA_OK2,         Data,       DataOk2,      RESET,          None,                  Data)       \
    X(DATA_FAIL1,       Data,       Fail,         INVALID_CRC,    InvalidCrc,            Reset)      \
    X(DATA_FAIL2,       Data,       Fail,         INVALID_CONNID, ConnectionIdMismatch,  Reset)      \
    X(DATA_RESET1,      Data,       SlaveReset,   RESET,          ResetBySlave,          Session)    \
    X(DATA_FAIL3,       Data,       Fail,         INVALID_CMD,    InvalidCommand,        Reset)      \
    X(DATA_FAIL4,       Data,       Fail,         UNKNOWN_CMD,    InvalidCommand,        Reset)      \
    X(DATA_WD,          Data,       Fail,         WD_EXPIRED,     WatchdogExpired,       Reset)      \
    X(DATA_RESET2,      Data,       Fail,         RESET,          None,                  Reset)
// clang-format on

enum class Transition : uint8_t {
#define TARNWICK_TRANSITION_ENUM(name, state, kind, code, report, next) name,
    TARNWICK_TRANSITIONS(TARNWICK_TRANSITION_ENUM)
#undef TARNWICK_TRANSITION_ENUM
};

struct TransitionInfo {
    const char* name;
    StateId state;
    ActionKind kind;
    ErrorCode error; // sent in the Reset frames by a Fail action
    Report report;
    StateId next;
};

inline constexpr TransitionInfo TRANSITION_TABLE[] = {
#define TARNWICK_TRANSITION_ROW(name, state, kind, code, report, next)                             \
    {#name, StateId::state, ActionKind::kind, ErrorCode::code, Report::report, StateId::next},
    TARNWICK_TRANSITIONS(TARNWICK_TRANSITION_ROW)
#undef TARNWICK_TRANSITION_ROW
};

inline const TransitionInfo& info(Transition t) {
    return TRANSITION_TABLE[static_cast<unsigned>(t)];
}
inline constexpr unsigned transition_count() {
    return sizeof TRANSITION_TABLE / sizeof TRANSITION_TABLE[0];
}

// The transition a watchdog expiry or an application reset takes in each state.
Transition watchdog_transition(StateId s);
Transition reset_transition(StateId s);

// The report texts that do not depend on the reply.
const char* fixed_report_text(Report r);

} // namespace tarnwick::states
