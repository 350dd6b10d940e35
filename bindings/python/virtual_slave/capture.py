"""Capture files of FSoE traffic: a pcapng writer and a pcap/pcapng reader.

`CaptureWriter` writes each FSoE frame as an Ethernet frame holding one EtherCAT
datagram whose data is exactly that frame: LWR (logical write) for a frame the
master sent, LRD (logical read) for one a slave sent, the slave's FSoE address as
the logical address. Wireshark opens the file as it is; with the fsoe plugin it
decodes the frames too. Every block is written whole and flushed at once, so a
capture cut short by a crash reads up to its last frame.

`read_capture` reads such a file back, and also captures Wireshark or tcpdump wrote
of a real bus (classic pcap or pcapng, either byte order, several interfaces, any
timestamp resolution): every datagram of every EtherCAT frame, in file order.
Packets of other link types and other EtherTypes are skipped. A truncated or
malformed file raises `CaptureError` once the whole blocks before the fault are read.
"""

from __future__ import annotations

import os
import struct
import time
from collections.abc import Iterator
from typing import IO, TYPE_CHECKING, NamedTuple, Union

if TYPE_CHECKING:
    from types import TracebackType

__all__ = ["CaptureError", "CaptureWriter", "CapturedFrame", "read_capture"]

PathOrFile = Union[str, "os.PathLike[str]", IO[bytes]]  # a path, or a binary file

# -- the layout of a packet -----------------------------------------------------------

BROADCAST = b"\xff" * 6  # nothing on a bus filters these frames by address
MASTER_MAC = bytes.fromhex("020000000001")  # locally administered: the master's frames
SLAVE_MAC = bytes.fromhex("020000000002")  # and the slaves'
ETHERTYPE_ECAT = 0x88A4
ETHERTYPE_VLAN = 0x8100  # a tagged frame carries its EtherType 4 bytes later
ECAT_TYPE_COMMANDS = 1  # the EtherCAT header's type of a frame of datagrams
CMD_LRD, CMD_LWR = 0x0A, 0x0B  # logical read (slave's inputs), logical write (outputs)
ETH_HEADER = struct.Struct(">6s6sH")
ECAT_HEADER = struct.Struct("<H")
DATAGRAM_HEADER = struct.Struct("<BBIHH")  # cmd, idx, address, length and flags, IRQ
WORKING_COUNTER = struct.Struct("<H")
LENGTH_MASK = 0x07FF  # 11 bits of length in the EtherCAT and the datagram header
MORE_DATAGRAMS = 0x8000  # another datagram follows in the same frame
MIN_ETHERNET = 60  # shorter frames are padded (the FCS is not captured)
MAX_ETHERNET = 1514  # the longest frame without FCS
OVERHEAD = ETH_HEADER.size + ECAT_HEADER.size + DATAGRAM_HEADER.size + WORKING_COUNTER.size
MAX_FRAME_BYTES = MAX_ETHERNET - OVERHEAD  # the longest FSoE frame one datagram carries

# -- the file formats ---------------------------------------------------------------

LINKTYPE_ETHERNET = 1
SHB_TYPE = 0x0A0D0D0A  # reads the same in either byte order
SHB_BYTES = struct.pack("<I", SHB_TYPE)
IDB_TYPE, EPB_TYPE = 1, 6
BYTE_ORDER_MAGIC = 0x1A2B3C4D
OPT_END, OPT_TSRESOL, OPT_TSOFFSET = 0, 9, 14
MICROSECONDS = 6  # if_tsresol of this writer: 10^-6 s
BLOCK_HEADER = 8  # type and total length; the length is repeated at the end
MAX_BLOCK_BYTES = 16 << 20  # Wireshark refuses larger blocks; so does this reader
PCAP_MAGIC_US, PCAP_MAGIC_NS = 0xA1B2C3D4, 0xA1B23C4D
PCAP_HEADER = 24
PCAP_RECORD = 16
MAX_PCAP_PACKET = 262144  # the largest snapshot length Wireshark writes
PCAP_LINKTYPE_MASK = 0x0FFFFFFF  # the upper bits may hold the FCS length


class CaptureError(ValueError):
    """The file is not a capture this reader can read: truncated, malformed, or not
    pcap/pcapng at all. The message says what was found and where."""


class CapturedFrame(NamedTuple):
    """One datagram's data, normally one FSoE frame.

    `from_master` is True for a logical write (LWR), False for a logical read (LRD)
    and None for any other command, whose direction cannot be told; `slave_address`
    is the datagram's 32-bit address (the FSoE slave address in captures written here).
    """

    time_us: int
    from_master: bool | None
    slave_address: int
    data: bytes


