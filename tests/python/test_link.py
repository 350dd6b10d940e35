"""The Link between the master and the virtual slave: each communication error is
detected, discarded or tolerated, and never taken as new safe data."""

import math
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from pair_helpers import CONNECTION_ID, CYCLE_US, Pair, slave_reset, walk_cycles

import tarnwick
from virtual_slave import Direction, Fault, Link, brisel

WATCHDOG_S = 0.05
WATCHDOG_CYCLES = round(WATCHDOG_S * 1e6 / CYCLE_US)
# Frames missing for n cycles leave n + 1 cycles between accepted replies; the
# watchdog expires when that gap reaches its time.
LONGEST_TOLERATED = WATCHDOG_CYCLES - 2
NEIGHBOUR_ID = 0x0202
NEIGHBOUR = object()  # stands for the other connection's Link in the table
SIZES = [1, 2, 4]

DETECTED, DISCARDED, TOLERATED, EXPIRED = "detected", "discarded", "tolerated", "expired"
SLAVE_CRC = ("DATA_RESET1", slave_reset("INVALID_CRC"))
SLAVE_CONNID = ("DATA_RESET1", slave_reset("INVALID_CONNID"))
MASTER_CRC = ("DATA_FAIL1", "Invalid slave CRC")
MISMATCH = f"Connection id exchanged does not match {NEIGHBOUR_ID} != {CONNECTION_ID}"
MASTER_CONNID = ("DATA_FAIL2", MISMATCH)
WATCHDOG = ("DATA_WD", "The watchdog of the master expired")

# name, fault, options, outcome, first report for a fault on the request / the reply
# (None: any failure of the Data state). Bit 8 is the STO bit, in the first data byte.
C, L, D = Fault.CORRUPTION, Fault.LOSS, Fault.DELAY
OTHER_ID = {"connection_id": NEIGHBOUR_ID}
HANDLING = [
    ("1 bit", C, {"bits": [8]}, DETECTED, SLAVE_CRC, MASTER_CRC),
    ("2 bits", C, {"bits": [8, 17]}, DETECTED, SLAVE_CRC, MASTER_CRC),
    ("3 bits", C, {"bits": [8, 9, 23]}, DETECTED, SLAVE_CRC, MASTER_CRC),
    ("3 random bits", C, {"count": 3}, DETECTED, None, None),
    ("repetition", Fault.REPETITION, {}, DISCARDED, None, None),
    ("old frame", Fault.SEQUENCE, {"age": 6}, DETECTED, SLAVE_CRC, MASTER_CRC),
    ("loss", L, {"cycles": LONGEST_TOLERATED}, TOLERATED, None, None),
    ("loss in ms", L, {"ms": LONGEST_TOLERATED}, TOLERATED, None, None),
    ("long loss", L, {"cycles": LONGEST_TOLERATED + 1}, EXPIRED, WATCHDOG, WATCHDOG),
    ("long loss in ms", L, {"ms": 2 * WATCHDOG_CYCLES}, EXPIRED, WATCHDOG, WATCHDOG),
    ("delay", D, {"cycles": LONGEST_TOLERATED}, TOLERATED, None, None),
    ("long delay", D, {"cycles": LONGEST_TOLERATED + 1}, EXPIRED, WATCHDOG, WATCHDOG),
    ("insertion", Fault.INSERTION, {}, DETECTED, SLAVE_CRC, MASTER_CRC),
    ("other connection id", Fault.MASQUERADE, OTHER_ID, DETECTED, SLAVE_CONNID, MASTER_CONNID),
    ("masquerade", Fault.MASQUERADE, {"source": NEIGHBOUR}, DETECTED, SLAVE_CRC, MASTER_CRC),
    ("addressing", Fault.ADDRESSING, {"source": NEIGHBOUR}, DETECTED, SLAVE_CONNID, MASTER_CONNID),
]


