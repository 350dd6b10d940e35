"""A handler's diagnostics and frame history, seen from Python."""

import time

import pytest
from pair_helpers import CYCLE_US, Pair

import tarnwick

HISTORY = 6


def flip_first_data_bit(reply: bytes) -> bytes:
    return reply[:1] + bytes([reply[1] ^ 1]) + reply[2:]


@pytest.fixture
def pair():
    p = Pair(2, 1.0, clock=True, history_frames=HISTORY)
    p.connect()
    yield p
    p.close()


def test_a_connection_walk_and_a_corrupted_reply_are_counted_timed_and_kept(pair):
    handler = pair.handler
    walked = handler.diagnostics()
    assert walked.transitions["PARA_OK"] == 1 and walked.reconnections == 0
    # The slave's first answer after its start is a Reset frame: reported, and kept.
    assert (walked.resets_by_slave, walked.first_error.transition) == (1, "SESSION_RESET1")
    assert walked.last_wrong_length is None
    response = walked.response_time
    # Each request is answered one cycle after it was published (start()'s in the same).
    assert (response.min_us, response.last_us, response.max_us) == (0, CYCLE_US, CYCLE_US)
    assert response.max_cycles == 1
    assert response.count == walked.replies_taken - walked.resets_by_slave
    # Every microsecond since start() belongs to one state.
    assert sum(walked.time_in_state_us.values()) == walked.time_us == pair.now - CYCLE_US

    seen_in_callback = []  # (history, last error) as the error callback saw them
    pair.recorder.on_error = lambda *_: seen_in_callback.append(
        (handler.history(), handler.diagnostics().last_error)
    )
    corrupted = []
    pair.cycle(reply_fault=lambda r: corrupted.append(flip_first_data_bit(r)) or corrupted[0])
    pair.run_until(pair.connected)

    d = handler.diagnostics()
    assert (d.resets_by_master, d.reconnections, d.transitions["DATA_FAIL1"]) == (1, 1, 1)
    assert (d.last_error.transition, d.last_error.message) == pair.errors[-1]
    # Inside the callback: the failure's record, and the history ending with the
    # corrupted reply and the transition it caused.
    frames, error = seen_in_callback[0]
    assert (error.transition, error.error_name) == ("DATA_FAIL1", "INVALID_CRC")
    assert error.message == "Invalid slave CRC"
    bad = frames[-1]
    assert (bad.from_master, bad.outcome, bad.transition) == (False, "taken", "DATA_FAIL1")
    assert (bad.time_us, bad.data) == (error.time_us, corrupted[0])

    frames = handler.history()
    assert len(frames) == 2 * HISTORY
    assert [f.index for f in frames] == sorted(f.index for f in frames)
    assert frames[-1].data == handler.get_request()

    handler.reset_diagnostics()
    cleared = handler.diagnostics()
    assert (cleared.replies_taken, cleared.last_error, handler.history()) == (0, None, [])


def test_replies_of_another_length_and_repeats_are_counted(pair):
    handler = pair.handler
    reply = pair.cycle()
    handler.set_reply(reply)  # the same bytes again: ignored
    handler.set_reply(bytes(11))  # the frame length of a slave with 4 safe-data bytes
    d = handler.diagnostics()
    assert (d.replies_repeated, d.replies_wrong_length, d.last_wrong_length) == (1, 1, 11)
    assert handler.history()[-2].outcome == "taken"
    # The repetition is counted in the entry of the reply it repeats, not stored again.
    (entry,) = [f for f in handler.history() if f.data == reply]
    assert (entry.outcome, entry.repeats) == ("taken", 1)
    assert entry.last_repeat_us == entry.time_us + CYCLE_US


def test_without_a_clock_times_are_those_of_the_monotonic_clock():
    p = Pair(2, 5.0)
    try:
        before = time.monotonic() * 1e6
        p.handler.start()
        p.cycle()
        assert before <= p.handler.diagnostics().time_us <= time.monotonic() * 1e6
    finally:
        p.close()


@pytest.mark.parametrize(
    ("value", "error"),
    [(-1, ValueError), (65537, ValueError), (2**64, ValueError), ("8", TypeError),
     (2.0, TypeError), (True, TypeError)],
)  # fmt: skip
def test_a_bad_history_size_is_refused_at_construction(value, error):
    with pytest.raises(error, match="history_frames"):
        tarnwick.MasterHandler(tarnwick.Dictionary([]), 1, 1, 1.0, history_frames=value)


def test_a_handler_keeps_no_history_unless_asked():
    p = Pair(2, 1.0, clock=True)
    try:
        p.connect()
        assert (p.handler.history_frames, p.handler.history()) == (0, [])
        assert p.handler.diagnostics().requests_published > 0
    finally:
        p.close()
