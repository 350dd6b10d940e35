"""Every row of the four connection states' check tables, driven through the API.

The transition taken is read from the trace ("MASTER | TRANSITION | ..."), the
report from the error callback, and the error code from the next Reset request.
"""

import pytest
from master_helpers import (
    C,
    ScriptedSlave,
    good_reply,
    make_handler,
    request_data,
    walk_to,
)

import tarnwick

S = tarnwick
CONN_ID = 0x1234
COMMAND_TEXT = "Invalid slave frame command"
CRC_TEXT = "Invalid slave CRC"
WD_TEXT = "The watchdog of the master expired"


class Rig:
    def __init__(self, size, state, parameters=None):
        self.h, self.recorder = make_handler(in_bits=8 * size, out_bits=8 * size,
                                             parameters=parameters)  # fmt: skip
        self.slave = ScriptedSlave(size, CONN_ID)
        self.h.start()
        walk_to(self.h, self.slave, state)
        self.recorder.errors.clear()
        self.recorder.states.clear()

    def reply(self, variant):
        h, slave = self.h, self.slave
        request = h.get_request()
        name = next(c.__name__ for c in h.state.__mro__ if c.__module__ == "tarnwick")
        command = {"StateSession": C.SESSION, "StateConnection": C.CONNECTION,
                   "StateParameter": C.PARAMETER, "StateData": C.PROCESS_DATA}[name]  # fmt: skip
        echo = request_data(request) if name in ("StateConnection", "StateParameter") else b"\1"
        conn_id = 0 if name == "StateSession" else CONN_ID
        kind, _, arg = variant.partition(":")
        if kind == "good":
            return good_reply(h, slave, b"\1")
        if kind == "command":
            return slave.reply(request, C[arg], echo, connection_id=conn_id)
        if kind == "invalid":
            return b"\x00" + good_reply(h, slave)[1:]
        if kind == "reset":
            return slave.reply(request, C.RESET, bytes([int(arg)]), connection_id=conn_id)
        if kind == "bad_crc":
            return slave.reply(request, command, echo, connection_id=conn_id, seed=0xDEAD)
        if kind == "bad_connid":
            return slave.reply(request, command, echo, connection_id=CONN_ID + 1, seed=0xDEAD)
        if kind == "bad_data":
            bad = bytes([echo[0] ^ 0xFF]) + echo[1:]
            return slave.reply(request, command, bad, connection_id=conn_id, seed=0xDEAD)
        raise ValueError(variant)

    def run(self, capsys, event):
        tarnwick.TARNWICK_LOGGING = True
        capsys.readouterr()
        try:
            event()
        finally:
            tarnwick.TARNWICK_LOGGING = False
        lines = capsys.readouterr().out.splitlines()
        return [line.split(" | ")[2] for line in lines if "| TRANSITION |" in line]


def reset_code(h):
    request = h.get_request()
    assert request[0] == C.RESET.value
    return request[1]


SLAVE_RESET = "Connection was reset by the slave (slave reported error {})"
CONNID_TEXT = f"Connection id exchanged does not match {CONN_ID + 1} != {CONN_ID}"