# -- writing ------------------------------------------------------------------------


def _pad4(data: bytes) -> bytes:
    return data + b"\0" * (-len(data) % 4)


def _block(block_type: int, body: bytes) -> bytes:
    body = _pad4(body)
    length = len(body) + 12
    return struct.pack("<II", block_type, length) + body + struct.pack("<I", length)


def _header_blocks() -> bytes:
    section = struct.pack("<IHHq", BYTE_ORDER_MAGIC, 1, 0, -1)  # length -1: not given
    tsresol = _pad4(struct.pack("<HHB", OPT_TSRESOL, 1, MICROSECONDS))
    interface = struct.pack("<HHI", LINKTYPE_ETHERNET, 0, 0) + tsresol + struct.pack("<HH", 0, 0)
    return _block(SHB_TYPE, section) + _block(IDB_TYPE, interface)


def ethernet_frame(frame: bytes, from_master: bool, slave_address: int) -> bytes:
    """The Ethernet frame that carries `frame` as one EtherCAT datagram."""
    command = CMD_LWR if from_master else CMD_LRD
    datagram = (
        DATAGRAM_HEADER.pack(command, 0, slave_address, len(frame), 0)
        + frame
        + WORKING_COUNTER.pack(1)
    )
    source = MASTER_MAC if from_master else SLAVE_MAC
    packet = (
        ETH_HEADER.pack(BROADCAST, source, ETHERTYPE_ECAT)
        + ECAT_HEADER.pack(len(datagram) | ECAT_TYPE_COMMANDS << 12)
        + datagram
    )
    return packet.ljust(MIN_ETHERNET, b"\0")


def _packet_block(packet: bytes, time_us: int) -> bytes:
    header = struct.pack("<IIIII", 0, time_us >> 32, time_us & 0xFFFFFFFF, len(packet), len(packet))
    return _block(EPB_TYPE, header + packet)


class CaptureWriter:
    """Writes FSoE frames to a pcapng file Wireshark opens.

    `CaptureWriter(path_or_file)`: a path is created (or truncated) at once, so a bad
    path raises OSError here; a binary file object is written to and flushed, never
    closed. Use it as a context manager or call `close()`.
    """

    def __init__(self, target: PathOrFile) -> None:
        if isinstance(target, (str, os.PathLike)):
            self._file: IO[bytes] = open(target, "wb")  # noqa: SIM115 - closed in close()
            self._owned = True
        elif hasattr(target, "write"):
            self._file = target
            self._owned = False
        else:
            raise TypeError(f"target must be a path or a binary file, got {type(target).__name__}")
        self._closed = False
        try:
            self._put(_header_blocks())
        except BaseException:
            self.close_after_failure()
            raise

    def write(self, frame: bytes, *, from_master: bool, slave_address: int = 0,
              time_us: int | None = None) -> None:  # fmt: skip
        """Writes one frame: the master's (`from_master=True`) or a slave's. `time_us`
        is microseconds since the epoch (or since the start of a simulation); None
        takes the wall clock."""
        if self._closed:
            raise ValueError("write to a closed CaptureWriter")
        if not isinstance(frame, (bytes, bytearray, memoryview)):
            raise TypeError(f"frame must be bytes, got {type(frame).__name__}")
        if not frame:
            raise ValueError("frame is empty: every FSoE frame has at least 3 bytes")
        if len(frame) > MAX_FRAME_BYTES:
            raise ValueError(f"frame must be at most {MAX_FRAME_BYTES} bytes, got {len(frame)}")
        if not isinstance(from_master, bool):
            raise TypeError(f"from_master must be a bool, got {type(from_master).__name__}")
        _check_int("slave_address", slave_address, 0xFFFFFFFF)
        if time_us is None:
            time_us = time.time_ns() // 1000
        _check_int("time_us", time_us, 0xFFFFFFFFFFFFFFFF)
        packet = ethernet_frame(bytes(frame), from_master, slave_address)
        self._put(_packet_block(packet, time_us))

    def _put(self, block: bytes) -> None:
        self._file.write(block)
        self._file.flush()

    def close(self) -> None:
        """Flushes, and closes a file the writer opened. Calling it again does nothing."""
        if self._closed:
            return
        self._closed = True
        if self._owned:
            self._file.close()
        else:
            self._file.flush()

    def close_after_failure(self) -> None:
        """Closes a file the writer opened whose write failed (a full disk), keeping the
        failure the caller is handling: the buffered bytes are dropped with it."""
        self._closed = True
        if self._owned:
            try:
                self._file.close()
            except OSError:
                pass  # the write's own error is the one reported

    def __enter__(self) -> CaptureWriter:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:  # fmt: skip
        self.close()


