import re
import subprocess
import sys
import threading
import time

import pytest
from master_helpers import (
    DT,
    C,
    ScriptedSlave,
    good_reply,
    make_handler,
    request_crc0,
    request_data,
    walk_to,
)

import tarnwick

S = tarnwick


class Handle:
    """A handler with its callback recorder."""

    def __init__(self, **kwargs):
        self.h, self.recorder = make_handler(**kwargs)

    def __getattr__(self, name):
        return getattr(self.h, name)


@pytest.fixture
def handler():
    wrapped = Handle()
    yield wrapped
    wrapped.h.delete()


def test_new_handler(handler):
    assert not handler.running
    assert handler.state is S.StateReset
    assert handler.initialization_data_bytes == 0
    assert handler.get_request() == b""
    handler.set_reply(b"\x2a\x00\x00\x00\x00\x00")  # ignored: not running
    assert handler.state is S.StateReset
    assert handler._data_command is C.FAILSAFE_DATA
    assert isinstance(handler._watchdog, S.Watchdog) and handler._watchdog.is_alive()
    assert not handler._watchdog.active


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        ((1, 0, 0.1), ValueError, "Connection ID = 0 is not permitted"),
        ((1, 1, 65.536), OverflowError, "value too large to convert to uint16_t"),
        ((-1, 1, 0.1), OverflowError, "can't convert negative value to uint16_t"),
        ((1, 1, 0), ValueError, "Watchdog timeout must be a positive number of seconds"),
        ((1, 1, -0.5), ValueError, "Watchdog timeout must be a positive number of seconds"),
        ((1, 1, 0.000999), ValueError, "Watchdog timeout must be at least 0.001 seconds (1 ms)"),
    ],
)
def test_construction_errors(args, error, message):
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        tarnwick.MasterHandler(tarnwick.Dictionary([]), *args)


@pytest.mark.parametrize(
    ("kwargs", "name", "expected", "got"),
    [
        ({"dictionary": None}, "dictionary", "tarnwick.Dictionary", "NoneType"),
        ({"application_parameters": ()}, "application_parameters", "list", "tuple"),
        ({"report_error_callback": 42}, "report_error_callback", "callable or None", "int"),
        ({"state_change_callback": "x"}, "state_change_callback", "callable or None", "str"),
        (
            {"state_change_callback": object()},
            "state_change_callback",
            "callable or None",
            "object",
        ),
    ],
)
def test_construction_argument_types(kwargs, name, expected, got):
    args = {"dictionary": tarnwick.Dictionary([]), "slave_address": 1, "connection_id": 1,
            "watchdog_timeout_s": 0.1}  # fmt: skip
    args.update(kwargs)
    with pytest.raises(TypeError) as info:
        tarnwick.MasterHandler(**args)
    text = f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
    assert str(info.value) == text


@pytest.mark.parametrize(
    ("timeout", "ms"), [(0.1, 100), (0.001, 1), (0.0019, 1), (65.535, 65535), (1.0, 1000)]
)
def test_watchdog_milliseconds_truncated(timeout, ms):
    h = tarnwick.MasterHandler(tarnwick.Dictionary([]), 1, 1, timeout)
    try:
        assert h.master.session.watchdog_ms.value == ms
        assert h.slave.session.watchdog_ms.value == 0
    finally:
        h.delete()


def test_nodes_and_parameters():
    params = [tarnwick.ApplicationParameter("a", 3, n_bytes=1),
              tarnwick.ApplicationParameter("b", -2, data_type=DT.INT16)]  # fmt: skip
    h = tarnwick.MasterHandler(tarnwick.Dictionary([]), 7, 9, 1.0, application_parameters=params)
    try:
        assert h.master.application_parameters is params
        slave_params = h.slave.application_parameters
        assert [p.data_type for p in slave_params] == [DT.UINT8, DT.INT16]
        assert [p.value for p in slave_params] == [0, 0]
        session = h.master.session
        assert (session.slave_address.value, session.connection_id.value) == (7, 9)
        assert (h.slave.session.slave_address.value, h.slave.session.connection_id.value) == (0, 0)
        with pytest.raises(PermissionError, match="Application parameter already used by a master"):
            tarnwick.MasterHandler(tarnwick.Dictionary([]), 1, 1, 1.0,
                                   application_parameters=params)  # fmt: skip
    finally:
        h.delete()


