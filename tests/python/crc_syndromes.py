"""Which bit corruptions of a reply get past the master's Data-state checks.

The block CRCs are linear over GF(2) (initial value 0, no final XOR), so flipping a
set of wire bits changes every CRC mismatch by the XOR of what each single flip
changes. The single-flip effects ("syndromes") are measured with the module's own
codec; combining them decides every multi-bit corruption exactly, including the
rule that steps the expected sequence number past a repeated CRC_0. The Data
state's other checks come first: a flipped connection id fails, and only a command
byte that still reads PROCESS_DATA or FAILSAFE_DATA can lead to DATA_OK.
"""

from itertools import combinations

import tarnwick

C = tarnwick.FSOECommand
DATA_COMMANDS = {C.PROCESS_DATA.value, C.FAILSAFE_DATA.value}


def _mismatch(wire, seq, seed):
    """(CRC mismatch words packed into one integer, computed CRC_0) for seq."""
    received = tarnwick.FSOEFrame.frame_from_array(wire)
    frame = tarnwick.FSOEFrame.frame_from_array(wire)
    frame.control.sequence_number = seq
    frame.control.crc0 = seed
    frame.generate_crcs()
    m = (frame.safe_data_size_bytes + 1) // 2
    packed = 0
    for i in range(m):
        packed |= (frame.crcs[i] ^ received.crcs[i]) << (16 * i)
    return packed, frame.crcs[0]


def next_seq(s):
    return 1 if s == 0xFFFF else s + 1


class ReplyChecks:
    """The checks a Data-state master applies to one reply position.

    `wire` is a reply the master would accept; `seq` and `seed` are the sequence
    number and CRC_0 seed it expects; `last` is the CRC_0 of the previous reply.
    """

    def __init__(self, wire, seq, seed, last):
        self.wire = wire
        self.nbits = 8 * len(wire)
        self.last = last
        v_s, c0 = _mismatch(wire, seq, seed)
        v_next, _ = _mismatch(wire, next_seq(seq), seed)
        # The CRC_0 value that makes the receiver step its sequence number.
        self.t = last ^ c0
        self.v_s, self.v_next = v_s, v_next
        self.key = []  # per bit: (mismatch change, CRC_0 change)
        for bit in range(self.nbits):
            v, c = _mismatch(self.flip((bit,)), seq, seed)
            self.key.append((v ^ v_s, c ^ c0))
        conn_first = 8 * (len(wire) - 2)
        self.conn_bits = set(range(conn_first, self.nbits))

    def flip(self, bits):
        out = bytearray(self.wire)
        for b in bits:
            out[b // 8] ^= 1 << (b % 8)
        return bytes(out)

    def crc_passes(self, bits):
        v = c = 0
        for b in bits:
            dv, dc = self.key[b]
            v ^= dv
            c ^= dc
        if c == self.t:
            return v == self.v_next
        return v == self.v_s

    def gets_through(self, bits):
        """True when the master would take the corrupted reply with DATA_OK."""
        if self.conn_bits.intersection(bits):
            return False
        command = self.wire[0]
        for b in bits:
            if b < 8:
                command ^= 1 << b
        return command in DATA_COMMANDS and self.crc_passes(bits)

    def escapes(self, nbits):
        """Every `nbits`-bit corruption that gets through, found by meet in the middle."""
        if nbits <= 2:
            return [bits for bits in combinations(range(self.nbits), nbits)
                    if self.gets_through(bits)]  # fmt: skip
        found = set()
        # Split each pattern into two halves of sizes h and nbits - h; index the
        # smaller half by its mismatch change, look up what completes the larger.
        h = nbits // 2
        index = {}
        for half in combinations(range(self.nbits), h):
            index.setdefault(self._v(half), []).append(half)
        for other in combinations(range(self.nbits), nbits - h):
            v = self._v(other)
            for target in (self.v_s, self.v_next):
                for half in index.get(v ^ target, ()):
                    bits = tuple(sorted(set(half) | set(other)))
                    if len(bits) == nbits and bits not in found and self.gets_through(bits):
                        found.add(bits)
        return sorted(found)

    def _v(self, bits):
        v = 0
        for b in bits:
            v ^= self.key[b][0]
        return v
