// The master's check tables and transition data: which transition a reply, an
// expiry or a reset leads to in each state.
#include "core/master/decide.hpp"
#include "tarnwick/frame.hpp"

#include <doctest/doctest.h>

#include <cstring>
#include <string>

using namespace tarnwick;
using states::StateId;
using states::Transition;
using C = frame::Command;

namespace {

constexpr uint16_t INVALID = 0x77; // a byte that is no command

// Scripted answers; counts how often each fact is asked.
struct Facts : states::ReplyFacts {
    uint16_t cmd = 0;
    bool conn_ok = true, data_ok = true, crc_ok = true, pend = false, second = false;
    int crc_asked = 0;

    bool command_valid() override { return frame::command_is_valid(cmd); }
    uint16_t command() override { return cmd; }
    bool connection_id_matches() override { return conn_ok; }
    bool data_correct() override { return data_ok; }
    bool crcs_ok() override {
        ++crc_asked;
        return crc_ok;
    }
    bool pending() override { return pend; }
    bool second_session_frame_sent() override { return second; }
};

struct Case {
    StateId state;
    uint16_t command;
    const char* fault; // "", "conn", "data", "crc", "pending", "second", "crc+second"
    const char* transition;
};

uint16_t cmd(C c) {
    return static_cast<uint16_t>(c);
}

const Case CASES[] = {
    {StateId::Reset, cmd(C::RESET), "", "RESET_OK"},
    {StateId::Reset, cmd(C::SESSION), "", "RESET_STAY1"},
    {StateId::Reset, INVALID, "", "RESET_STAY1"},
    {StateId::Session, cmd(C::SESSION), "", "SESSION_OK"},
    {StateId::Session, cmd(C::SESSION), "pending", "SESSION_STAY1"},
    {StateId::Session, cmd(C::SESSION), "crc", "SESSION_STAY2"},
    {StateId::Session, cmd(C::SESSION), "crc+second", "SESSION_FAIL1"},
    {StateId::Session, cmd(C::RESET), "crc", "SESSION_RESET1"},
    {StateId::Session, cmd(C::PROCESS_DATA), "", "SESSION_FAIL3"},
    {StateId::Session, INVALID, "", "SESSION_FAIL4"},
    {StateId::Connection, cmd(C::CONNECTION), "", "CONN_OK"},
    {StateId::Connection, cmd(C::CONNECTION), "conn", "CONN_FAIL3"},
    {StateId::Connection, cmd(C::CONNECTION), "data", "CONN_FAIL2"},
    {StateId::Connection, cmd(C::CONNECTION), "crc", "CONN_FAIL1"},
    {StateId::Connection, cmd(C::CONNECTION), "pending", "CONNECTION_STAY1"},
    {StateId::Connection, cmd(C::RESET), "", "CONN_RESET1"},
    {StateId::Connection, cmd(C::PARAMETER), "", "CONN_FAIL4"},
    {StateId::Connection, INVALID, "", "CONN_FAIL5"},
    {StateId::Parameter, cmd(C::PARAMETER), "", "PARA_OK"},
    {StateId::Parameter, cmd(C::PARAMETER), "conn", "PARA_FAIL3"},
    {StateId::Parameter, cmd(C::PARAMETER), "data", "PARA_FAIL2"},
    {StateId::Parameter, cmd(C::PARAMETER), "crc", "PARA_FAIL1"},
    {StateId::Parameter, cmd(C::PARAMETER), "pending", "PARA_STAY1"},
    {StateId::Parameter, cmd(C::RESET), "", "PARA_RESET1"},
    {StateId::Parameter, cmd(C::SESSION), "", "PARA_FAIL4"},
    {StateId::Parameter, INVALID, "", "PARA_FAIL5"},
    {StateId::Data, cmd(C::PROCESS_DATA), "", "DATA_OK1"},
    {StateId::Data, cmd(C::FAILSAFE_DATA), "", "DATA_OK2"},
    {StateId::Data, cmd(C::PROCESS_DATA), "conn", "DATA_FAIL2"},
    {StateId::Data, cmd(C::FAILSAFE_DATA), "crc", "DATA_FAIL1"},
    {StateId::Data, cmd(C::RESET), "crc", "DATA_RESET1"},
    {StateId::Data, cmd(C::CONNECTION), "", "DATA_FAIL3"},
    {StateId::Data, INVALID, "", "DATA_FAIL4"},
};

Facts facts_for(const Case& c) {
    Facts f;
    f.cmd = c.command;
    std::string fault = c.fault;
    f.conn_ok = fault != "conn";
    f.data_ok = fault != "data";
    f.crc_ok = fault.rfind("crc", 0) != 0;
    f.pend = fault == "pending";
    f.second = fault == "second" || fault == "crc+second";
    return f;
}

} // namespace

TEST_CASE("each state's table picks the transition its checks lead to") {
    for (const Case& c : CASES) {
        CAPTURE(c.transition);
        Facts f = facts_for(c);
        Transition t = states::decide_frame(c.state, f);
        CHECK(std::string(states::info(t).name) == c.transition);
        CHECK(states::info(t).state == c.state);
        CHECK(f.crc_asked <= 1); // each fact is asked at most once per reply
    }
}

TEST_CASE("a slave's Reset frame is taken without a CRC check") {
    for (StateId s : {StateId::Reset, StateId::Session, StateId::Connection, StateId::Parameter,
                      StateId::Data}) {
        Facts f;
        f.cmd = cmd(C::RESET);
        states::decide_frame(s, f);
        CHECK(f.crc_asked == 0);
    }
}

TEST_CASE("expiries and resets: the right transition and error code in every state") {
    const char* const wd[] = {"RESET_WD", "SESSION_WD", "CONN_WD", "PARA_WD", "DATA_WD"};
    const char* const reset[] = {"RESET_START", "SESSION_RESET2", "CONN_RESET2", "PARA_RESET2",
                                 "DATA_RESET2"};
    for (unsigned i = 0; i < states::STATE_COUNT; ++i) {
        StateId s = static_cast<StateId>(i);
        const states::TransitionInfo& w = states::info(states::watchdog_transition(s));
        const states::TransitionInfo& r = states::info(states::reset_transition(s));
        CHECK(std::string(w.name) == wd[i]);
        CHECK(std::string(r.name) == reset[i]);
        CHECK(r.error == states::ErrorCode::RESET);
        if (s != StateId::Reset) {
            CHECK(w.error == states::ErrorCode::WD_EXPIRED);
            CHECK(w.next == StateId::Reset);
        }
    }
}

TEST_CASE("every failure leads to Reset with a nonzero error code") {
    for (unsigned i = 0; i < states::transition_count(); ++i) {
        const states::TransitionInfo& t = states::info(static_cast<Transition>(i));
        CAPTURE(t.name);
        if (t.kind == states::ActionKind::Fail && t.error != states::ErrorCode::RESET)
            CHECK(t.next == StateId::Reset);
        if (std::strstr(t.name, "FAIL")) CHECK(t.error != states::ErrorCode::RESET);
    }
}
