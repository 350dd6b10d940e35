"""FSoE frames as they travel: layout, names, CRCs, and a follower that checks each
frame's CRCs with the numbering its sender built it with.

Pure Python, independent of the library's codec, so that each checks the other. A
frame alone cannot be verified: its sequence number and CRC_0 seed never travel; only
a `Conversation` that has followed both senders through a Reset knows them (a Reset
frame itself is always numbered 1 and seeded with 0).
"""

from __future__ import annotations

from dataclasses import dataclass

RESET, SESSION, CONNECTION, PARAMETER = 0x2A, 0x4E, 0x64, 0x52
PROCESS_DATA, FAILSAFE_DATA = 0x36, 0x08
COMMAND_NAMES = {
    RESET: "Reset",
    SESSION: "Session",
    CONNECTION: "Connection",
    PARAMETER: "Parameter",
    PROCESS_DATA: "ProcessData",
    FAILSAFE_DATA: "FailSafeData",
}
# The error codes a Reset frame carries in its first safe-data byte.
ERROR_NAMES = (
    "RESET",
    "INVALID_CMD",
    "UNKNOWN_CMD",
    "INVALID_CONNID",
    "INVALID_CRC",
    "WD_EXPIRED",
    "INVALID_ADDRESS",
    "INVALID_DATA",
    "INVALID_COMMPARALEN",
    "INVALID_COMPARA",
    "INVALID_USERPARALEN",
    "INVALID_USERPARA",
)
DEVICE_ERRORS = range(128, 256)  # device-specific invalid safety parameter codes

SIZES = (1, 2, 4, 6, 8, 10, 12, 14, 16)  # the safe-data sizes a frame can carry, in bytes
MASTER, SLAVE = "M", "S"
# Requests the master may build and replace within one bus cycle (a reply and an
# application reset together), each taking a sequence number.
MASTER_UNSENT = 1
# A master Reset frame is numbered 1, or 2 when stepped past the Reset frame before it
# (which may never have been sent). Its new session starts at 1 when it restarts at a
# slave's Reset, else it goes on from its Reset frame's number (which a capture may miss).
MASTER_RESET_SEQS = (1, 2)
MASTER_SESSION_SEQS = (1, 2, 3)
GOOD, BAD, UNVERIFIED = "good", "bad", "unverified"

CRC_POLYNOMIAL = 0x39B7  # x^16 + x^13 + x^12 + x^11 + x^8 + x^7 + x^5 + x^4 + x^2 + x + 1
CRC_PADDING = b"\0\0\0"  # three zero bytes close every CRC block's input


class WireError(ValueError):
    """Bytes that are no FSoE frame, or input the decoder cannot read."""


def _crc_table() -> tuple[int, ...]:
    table = []
    for i in range(256):
        c = i << 8
        for _ in range(8):
            c = ((c << 1) ^ CRC_POLYNOMIAL) if c & 0x8000 else c << 1
        table.append(c & 0xFFFF)
    return tuple(table)


CRC_TABLE = _crc_table()


def crc16(data: bytes) -> int:
    """The FSoE CRC: polynomial 0x39B7, most significant bit first, start 0, no final XOR."""
    c = 0
    for b in data:
        c = ((c << 8) ^ CRC_TABLE[(c >> 8) ^ b]) & 0xFFFF
    return c


def frame_length(size: int) -> int:
    """Bytes on the wire of a frame carrying `size` safe-data bytes."""
    return 6 if size == 1 else 2 * size + 3


LENGTH_SIZES = {frame_length(n): n for n in SIZES}


def error_name(code: int) -> str:
    if code < len(ERROR_NAMES):
        return ERROR_NAMES[code]
    if code in DEVICE_ERRORS:
        return f"INVALID_SAFEPARA_{code}"
    return f"UNKNOWN_ERROR_{code}"


def command_name(command: int) -> str:
    return COMMAND_NAMES.get(command, f"Unknown(0x{command:02X})")