# (state, size, reply variant, transition, report message or None, next state, reset code)
ROWS = [
    (S.StateSession, 1, "invalid", "SESSION_FAIL4", COMMAND_TEXT, S.StateReset, 2),
    (S.StateSession, 1, "good", "SESSION_STAY1", None, S.StateSession, None),
    (S.StateSession, 2, "good", "SESSION_OK", None, S.StateConnection, None),
    (S.StateSession, 1, "bad_crc", "SESSION_STAY2", CRC_TEXT, S.StateSession, None),
    (S.StateSession, 4, "bad_crc", "SESSION_STAY2", CRC_TEXT, S.StateSession, None),
    (S.StateSession, 2, "reset:3", "SESSION_RESET1", SLAVE_RESET.format("INVALID_CONNID"),
     S.StateSession, None),
    (S.StateSession, 2, "command:CONNECTION", "SESSION_FAIL3", COMMAND_TEXT, S.StateReset, 1),
    (S.StateSession, 2, "command:FAILSAFE_DATA", "SESSION_FAIL3", COMMAND_TEXT, S.StateReset, 1),
    (S.StateConnection, 2, "invalid", "CONN_FAIL5", COMMAND_TEXT, S.StateReset, 2),
    (S.StateConnection, 2, "bad_connid", "CONN_FAIL3", CONNID_TEXT, S.StateReset, 3),
    (S.StateConnection, 2, "bad_data", "CONN_FAIL2",
     "Data exchanged during session state does not match", S.StateReset, 7),
    (S.StateConnection, 2, "bad_crc", "CONN_FAIL1", CRC_TEXT, S.StateReset, 4),
    (S.StateConnection, 2, "good", "CONNECTION_STAY1", None, S.StateConnection, None),
    (S.StateConnection, 4, "good", "CONN_OK", None, S.StateParameter, None),
    (S.StateConnection, 2, "reset:4", "CONN_RESET1", SLAVE_RESET.format("INVALID_CRC"),
     S.StateSession, None),
    (S.StateConnection, 2, "command:SESSION", "CONN_FAIL4", COMMAND_TEXT, S.StateReset, 1),
    (S.StateParameter, 2, "invalid", "PARA_FAIL5", COMMAND_TEXT, S.StateReset, 2),
    (S.StateParameter, 2, "bad_connid", "PARA_FAIL3", CONNID_TEXT, S.StateReset, 3),
    (S.StateParameter, 2, "bad_data", "PARA_FAIL2",
     "Data exchanged during parameter state does not match", S.StateReset, 7),
    (S.StateParameter, 2, "bad_crc", "PARA_FAIL1", CRC_TEXT, S.StateReset, 4),
    (S.StateParameter, 2, "good", "PARA_STAY1", None, S.StateParameter, None),
    (S.StateParameter, 2, "reset:200", "PARA_RESET1", SLAVE_RESET.format("INVALID_SAFEPARA_200"),
     S.StateSession, None),
    (S.StateParameter, 2, "command:CONNECTION", "PARA_FAIL4", COMMAND_TEXT, S.StateReset, 1),
    (S.StateData, 2, "invalid", "DATA_FAIL4", COMMAND_TEXT, S.StateReset, 2),
    (S.StateData, 2, "command:PARAMETER", "DATA_FAIL3", COMMAND_TEXT, S.StateReset, 1),
    (S.StateData, 2, "reset:0", "DATA_RESET1", SLAVE_RESET.format("RESET"), S.StateSession, None),
    (S.StateData, 2, "bad_connid", "DATA_FAIL2", CONNID_TEXT, S.StateReset, 3),
    (S.StateData, 2, "bad_crc", "DATA_FAIL1", CRC_TEXT, S.StateReset, 4),
    (S.StateData, 2, "good", "DATA_OK1", None, S.StateData, None),
    (S.StateData, 2, "command:FAILSAFE_DATA", "DATA_OK2", None, S.StateData, None),
]  # fmt: skip


@pytest.mark.parametrize(
    ("state", "size", "variant", "transition", "message", "next_state", "code"), ROWS,
    ids=[f"{row[3]}-{row[2]}-{row[1]}" for row in ROWS],
)  # fmt: skip
def test_check_table_row(capsys, state, size, variant, transition, message, next_state, code):
    rig = Rig(size, state)
    try:
        state_object = rig.h._state
        reply = rig.reply(variant)
        assert rig.run(capsys, lambda: rig.h.set_reply(reply)) == [transition]
        assert rig.recorder.errors == ([(transition, message)] if message else [])
        assert rig.h.state is next_state
        if next_state is state:
            assert rig.h._state is state_object  # same instance, no callback
            assert rig.recorder.states == []
        else:
            assert rig.recorder.states == [next_state]
        if code is not None:
            assert reset_code(rig.h) == code
            assert rig.h.master.session.error_id.value == code
    finally:
        rig.h.delete()


@pytest.mark.parametrize(
    ("state", "wd", "reset"),
    [
        (S.StateReset, "RESET_WD", "RESET_START"),
        (S.StateSession, "SESSION_WD", "SESSION_RESET2"),
        (S.StateConnection, "CONN_WD", "CONN_RESET2"),
        (S.StateParameter, "PARA_WD", "PARA_RESET2"),
        (S.StateData, "DATA_WD", "DATA_RESET2"),
    ],
)
def test_watchdog_and_reset_events(capsys, state, wd, reset):
    rig = Rig(2, state)
    try:
        assert rig.run(capsys, rig.h._watchdog_expired_event) == [wd]
        assert rig.recorder.errors == [(wd, WD_TEXT)]
        if state is S.StateReset:
            assert rig.h.state is S.StateSession  # the master starts a session anyway
        else:
            assert rig.h.state is S.StateReset and reset_code(rig.h) == 5
        rig.h.start()  # back to Reset with code 0
        walk_to(rig.h, rig.slave, state)
        rig.recorder.errors.clear()
        assert rig.run(capsys, rig.h.reset) == [reset]
        assert rig.recorder.errors == []
        assert rig.h.state is S.StateReset and reset_code(rig.h) == 0
    finally:
        rig.h.delete()