def test_refused_handler_binds_no_parameter():
    free = tarnwick.ApplicationParameter("free", 0, n_bytes=1)
    taken = tarnwick.ApplicationParameter("taken", 0, n_bytes=1)
    taken._set_use_by_master(object())
    with pytest.raises(PermissionError):
        tarnwick.MasterHandler(tarnwick.Dictionary([]), 1, 1, 1.0,
                               application_parameters=[free, taken])  # fmt: skip
    free._set_use_by_master(object())  # still free


def test_start_builds_reset_request(handler):
    handler.start()
    assert handler.running
    assert handler.initialization_data_bytes == 1
    request = handler.get_request()
    assert request == b"\x2a\x00\x86\xf8\x00\x00"  # RESET, code 0, CRC_0 of sequence 1, id 0
    assert handler.get_request() is request
    assert handler._watchdog.active


def test_initialization_size_is_the_smaller_map():
    h, _ = make_handler(in_bits=32, out_bits=16)
    try:
        h.start()
        assert h.initialization_data_bytes == 2
        assert h.master.frame.safe_data_size_bytes == 2
        assert h.slave.frame.safe_data_size_bytes == 4
    finally:
        h.delete()


def test_repeated_reply_processed_once(handler):
    handler.start()
    slave = ScriptedSlave(1)
    reply = slave.reply(handler.get_request(), C.SESSION, b"\0")
    handler.set_reply(reply)  # a SESSION reply in Reset: RESET_STAY1
    request = handler.get_request()
    handler.set_reply(reply)
    handler.set_reply(reply)
    assert handler.recorder.errors == [("RESET_STAY1", "Invalid slave frame command")]
    assert handler.get_request() is request


def test_reset_reply_collects_slave_error_code(handler):
    handler.start()
    walk_to(handler.h, ScriptedSlave(1, 0x1234), S.StateData)
    slave = ScriptedSlave(1, 0x1234)
    handler.set_reply(slave.reply(handler.get_request(), C.RESET, b"\x03"))
    assert handler.slave.session.error_id.value == 3
    assert handler.recorder.errors[-1] == (
        "DATA_RESET1",
        "Connection was reset by the slave (slave reported error INVALID_CONNID)",
    )


def test_callbacks_follow_class_changes(handler):
    handler.start()
    walk_to(handler.h, ScriptedSlave(1, 0x1234), S.StateData)
    assert handler.recorder.states == [S.StateSession, S.StateConnection, S.StateParameter,
                                       S.StateData]  # fmt: skip


def test_connection_id_zero_until_connection(handler):
    handler.start()
    slave = ScriptedSlave(1, 0x1234)
    seen = {}
    for _ in range(40):
        request = tarnwick.FSOEFrame.frame_from_array(handler.get_request())
        seen.setdefault(handler.state, set()).add(request.control.connection_id)
        if handler.state is S.StateData:
            break
        was_reset = handler.state is S.StateReset
        handler.set_reply(good_reply(handler.h, slave))
        if was_reset:
            slave.restart()
    assert seen[S.StateReset] == {0} and seen[S.StateSession] == {0}
    assert seen[S.StateConnection] == seen[S.StateParameter] == seen[S.StateData] == {0x1234}


def test_fail_safe_switch_takes_effect_from_next_request(handler):
    handler.start()
    slave = ScriptedSlave(1, 0x1234)
    walk_to(handler.h, slave, S.StateData)
    assert handler.get_request()[0] == C.FAILSAFE_DATA.value
    cached = handler.get_request()
    handler.set_fail_safe(False)
    assert handler.get_request() is cached
    handler.set_reply(good_reply(handler.h, slave))
    assert handler.get_request()[0] == C.PROCESS_DATA.value
    handler.set_fail_safe()
    handler.set_reply(good_reply(handler.h, slave))
    assert handler.get_request()[0] == C.FAILSAFE_DATA.value
    handler.set_fail_safe(False)
    handler.reset()
    assert handler._data_command is C.FAILSAFE_DATA


