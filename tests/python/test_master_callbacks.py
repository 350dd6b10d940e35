"""A raising callback never skips a transition; the handler's lifecycle (context
manager, collection of a dropped handler, its named watchdog thread)."""

import gc
import threading
import weakref

import pytest
from master_helpers import C, ScriptedSlave, make_handler, walk_to

import tarnwick

S = tarnwick
CONN_ID = 0x1234


def data_with_sto_on(h, slave):
    walk_to(h, slave, S.StateData)
    h.set_fail_safe(False)
    h.set_reply(slave.reply(h.get_request(), C.PROCESS_DATA, b"\x01", connection_id=CONN_ID))
    assert h.dictionary.get("sto_status") is True


def bad_crc_reply(h, slave):
    h.set_reply(
        slave.reply(h.get_request(), C.PROCESS_DATA, b"\x01", connection_id=CONN_ID, seed=0xDEAD)
    )


def slave_reset_reply(h, slave):
    h.set_reply(slave.reply(h.get_request(), C.RESET, b"\x03", connection_id=0))


def in_session(h, slave):
    walk_to(h, slave, S.StateSession)


def on_to_connection(h, slave):
    walk_to(h, slave, S.StateConnection)


# (set-up, event, callback that raises, on what, state after, command of the request
#  after, its error code (Reset frames), STO status after, running after)
CASES = {
    "DATA_FAIL1": (data_with_sto_on, bad_crc_reply, "error", "DATA_FAIL1",
                   S.StateReset, C.RESET, 4, False, True),
    "enter Connection": (in_session, on_to_connection, "state", S.StateConnection,
                         S.StateConnection, C.CONNECTION, None, False, True),
    "SESSION_RESET1": (in_session, slave_reset_reply, "error", "SESSION_RESET1",
                       S.StateSession, C.SESSION, None, False, True),
    "reset()": (data_with_sto_on, lambda h, _: h.reset(), "state", S.StateReset,
                S.StateReset, C.RESET, 0, False, True),
    "stop()": (data_with_sto_on, lambda h, _: h.stop(), "state", S.StateReset,
               S.StateReset, C.RESET, 0, False, False),
}  # fmt: skip


@pytest.mark.parametrize("case", CASES)
def test_a_raising_callback_completes_the_event_then_raises_its_own_exception(case):
    setup, event, which, on, state, command, code, sto, running = CASES[case]
    h, recorder = make_handler()
    boom = RuntimeError(f"application bug on {on}")

    def raise_once(key):
        nonlocal boom
        if key == on and boom is not None:
            raised, boom = boom, None
            raise raised

    callbacks = {"error": lambda t, _: raise_once(t), "state": raise_once}
    try:
        h.start()
        slave = ScriptedSlave(1, CONN_ID)
        setup(h, slave)
        if which == "error":
            recorder.on_error = callbacks["error"]
        else:
            recorder.on_state = callbacks["state"]
        expected, before = boom, h.get_request()
        with pytest.raises(RuntimeError) as info:
            event(h, slave)
        assert info.value is expected and info.value.__context__ is None
        assert h.state is state and h.running is running
        request = h.get_request()
        assert request != before and request[0] == command.value  # built and published
        if code is not None:
            assert request[1] == code
        assert h.dictionary.get("sto_status") is sto
        assert h._watchdog.active is running
        h.start() if not running else h.reset()
        walk_to(h, slave, S.StateData)  # the handler keeps working
    finally:
        h.delete()


def test_two_raising_callbacks_chain_the_earlier_exception_as_context():
    h, recorder = make_handler()
    first, second = KeyError("error callback"), ValueError("state callback")

    def on_error(transition, _):
        raise first

    def on_state(cls):
        raise second

    try:
        h.start()
        slave = ScriptedSlave(1, CONN_ID)
        data_with_sto_on(h, slave)
        recorder.on_error, recorder.on_state = on_error, on_state
        with pytest.raises(ValueError) as info:
            bad_crc_reply(h, slave)
        assert info.value is second and info.value.__context__ is first
        assert h.state is S.StateReset and h.get_request()[:2] == bytes([C.RESET.value, 4])
    finally:
        h.delete()


@pytest.mark.parametrize("failure", ["none", "in the block", "in stop()"])
def test_leaving_the_with_block_stops_and_deletes(failure):
    h, recorder = make_handler()
    boom = RuntimeError("boom")

    def raise_in_stop(cls):
        if not h.running:
            raise boom

    raised = None
    try:
        with h as entered:
            assert entered is h
            h.start()
            walk_to(h, ScriptedSlave(1, CONN_ID), S.StateData)
            if failure == "in stop()":
                recorder.on_state = raise_in_stop
            if failure == "in the block":
                raise boom
    except RuntimeError as e:
        raised = e
    assert raised is (None if failure == "none" else boom)
    assert not h.running and h.state is S.StateReset and not h._watchdog.is_alive()
    with pytest.raises(tarnwick.TarnwickException, match="has been deleted"):
        h.start()


def test_a_dropped_handler_is_collected_and_its_named_thread_ends():
    refs, names = [], []
    for connection_id in range(0x101, 0x119):
        h, _ = make_handler(connection_id=connection_id, timeout=0.05)
        h.start()
        refs.append(weakref.ref(h))
        names.append(h._watchdog.name)
        del h
    assert names[:2] == ["tarnwick-watchdog-0x0101", "tarnwick-watchdog-0x0102"]
    gc.collect()
    assert [r for r in refs if r() is not None] == []
    threads = [t for t in threading.enumerate() if t.name in names]
    for t in threads:
        t.join(5)
    assert [t.name for t in threads if t.is_alive()] == []
