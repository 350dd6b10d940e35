"""Arbitrary input never crashes or corrupts the Python entry points.

Bounded hypothesis budgets: the long runs are the libFuzzer harnesses under fuzz/.
"""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule
from master_helpers import DT, WIRE_LENGTH, ScriptedSlave, good_reply
from slave_helpers import RX_MAPS, TX_MAPS, C, Master, State, configure_map, fresh_slave  # noqa: F401

import tarnwick
from virtual_slave import brisel

CONN_ID = 0x55
# Integers around every width the entry points convert to, and far beyond.
EDGES = [0, 1, 0xFF, 0x100, 0xFFFF, 0x10000, 2**31, 2**32 - 1, 2**32, 2**64 - 1, 2**64]
any_int = st.one_of(st.sampled_from(EDGES + [-e for e in EDGES[1:]]), st.integers(-(2**70), 2**70))
any_value = st.one_of(any_int, st.none(), st.booleans(), st.floats(), st.text(max_size=3))
OVERFLOW_OR_TYPE = (OverflowError, TypeError)
# The slave's dictionary objects, so that keys hit real objects often.
OBJECT_KEYS = [0x040, 0x160, 0x161, 0x162, 0x163, 0x170, 0x171, 0x172, 0x173, 0x191, 0x192]
OBJECT_KEYS += [0x193, 0x194, 0x195, 0x19A, 0x650, 0x651, 0x660, 0x66F, 0x6DB, 0x6DD]
any_key = st.one_of(st.sampled_from(OBJECT_KEYS), any_int)


def int_in(value, bits):
    return type(value) in (int, bool) and 0 <= value < 2**bits


# --- frame codec ------------------------------------------------------------------


