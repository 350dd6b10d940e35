"""``tarnwick-decode``: FSoE frames from a capture or from hex lines, decoded one per
line, each frame's CRCs checked by following its connection's conversation.

Input is a pcap/pcapng capture (EtherCAT datagrams, as ``python -m virtual_slave
--capture`` writes them) or text: one frame per line, ``M <hex>`` for a frame the
master sent, ``S <hex>`` for one a slave sent; spaces and colons in the hex are
ignored, as are blank lines and lines starting with ``#``. The two are told apart by
the capture's magic number.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import IO, NamedTuple

from virtual_slave import capture
from virtual_slave import fsoe_wire as wire

PROG = "tarnwick-decode"
MALFORMED = "malformed"
SENDERS = {True: wire.MASTER, False: wire.SLAVE, None: "?"}  # by the capture's direction
SENDER_NAMES = {wire.MASTER: "master", wire.SLAVE: "slave", "?": None}
CAPTURE_MAGICS = {
    capture.SHB_BYTES,
    *(m.to_bytes(4, order) for m in (capture.PCAP_MAGIC_US, capture.PCAP_MAGIC_NS)
      for order in ("little", "big")),
}  # fmt: skip
MAGIC_BYTES = 4


class Record(NamedTuple):
    """One frame as it came: time in µs (captures only), sender ("M", "S" or "?" when a
    datagram's direction is unknown), the datagram's address (captures only), bytes."""

    time_us: int | None
    sender: str
    address: int | None
    data: bytes


class Decoded(NamedTuple):
    number: int  # counted from 1 in the input
    record: Record
    frame: wire.Frame | None  # None: the bytes are no frame
    status: str  # good, bad, unverified, or malformed
    problem: str = ""  # why it is malformed


# -- reading ------------------------------------------------------------------------


def read_records(stream: IO[bytes]) -> Iterator[Record]:
    """The frames of a capture or of text lines; WireError where the input goes wrong,
    after the frames before it."""
    head = stream.read(MAGIC_BYTES)
    if head in CAPTURE_MAGICS:
        return _capture_records(_Prefixed(head, stream))
    return text_records(_lines(head, stream))


class _Prefixed:
    """A binary stream whose first bytes were already read."""

    def __init__(self, head: bytes, rest: IO[bytes]) -> None:
        self.head, self.rest = head, rest

    def read(self, size: int = -1) -> bytes:
        if size < 0:
            data, self.head = self.head + self.rest.read(), b""
            return data
        data, self.head = self.head[:size], self.head[size:]
        return data + (self.rest.read(size - len(data)) if size > len(data) else b"")


def _capture_records(stream: _Prefixed) -> Iterator[Record]:
    try:
        for f in capture.read_capture(stream):  # type: ignore[arg-type]
            yield Record(f.time_us, SENDERS[f.from_master], f.slave_address, f.data)
    except capture.CaptureError as e:
        raise wire.WireError(f"capture: {e}") from None


UTF8_BOM = b"\xef\xbb\xbf"


def _lines(head: bytes, stream: IO[bytes]) -> Iterator[bytes]:
    yield from (head + stream.readline()).splitlines(keepends=True)
    yield from stream


def text_records(lines: Iterable[bytes]) -> Iterator[Record]:
    """Records of `M <hex>` / `S <hex>` lines; WireError names the first bad line."""
    for number, raw in enumerate(lines, 1):
        if number == 1 and raw.startswith(UTF8_BOM):  # as some editors save text
            raw = raw[len(UTF8_BOM) :]
        try:
            line = raw.decode("ascii").strip()
        except UnicodeDecodeError:
            raise wire.WireError(f"line {number}: not text (nor a pcap/pcapng capture)") from None
        if not line or line.startswith("#"):
            continue
        sender, data = _text_frame(line, number)
        yield Record(None, sender, None, data)


def _text_frame(line: str, number: int) -> tuple[str, bytes]:
    sender, _, digits = line.partition(" ")
    if sender not in (wire.MASTER, wire.SLAVE):
        raise wire.WireError(f"line {number}: starts with {sender[:10]!r}, not M or S")
    digits = digits.replace(" ", "").replace(":", "").replace("\t", "")
    try:
        data = bytes.fromhex(digits)
    except ValueError:
        raise wire.WireError(f"line {number}: {digits[:40]!r} is not hex bytes") from None
    if not data:
        raise wire.WireError(f"line {number}: no frame after {sender}")
    return sender, data


# -- decoding -----------------------------------------------------------------------


def decode(records: Iterable[Record]) -> Iterator[Decoded]:
    """Each record decoded, its CRCs checked in the conversation of its address."""
    conversations: dict[int | None, wire.Conversation] = {}
    for number, record in enumerate(records, 1):
        try:
            frame = wire.parse_frame(record.data)
        except wire.WireError as e:
            yield Decoded(number, record, None, MALFORMED, str(e))
            continue
        if record.sender == "?":
            yield Decoded(number, record, frame, wire.UNVERIFIED)
            continue
        conversation = conversations.setdefault(record.address, wire.Conversation())
        yield Decoded(number, record, frame, conversation.feed(record.sender, frame))


# -- writing ------------------------------------------------------------------------


def text_line(d: Decoded) -> str:
    r = d.record
    parts = [f"{d.number:>5}"]
    if r.time_us is not None:
        parts.append(f"{r.time_us / 1e6:>12.6f}")
    parts.append(r.sender)
    if r.address is not None:
        parts.append(f"@0x{r.address:04X}")
    if d.frame is None:
        return " ".join(parts + [f"{MALFORMED}: {d.problem} ({r.data.hex()})"])
    f = d.frame
    parts += [f"{f.name:<12}", f"conn 0x{f.conn_id:04X}", f"crc {d.status:<10}"]
    parts.append(f"data {f.safe_data.hex()}")
    if f.error_code is not None:
        parts.append(f"error {wire.error_name(f.error_code)} ({f.error_code})")
    return " ".join(parts)


def json_line(d: Decoded) -> str:
    r, f = d.record, d.frame
    item: dict[str, object] = {
        "index": d.number,
        "time_us": r.time_us,
        "sender": SENDER_NAMES[r.sender],
        "address": r.address,
        "bytes": r.data.hex(),
        "crc_status": d.status,
    }
    if f is None:
        item["problem"] = d.problem
    else:
        item.update(command=f.name, command_code=f.command, conn_id=f.conn_id,
                    safe_data=f.safe_data.hex(), crcs=list(f.crcs))  # fmt: skip
        if f.error_code is not None:
            item.update(error_code=f.error_code, error=wire.error_name(f.error_code))
    return json.dumps(item)


# -- the command --------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        fail(f"{message} (see --help)")


def fail(message: str) -> None:
    """One line on standard error, exit status 2."""
    print(f"{PROG}: error: {message}", file=sys.stderr)
    sys.exit(2)


def parser() -> argparse.ArgumentParser:
    p = _Parser(
        prog=PROG,
        description="Decode FSoE frames from a pcap/pcapng capture or from text lines "
        "('M <hex>' for the master's frames, 'S <hex>' for a slave's) and check each "
        "frame's CRCs by following its conversation: good, bad, or unverified while the "
        "sender's numbering is not known (before its first Reset or new session).",
        epilog="Exit status: 0 when the whole input was read, 2 for a usage error or "
        "input that cannot be read (the frames before it are shown).",
    )
    p.add_argument("input", metavar="FILE", nargs="?",
                   help="a capture or a text file; - for standard input")  # fmt: skip
    p.add_argument("--json", action="store_true", help="one JSON object per frame")
    plugin_help = "print the path of the installed Wireshark plugin fsoe.lua and exit"
    p.add_argument("--wireshark-plugin", action="store_true", help=plugin_help)
    return p


def plugin_path() -> Path:
    """The Wireshark plugin installed beside this module."""
    return Path(__file__).with_name("fsoe.lua")


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    if args.wireshark_plugin:
        if not plugin_path().is_file():
            fail(f"the plugin is not installed beside {Path(__file__).parent}")
        print(plugin_path())
        return 0
    if args.input is None:
        fail("the following arguments are required: FILE")
    try:
        stream = sys.stdin.buffer if args.input == "-" else open(args.input, "rb")  # noqa: SIM115
    except OSError as e:
        fail(f"cannot open {args.input}: {e.strerror or e}")
    show = json_line if args.json else text_line
    shown = 0
    try:
        for decoded in decode(read_records(stream)):
            print(show(decoded))
            shown += 1
    except wire.WireError as e:
        sys.stdout.flush()
        fail(f"{args.input}: {e}")
    except BrokenPipeError:  # the reader went away (a pager, head): stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    finally:
        stream.close()
    if shown == 0:
        print(f"{PROG}: no FSoE frames in {args.input} (no EtherCAT datagrams, or packets cut "
              "short by the capture's snapshot length)", file=sys.stderr)  # fmt: skip
    return 0
