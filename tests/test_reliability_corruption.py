"""Corrupted frames never deliver data.

An accepted Data-state frame is taken and every 1-, 2- and 3-bit corruption of its
wire bytes is handed to the receiver in exactly the state in which the clean frame
would have been accepted. Each must be rejected: no data delivered, the receiver
leaves the Data state, outputs fall to their fail-safe values.
"""

from itertools import combinations

import pytest
from slave_helpers import C, Master, State, fresh_slave, start_slave  # noqa: F401

from virtual_slave import brisel

CONN_ID = 0x55
MAX_BITS = 3


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