def _check_int(name: str, value: object, maximum: int) -> None:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    if not 0 <= value <= maximum:
        raise ValueError(f"{name} must be 0 to {maximum:#x}, got {value}")


# -- reading ------------------------------------------------------------------------


def read_capture(source: PathOrFile) -> Iterator[CapturedFrame]:
    """The datagrams of every EtherCAT frame in a pcap or pcapng file, in file order.

    A path is tried here (a bad path raises OSError at this call), opened when the
    iteration starts and closed when it ends; a binary file object is read from its
    current position and left open. Iterating raises CaptureError at a truncated or
    malformed block, after yielding the frames of the whole blocks before it.
    """
    if isinstance(source, (str, os.PathLike)):
        open(source, "rb").close()  # a bad path fails here, at the call
        return _frames_of_path(source)
    if not hasattr(source, "read"):
        raise TypeError(f"source must be a path or a binary file, got {type(source).__name__}")
    return _frames(source)


def _frames_of_path(path: str | os.PathLike[str]) -> Iterator[CapturedFrame]:
    with open(path, "rb") as file:
        yield from _frames(file)


def _frames(file: IO[bytes]) -> Iterator[CapturedFrame]:
    magic = file.read(4)
    if len(magic) < 4:
        raise CaptureError(f"not a capture: {len(magic)} bytes, too short for any header")
    packets = _pcapng(file, magic) if magic == SHB_BYTES else _pcap(file, magic)
    for time_us, packet in packets:
        yield from _datagrams(packet, time_us)


def _read(file: IO[bytes], size: int, what: str, at: int) -> bytes:
    data = file.read(size)
    if len(data) < size:
        raise CaptureError(f"truncated {what} at byte {at}: {len(data)} of {size} bytes")
    return data


# A pcapng interface: its link type and the divisor turning its timestamps into µs.
class _Interface(NamedTuple):
    link_type: int
    to_us: tuple[int, int]  # timestamp * to_us[0] // to_us[1]
    offset_us: int  # if_tsoffset: seconds added to every timestamp


def _pcapng(file: IO[bytes], magic: bytes) -> Iterator[tuple[int, bytes]]:
    at = 0
    order = "<"
    interfaces: list[_Interface] = []
    head = magic + file.read(BLOCK_HEADER - len(magic))
    while head:
        if len(head) < BLOCK_HEADER:
            raise CaptureError(f"truncated block header at byte {at}")
        if head[:4] == SHB_BYTES:  # a new section: its own byte order and interfaces
            head += _read(file, 4, "section header", at)
            order = _byte_order(head[8:], at)
            interfaces = []
        block_type, length = struct.unpack(f"{order}II", head[:8])
        if length < len(head) + 4 or length % 4 or length > MAX_BLOCK_BYTES:
            raise CaptureError(f"block at byte {at}: impossible length {length}")
        block = head + _read(file, length - len(head), "block", at)
        if struct.unpack(f"{order}I", block[-4:])[0] != length:
            raise CaptureError(f"block at byte {at}: its trailing length differs from {length}")
        if block_type == IDB_TYPE:
            interfaces.append(_interface(block[8:-4], order, at))
        elif block_type == EPB_TYPE:
            packet = _enhanced_packet(block[8:-4], order, interfaces, at)
            if packet is not None:
                yield packet
        at += length
        head = file.read(BLOCK_HEADER)


def _byte_order(magic: bytes, at: int) -> str:
    for order in "<>":
        if struct.unpack(f"{order}I", magic)[0] == BYTE_ORDER_MAGIC:
            return order
    raise CaptureError(f"section header at byte {at}: no byte-order magic")


def _interface(body: bytes, order: str, at: int) -> _Interface:
    if len(body) < 8:
        raise CaptureError(f"interface description at byte {at}: too short")
    link_type = struct.unpack(f"{order}H", body[:2])[0]
    to_us, offset_us = (1, 1), 0
    for code, value in _options(body[8:], order):
        if code == OPT_TSRESOL and value:
            to_us = _resolution(value[0])
        elif code == OPT_TSOFFSET and len(value) == 8:
            offset_us = struct.unpack(f"{order}q", value)[0] * 10**6
    return _Interface(link_type, to_us, offset_us)