def test_set_slave_address(handler):
    handler.start()
    running = "^Cannot set slave address while running$"
    with pytest.raises(S.TarnwickRunningException, match=running):
        handler.set_slave_address(5)
    handler.stop()
    handler.set_slave_address(5)
    assert handler.master.session.slave_address.value == 5
    with pytest.raises(OverflowError):
        handler.set_slave_address(70000)


def test_stop_twice_and_restart(handler):
    handler.start()
    handler.stop()
    assert not handler.running and not handler._watchdog.active
    handler.stop()
    handler.master.dictionary_map.add_padding(8)  # maps unlocked
    handler.start()
    assert handler.state is S.StateReset and handler.initialization_data_bytes == 1


def test_set_reply_needs_bytes(handler):
    handler.start()
    for data in (None, "x", bytearray(b"x")):
        with pytest.raises(TypeError, match="Argument 'data' has incorrect type"):
            handler.set_reply(data)


def test_oversized_reply_is_refused(handler):
    handler.start()
    with pytest.raises(ValueError, match="Frame structure cannot handle more than 16 bytes"):
        handler.set_reply(bytes(40))
    assert handler.state is S.StateReset


def test_reset_while_stopped_drives_expiries():
    h, recorder = make_handler(timeout=0.02)
    try:
        h.reset()  # not running: the reset path still arms the watchdog
        deadline = time.monotonic() + 5
        while len(recorder.errors) < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert ("RESET_WD", "The watchdog of the master expired") in recorder.errors
        assert S.StateSession in recorder.states
    finally:
        h.delete()


def test_operations_after_delete(handler):
    handler.start()
    handler.delete()
    assert not handler._watchdog.is_alive()
    for op in (handler.start, handler.reset, lambda: handler.set_reply(b"\x2a" * 6)):
        with pytest.raises(S.TarnwickException, match="deleted"):
            op()
    handler.stop()  # returns, and unlocks the maps
    assert not handler.running
    handler.delete()


@pytest.mark.parametrize("delete_first", [False, True])
def test_stop_drops_the_inputs_to_fail_safe_whatever_the_clean_up_order(delete_first):
    h, _ = make_handler()
    try:
        h.start()
        slave = ScriptedSlave(1, 0x1234)
        walk_to(h, slave, S.StateData)
        h.set_fail_safe(False)
        h.set_reply(slave.reply(h.get_request(), C.PROCESS_DATA, b"\x01"))
        assert h.dictionary.get("sto_status") is True
        if delete_first:
            h.delete()
        h.stop()
        assert h.dictionary.get("sto_status") is False
        assert h.state is S.StateReset and not h.running
    finally:
        h.delete()


@pytest.mark.parametrize("name", ["_second_session_frame_sent",
                                  "_reset_slave_sequence_number_after_frame"])  # fmt: skip
def test_internal_switches_take_any_truth_value(handler, name):
    for value, expected in ((1, True), ("", False), ([0], True), (None, False)):
        setattr(handler.h, name, value)
        assert getattr(handler.h, name) is expected


def _reset_frame_code(request):
    frame = tarnwick.FSOEFrame.frame_from_array(request)
    assert frame.control.command is C.RESET
    return frame.safe_data[0] & 0xFF