def test_session_fail1_after_stay1(capsys):
    rig = Rig(1, S.StateSession)
    try:
        rig.h.set_reply(rig.reply("good"))  # SESSION_STAY1: the second frame is on its way
        reply = rig.reply("bad_crc")
        assert rig.run(capsys, lambda: rig.h.set_reply(reply)) == ["SESSION_FAIL1"]
        assert rig.recorder.errors == [("SESSION_FAIL1", CRC_TEXT)]
        assert reset_code(rig.h) == 4
    finally:
        rig.h.delete()


def test_slave_reset_restarts_session_counters():
    rig = Rig(2, S.StateConnection)
    try:
        old_id = rig.h.master.session.session_id.value
        rig.h.set_reply(rig.reply("reset:3"))
        request = tarnwick.FSOEFrame.frame_from_array(rig.h.get_request())
        assert request.control.command is C.SESSION
        # The new session's first request is seeded with CRC_0 = 0 and sequence number 1.
        expected = tarnwick.FSOEFrame(7)
        expected.control.command = C.SESSION
        expected.control.sequence_number = 1
        expected.safe_data[0] = rig.h.master.session.session_id.value
        assert request.crcs[0] == expected.calc_crc0()
        assert rig.h.slave.frame.control.sequence_number == 1
        rig.slave.restart()
        walk_to(rig.h, rig.slave, S.StateData)  # the new session completes
        assert rig.h.master.session.session_id.value != old_id or old_id == 0
    finally:
        rig.h.delete()


def test_unknown_slave_error_code_still_restarts_session(capsys):
    rig = Rig(2, S.StateData)
    try:
        reply = rig.reply("reset:42")
        assert rig.run(capsys, lambda: rig.h.set_reply(reply)) == ["DATA_RESET1"]
        message = "Connection was reset by the slave (slave reported unknown error code 42)"
        assert rig.recorder.errors == [("DATA_RESET1", message)]
        assert rig.h.state is S.StateSession
    finally:
        rig.h.delete()


def test_connection_maps_after_session_ok():
    rig = Rig(2, S.StateConnection)
    try:
        m, s = rig.h.master, rig.h.slave
        assert m._dynamic_map._items == [m.session.connection_id, m.session.slave_address]
        assert s._dynamic_map._items == [s.session.connection_id, s.session.slave_address]
        assert m.frame.control.command is C.CONNECTION
    finally:
        rig.h.delete()


@pytest.mark.parametrize(
    ("params", "size", "stays"),
    [([], 2, 2), ([("a", 4), ("b", 2), ("c", 1)], 4, 3), ([("a", 4)], 1, 9)],
)
def test_parameter_exchange_layout(params, size, stays):
    parameters = [tarnwick.ApplicationParameter(name, 0x10 + n, n_bytes=n) for name, n in params]
    rig = Rig(size, S.StateParameter, parameters=parameters)
    try:
        h = rig.h
        total = sum(n for _, n in params)
        assert h.master.session.comm_parameter_size_bytes.value == 2
        assert h.master.session.app_parameter_size_bytes.value == total
        sent = b""
        stay_count = 0
        while h.state is S.StateParameter:
            sent += request_data(h.get_request())[:size]
            h.set_reply(good_reply(h, rig.slave))
            stay_count += h.state is S.StateParameter
        assert h.state is S.StateData and stay_count == stays
        expected = (2).to_bytes(2, "little") + (5000).to_bytes(2, "little")
        expected += total.to_bytes(2, "little")
        expected += b"".join((0x10 + n).to_bytes(n, "little") for _, n in params)
        assert sent[: len(expected)] == expected
        assert [p.value for p in h.slave.application_parameters] == [p.value for p in parameters]
        assert h.slave.session.watchdog_ms.value == 5000
    finally:
        rig.h.delete()


def test_parameter_reentry_clears_slave_side():
    parameters = [tarnwick.ApplicationParameter("a", 9, n_bytes=2)]
    rig = Rig(2, S.StateData, parameters=parameters)
    try:
        h = rig.h
        assert h.slave.application_parameters[0].value == 9
        h.reset()
        rig.slave.restart()
        walk_to(h, rig.slave, S.StateParameter)
        assert h.slave.application_parameters[0].value == 0
        assert h.slave.session.watchdog_ms.value == 0
    finally:
        rig.h.delete()


def test_data_inputs_follow_replies():
    rig = Rig(2, S.StateData)
    try:
        h = rig.h
        status = h.dictionary.name_map["sto_status"]
        h.set_reply(rig.reply("good"))  # the slave sends its BOOL set
        assert status.get() is True
        h.set_reply(rig.reply("command:FAILSAFE_DATA"))
        assert status.get() is False
        h.set_reply(rig.reply("good"))
        assert status.get() is True
        h.set_reply(rig.reply("bad_crc"))
        assert status.get() is False  # the reset forces fail-safe values
    finally:
        rig.h.delete()