@pytest.fixture
def neighbour(size):
    """A Link that carried another connection's Data frames, STO on both ways."""
    random.seed(99)
    n = Pair(size, WATCHDOG_S, clock=True, link_seed=9, connection_id=NEIGHBOUR_ID)
    n.connect()
    n.handler.set_fail_safe(False)
    n.handler.dictionary.set("sto", True)
    n.run(5)
    n.close()
    return n.link


@pytest.fixture
def pair(size, neighbour):
    """A pair in Data (after the neighbour's connection) whose last frames both ways
    carry STO off after frames carrying it on: a stale or forged frame taken as valid
    would switch it on."""
    random.seed(1)
    p = Pair(size, WATCHDOG_S, clock=True, link_seed=1)
    p.connect()
    p.handler.set_fail_safe(False)
    for on, cycles in ((True, 8), (False, 4)):
        p.handler.dictionary.set("sto", on)
        p.run(cycles)
        assert p.handler.dictionary.get("sto_status") is brisel.get_status_sto() is on
    p.recorder.errors.clear()
    p.recorder.states.clear()
    yield p
    p.close()


def sto_never_on(p, cycles):
    """Runs `cycles` cycles while the master commands STO off: neither side may ever
    hold it on."""
    for _ in range(cycles):
        p.cycle()
        assert p.handler.dictionary.get("sto_status") is False
        assert brisel.get_status_sto() is False


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("direction", [Direction.REQUEST, Direction.REPLY], ids=lambda d: d.value)
@pytest.mark.parametrize(
    ("fault", "options", "outcome", "reports"),
    [row[1:4] + (row[4:],) for row in HANDLING],
    ids=[row[0] for row in HANDLING],
)
def test_fault_is_handled(pair, neighbour, direction, fault, options, outcome, reports):
    p = pair
    options = {k: neighbour if v is NEIGHBOUR else v for k, v in options.items()}
    injected_at = p.link.cycle
    p.link.at(injected_at, fault, direction, **options)
    sto_never_on(p, 1)
    first = p.link.injections[0]
    assert (first.cycle, first.direction, first.fault) == (injected_at, direction, fault)
    assert first.applied and first.delivered != first.original
    if outcome == DETECTED and "connection_id" not in options:
        assert first.delivered[1] & 1  # what it delivered would have switched STO on

    if outcome in (DISCARDED, TOLERATED):
        sto_never_on(p, 2 * WATCHDOG_CYCLES)
        assert p.errors == [] and p.recorder.states == []
        assert p.connected()
    else:
        if outcome == EXPIRED:  # the last cycle the watchdog allows, then its expiry
            sto_never_on(p, LONGEST_TOLERATED - 1)
            assert p.errors == [] and p.connected()
            sto_never_on(p, 1)
        report = reports[direction is Direction.REPLY]
        assert p.errors[0] == report if report else p.errors[0][0].startswith("DATA_")
        assert p.handler.state is not tarnwick.StateData
        for _ in range(3 * WATCHDOG_CYCLES):
            if p.connected():
                break
            sto_never_on(p, 1)
        # Reconnected within a walk to Data (and its one Session restart) from the
        # last frame the link touched.
        assert p.connected()
        assert (
            p.link.cycle - p.link.injections[-1].cycle - 1
            <= walk_cycles(p.handler.initialization_data_bytes) + 1
        )
    p.handler.dictionary.set("sto", True)  # and the data flows again
    p.handler.set_fail_safe(False)
    p.run(3)
    assert p.handler.dictionary.get("sto_status") is brisel.get_status_sto() is True