@settings(max_examples=300, deadline=None)
@given(
    data=st.binary(max_size=48),
    writes=st.lists(
        st.tuples(st.sampled_from(["sequence_number", "connection_id", "crc0"]), any_value),
        max_size=6,
    ),
    seed=any_value,
)
def test_frame_survives_any_bytes_and_field_values(data, writes, seed):
    try:
        frame = tarnwick.FSOEFrame.frame_from_array(data)
    except ValueError as e:
        assert str(e) == "Frame structure cannot handle more than 16 bytes"
        assert (len(data) + 1) // 2 - 2 > tarnwick.MAX_DATA_BYTES
        return
    for name, value in writes:
        before = getattr(frame.control, name)
        try:
            setattr(frame.control, name, value)
        except OVERFLOW_OR_TYPE:
            # A refused value leaves the field as it was.
            assert not int_in(value, 16)
            assert getattr(frame.control, name) == before
        else:
            assert int_in(value, 16) and getattr(frame.control, name) == value
    try:
        ok = frame.check_crcs_cyclic(seed)
    except OVERFLOW_OR_TYPE:
        assert not (type(seed) is int and 0 <= seed <= 0xFFFF)
    else:
        assert isinstance(ok, bool)
    wire = frame.frame_to_array()
    n = frame.safe_data_size_bytes
    assert len(wire) == (6 if n == 1 else 4 * ((n + 1) // 2) + 3)


# --- virtual slave: any sequence of calls ----------------------------------------------


class SlaveMachine(RuleBasedStateMachine):
    """Random calls of every module function, mixed with a real master's frames.

    The master's walk reaches every slave state; random and mutated frames then hit
    each of them. Invariants hold after every call.
    """

    @initialize(words=st.sampled_from([3, 4, 6]))
    def setup(self, words):
        brisel.set_mock_time(0)
        brisel.seed_random(1)
        brisel.set_sra_crc(0)
        brisel.init()
        configure_map(RX_MAPS[words], TX_MAPS[words])
        brisel.start()
        self.words = words
        self.master = Master(words)
        self.clock = 0
        # While the standard map stays as configured, STO can only be on in Data.
        self.standard_map = True

    def cycle(self, request):
        brisel.set_request(request)
        brisel.process()

    @precondition(lambda self: self.standard_map and brisel.get_frame_size_words())
    @rule(target_state=st.sampled_from(list(State)[1:]))
    def walk(self, target_state):
        """A master walks a fresh session as far as `target_state`."""
        m = self.master
        m.send(C.RESET, b"", first=True)
        m.transfer(C.SESSION, b"\xcd\xab", first=True)
        if target_state.value >= State.FSOE_STATE_CONNECTION.value:
            address = brisel.dict_read16(0x193).to_bytes(2, "little")  # may have been written
            m.transfer(C.CONNECTION, CONN_ID.to_bytes(2, "little") + address, CONN_ID)
        if target_state.value >= State.FSOE_STATE_PARAMETER.value:
            m.transfer(C.PARAMETER, b"\x02\x00\x64\x00\x04\x00" + bytes(4), CONN_ID)
        if target_state == State.FSOE_STATE_DATA:
            m.send(C.PROCESS_DATA, b"\x01", CONN_ID)
        assert brisel.get_state() == target_state

    @rule(data=st.binary(max_size=24))
    def random_request(self, data):
        self.cycle(data)

    @rule(data=st.binary(min_size=25, max_size=40))
    def overlong_request(self, data):
        with pytest.raises(ValueError):
            brisel.set_request(data)

    @rule(command=st.sampled_from(list(C)), payload=st.binary(max_size=4),
          xor=st.binary(max_size=12), conn=st.sampled_from([0, CONN_ID, 0xFFFF]))  # fmt: skip
    def mutated_request(self, command, payload, xor, conn):
        """A frame built as the master would, with some bytes garbled."""
        request = bytearray(self.master.build(command, payload, conn))
        for i, x in enumerate(xor[: len(request)]):
            request[i] ^= x
        self.cycle(bytes(request))

    @rule(step=st.integers(0, 2**32 - 1))
    def advance_clock(self, step):
        self.clock = (self.clock + step) % 2**32
        brisel.set_mock_time(self.clock)
        brisel.process()

    @rule()
    def stop_and_start(self):
        brisel.stop()
        assert brisel.get_frame_size_words() == 0
        assert brisel.get_status_sto() is False or not self.standard_map
        brisel.start()

    @rule(key=any_key, value=any_int, width=st.sampled_from([16, 32]), fast=st.booleans())
    def dictionary_write(self, key, value, width, fast):
        fn = brisel.dict_fast_write32 if fast else getattr(brisel, f"dict_write{width}")
        width = 32 if fast else width
        try:
            fn(key, value)
        except OverflowError:
            assert not (int_in(key, 16) and int_in(value, width))
        if int_in(key, 16) and 0x650 <= key <= 0x66F:
            self.standard_map = False  # map mirrors: the map may have changed

    @rule(key=any_key, width=st.sampled_from([16, 32]))
    def dictionary_read(self, key, width):
        try:
            value = getattr(brisel, f"dict_read{width}")(key)
        except OverflowError:
            assert not int_in(key, 16)
        else:
            assert int_in(value, width)

    @rule(which=st.sampled_from(["rx", "tx"]), index=any_int, address=any_int,
          size=st.one_of(any_int, st.just(True)), padding=any_value)  # fmt: skip
    def map_item(self, which, index, address, size, padding):
        setter = getattr(brisel, f"static_map_set_{which}_item")
        try:
            setter(index, address, size, padding)
        except (ValueError, OverflowError, TypeError):
            return
        self.standard_map = False

    @rule(which=st.sampled_from(["rx", "tx"]), count=any_int)
    def map_count(self, which, count):
        before = getattr(brisel, f"static_map_get_{which}_count")()
        try:
            getattr(brisel, f"static_map_set_{which}_count")(count)
        except (ValueError, OverflowError):
            assert getattr(brisel, f"static_map_get_{which}_count")() == before
        else:
            assert 0 <= count <= 15
            assert getattr(brisel, f"static_map_get_{which}_count")() == count
            self.standard_map = False

    @precondition(lambda self: not self.standard_map)
    @rule(locked=st.booleans())
    def map_lock(self, locked):
        brisel.static_map_set_lock(locked)

    @invariant()
    def consistent(self):
        words = brisel.get_frame_size_words()
        assert words in (0, self.words)
        assert len(brisel.get_reply()) == 2 * words
        assert brisel.get_state() in set(State)
        if self.standard_map and brisel.get_status_sto():
            assert brisel.get_state() == State.FSOE_STATE_DATA

    def teardown(self):
        brisel.stop()


TestSlaveMachine = SlaveMachine.TestCase
TestSlaveMachine.settings = settings(
    max_examples=150,
    stateful_step_count=30,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)


# --- master handler: set_reply in every state -------------------------------------------

MASTER_STATES = [tarnwick.StateReset, tarnwick.StateSession, tarnwick.StateConnection,
                 tarnwick.StateParameter, tarnwick.StateData]  # fmt: skip
FAIL_SAFE = 0xEE


class MasterMachine(RuleBasedStateMachine):
    """Arbitrary replies, resets, stops and fail-safe switches, with a scripted slave
    that walks the handler into any state in between."""

    @initialize(n=st.sampled_from([1, 2, 4, 16]))
    def setup(self, n):
        self.n = n
        self.inputs = [tarnwick.DictionaryItemInput(1 + k, f"in{k}", DT.UINT8, FAIL_SAFE)
                       for k in range(n)]  # fmt: skip
        outputs = [tarnwick.DictionaryItemOutput(20 + k, f"out{k}", DT.UINT8) for k in range(n)]
        self.h = tarnwick.MasterHandler(tarnwick.Dictionary(self.inputs + outputs), 1,
                                        0x1234, 30.0)  # fmt: skip
        for item in self.inputs:
            self.h.slave.dictionary_map.add(item, 8)
        for item in outputs:
            self.h.master.dictionary_map.add(item, 8)
        self.slave = ScriptedSlave(n, 0x1234)
        self.h.start()
        self.last_reply = None
        self.allowed = {(FAIL_SAFE,) * n}

    def reply(self, data):
        """Hands `data` over; the inputs may then hold its safe data (or keep theirs,
        for a repeated reply)."""
        if data != self.last_reply:
            frame = tarnwick.FSOEFrame.frame_from_array(data)
            raw = b"".join(w.to_bytes(2, "little") for w in frame.safe_data)
            self.allowed = {(FAIL_SAFE,) * self.n, tuple(raw[: self.n])}
        self.h.set_reply(data)
        self.last_reply = data

    @rule(target_state=st.sampled_from(MASTER_STATES), payload=st.binary(min_size=16, max_size=16))
    def walk(self, target_state, payload):
        # A reset by the application restarts both sequence numbers, whatever the
        # last reply did to them; the scripted slave then starts afresh too.
        if not self.h.running:
            self.h.start()
        self.h.reset()
        self.slave.restart()
        for _ in range(64):
            if self.h.state is target_state:
                return
            was_reset = self.h.state is tarnwick.StateReset
            self.reply(good_reply(self.h, self.slave, payload))
            if was_reset:
                self.slave.restart()
        raise AssertionError(f"{target_state.__name__} not reached")

    @rule(data=st.binary(max_size=36))
    def any_reply(self, data):
        self.reply(data)

    @rule(data=st.binary(min_size=37, max_size=60))
    def overlong_reply(self, data):
        running = self.h.running
        try:
            self.h.set_reply(data)
        except ValueError as e:
            assert running and str(e) == "Frame structure cannot handle more than 16 bytes"
        else:
            assert not running

    @rule(xor=st.binary(min_size=1, max_size=35), payload=st.binary(min_size=16, max_size=16))
    def garbled_good_reply(self, xor, payload):
        good = bytearray(good_reply(self.h, self.slave, payload))
        for i, x in enumerate(xor[: len(good)]):
            good[i] ^= x
        self.reply(bytes(good))

    @rule(value=any_value)
    def reply_of_wrong_type(self, value):
        with pytest.raises(TypeError):
            self.h.set_reply(value)

    @rule(action=st.sampled_from(["reset", "stop", "start", "fail_safe_on", "fail_safe_off"]))
    def application(self, action):
        if action == "fail_safe_on":
            self.h.set_fail_safe(True)
        elif action == "fail_safe_off":
            self.h.set_fail_safe(False)
        else:
            getattr(self.h, action)()
        if action in ("reset", "stop", "start"):
            self.slave.restart()

    @invariant()
    def consistent(self):
        h = self.h
        assert h.state in MASTER_STATES
        request = h.get_request()
        assert len(request) == WIRE_LENGTH[self.n]
        assert tarnwick.FSOEFrame.frame_from_array(request).control.command_is_valid()
        values = tuple(item.get() for item in self.inputs)
        # Outside Data the inputs are fail safe; in Data they come from one reply.
        if h.state is tarnwick.StateData:
            assert values in self.allowed
        else:
            assert values == (FAIL_SAFE,) * self.n

    def teardown(self):
        self.h.delete()


TestMasterMachine = MasterMachine.TestCase
TestMasterMachine.settings = settings(
    max_examples=150,
    stateful_step_count=30,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)


# --- regressions --------------------------------------------------------------------


@pytest.mark.usefixtures("fresh_slave")
def test_restart_with_other_frame_size_drops_the_previous_reply():
    """A restarted slave never answers with the previous connection's reply, which is
    laid out for the old frame size."""
    configure_map(RX_MAPS[3], TX_MAPS[3])
    brisel.start()
    brisel.set_request(bytes([C.PROCESS_DATA.value]) + bytes(5))
    brisel.process()
    assert brisel.get_reply()[:2] == bytes([C.RESET.value, 1])
    brisel.stop()
    configure_map(RX_MAPS[4], TX_MAPS[4])
    brisel.start()
    assert brisel.get_reply() == bytes(8)


def test_refused_reply_is_refused_again():
    """A reply too long for the frame is refused each time it is delivered, never
    taken for the last reply and silently ignored."""
    h = tarnwick.MasterHandler(tarnwick.Dictionary([]), 1, 1, 30.0)
    try:
        h.start()
        too_long = "^Frame structure cannot handle more than 16 bytes$"
        for _ in range(2):
            with pytest.raises(ValueError, match=too_long):
                h.set_reply(bytes(37))
        assert h.state is tarnwick.StateReset
    finally:
        h.delete()
