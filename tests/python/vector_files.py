"""Readers of the shared FSoE test vectors in tests/vectors/."""

from __future__ import annotations

from pathlib import Path
from typing import NamedTuple

VECTORS = Path(__file__).resolve().parent.parent / "vectors"
EXCHANGES = ("conversation", "joined")


class FrameRow(NamedTuple):
    name: str
    sender: str
    size: int
    command: str
    seq: int
    seed: int
    conn_id: int
    status: str
    raw: bytes


def _lines(name: str) -> list[str]:
    text = (VECTORS / name).read_text()
    return [line for line in text.splitlines() if line.strip() and not line.startswith("#")]


def frame_rows() -> list[FrameRow]:
    rows = []
    for line in _lines("frames.txt"):
        name, sender, size, command, seq, seed, conn_id, status, raw = line.split()
        rows.append(FrameRow(name, sender, int(size), command, int(seq), int(seed), int(conn_id),
                             status, bytes.fromhex(raw)))  # fmt: skip
    return rows


def exchange(name: str) -> list[tuple[str, bytes]]:
    """(sender, frame) of each line of <name>.txt."""
    return [(s, bytes.fromhex(h)) for s, h in (line.split() for line in _lines(f"{name}.txt"))]


def expected(name: str) -> list[tuple[str, str]]:
    """(CRC status, command name) of each frame of <name>.txt."""
    return [tuple(line.split()) for line in _lines(f"{name}.expected")]


VECTOR_ADDRESS = 0x0205  # the slave address of the vector exchanges
CYCLE_US = 1000


def write_capture(path: Path, name: str) -> None:
    """<name>.txt as a pcapng capture, one frame per millisecond."""
    from virtual_slave.capture import CaptureWriter

    with CaptureWriter(path) as out:
        for i, (sender, raw) in enumerate(exchange(name)):
            out.write(raw, from_master=sender == "M", slave_address=VECTOR_ADDRESS,
                      time_us=i * CYCLE_US)  # fmt: skip