def next_sequence(seq: int) -> int:
    """Sequence numbers count 1 to 65535 and wrap to 1, never 0."""
    return 1 if seq >= 0xFFFF else seq + 1


@dataclass(frozen=True)
class Frame:
    """One frame's fields as read from the wire."""

    command: int
    safe_data: bytes
    crcs: tuple[int, ...]  # CRC_i of safe-data block i (two bytes, one for size 1)
    conn_id: int
    raw: bytes

    @property
    def name(self) -> str:
        return command_name(self.command)

    @property
    def known_command(self) -> bool:
        return self.command in COMMAND_NAMES

    @property
    def error_code(self) -> int | None:
        """A Reset frame's error code, else None."""
        return self.safe_data[0] if self.command == RESET else None

    def crcs_with(self, seq: int, seed: int) -> tuple[int, ...]:
        """The CRCs its sender computes with sequence number `seq` and CRC_0 seed `seed`."""
        return block_crcs(self.command, self.safe_data, self.conn_id, seq, seed)


def parse_frame(data: bytes) -> Frame:
    """Reads a frame; its length tells the safe-data size. WireError for any other length."""
    size = LENGTH_SIZES.get(len(data))
    if size is None:
        raise WireError(f"{len(data)} bytes is no FSoE frame length")
    if size == 1:
        return Frame(data[0], data[1:2], (_u16(data, 2),), _u16(data, 4), bytes(data))
    blocks = range(size // 2)
    safe_data = b"".join(data[1 + 4 * j : 3 + 4 * j] for j in blocks)
    crcs = tuple(_u16(data, 3 + 4 * j) for j in blocks)
    return Frame(data[0], safe_data, crcs, _u16(data, len(data) - 2), bytes(data))


def block_crcs(
    command: int, safe_data: bytes, conn_id: int, seq: int, seed: int
) -> tuple[int, ...]:
    """CRC_i of each safe-data block; the seed (the partner's last CRC_0), the connection
    id, the sequence number and the command enter every block."""
    head = _le16(seed) + _le16(conn_id) + _le16(seq) + bytes([command & 0xFF])
    if len(safe_data) == 1:
        return (crc16(head + safe_data + CRC_PADDING),)
    crcs = [crc16(head + safe_data[0:2] + CRC_PADDING)]
    for i in range(1, len(safe_data) // 2):
        crcs.append(crc16(head + _le16(i) + safe_data[2 * i : 2 * i + 2] + CRC_PADDING))
    return tuple(crcs)


def build_frame(command: int, safe_data: bytes, conn_id: int, seq: int, seed: int) -> bytes:
    """The wire bytes of a frame with its CRCs computed from `seq` and `seed`."""
    if len(safe_data) not in SIZES:
        raise WireError(f"{len(safe_data)} safe-data bytes is no FSoE frame size")
    crcs = block_crcs(command, safe_data, conn_id, seq, seed)
    if len(safe_data) == 1:
        body = safe_data + _le16(crcs[0])
    else:
        body = b"".join(safe_data[2 * j : 2 * j + 2] + _le16(c) for j, c in enumerate(crcs))
    return bytes([command]) + body + _le16(conn_id)


def _le16(value: int) -> bytes:
    return (value & 0xFFFF).to_bytes(2, "little")


def _u16(data: bytes, at: int) -> int:
    return data[at] | data[at + 1] << 8


class _Numbering:
    """What one sender's next frame is built with: the sequence number of its last
    frame (None until a Reset or a new session shows it), the CRC_0 seed a frame that
    goes on with the numbering carries, and its own last CRC_0."""

    def __init__(self) -> None:
        self.seq: int | None = None
        self.seed = 0
        self.last_crc0: int | None = None
        self.last: bytes | None = None  # the last frame's bytes, to tell a repeat
        self.last_status = UNVERIFIED
        self.last_command: int | None = None


# (sequence number, seed, whether the never-the-same-CRC_0 step applies) a frame may
# have been built with.
Candidate = tuple[int, int, bool]


def _going_on(side: _Numbering, count: int) -> list[Candidate]:
    """The next `count` sequence numbers of a sender whose numbering is known."""
    numbers: list[Candidate] = []
    seq = side.seq
    if seq is None:
        return numbers
    for _ in range(count):
        seq = next_sequence(seq)
        numbers.append((seq, side.seed, True))
    return numbers


class Conversation:
    """Follows one connection's two senders and tells, for each frame, whether its CRCs
    are the ones its sender computed ("good"), are not ("bad"), or whether the numbering
    is not known yet ("unverified": the conversation was joined after its last Reset).

    Both sides number their frames from 1 after a Reset, seed each frame's CRCs with the
    CRC_0 of the partner's last frame, and step the sequence number once more whenever
    a frame's CRC_0 would equal their own previous one. A frame identical to its
    sender's previous one is the same frame sent again (a bus cycle without news).
    """

    def __init__(self) -> None:
        self.sides = {MASTER: _Numbering(), SLAVE: _Numbering()}

    def feed(self, sender: str, frame: Frame) -> str:
        """The CRC status of `frame`, sent by MASTER or SLAVE; the numbering moves on."""
        side = self.sides[sender]
        if frame.raw == side.last:
            return side.last_status
        partner = self.sides[SLAVE if sender == MASTER else MASTER]
        status, seq = self._judge(sender, side, partner, frame)
        self._sent(sender, side, partner, frame, status, seq)
        return status

    def _judge(
        self, sender: str, side: _Numbering, partner: _Numbering, frame: Frame
    ) -> tuple[str, int | None]:
        candidates = self._candidates(sender, side, partner, frame)
        first = None
        for seq, seed, step in candidates:
            seq = self._stepped(frame, seq, seed, side.last_crc0) if step else seq
            first = seq if first is None else first
            if frame.crcs == frame.crcs_with(seq, seed):
                return GOOD, seq
        return (BAD, first) if first is not None else (UNVERIFIED, None)

    @staticmethod
    def _candidates(
        sender: str, side: _Numbering, partner: _Numbering, frame: Frame
    ) -> list[Candidate]:
        """What the sender may have built the frame with, the likeliest first."""
        master = sender == MASTER
        if frame.command == RESET:  # the slave never steps its Reset frames
            return [(seq, 0, True) for seq in MASTER_RESET_SEQS] if master else [(1, 0, False)]
        going_on = _going_on(side, MASTER_UNSENT + 1 if master else 1)
        if frame.command != SESSION:
            return going_on
        if master:
            return going_on + [(seq, 0, True) for seq in MASTER_SESSION_SEQS]
        # The first reply of a new session: 1, seeded with the master's Session frame.
        return going_on + ([] if partner.last_crc0 is None else [(1, partner.last_crc0, True)])

    @staticmethod
    def _stepped(frame: Frame, seq: int, seed: int, last_crc0: int | None) -> int:
        while last_crc0 is not None and frame.crcs_with(seq, seed)[0] == last_crc0:
            seq = next_sequence(seq)
        return seq

    @staticmethod
    def _sent(
        sender: str,
        side: _Numbering,
        partner: _Numbering,
        frame: Frame,
        status: str,
        seq: int | None,
    ) -> None:
        # The slave's numbering starts again after its Reset frame: its next frame is 1.
        side.seq = 0 if frame.command == RESET and sender == SLAVE else seq
        side.last, side.last_status, side.last_command = frame.raw, status, frame.command
        side.last_crc0 = frame.crcs[0]
        if frame.command == RESET:
            side.seed = 0
        # The partner seeds its next frame with this CRC_0; the master keeps seed 0
        # for as long as it is in its Reset state.
        if sender == MASTER or partner.last_command != RESET:
            partner.seed = frame.crcs[0]
