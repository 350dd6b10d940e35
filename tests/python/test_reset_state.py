import pytest
from master_helpers import C, ScriptedSlave, make_handler

import tarnwick

S = tarnwick


@pytest.fixture
def started():
    handler, recorder = make_handler()
    handler.start()
    yield handler, recorder, ScriptedSlave(1, 0x1234)
    handler.delete()


def test_state_is_abstract():
    with pytest.raises(TypeError):
        S.State(None)

    class Incomplete(S.State):
        def _process_frame_received_event(self):
            return S.StateReset

        def _process_watchdog_expired_event(self):
            return super()._process_watchdog_expired_event()

    with pytest.raises(TypeError):
        Incomplete(None)

    class Complete(Incomplete):
        def _process_reset_connection_event(self):
            return S.StateReset

    with pytest.raises(NotImplementedError):
        Complete(None)._process_watchdog_expired_event()


def test_state_classes():
    classes = [S.StateReset, S.StateSession, S.StateConnection, S.StateParameter, S.StateData]
    assert [c.id for c in classes] == [0, 1, 2, 3, 4]
    assert all(issubclass(c, S.State) for c in classes)
    assert not hasattr(S.StateConnection, "map_frame")
    assert hasattr(S.StateReset, "_StateReset__reset_ok_action")
    assert hasattr(S.StateConnection, "_StateConnection__conn_stay1_action")
    assert S.StateSession(context=None).context is None


def test_reset_reply_enters_session_whatever_its_crc(started):
    handler, recorder, slave = started
    reply = bytearray(slave.reply(handler.get_request(), C.RESET, b"\0"))
    reply[2] ^= 0xFF  # CRC_0 broken
    old_id = handler.master.session.session_id.value
    handler.set_reply(bytes(reply))
    assert handler.state is S.StateSession
    assert recorder.states == [S.StateSession]
    assert recorder.errors == []
    request = tarnwick.FSOEFrame.frame_from_array(handler.get_request())
    assert request.control.command is C.SESSION
    session_id = handler.master.session.session_id.value
    assert request.safe_data[0] & 0xFF == session_id & 0xFF
    assert session_id != old_id or session_id == 0  # drawn anew (a clash is possible)


@pytest.mark.parametrize("command", [C.SESSION, C.PROCESS_DATA, 0x00, 0xFF])
def test_other_reply_stays_with_code_zero(started, command):
    handler, recorder, slave = started
    state_before = handler._state
    handler.master.session.error = tarnwick.FSOEError.INVALID_CRC
    if isinstance(command, int):
        reply = bytes([command]) + slave.reply(handler.get_request(), C.RESET, b"\0")[1:]
    else:
        reply = slave.reply(handler.get_request(), command, b"\0")
    handler.set_reply(reply)
    assert handler._state is state_before
    assert recorder.states == []
    assert recorder.errors == [("RESET_STAY1", "Invalid slave frame command")]
    assert handler.master.session.error_id.value == 0
    assert handler.get_request()[:2] == b"\x2a\x00"


def test_reset_handler_resets_everything(started):
    handler, _, _ = started
    status = handler.dictionary.name_map["sto_status"]
    status._write(1)
    handler._data_command = C.PROCESS_DATA
    handler.master.frame.control.crc0 = 0x1111
    handler.slave.frame.control.sequence_number = 9
    result = handler._state._reset_handler(tarnwick.BaseError.INVALID_CRC)
    assert result is S.StateReset
    assert handler.master.session.error_id.value == 4
    for node in (handler.master, handler.slave):
        assert node.frame.control.crc0 == 0
        assert node.frame.control.sequence_number == 1
    assert handler._data_command is C.FAILSAFE_DATA
    assert status.get() is False
    assert handler.master._dynamic_map._items == [handler.master.session.error_id]
    assert handler.master.frame.control.command is C.RESET


def test_check_received_crcs_plain_then_cyclic(started):
    handler, _, slave = started
    state = handler._state
    reply = slave.reply(handler.get_request(), C.RESET, b"\0")
    handler.slave.frame._frame_from_array(reply)
    handler.slave.frame.control.crc0 = tarnwick.FSOEFrame.frame_from_array(
        handler.get_request()
    ).crcs[0]
    assert handler.slave._last_crc0_sent is None
    assert state._check_received_crcs()
    # With the previous CRC_0 equal to this one, the cyclic rule steps first.
    handler.slave._last_crc0_sent = handler.slave.frame.crcs[0]
    assert not state._check_received_crcs()