@pytest.mark.parametrize("size", SIZES)
def test_inserted_frame_is_valid_for_the_seed_it_was_built_with(pair):
    p = pair
    p.link.at(p.link.cycle, Fault.INSERTION, Direction.REPLY, data=b"\x01\x02\x03\x04")
    p.cycle()
    [inserted] = p.link.injections
    frame = tarnwick.FSOEFrame.frame_from_array(inserted.delivered)
    genuine = tarnwick.FSOEFrame.frame_from_array(inserted.original)
    assert frame.control.command == genuine.control.command
    assert frame.control.connection_id == CONNECTION_ID
    assert frame.frame_to_array()[1] == 1
    frame.control.sequence_number = inserted.details["sequence_number"]
    frame.control.crc0 = inserted.details["crc0"]
    assert frame.check_crcs()
    assert p.errors == [MASTER_CRC]  # valid CRCs, but not for the master's seed


# --- the channel on its own -------------------------------------------------------


def carry(link, schedule, frames):
    """Hands `frames` (each a cycle's request) through `link` after `schedule`, one
    cycle each; returns what came out, frames named by their index, None as '-'."""
    for args, options in schedule:
        link.at(*args, **options)
    out = []
    for frame in frames:
        delivered = link.request(frame)
        out.append("-" if delivered is None else str(frames.index(delivered)))
        link.step()
    return "".join(out)


DISTINCT = [bytes([k]) * 6 for k in range(8)]
# A sender that repeats its frame until something new reached the receiver.
REPEATING = [DISTINCT[0]] + [DISTINCT[1]] * 4 + DISTINCT[2:5]


@pytest.mark.parametrize(
    ("schedule", "frames", "expected"),
    [
        ([], DISTINCT, "01234567"),
        ([((1, "loss", "request"), {"cycles": 3})], DISTINCT, "0---4567"),
        ([((2, "repetition", "request"), {})], DISTINCT, "01134567"),
        ([((3, "sequence", "request"), {"age": 3})], DISTINCT, "01204567"),
        ([((4, "sequence", "request"), {})], DISTINCT, "01232567"),
        # A queue: distinct frames keep the delay, a repeating sender catches up.
        ([((1, "delay", "request"), {"cycles": 2})], DISTINCT, "0--12345"),
        ([((1, "delay", "request"), {"cycles": 2})], REPEATING, "0--11567"),
        # Faults of one cycle take the following frames in turn; the reply is untouched.
        (
            [
                ((2, "loss", "request"), {}),
                ((2, "repetition", "request"), {}),
                ((2, "loss", "reply"), {}),
            ],
            DISTINCT,
            "01-14567",
        ),  # fmt: skip
    ],
)
def test_channel_delivers(schedule, frames, expected):
    assert carry(Link(), schedule, frames) == expected


def test_clear_drops_the_faults_to_come_but_not_a_running_loss():
    link = Link()
    link.random(Fault.REPETITION, 1.0)  # nothing to repeat yet: skipped
    link.at(1, Fault.LOSS, "request", cycles=3)
    link.at(5, Fault.REPETITION, "request")
    assert carry(link, [], DISTINCT[:3]) == "0--"
    link.clear()
    assert carry(link, [], DISTINCT) == "-1234567" and link.pending == ()
    faults = [(i.fault, i.applied) for i in link.injections]
    assert faults == [(Fault.REPETITION, False)] + [(Fault.LOSS, True)] * 3


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda k: k.at(3, "bogus", "reply"), ValueError, "unknown fault 'bogus'"),
        (lambda k: k.at(3, 3, "reply"), TypeError, "fault must be a Fault"),
        (lambda k: k.at(3, "loss", "sideways"), ValueError, "unknown direction"),
        (lambda k: k.at(3, "loss", "reply", cycles=-1), ValueError, "cycles must be at least 1"),
        (lambda k: k.at(3, "delay", "reply", cycles=1.5), TypeError, "cycles must be an int"),
        (lambda k: k.at(2, "loss", "reply"), ValueError, r"cycle 2 is in the past .* cycle 3"),
        (lambda k: k.at(3, "loss", "reply", ms=5), ValueError, "needs a Link made with clock="),
        (lambda k: k.at(3, "loss", "reply", cycles=2, ms=5), ValueError, "not both"),
        (lambda k: k.at(3, "loss", "reply", count=2), TypeError, "loss takes no option 'count'"),
        (lambda k: k.at(3, "corruption", "both", bits=[100]), ValueError, "beyond the 6-byte"),
        (lambda k: k.at(3, "corruption", "reply", bits=[1, 1]), ValueError, "distinct"),
        (lambda k: k.at(3, "sequence", "reply", age=1), ValueError, "age must be at least 2"),
        (lambda k: k.at(3, "addressing", "reply"), ValueError, "takes source"),
        (lambda k: k.at(3, "addressing", "reply", frame=bytes(37)), ValueError, "at most 36"),
        (lambda k: k.random("loss", p=1.5), ValueError, r"p must be within \[0, 1\]"),
        (lambda k: k.random("loss", p=math.nan), ValueError, r"p must be within \[0, 1\]"),
        (lambda k: k.request("frame"), TypeError, "frame must be bytes, got str"),
        (lambda k: Link(seed=1.0), TypeError, "seed must be an int"),
    ],
)
def test_refused_at_the_call(call, error, message):
    link = Link()
    for _ in range(3):
        link.reply(bytes(6))
        link.step()
    with pytest.raises(error, match=message):
        call(link)
    assert link.pending == () and link.injections == ()


