"""Writes the shared FSoE test vectors under tests/vectors/ (or checks them with --check).

frames.txt holds single frames of every command and size, valid and corrupted, with the
sequence number and CRC_0 seed to check each with. conversation.txt is a real exchange of
the tarnwick master with a virtual slave, corruptions injected here, and joined.txt the
same exchange joined in the middle; each .expected file gives every frame's CRC status.
The CRCs here come from the pure-Python virtual_slave.fsoe_wire, not the library's codec.
"""

from __future__ import annotations

import argparse
import random
import sys
from pathlib import Path

import tarnwick
from virtual_slave import VirtualSlave
from virtual_slave import fsoe_wire as wire

VECTORS = Path(__file__).resolve().parent.parent / "tests" / "vectors"
SEED = 16  # every random choice below, the master's session ids included

# -- single frames -------------------------------------------------------------------

FRAME_COLUMNS = "name sender size command seq crc0_seed conn_id status hex"
# Known CRCs to anchor the generator: (command, size, seq, conn id, seed, CRC_0).
WORKED_EXAMPLES = ((wire.RESET, 2, 1, 0, 0, 0x2DC4), (wire.RESET, 1, 1, 0, 0, 0xF886))
CHECK_STRING_CRC = (b"123456789", 0xDDE2)


def check_crc() -> None:
    data, crc = CHECK_STRING_CRC
    assert wire.crc16(data) == crc, "the CRC routine is broken"
    for command, size, seq, conn_id, seed, crc0 in WORKED_EXAMPLES:
        assert wire.block_crcs(command, bytes(size), conn_id, seq, seed)[0] == crc0


def frame_row(name, sender, command, safe_data, seq, seed, conn_id, status, raw=None) -> str:
    raw = raw or wire.build_frame(command, safe_data, conn_id, seq, seed)
    fields = (name, sender, len(safe_data), wire.command_name(command), seq, seed, conn_id)
    return " ".join(str(f) for f in fields) + f" {status} {raw.hex()}"


def flip(raw: bytes, at: int, bit: int) -> bytes:
    return raw[:at] + bytes([raw[at] ^ (1 << bit)]) + raw[at + 1 :]


def frame_rows(rng: random.Random) -> list[str]:
    rows = []
    for command, size, seq, conn_id, seed, _ in WORKED_EXAMPLES:
        rows.append(
            frame_row(f"example_n{size}", "M", command, bytes(size), seq, seed, conn_id, "good")
        )
    commands = sorted(wire.COMMAND_NAMES)
    for size in wire.SIZES:
        for command in commands:
            sender = rng.choice("MS")
            data = bytes(rng.randrange(256) for _ in range(size))
            if command == wire.RESET:
                data = bytes([rng.choice((0, 4, 9, 200))]) + bytes(size - 1)
            seq, seed, conn_id = (
                rng.randrange(1, 0x10000),
                rng.randrange(0x10000),
                rng.randrange(0x10000),
            )
            args = (sender, command, data, seq, seed, conn_id)
            name = f"{wire.command_name(command).lower()}_n{size}"
            rows.append(frame_row(name, *args, "good"))
        rows += corrupted_rows(size, *args)
    return rows


def corrupted_rows(size, sender, command, data, seq, seed, conn_id) -> list[str]:
    """The last good frame of a size, spoilt four ways; each row still names the
    numbering the frame is checked with."""
    raw = wire.build_frame(command, data, conn_id, seq, seed)
    crc_at = 2 if size == 1 else 3  # CRC_0's low byte
    spoilt = {
        "data_bit": flip(raw, 1, 0),
        "crc_bit": flip(raw, crc_at + 1, 7),
        "wrong_seq": wire.build_frame(command, data, conn_id, wire.next_sequence(seq), seed),
        "wrong_seed": wire.build_frame(command, data, conn_id, seq, seed ^ 0x0100),
    }
    if size > 1:
        spoilt["last_block_bit"] = flip(raw, len(raw) - 5, 2)  # the last block's second byte
    return [
        frame_row(f"n{size}_{how}", sender, command, data, seq, seed, conn_id, "bad", bad)
        for how, bad in spoilt.items()
    ]


def frames_text() -> str:
    check_crc()
    header = [
        "# Single FSoE frames with their CRCs, made by tools/make_vectors.py.",
        f"# Columns: {FRAME_COLUMNS}",
        "# seq and crc0_seed are the numbering to check the frame with: a good frame's",
        "# sender built its CRCs with them, a bad frame fails with them (a flipped data or",
        "# CRC bit, or built with the next sequence number or another seed).",
    ]
    return "\n".join(header + frame_rows(random.Random(SEED))) + "\n"


# -- a conversation ------------------------------------------------------------------

CONNECTION_ID = 0x0C01
SLAVE_ADDRESS = 0x0205
SRA_CRC = 0x1A2B3C4D
CYCLE_US = 1000
WATCHDOG_S = 0.1
WALK_LIMIT = 100  # cycles a walk to Data may take
EXCHANGE_TITLE = "The tarnwick master and a virtual slave, made by tools/make_vectors.py"
STALE_AGE = 3  # the replayed reply is this many slave frames old