def _options(data: bytes, order: str) -> Iterator[tuple[int, bytes]]:
    """The options of a block; a cut option ends them (readers ignore what they cannot
    read in options, as Wireshark does)."""
    at = 0
    while at + 4 <= len(data):
        code, size = struct.unpack(f"{order}HH", data[at : at + 4])
        if code == OPT_END or at + 4 + size > len(data):
            return
        yield code, data[at + 4 : at + 4 + size]
        at += 4 + size + (-size % 4)


def _resolution(tsresol: int) -> tuple[int, int]:
    """(multiplier, divisor) from units of 10^-n s (or 2^-n with the high bit) to µs."""
    exponent = tsresol & 0x7F
    unit = 2**exponent if tsresol & 0x80 else 10**exponent
    return (10**6, unit)


def _enhanced_packet(body: bytes, order: str, interfaces: list[_Interface],
                     at: int) -> tuple[int, bytes] | None:  # fmt: skip
    if len(body) < 20:
        raise CaptureError(f"packet block at byte {at}: too short")
    interface, high, low, captured, _ = struct.unpack(f"{order}IIIII", body[:20])
    if interface >= len(interfaces):
        raise CaptureError(f"packet block at byte {at}: no interface {interface} described")
    if captured > len(body) - 20:
        raise CaptureError(f"packet block at byte {at}: {captured} bytes do not fit in it")
    link_type, (multiplier, divisor), offset_us = interfaces[interface]
    if link_type != LINKTYPE_ETHERNET:
        return None
    return (high << 32 | low) * multiplier // divisor + offset_us, body[20 : 20 + captured]


def _pcap(file: IO[bytes], magic: bytes) -> Iterator[tuple[int, bytes]]:
    order, nanoseconds = _pcap_magic(magic)
    header = magic + _read(file, PCAP_HEADER - 4, "file header", 0)
    link_type = struct.unpack(f"{order}I", header[20:24])[0] & PCAP_LINKTYPE_MASK
    at = PCAP_HEADER
    while True:
        record = file.read(PCAP_RECORD)
        if not record:
            return
        if len(record) < PCAP_RECORD:
            raise CaptureError(f"truncated packet record at byte {at}")
        seconds, fraction, captured, _ = struct.unpack(f"{order}IIII", record)
        if captured > MAX_PCAP_PACKET:
            raise CaptureError(f"packet record at byte {at}: impossible length {captured}")
        packet = _read(file, captured, "packet", at)
        if link_type == LINKTYPE_ETHERNET:
            yield seconds * 10**6 + (fraction // 1000 if nanoseconds else fraction), packet
        at += PCAP_RECORD + captured


def _pcap_magic(magic: bytes) -> tuple[str, bool]:
    for order in "<>":
        value = struct.unpack(f"{order}I", magic)[0]
        if value in (PCAP_MAGIC_US, PCAP_MAGIC_NS):
            return order, value == PCAP_MAGIC_NS
    raise CaptureError(f"not a pcap or pcapng file (starts with {magic.hex()})")


def _datagrams(packet: bytes, time_us: int) -> Iterator[CapturedFrame]:
    """The datagrams of an EtherCAT frame; nothing for other packets. A frame whose
    datagrams do not fit in the packet (cut by the snapshot length, malformed) gives
    the whole datagrams before the fault."""
    if len(packet) < ETH_HEADER.size + ECAT_HEADER.size:
        return
    at = ETH_HEADER.size
    ethertype = ETH_HEADER.unpack_from(packet)[2]
    if ethertype == ETHERTYPE_VLAN and len(packet) >= at + 4 + ECAT_HEADER.size:
        ethertype = struct.unpack_from(">H", packet, at + 2)[0]
        at += 4
    if ethertype != ETHERTYPE_ECAT:
        return
    (ecat,) = ECAT_HEADER.unpack_from(packet, at)
    if ecat >> 12 != ECAT_TYPE_COMMANDS:
        return
    at += ECAT_HEADER.size
    end = min(len(packet), at + (ecat & LENGTH_MASK))
    more = True
    while more and at + DATAGRAM_HEADER.size <= end:
        command, _, address, flags, _ = DATAGRAM_HEADER.unpack_from(packet, at)
        data_at = at + DATAGRAM_HEADER.size
        at = data_at + (flags & LENGTH_MASK) + WORKING_COUNTER.size
        if at > end:
            return
        yield CapturedFrame(time_us, _direction(command), address, packet[data_at : at - 2])
        more = bool(flags & MORE_DATAGRAMS)


def _direction(command: int) -> bool | None:
    if command == CMD_LWR:
        return True
    if command == CMD_LRD:
        return False
    return None
