"""Corrupted frames never deliver data.

An accepted Data-state frame is taken and every 1-, 2- and 3-bit corruption of its
wire bytes is handed to the receiver in exactly the state in which the clean frame
would have been accepted. Each must be rejected: no data delivered, the receiver
leaves the Data state, outputs fall to their fail-safe values.
"""

import random
from itertools import combinations

import pytest
from crc_syndromes import ReplyChecks
from master_helpers import DT, ScriptedSlave, good_reply
from slave_helpers import C, Master, State, fresh_slave, start_slave  # noqa: F401

import tarnwick
from virtual_slave import brisel

CONN_ID = 0x55
MAX_BITS = 3
MASTER_SIZES = [1, 2, 4, 6, 8, 10, 12, 14, 16]
MASTER_CONN_ID = 0x1234
FAIL_SAFE = 0xEE
SEED = 1234
# Corruptions of three bits or more pass through the whole handler in a sample of
# this size per case; the CRC model decides all of them exactly.
HANDLER_SAMPLE = 300
WATCHDOG_S = 60.0  # far longer than any replay, even under the sanitizers


def flip(data, bits):
    out = bytearray(data)
    for b in bits:
        out[b // 8] ^= 1 << (b % 8)
    return bytes(out)


def corruptions(length, nbits):
    return combinations(range(8 * length), nbits)


class SlaveInData:
    """The virtual slave walked into Data once; `restore()` replays the walk.

    The mock clock, random source and SRA CRC are fixed, so the replayed requests
    bring the slave into exactly the same state each time, in a few microseconds.
    """

    def __init__(self, words):
        start_slave(words)
        self.master = Master(words)
        recorded = []
        original = brisel.set_request
        brisel.set_request = lambda data: (recorded.append(data), original(data))
        try:
            self.master.connect(CONN_ID, wd_ms=100)
            # STO off: the frame under test switches it on.
            self.master.send(C.PROCESS_DATA, b"\x00", CONN_ID)
        finally:
            brisel.set_request = original
        self.walk = recorded
        self.clean = self.master.build(C.PROCESS_DATA, b"\x01", CONN_ID)

    def restore(self):
        brisel.seed_random(1)
        brisel.stop()
        brisel.start()
        for request in self.walk:
            brisel.set_request(request)
            brisel.process()

    def deliver(self, request):
        self.restore()
        assert brisel.get_state() == State.FSOE_STATE_DATA
        assert brisel.get_status_sto() is False
        brisel.set_request(request)
        brisel.process()
        return brisel.get_state(), brisel.get_status_sto(), brisel.get_reply()


@pytest.mark.usefixtures("fresh_slave")
@pytest.mark.parametrize("nbits", range(1, MAX_BITS + 1))
@pytest.mark.parametrize("words", [3, 4, 6])
def test_slave_rejects_every_corrupted_request(words, nbits):
    slave = SlaveInData(words)
    # The clean frame is accepted: the STO output follows it.
    assert slave.deliver(slave.clean)[:2] == (State.FSOE_STATE_DATA, True)

    accepted = []
    for bits in corruptions(len(slave.clean), nbits):
        state, sto, reply = slave.deliver(flip(slave.clean, bits))
        # Rejected means: back in Reset, answering with a Reset frame that carries an
        # error code, and the output at its safe value.
        if state != State.FSOE_STATE_RESET or sto or reply[0] != C.RESET.value or reply[1] == 0:
            accepted.append(bits)
    assert accepted == []


# --- the master receiving corrupted replies ----------------------------------------


class MasterInData:
    """A handler walked into Data by a scripted slave; `restore()` replays the walk.

    The session id comes from the seeded `random` module, so the replayed replies
    bring the handler into exactly the same state. Inputs: n bytes with fail-safe
    value FAIL_SAFE; the last good reply set them to 0x11, the one under test to 0x22.
    """

    def __init__(self, n):
        self.inputs = [tarnwick.DictionaryItemInput(100 + k, f"in{k}", DT.UINT8, FAIL_SAFE)
                       for k in range(n)]  # fmt: skip
        outputs = [tarnwick.DictionaryItemOutput(200 + k, f"out{k}", DT.UINT8) for k in range(n)]
        self.events = []
        self.h = tarnwick.MasterHandler(
            tarnwick.Dictionary(self.inputs + outputs), 1, MASTER_CONN_ID, WATCHDOG_S,
            report_error_callback=lambda name, message: self.events.append(name),
            state_change_callback=lambda cls: self.events.append(cls.__name__),
        )  # fmt: skip
        for item in self.inputs:
            self.h.slave.dictionary_map.add(item, 8)
        for item in outputs:
            self.h.master.dictionary_map.add(item, 8)
        random.seed(SEED)
        slave = ScriptedSlave(n, MASTER_CONN_ID)
        self.h.start()
        self.first_request = self.h.get_request()
        self.walk = []
        while self.h.state is not tarnwick.StateData:
            was_reset = self.h.state is tarnwick.StateReset
            self._record(good_reply(self.h, slave))
            if was_reset:
                slave.restart()
        self._record(good_reply(self.h, slave, bytes([0x11] * n)))
        self.clean = good_reply(self.h, slave, bytes([0x22] * n))
        ctl = self.h.slave.frame.control
        self.checks = ReplyChecks(self.clean, ctl.sequence_number, ctl.crc0,
                                  self.h.slave._last_crc0_sent)  # fmt: skip

    def _record(self, reply):
        self.walk.append(reply)
        self.h.set_reply(reply)

    def restore(self):
        self.h.stop()
        random.seed(SEED)
        self.h.start()
        # The first Reset request never repeats the CRC_0 sent last: when stop()
        # sent the same frame, start() stepped the sequence number. One more reset
        # sends the recorded first request again.
        if self.h.get_request() != self.first_request:
            self.h.reset()
        for reply in self.walk:
            self.h.set_reply(reply)

    def deliver(self, reply):
        """(took it with DATA_OK, inputs) for `reply` given in the recorded state."""
        self.restore()
        assert self.h.state is tarnwick.StateData
        assert [i.get() for i in self.inputs] == [0x11] * len(self.inputs)
        self.events.clear()
        self.h.set_reply(reply)
        took = self.h.state is tarnwick.StateData and not self.events
        return took, [i.get() for i in self.inputs]

    def close(self):
        self.h.delete()


@pytest.fixture(scope="module")
def masters():
    made = {}

    def get(n):
        # The others are parked, their watchdogs off: an expiry of an idle handler
        # must not strike in the middle of its next replay.
        for m in made.values():
            m.h.stop()
        return made.setdefault(n, MasterInData(n))

    yield get
    for m in made.values():
        m.close()


def sample(n_bits, k, count, seed):
    rng = random.Random(seed)
    return [tuple(sorted(rng.sample(range(n_bits), k))) for _ in range(count)]


@pytest.mark.parametrize("n", MASTER_SIZES)
def test_master_takes_the_clean_reply(masters, n):
    m = masters(n)
    assert m.deliver(m.clean) == (True, [0x22] * n)
    assert m.checks.gets_through(())  # the model agrees


@pytest.mark.parametrize("nbits", [1, 2])
@pytest.mark.parametrize("n", MASTER_SIZES)
def test_master_rejects_every_corrupted_reply(masters, n, nbits):
    """Every 1- and 2-bit corruption, each through the whole handler."""
    m = masters(n)
    accepted = []
    for bits in corruptions(len(m.clean), nbits):
        took, inputs = m.deliver(flip(m.clean, bits))
        # Rejected: no DATA_OK, and the inputs at their fail-safe value (every path
        # out of Data forces them) or, for a reply ignored, at their previous value.
        if took or inputs not in ([FAIL_SAFE] * n, [0x11] * n):
            accepted.append(bits)
    assert accepted == []


@pytest.mark.parametrize("n", MASTER_SIZES)
def test_no_three_bit_corruption_gets_through(masters, n):
    """All 3-bit corruptions, decided exactly by the CRC model; a sample of them and
    of 4-bit ones also through the whole handler, which must agree with the model."""
    m = masters(n)
    assert m.checks.escapes(3) == []
    four = m.checks.escapes(4)
    for k in (3, 4):
        for bits in sample(m.checks.nbits, k, HANDLER_SAMPLE, seed=n * 10 + k) + four[:20]:
            if len(bits) != k:
                continue
            took, inputs = m.deliver(flip(m.clean, bits))
            assert took == m.checks.gets_through(bits), bits
            if not took:
                assert inputs in ([FAIL_SAFE] * n, [0x11] * n)


@pytest.mark.parametrize("n", [1, 2])
def test_crc_model_finds_what_does_get_through(masters, n):
    """The model is not blind: the first corruptions the CRCs cannot see (6 bits for
    these sizes) are found, and the handler indeed takes each with DATA_OK."""
    m = masters(n)
    assert m.checks.escapes(5) == []
    six = m.checks.escapes(6)
    assert six
    for bits in six:
        took, inputs = m.deliver(flip(m.clean, bits))
        assert took and inputs != [0x22] * n
