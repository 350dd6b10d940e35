#include "tarnwick/transitions.hpp"

#include <array>

namespace tarnwick::states {

namespace {

constexpr std::array<Transition, STATE_COUNT> WATCHDOG = {
    Transition::RESET_WD, Transition::SESSION_WD, Transition::CONN_WD, Transition::PARA_WD,
    Transition::DATA_WD};

constexpr std::array<Transition, STATE_COUNT> RESET = {
    Transition::RESET_START, Transition::SESSION_RESET2, Transition::CONN_RESET2,
    Transition::PARA_RESET2, Transition::DATA_RESET2};

} // namespace

Transition watchdog_transition(StateId s) {
    return WATCHDOG[static_cast<unsigned>(s)];
}

Transition reset_transition(StateId s) {
    return RESET[static_cast<unsigned>(s)];
}

const char* fixed_report_text(Report r) {
    switch (r) {
    case Report::InvalidCommand:
        return "Invalid slave frame command";
    case Report::InvalidCrc:
        return "Invalid slave CRC";
    case Report::WatchdogExpired:
        return "The watchdog of the master expired";
    case Report::SessionDataMismatch:
        return "Data exchanged during session state does not match";
    case Report::ParameterDataMismatch:
        return "Data exchanged during parameter state does not match";
    case Report::None:
    case Report::ConnectionIdMismatch:
    case Report::ResetBySlave:
        break;
    }
    return nullptr;
}

} // namespace tarnwick::states
