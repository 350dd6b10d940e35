"""A MasterHandler made with clock=: no watchdog thread, the watchdog on the
application's clock, expiries delivered by poll()."""

import math
import random
import threading

import pytest
from master_helpers import make_handler
from pair_helpers import Pair

import tarnwick

TIMEOUT_S = 0.05
TIMEOUT_US = 50_000
WD_EXPIRED = tarnwick.FSOEError.WD_EXPIRED.value


@pytest.fixture
def pair():
    p = Pair(2, TIMEOUT_S, clock=True)
    p.connect()
    p.recorder.errors.clear()
    yield p
    p.close()


def test_no_thread_and_an_expiry_exactly_at_the_deadline(pair):
    h = pair.handler
    assert isinstance(h._watchdog, tarnwick.ClockWatchdog)
    before = set(threading.enumerate())
    clocked_handler(pair.seconds)[0].start()
    assert set(threading.enumerate()) == before
    assert h._watchdog.deadline == pytest.approx(pair.seconds() - 0.001 + TIMEOUT_S)
    pair.advance(TIMEOUT_US - 1000 - 1)  # the last reply came one cycle ago
    assert h.poll() is False
    pair.advance(1)
    assert h.poll() is True
    assert pair.errors == [("DATA_WD", "The watchdog of the master expired")]
    assert h.state is tarnwick.StateReset
    assert h.get_request()[:2] == bytes([tarnwick.FSOECommand.RESET.value, WD_EXPIRED])


def test_a_late_poll_delivers_one_expiry_and_the_next_period_runs_from_it(pair):
    h = pair.handler
    pair.advance(10 * TIMEOUT_US)
    assert h.poll() is True
    assert h.poll() is False  # ten periods late: still one expiry
    assert [e[0] for e in pair.errors] == ["DATA_WD"]
    pair.advance(TIMEOUT_US)
    assert h.poll() is True
    assert [e[0] for e in pair.errors] == ["DATA_WD", "RESET_WD"]
    assert pair.run_until(pair.connected) > 0


def test_the_same_inputs_give_the_same_frames():
    def run():
        random.seed(7)
        p = Pair(1, TIMEOUT_S, clock=True)
        try:
            frames = []
            p.handler.start()
            for cycle in range(300):  # replies lost for 60 ms of every 100
                frames.append(p.cycle(deliver_reply=cycle % 100 < 40))
                p.handler.poll()
                frames.append(p.handler.get_request())
            return frames, p.errors
        finally:
            p.close()

    first = run()
    assert any(e[0] == "DATA_WD" for e in first[1])
    assert run() == first


def test_the_watchdog_operations_work_on_the_clock(pair):
    h, dog = pair.handler, pair.handler._watchdog
    assert dog.active
    dog.deactivate()
    assert dog.deadline is None and not dog.active
    pair.advance(10 * TIMEOUT_US)
    assert h.poll() is False
    dog.reset()  # not supervising: stays off
    assert dog.deadline is None
    dog.activate()
    assert dog.deadline == pytest.approx(pair.seconds() + TIMEOUT_S)
    pair.advance(TIMEOUT_US // 2)
    dog.activate()  # already running: the period is kept
    dog.activate_and_reset()
    assert dog.deadline == pytest.approx(pair.seconds() + TIMEOUT_S)
    dog.stop()
    assert dog.is_alive() is False


def test_a_raising_callback_during_poll_completes_the_expiry_first(pair):
    boom = RuntimeError("callback")

    def raise_it(*_):
        raise boom

    pair.recorder.on_error = raise_it
    pair.advance(TIMEOUT_US)
    with pytest.raises(RuntimeError) as raised:
        pair.handler.poll()
    assert raised.value is boom
    assert pair.handler.state is tarnwick.StateReset
    assert pair.handler.get_request()[1] == WD_EXPIRED


def clocked_handler(clock):
    """A handler with one output and one input byte, timed by `clock`."""
    sto = tarnwick.DictionaryItemOutput(1, "sto", tarnwick.DataType.BOOL)
    errors = []
    h = tarnwick.MasterHandler(tarnwick.Dictionary([sto]), 1, 0x1234, TIMEOUT_S,
                               report_error_callback=lambda *e: errors.append(e),
                               clock=clock)  # fmt: skip
    h.master.dictionary_map.add(sto, 8)
    h.slave.dictionary_map.add_padding(8)
    return h, errors


@pytest.mark.parametrize(
    "reading, error",
    [(-0.001, ValueError), (math.nan, ValueError), (math.inf, ValueError), ("1", TypeError)],
)
def test_a_bad_clock_reading_is_refused_by_the_call_and_changes_nothing(reading, error):
    now = [0.0]
    h, errors = clocked_handler(lambda: now[0])
    try:
        h.start()
        request = h.get_request()
        now[0] = reading
        for call in (h.poll, h.reset, lambda: h.set_reply(b"\0" * 6), h._watchdog.reset):
            with pytest.raises(error):
                call()
        assert h.get_request() == request and errors == []
    finally:
        h.delete()


def test_poll_and_the_clock_argument_are_checked():
    h, _ = make_handler()
    try:
        with pytest.raises(tarnwick.TarnwickException, match=r"poll\(\) needs a handler made"):
            h.poll()
    finally:
        h.delete()
    with pytest.raises(TypeError, match="Argument 'clock' has incorrect type"):
        clocked_handler(42)


def test_a_manual_clock_times_the_handler_without_being_called():
    clock = tarnwick.ManualClock(1.5)
    assert clock() == 1.5 and clock.now_us == 1_500_000
    with pytest.raises(ValueError):
        clock.advance(-1e-6)
    with pytest.raises(TypeError):
        clock.advance_us(-1)
    h, errors = clocked_handler(clock)
    try:
        h.start()
        clock.advance_us(TIMEOUT_US - 1)
        assert h.poll() is False
        clock.advance(1e-6)
        assert h.poll() is True
        assert [e[0] for e in errors] == ["RESET_WD"]
    finally:
        h.delete()