@pytest.mark.parametrize(("call", "running"), [("stop", False), ("reset", True)])
def test_an_event_run_from_the_error_callback_settles_the_connection(call, running):
    """The application stops or resets the handler from its error callback: that
    event decides, and the failing transition is not taken on top of it."""
    h, recorder = make_handler(timeout=0.05)
    try:
        h.start()
        slave = ScriptedSlave(1, 0x1234)
        walk_to(h, slave, S.StateData)
        recorder.errors.clear()
        recorder.on_error = lambda *_: getattr(h, call)()
        bad_crc = slave.reply(h.get_request(), C.PROCESS_DATA, b"\1", connection_id=0x1234, seed=1)
        h.set_reply(bad_crc)
        assert recorder.errors == [("DATA_FAIL1", "Invalid slave CRC")]
        assert h.state is S.StateReset and h.running is running
        assert h._watchdog.active is running
        assert _reset_frame_code(h.get_request()) == 0  # the application's reset: code 0
        if not running:
            time.sleep(0.25)  # five watchdog periods: a stopped handler stays quiet
            assert len(recorder.errors) == 1 and h.state is S.StateReset
    finally:
        h.delete()


def test_stop_from_the_error_callback_of_an_expiry_ends_the_expiries():
    h, recorder = make_handler(timeout=0.02)
    stopped = threading.Event()

    def stop(*_):
        h.stop()
        stopped.set()

    recorder.on_error = stop
    try:
        h.start()
        assert stopped.wait(5)
        time.sleep(0.2)  # ten watchdog periods
        assert [t for t, _ in recorder.errors] == ["RESET_WD"]
        assert not h.running and not h._watchdog.active and h.state is S.StateReset
    finally:
        h.delete()


def test_reset_from_the_error_callback_of_a_staying_state_leaves_it_in_reset():
    """A Session reply with a bad CRC is reported but keeps the state; a reset asked
    for from that report must not be undone by the stay."""
    h, recorder = make_handler()
    try:
        h.start()
        slave = ScriptedSlave(1, 0x1234)
        walk_to(h, slave, S.StateSession)
        recorder.on_error = lambda *_: h.reset()
        h.set_reply(slave.reply(h.get_request(), C.SESSION, b"\1", seed=1))
        assert recorder.errors == [("SESSION_STAY2", "Invalid slave CRC")]
        assert h.state is S.StateReset
        assert tarnwick.FSOEFrame.frame_from_array(h.get_request()).control.command is C.RESET
        recorder.on_error = None
        walk_to(h, slave, S.StateData)  # the connection is whole: it walks to Data again
    finally:
        h.delete()


def test_a_callback_exception_ending_the_watchdog_drops_the_connection_to_fail_safe():
    """Without its watchdog the master must not go on carrying safe data: the inputs
    fall to fail-safe, Reset frames carry WD_EXPIRED, and running on is refused."""
    h, recorder = make_handler(timeout=0.2)
    thread_errors = []
    saved_hook, threading.excepthook = threading.excepthook, thread_errors.append

    def faulty_callback(transition, message):
        if transition.endswith("_WD"):
            raise KeyError("a bug in the application's callback")

    try:
        h.start()
        slave = ScriptedSlave(1, 0x1234)
        walk_to(h, slave, S.StateData)
        h.set_fail_safe(False)
        h.set_reply(slave.reply(h.get_request(), C.PROCESS_DATA, b"\x01", connection_id=0x1234))
        assert h.dictionary.get("sto_status") is True
        recorder.on_error = faulty_callback
        h._watchdog.join(5)  # no more replies: the expiry's callback raises
        assert not h._watchdog.is_alive()
        assert [e.exc_type for e in thread_errors] == [KeyError]
        assert h.state is S.StateReset
        assert h.dictionary.get("sto_status") is False
        assert _reset_frame_code(h.get_request()) == tarnwick.FSOEError.WD_EXPIRED.value
        ended = "^The watchdog thread of the master has ended with an exception$"
        for operation in (h.start, h.reset, lambda: h.set_reply(bytes(6))):
            with pytest.raises(tarnwick.TarnwickException, match=ended):
                operation()
        h.stop()  # still returns
        assert not h.running
    finally:
        threading.excepthook = saved_hook
        h.delete()