FAULT_OPTIONS = [
    (C, {"count": 1}), (C, {"count": 4}), (Fault.REPETITION, {}), (Fault.SEQUENCE, {"age": 2}),
    (Fault.SEQUENCE, {"age": 5}), (L, {"cycles": 3}), (L, {"ms": 2.5}), (D, {"cycles": 1}),
    (D, {"cycles": 3}), (Fault.INSERTION, {}), (Fault.MASQUERADE, {}),
    (Fault.MASQUERADE, {"source": NEIGHBOUR}), (Fault.ADDRESSING, {"source": NEIGHBOUR}),
    (Fault.ADDRESSING, {"frame": b"\x36" * 7}),
]  # fmt: skip
random_fault = st.tuples(st.sampled_from(FAULT_OPTIONS), st.floats(0.0, 1.0))


def run_random(seed, faults, frames):
    now = [0.0]
    other = Link(seed=seed + 1)
    link = Link(seed=seed, clock=lambda: now[0])
    for (fault, options), p in faults:
        options = {k: other if v is NEIGHBOUR else v for k, v in options.items()}
        link.random(fault, p, **options)
    calls = []
    for frame in frames:
        other.request(frame[::-1])
        other.reply(frame[1:])
        for carry_one, way in ((link.request, Direction.REQUEST), (link.reply, Direction.REPLY)):
            sent = frame if way is Direction.REQUEST else frame[::-1]
            calls.append((link.cycle, way, sent, carry_one(sent)))
        now[0] += 0.001
        link.step()
    return calls, link.injections


@settings(max_examples=150, deadline=None)
@given(
    seed=st.integers(0, 2**32),
    faults=st.lists(random_fault, max_size=4),
    frames=st.lists(
        st.one_of(st.binary(max_size=40), st.sampled_from([b"", bytes(6), bytes(36), bytes(300)])),
        min_size=1,
        max_size=25,
    ),
)
def test_random_faults_never_raise_and_every_change_is_recorded(seed, faults, frames):
    calls, injections = run_random(seed, faults, frames)
    recorded = {(i.cycle, i.direction): i for i in injections}
    assert len(recorded) == len(injections)  # at most one record per frame
    for cycle, way, sent, delivered in calls:
        record = recorded.pop((cycle, way), None)
        if delivered != sent:
            assert record is not None, (cycle, way)
        if record is not None:
            assert (record.original, record.delivered) == (sent, delivered)
    assert not recorded
    assert run_random(seed, faults, frames) == (calls, injections)  # the seed repeats it