class Exchange:
    """The tarnwick master and a virtual slave, one bus cycle at a time, every frame on
    the wire recorded as (sender, bytes, status, note): "bad" where a fault was injected."""

    def __init__(self) -> None:
        random.seed(SEED)
        dt = tarnwick.DataType
        command = tarnwick.DictionaryItemOutput(0x101, "command", dt.UINT8)
        status = tarnwick.DictionaryItemInput(0x201, "status", dt.UINT16, 0)
        self.now = 0.0
        self.master = tarnwick.MasterHandler(
            tarnwick.Dictionary([command, status]),
            SLAVE_ADDRESS,
            CONNECTION_ID,
            WATCHDOG_S,
            application_parameters=[tarnwick.ApplicationParameter("sra", SRA_CRC, n_bytes=4)],
            clock=lambda: self.now,
        )
        self.master.master.dictionary_map.add(command, 8)  # 1 byte out: sessions take 2 frames
        self.master.slave.dictionary_map.add(status, 16)  # 2 bytes in
        self.device = VirtualSlave.mirror(self.master, on_cycle=self.echo)
        self.frames: list[tuple[str, bytes, str, str]] = []
        self.note = ""

    @staticmethod
    def echo(device) -> None:
        device.write(0x201, device.read(0x101) * 257)

    def cycle(self, request_fault=None, reply_fault=None, deliver=True) -> None:
        self.now += CYCLE_US / 1e6
        self.device.advance(CYCLE_US)
        self.master.poll()
        request = self.put(wire.MASTER, self.master.get_request(), request_fault)
        reply = self.put(wire.SLAVE, self.device.cycle(request), reply_fault)
        if deliver:
            self.master.set_reply(reply)
        if self.in_data():
            self.master.set_fail_safe(False)
            self.master.dictionary.set("command", len(self.frames) & 0xFF)

    def put(self, sender: str, frame: bytes, fault) -> bytes:
        sent = fault(frame) if fault else frame
        self.frames.append((sender, sent, "bad" if sent != frame else "good", self.note))
        self.note = ""
        return sent

    def in_data(self) -> bool:
        return self.master.state is tarnwick.StateData and self.device.state.name.endswith("DATA")

    def walk(self, note: str) -> None:
        self.note = note
        for _ in range(WALK_LIMIT):
            self.cycle()
            if self.in_data():
                return
        raise RuntimeError("the pair did not reach Data")

    def run(self, cycles: int, note: str = "") -> None:
        self.note = note
        for _ in range(cycles):
            self.cycle()

    def script(self) -> list[tuple[str, bytes, str, str]]:
        self.master.start()
        self.walk("Reset, Session (two frames of one byte), Connection, Parameter, Data")
        self.run(3, "process data")
        self.note = "the master misses a reply: it sends its request again, the slave its reply"
        self.cycle(deliver=False)
        self.cycle()
        self.note = "a CRC bit of the slave's reply flipped: the master resets (INVALID_CRC)"
        self.cycle(reply_fault=lambda f: flip(f, 4, 0))
        self.walk("the master's first Session frame goes on numbering, the slave refuses it")
        self.run(2)
        self.note = "a data bit of the master's request flipped: the slave resets"
        self.cycle(request_fault=lambda f: flip(f, 1, 3))
        self.walk("new session after the slave's Reset")
        self.run(2)
        self.application_reset()
        self.run(2, "process data again")
        self.master.stop()
        self.master.delete()
        return self.frames

    def application_reset(self) -> None:
        """The application resets, and a stale reply answers the master's Reset frame: the
        master sends Reset again, its CRC_0 stepped past the one it sent last."""
        stale = [f for s, f, _, _ in self.frames if s == wire.SLAVE][-STALE_AGE]
        self.master.reset()
        self.note = "the application resets; a stale slave frame answers the Reset"
        first = len(self.frames)
        self.cycle(reply_fault=lambda _: stale)
        self.walk("the next Reset frame: the same content, its sequence number stepped")
        resets = [
            f for s, f, _, _ in self.frames[first:] if s == wire.MASTER and f[0] == wire.RESET
        ]
        assert len(resets) > 1 and resets[0] != resets[1], "the master did not step its Reset"


def exchange_texts(frames, joined_at: int = 0) -> tuple[str, str]:
    """The decoder's text input and the expected statuses; joined after `joined_at`
    frames, a sender's frames before its first Reset frame are unverified."""
    lines, expected = [], []
    synced = set() if joined_at else {wire.MASTER, wire.SLAVE}
    for sender, raw, status, note in frames[joined_at:]:
        if note:
            lines.append(f"# {note}")
        lines.append(f"{sender} {raw.hex()}")
        synced |= {sender} if raw[0] == wire.RESET else set()
        expected.append(
            f"{status if sender in synced else 'unverified'} {wire.command_name(raw[0])}"
        )
    return "\n".join(lines) + "\n", "\n".join(expected) + "\n"


def files() -> dict[str, str]:
    frames = Exchange().script()
    # Joined two cycles before the flipped CRC bit: its first Data frames cannot be checked.
    flipped = next(i for i, f in enumerate(frames) if "CRC bit" in f[3])
    conversation, expected = exchange_texts(frames)
    joined, joined_expected = exchange_texts(frames, flipped - 4)
    return {
        "frames.txt": frames_text(),
        "conversation.txt": f"# {EXCHANGE_TITLE}\n{conversation}",
        "conversation.expected": expected,
        "joined.txt": f"# {EXCHANGE_TITLE}, joined in the middle\n{joined}",
        "joined.expected": joined_expected,
    }


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--check", action="store_true", help="compare with the files instead of writing")
    args = p.parse_args(argv)
    stale = []
    for name, text in files().items():
        path = VECTORS / name
        if args.check:
            stale += [] if path.exists() and path.read_text() == text else [name]
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
    if stale:
        print(f"out of date: {', '.join(stale)} (run tools/make_vectors.py)", file=sys.stderr)
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