def test_outputs_travel_in_fail_safe_mode_too():
    rig = Rig(2, S.StateData)
    try:
        h = rig.h
        h.dictionary.set("sto", True)
        h.set_reply(rig.reply("good"))
        request = h.get_request()
        assert request[0] == C.FAILSAFE_DATA.value and request[1] & 1 == 1
        h.set_fail_safe(False)
        h.dictionary.set("sto", False)
        h.set_reply(rig.reply("good"))
        request = h.get_request()
        assert request[0] == C.PROCESS_DATA.value and request[1] & 1 == 0
    finally:
        rig.h.delete()


def test_reset_session_from_data():
    rig = Rig(2, S.StateData)
    try:
        h = rig.h
        h.set_fail_safe(False)
        h.dictionary.name_map["sto_status"]._write(1)
        assert S.StateSession(h)._reset_session() is S.StateSession
        assert h._data_command is C.FAILSAFE_DATA
        assert h.dictionary.get("sto_status") is False
    finally:
        rig.h.delete()


def test_custom_state_subclass_runs_through_python():
    calls = []

    class CountingData(S.StateData):
        def _process_frame_received_event(self):
            calls.append(self.context.state)
            return super()._process_frame_received_event()

    rig = Rig(2, S.StateData)
    try:
        rig.h._state = CountingData(rig.h)
        rig.h.set_reply(rig.reply("good"))
        assert calls == [CountingData]
        assert type(rig.h._state) is CountingData  # still an instance of StateData: kept
    finally:
        rig.h.delete()


def test_subclass_overrides_of_the_crc_check_and_actions_take_effect():
    """An application's subclass decides through its own `_check_received_crcs`, and
    each transition is taken through its own action method."""
    actions = []

    class Strict(S.StateData):
        def _check_received_crcs(self):
            return False  # every reply is refused as corrupted

        def _StateData__data_fail1_action(self):
            actions.append("fail1")
            return super()._StateData__data_fail1_action()

        def _StateData__data_reset2_action(self):
            actions.append("reset2")
            return super()._StateData__data_reset2_action()

    rig = Rig(2, S.StateData)
    try:
        h = rig.h
        h._state = Strict(h)
        h.set_reply(rig.reply("good"))
        assert actions == ["fail1"]
        assert rig.recorder.errors == [("DATA_FAIL1", CRC_TEXT)]
        assert h.state is S.StateReset
        assert h.master.session.error == tarnwick.FSOEError.INVALID_CRC

        h._state = Strict(h)
        h.reset()
        assert actions == ["fail1", "reset2"]
        assert h.state is S.StateReset
    finally:
        rig.h.delete()


class Hold(S.State):
    """A state of the application's own, deriving from none of the five."""

    def _process_frame_received_event(self):
        return Hold

    def _process_watchdog_expired_event(self):
        return S.StateReset

    def _process_reset_connection_event(self):
        return S.StateReset


class ToSibling(S.StateReset):
    def _process_reset_connection_event(self):
        return Sibling


class Sibling(S.StateReset):
    pass


class ToHold(S.StateReset):
    def _process_reset_connection_event(self):
        return Hold


@pytest.mark.parametrize("first, entered", [(ToSibling, Sibling), (ToHold, Hold)])
def test_a_returned_class_of_the_same_or_no_built_in_state_is_entered(first, entered):
    """Another subclass of the current state, and a class of the application's own,
    replace the state instance and reach the state-change callback."""
    h, recorder = make_handler()
    try:
        h.start()
        h._state = first(h)
        h.reset()
        assert type(h._state) is entered
        assert recorder.states == [entered]
    finally:
        h.delete()


def test_a_state_of_the_applications_own_runs_its_events_and_leaves_to_a_built_in_one():
    h, recorder = make_handler()
    try:
        h.start()
        h._state = Hold(h)
        h.reset()  # Hold answers a reset with StateReset
        assert recorder.states == [S.StateReset]
        h._state = held = Hold(h)
        h.set_reply(b"\x2a" + bytes(5))
        assert h._state is held  # kept: its operation returned its own class
        request = h.get_request()
        # Built as between the handshake's steps: the session's connection id.
        assert int.from_bytes(request[4:6], "little") == CONN_ID
        h.reset()
        assert type(h._state) is S.StateReset and recorder.states[-1] is S.StateReset
        assert h.get_request()[4:6] == b"\0\0"
    finally:
        h.delete()