@pytest.mark.parametrize(
    ("sto_type", "bits", "bad", "good", "message"),
    [
        (DT.BOOL, 1, 2, True, "Invalid value for BOOL type (item sto: 2)"),
        (DT.UINT16, 8, 1500, 220, "Invalid value for its mapped width "
         "(item sto: 1500 does not fit 8 bits, accepted 0 to 255)"),
    ],
)  # fmt: skip
def test_a_request_that_failed_to_build_is_built_when_the_reply_comes_again(
    sto_type, bits, bad, good, message
):
    h, recorder = make_handler(sto_type=sto_type, sto_bits=bits)
    try:
        h.start()
        slave = ScriptedSlave(1, 0x1234)
        walk_to(h, slave, S.StateData)
        h.dictionary.set("sto", bad)  # kept by the item, refused when packed
        reply = good_reply(h, slave)
        before = h.get_request()
        for _ in range(2):  # the bus delivers the same reply again
            with pytest.raises(ValueError) as info:
                h.set_reply(reply)
            assert str(info.value) == message
            assert h.get_request() == before
        h.dictionary.set("sto", good)
        h.set_reply(reply)  # the repeated reply now builds the request
        assert h.get_request() != before
        assert request_data(h.get_request())[0] == sto_type.serialize_value(good)
        for _ in range(3):
            h.set_reply(good_reply(h, slave))
        assert h.state is S.StateData and recorder.errors == []
    finally:
        h.delete()


def test_stop_and_delete_from_watchdog_callback_return():
    done = threading.Event()
    box = {}

    def on_error(transition, message):
        box["h"].stop()
        box["h"].delete()
        done.set()

    h = tarnwick.MasterHandler(tarnwick.Dictionary([]), 1, 1, 0.02, report_error_callback=on_error)
    box["h"] = h
    h.start()
    assert done.wait(5)
    h._watchdog.join(5)
    assert not h._watchdog.is_alive()
    assert not h.running


def test_interpreter_exits_with_live_handler():
    code = (
        "import tarnwick\n"
        "h = tarnwick.MasterHandler(tarnwick.Dictionary([]), 1, 1, 0.05)\n"
        "h.start()\n"
    )
    subprocess.run([sys.executable, "-c", code], timeout=30, check=True)


def test_stale_expiry_is_dropped_after_rearm():
    # A reply processed between an expiry and its turn at the event lock re-arms the
    # watchdog; the late expiry must not reset the fresh connection.
    h, recorder = make_handler(timeout=0.2)
    try:
        h.start()
        slave = ScriptedSlave(1, 0x1234)
        for _ in range(20):
            walk_to(h, slave, S.StateData)
            h.set_reply(good_reply(h, slave))
        assert all(t != "DATA_WD" for t, _ in recorder.errors)
    finally:
        h.delete()


def test_requests_stay_whole_under_racing_threads():
    h, recorder = make_handler(timeout=0.002)
    stop = threading.Event()
    failures = []

    def reader():
        while not stop.is_set():
            request = h.get_request()
            if request:
                frame = tarnwick.FSOEFrame.frame_from_array(request)
                if len(request) not in (3, 6) or not frame.control.command_is_valid():
                    failures.append(request)

    h.start()
    thread = threading.Thread(target=reader)
    thread.start()
    slave = ScriptedSlave(1, 0x1234)
    end = time.monotonic() + 2
    cycles = 0
    try:
        while time.monotonic() < end:
            request = h.get_request()
            h.set_reply(slave.reply(request, C.RESET if cycles % 7 == 0 else C.SESSION, b"\0"))
            if cycles % 50 == 0:
                h.reset()
            if cycles % 97 == 0:
                h.set_fail_safe(cycles % 2 == 0)
            cycles += 1
    finally:
        stop.set()
        thread.join(5)
        h.delete()
    assert not failures
    assert cycles > 100
    assert request_crc0(h.get_request()) is not None


def test_the_published_request_is_one_object_until_the_next_event():
    """get_request() gives the request the last event published, the same object each
    time; _get_request() builds a new one without publishing it."""
    h, _ = make_handler()
    try:
        h.start()
        published = h.get_request()
        assert h.get_request() is published
        rebuilt = h._get_request()
        assert rebuilt != published  # the next sequence number
        assert h.get_request() is published
        h.reset()
        assert h.get_request() is not published
    finally:
        h.delete()
