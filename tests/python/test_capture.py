"""Capture files: what the writer lays down, what the reader takes from its own and
from other writers' files, and how both treat bad input."""

import io
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from virtual_slave.capture import CapturedFrame, CaptureError, CaptureWriter, read_capture

FRAMES = [  # a request and a reply of one safe-data byte, and a longer reply
    (bytes.fromhex("36 01 f8 86 34 12"), True, 0x101, 1_000),
    (bytes.fromhex("08 00 44 2c 34 12"), False, 0x101, 1_000),
    (bytes(range(35)), False, 0x102, 2_000),
]


def written(frames=FRAMES):
    """The capture of `frames` and the byte offsets where its blocks end."""
    out = io.BytesIO()
    with CaptureWriter(out) as writer:
        ends = [out.tell()]
        for data, from_master, address, time_us in frames:
            writer.write(data, from_master=from_master, slave_address=address, time_us=time_us)
            ends.append(out.tell())
    return out.getvalue(), ends


def read_all(data):
    """The frames read before an error, and the error (None when the file was whole)."""
    frames = []
    try:
        for frame in read_capture(io.BytesIO(data)):
            frames.append(frame)
    except CaptureError as error:
        return frames, error
    return frames, None


# -- hand-laid files: what Wireshark and tcpdump write ----------------------------------


def ethercat(*datagrams, vlan=False):
    """An Ethernet frame of EtherCAT datagrams given as (command, address, data)."""
    body = b""
    for i, (command, address, data) in enumerate(datagrams):
        more = 0x8000 if i < len(datagrams) - 1 else 0
        body += struct.pack("<BBIHH", command, 0x55, address, len(data) | more, 0)
        body += data + struct.pack("<H", 3)
    tag = struct.pack(">HH", 0x8100, 7) if vlan else b""
    ethernet = b"\xff" * 6 + b"\x02" * 6 + tag + struct.pack(">H", 0x88A4)
    return ethernet + struct.pack("<H", len(body) | 0x1000) + body


def block(order, kind, body):
    body += b"\0" * (-len(body) % 4)
    length = struct.pack(order + "I", len(body) + 12)
    return struct.pack(order + "I", kind) + length + body + length


def pcapng(order, interfaces, packets):
    """interfaces: (link type, if_tsresol or None); packets: (interface, timestamp, bytes)."""
    out = block(order, 0x0A0D0D0A, struct.pack(order + "IHHq", 0x1A2B3C4D, 1, 0, -1))
    for link_type, tsresol in interfaces:
        options = b"" if tsresol is None else struct.pack(order + "HHB3x", 9, 1, tsresol)
        out += block(order, 1, struct.pack(order + "HHI", link_type, 0, 0) + options + b"\0" * 4)
    for interface, stamp, data in packets:
        high, low = divmod(stamp, 1 << 32)
        head = struct.pack(order + "IIIII", interface, high, low, len(data), len(data))
        out += block(order, 6, head + data)
    return out


def pcap(order, nanoseconds, link_type, packets):
    magic = 0xA1B23C4D if nanoseconds else 0xA1B2C3D4
    out = struct.pack(order + "IHHiIII", magic, 2, 4, 0, 0, 65535, link_type)
    for seconds, fraction, data in packets:
        out += struct.pack(order + "IIII", seconds, fraction, len(data), len(data)) + data
    return out


LRW, APRD, LWR, LRD = 0x0C, 0x01, 0x0B, 0x0A
REQUEST = b"\x36\x00\x01\x02\x03\x04"
REPLY = b"\x08\x00\x44\x2c\x34\x12"
# A real bus's frame: the request, a process-data LRW and a register read.
MIXED = ethercat((LWR, 0x101, REQUEST), (LRW, 0x1000, b"\xaa\xbb"), (APRD, 0x0130FFFF, b"\x08"))
TAGGED = ethercat((LRD, 0x102, REPLY), vlan=True)
NOT_ECAT = b"\xff" * 12 + b"\x08\x00" + bytes(46)  # an IPv4 packet


def mixed(time_us):
    return [(time_us, True, 0x101, REQUEST), (time_us, None, 0x1000, b"\xaa\xbb"),
            (time_us, None, 0x0130FFFF, b"\x08")]  # fmt: skip


def tagged(time_us):
    return [(time_us, False, 0x102, REPLY)]


@pytest.mark.parametrize(
    "data, expected",
    [
        (
            pcap("<", False, 1, [(1, 5, MIXED), (1, 6, NOT_ECAT), (2, 7, TAGGED)]),
            mixed(1_000_005) + tagged(2_000_007),
        ),
        (pcap(">", True, 1, [(1, 5_999, TAGGED)]), tagged(1_000_005)),
        (pcap("<", False, 105, [(1, 5, MIXED)]), []),  # 802.11: skipped
        (pcapng(">", [(1, 9)], [(0, 1_000_005_999, TAGGED)]), tagged(1_000_005)),
        # An interface of another link type, one counting 2^-10 s, then a second section.
        (
            pcapng("<", [(105, None), (1, 0x8A)], [(0, 1, MIXED), (1, 1536, MIXED)])
            + pcapng(">", [(1, None)], [(0, 7, TAGGED)]),
            mixed(1_500_000) + tagged(7),
        ),
    ],
    ids=["pcap", "pcap ns big-endian", "pcap other link", "pcapng ns big-endian", "pcapng mixed"],
)
def test_reads_what_other_writers_write(data, expected):
    assert read_all(data) == ([CapturedFrame(*f) for f in expected], None)


