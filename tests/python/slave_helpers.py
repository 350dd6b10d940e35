"""Drives the virtual slave with master frames built by tarnwick's frame codec."""

from types import SimpleNamespace

import pytest

import tarnwick
from virtual_slave import brisel

C = tarnwick.FSOECommand
State = brisel.FSOEState

# Item lists (key, size in bits, padding) covering whole frames of 3, 4 and 6 words:
# command byte, safe data with its CRC words, connection id. The STO flag (0x040)
# is the lowest bit of the first safe-data byte in both directions.
_HEAD_RX = [(0x171, 8, False), (0x040, 1, False), (0, 7, True)]
_HEAD_TX = [(0x161, 8, False), (0x040, 1, False), (0, 7, True)]
_BODY = {
    3: [(0, 16, True)],
    4: [(0, 8, True), (0, 16, True)],
    6: [(0, 8, True), (0, 16, True), (0, 16, True), (0, 16, True)],
}
RX_MAPS = {w: _HEAD_RX + body + [(0x172, 16, False)] for w, body in _BODY.items()}
TX_MAPS = {w: _HEAD_TX + body + [(0x162, 16, False)] for w, body in _BODY.items()}


def configure_map(rx, tx):
    brisel.static_map_set_rx_count(len(rx))
    brisel.static_map_set_tx_count(len(tx))
    for i, (key, size, padding) in enumerate(rx, 1):
        brisel.static_map_set_rx_item(i, key, size, padding)
    for i, (key, size, padding) in enumerate(tx, 1):
        brisel.static_map_set_tx_item(i, key, size, padding)


def start_slave(words=3):
    configure_map(RX_MAPS[words], TX_MAPS[words])
    brisel.start()
    assert brisel.get_frame_size_words() == words


def next_seq(s):
    return 1 if s == 0xFFFF else s + 1


def le(value, size):
    return value.to_bytes(size, "little")


class Master:
    """The master's side of one connection: builds requests and checks replies.

    Mirrors the master's bookkeeping: each frame is seeded with the slave's last
    CRC_0, sequence numbers step per frame and skip a repeated CRC_0.
    """

    def __init__(self, words=3):
        self.words = words
        self.n = words - 2
        self.seq = 0
        self.last_crc0 = 0
        self.seed = 0  # the slave's last CRC_0, seeding our next frame
        self.slave_seq = 0
        self.slave_last_crc0 = 0
        self.last_request = b""

    def build(self, command, data=b"", conn_id=0, *, first=False, crc_ok=True):
        """A request; `first` starts a new sequence (Reset frame, first Session frame)."""
        if first:
            # Both sides start counting afresh; the slave's next reply is its first.
            self.seq, self.seed, self.slave_seq = 0, 0, 0
        f = tarnwick.FSOEFrame(2 * self.words)
        # A code that is no FSOECommand member goes in through its `value`.
        f.control.command = command if isinstance(command, C) else SimpleNamespace(value=command)
        f.control.connection_id = conn_id
        f.control.crc0 = self.seed
        f.control.sequence_number = next_seq(self.seq)
        data = data.ljust(self.n, b"\0")
        for k in range(0, self.n, 2):
            f.safe_data[k // 2] = int.from_bytes(data[k : k + 2], "little")
        if first:
            f.generate_crcs()
        else:
            f.generate_crcs_cyclic(self.last_crc0)
        self.seq = f.control.sequence_number
        self.last_crc0 = f.calc_crc0()
        if not crc_ok:
            f.crcs[0] ^= 0x0100
        self.last_request = f.frame_to_array()
        return self.last_request

    def exchange(self, request):
        """One bus cycle; returns the parsed reply after checking its CRCs."""
        brisel.set_request(request)
        brisel.process()
        return self.take_reply()

    def send(self, command, data=b"", conn_id=0, **kwargs):
        return self.exchange(self.build(command, data, conn_id, **kwargs))

    def take_reply(self):
        reply = brisel.get_reply()
        assert len(reply) == 2 * self.words
        f = tarnwick.FSOEFrame.frame_from_array(reply)
        if f.control.command == C.RESET:
            # A Reset frame: sequence number 1, no seed, no repeat rule.
            f.control.sequence_number = 1
            assert f.check_crcs(), reply.hex(" ")
            self.slave_seq = 0
        else:
            f.control.crc0 = self.last_crc0
            f.control.sequence_number = next_seq(self.slave_seq)
            assert f.check_crcs_cyclic(self.slave_last_crc0), reply.hex(" ")
            self.slave_seq = f.control.sequence_number
            self.seed = f.crcs[0]
        self.slave_last_crc0 = f.crcs[0]
        return f

    def data_bytes(self, frame):
        return b"".join(le(frame.safe_data[k // 2], 2) for k in range(0, self.n, 2))[: self.n]

    def transfer(self, command, payload, conn_id=0, *, first=False):
        """Sends `payload` in chunks of the safe-data size; returns the echoed bytes."""
        echoed = b""
        for k in range(0, len(payload), self.n):
            reply = self.send(command, payload[k : k + self.n], conn_id, first=first and k == 0)
            assert reply.control.command == command, reply.control.command
            echoed += self.data_bytes(reply)
        return echoed[: len(payload)]

    def connect(self, conn_id=0x55, address=0x1234, wd_ms=100, app_param=0, *,
                session_id=0xABCD, comm_len=2, app_len=4):  # fmt: skip
        """Walks Session, Connection and Parameter; returns the slave's session id bytes."""
        own_session = self.transfer(C.SESSION, le(session_id, 2), first=True)
        assert brisel.get_state() == State.FSOE_STATE_SESSION
        echo = self.transfer(C.CONNECTION, le(conn_id, 2) + le(address, 2), conn_id)
        assert echo == le(conn_id, 2) + le(address, 2)
        params = le(comm_len, 2) + le(wd_ms, 2) + le(app_len, 2) + le(app_param, 4)
        assert self.transfer(C.PARAMETER, params, conn_id) == params
        assert brisel.get_state() == State.FSOE_STATE_PARAMETER
        return own_session


def reset_error(frame):
    """The error code a Reset reply carries."""
    assert frame.control.command == C.RESET
    return frame.safe_data[0] & 0xFF


@pytest.fixture
def fresh_slave():
    """A freshly initialised slave with the mock values as after load."""
    brisel.set_mock_time(0)
    brisel.seed_random(1)
    brisel.set_sra_crc(0)
    brisel.init()
    yield
    brisel.stop()