def test_lays_out_the_agreed_packet():
    frame = bytes.fromhex("36 01 f8 86 34 12")
    data, _ = written([(frame, True, 0x0101, 0x1_0000_0002)])
    shb = struct.pack("<IIIHHqI", 0x0A0D0D0A, 28, 0x1A2B3C4D, 1, 0, -1, 28)
    tsresol = struct.pack("<HHB3x", 9, 1, 6)
    idb = struct.pack("<IIHHI", 1, 32, 1, 0, 0) + tsresol + struct.pack("<HHI", 0, 0, 32)
    ethernet = bytes.fromhex("ffffffffffff 020000000001") + struct.pack(">H", 0x88A4)
    datagram_length = 10 + len(frame) + 2
    ecat_header = struct.pack("<H", datagram_length | 1 << 12)
    datagram = struct.pack("<BBIHH", 0x0B, 0, 0x0101, len(frame), 0) + frame + struct.pack("<H", 1)
    packet = (ethernet + ecat_header + datagram).ljust(60, b"\0")
    epb_length = 12 + 20 + len(packet)
    interface, time_high, time_low = 0, 1, 2
    epb_head = struct.pack("<IIIIIII", 6, epb_length, interface, time_high, time_low, 60, 60)
    epb = epb_head + packet + struct.pack("<I", epb_length)
    assert data == shb + idb + epb


@settings(max_examples=60, deadline=None)
@given(
    st.lists(
        st.tuples(
            st.binary(min_size=1, max_size=40),
            st.booleans(),
            st.integers(0, 0xFFFFFFFF),
            st.integers(0, 2**64 - 1),
        ),
        max_size=6,
    )
)
def test_round_trip(frames):
    data, _ = written(frames)
    assert read_all(data) == ([CapturedFrame(t, m, a, d) for d, m, a, t in frames], None)


def test_a_cut_capture_reads_up_to_its_last_whole_block():
    data, ends = written()
    everything = [CapturedFrame(t, m, a, d) for d, m, a, t in FRAMES]
    for cut in range(len(data)):
        frames, error = read_all(data[:cut])
        whole = sum(end <= cut for end in ends[1:])
        assert frames == everything[:whole], cut
        if cut > ends[0]:
            assert (error is None) == (cut in ends), cut


@settings(max_examples=300, deadline=None)
@given(
    st.sampled_from([b"", written()[0][:40], struct.pack("<I", 0xA1B2C3D4), written()[0]]),
    st.binary(max_size=200),
    st.integers(0, 400),
)
def test_garbage_raises_capture_error_or_reads(start, tail, at):
    """Random bytes, alone, behind a valid start, or written over part of a valid file."""
    data = (start[:at] + tail + start[at + len(tail) :]) if at < len(start) else start + tail
    frames, error = read_all(data)
    assert all(isinstance(f, CapturedFrame) for f in frames)
    assert error is None or str(error)


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "too short"),
        (b"GIF89a\0\0", "not a pcap or pcapng file"),
        (written()[0][:30], "truncated block header at byte 28"),
        (pcapng("<", [], []) + block("<", 6, bytes(20)), "no interface 0"),
        (struct.pack("<III", 0x0A0D0D0A, 0xFFFFFFF0, 0x1A2B3C4D), "impossible length"),
    ],
)
def test_errors_say_what_is_wrong(data, message):
    assert message in str(read_all(data)[1])


def test_bad_paths_and_arguments_fail_at_the_call(tmp_path):
    with pytest.raises(FileNotFoundError):
        read_capture(tmp_path / "missing.pcapng")
    with pytest.raises(FileNotFoundError):
        CaptureWriter(tmp_path / "no" / "such" / "dir.pcapng")
    with CaptureWriter(tmp_path / "c.pcapng") as writer:
        for bad, error in [
            ({"frame": bytes(1487)}, ValueError),
            ({"frame": b""}, ValueError),
            ({"from_master": 1}, TypeError),
            ({"slave_address": -1}, ValueError),
            ({"time_us": 2**64}, ValueError),
            ({"frame": "36 01"}, TypeError),
        ]:
            with pytest.raises(error):
                writer.write(**{"frame": b"\0", "from_master": True, **bad})
    with pytest.raises(ValueError, match="closed"):
        writer.write(b"\0", from_master=True)
    assert list(read_capture(tmp_path / "c.pcapng")) == []
