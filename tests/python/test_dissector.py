"""The Wireshark plugin wireshark/fsoe.lua in Debian's tshark: the shared exchanges, a
simulation capture, malformed frames and the real-bus preferences.

Skipped without tshark, unless FSOE_REQUIRE_TSHARK=1 (CI) makes that a failure."""

import io
import os
import random
import re
import shlex
import shutil
import struct
import subprocess
import sys

import pytest
from vector_files import EXCHANGES, VECTORS, exchange, expected, write_capture

from virtual_slave import capture, decode
from virtual_slave import fsoe_wire as wire

PLUGIN = VECTORS.parent.parent / "wireshark" / "fsoe.lua"
FIELDS = ("frame.number", "fsoe.sender", "fsoe.cmd", "fsoe.conn_id", "fsoe.crc.status",
          "fsoe.error")  # fmt: skip
LRW = 0x0C
CMD_AT = 8 + 20 + 14 + 2  # an Enhanced Packet Block's datagram command byte


@pytest.fixture(scope="module")
def tshark():
    found = shutil.which("tshark")
    if found is None:
        if os.environ.get("FSOE_REQUIRE_TSHARK") == "1":
            pytest.fail("tshark is not installed and FSOE_REQUIRE_TSHARK=1")
        pytest.skip("tshark is not installed (apt-get install tshark)")
    return found


def dissect(tshark, path, *options, fields=FIELDS):
    """One tuple of field values per packet with FSoE frames (several frames of a packet
    joined by |), the packet's expert messages last; a Lua error fails the test."""
    command = [tshark, "-n", "-X", f"lua_script:{PLUGIN}", "-r", str(path), "-Y", "fsoe",
               "-T", "fields", "-E", "occurrence=a", "-E", "aggregator=|"]  # fmt: skip
    for option in options:
        command += ["-o", option]
    for field in (*fields, "_ws.expert.message"):
        command += ["-e", field]
    run = subprocess.run(command, capture_output=True, text=True, check=True)
    assert "Lua Error" not in run.stdout + run.stderr, run.stdout + run.stderr
    return [tuple(line.split("\t")) for line in run.stdout.splitlines()]


def names(rows):
    return [(status, wire.command_name(int(cmd, 16))) for _, _, cmd, _, status, *_ in rows]


@pytest.mark.parametrize("name", EXCHANGES)
def test_exchanges_decode_as_expected(tshark, name, tmp_path):
    write_capture(tmp_path / "x.pcapng", name)
    rows = dissect(tshark, tmp_path / "x.pcapng")
    assert names(rows) == expected(name)
    frames = [wire.parse_frame(raw) for _, raw in exchange(name)]
    assert [int(r[3], 16) for r in rows] == [f.conn_id for f in frames]
    assert [r[5] for r in rows] == [str(f.error_code) if f.error_code is not None else ""
                                    for f in frames]  # fmt: skip


@pytest.mark.parametrize("argv", [[], ["--slaves", "3", "--size", "16"]],
                         ids=["pair", "network"])  # fmt: skip
def test_simulation_capture(tshark, argv, tmp_path):
    path = tmp_path / "sim.pcapng"
    run = subprocess.run([sys.executable, "-m", "virtual_slave", "--capture", str(path), *argv],
                         capture_output=True, text=True)  # fmt: skip
    rows = dissect(tshark, path)
    ours = list(decode.decode(decode.read_records(io.BytesIO(path.read_bytes()))))
    assert [(r[1], r[2], r[3], r[4]) for r in rows] == [
        ({"M": "master", "S": "slave"}[d.record.sender], f"0x{d.frame.command:02x}",
         f"0x{d.frame.conn_id:04x}", d.status) for d in ours
    ]  # fmt: skip
    if not argv:  # exactly the two corrupted replies: the crc and connid faults' cycles
        faults = [line.split()[0] for line in run.stdout.splitlines() if "FAULT" in line]
        bad = [d.record.time_us // 1000 for d in ours if d.status == "bad"]
        assert [str(cycle) for cycle in bad] == faults[:2]
        assert {r[4] for r in rows} == {"good", "bad"}


def write_frames(path, frames, command=None):
    """A capture of (from_master, bytes) frames, their datagram command changed if asked."""
    with capture.CaptureWriter(path) as out:
        for i, (from_master, raw) in enumerate(frames):
            out.write(raw, from_master=from_master, slave_address=7, time_us=i)
    if command is not None:
        data, at = bytearray(path.read_bytes()), 0
        while at < len(data):
            kind, length = struct.unpack_from("<II", data, at)
            if kind == capture.EPB_TYPE:
                data[at + CMD_AT] = command
            at += length
        path.write_bytes(bytes(data))


def test_malformed_frames_are_marked(tshark, tmp_path):
    good = exchange("conversation")[0][1]
    frames = [(True, good[:5]), (True, bytes([0x77]) + good[1:]), (True, good)]
    write_frames(tmp_path / "m.pcapng", frames)
    rows = dissect(tshark, tmp_path / "m.pcapng", fields=("frame.number",))
    assert [r[0] for r in rows] == ["1", "2", "3"]
    assert "5 bytes is no FSoE frame length" in rows[0][1]
    assert "Unknown command 0x77" in rows[1][1]
    assert "Malformed" not in rows[2][1] and "Unknown" not in rows[2][1]


def test_real_bus_preferences_split_a_read_write_datagram(tshark, tmp_path):
    pairs = exchange("conversation")
    both = [(True, pairs[i][1] + pairs[i + 1][1]) for i in range(0, len(pairs), 2)]
    write_frames(tmp_path / "lrw.pcapng", both, command=LRW)
    sizes = [len(pairs[0][1]), len(pairs[1][1])]
    prefs = ("fsoe.master_offset:0", f"fsoe.master_size:{sizes[0]}",
             f"fsoe.slave_offset:{sizes[0]}", f"fsoe.slave_size:{sizes[1]}")  # fmt: skip
    rows = dissect(tshark, tmp_path / "lrw.pcapng", *prefs)
    statuses = [s for r in rows for s in r[4].split("|")]
    assert statuses == [status for status, _ in expected("conversation")]
    assert {r[1] for r in rows} == {"master|slave"}


def test_a_read_write_datagram_alone_has_no_direction(tshark, tmp_path):
    write_frames(tmp_path / "lrw.pcapng", [(True, raw) for _, raw in exchange("conversation")[:4]],
                 command=LRW)  # fmt: skip
    rows = dissect(tshark, tmp_path / "lrw.pcapng")
    assert [(r[1], r[4]) for r in rows] == [("unknown", "unverified")] * 4


def test_random_datagrams_are_decoded_or_marked_malformed(tshark, tmp_path):
    rng = random.Random(5)
    frames = [(rng.random() < 0.5, rng.randbytes(rng.randrange(1, 40))) for _ in range(300)]
    write_frames(tmp_path / "r.pcapng", frames)
    rows = dissect(tshark, tmp_path / "r.pcapng", fields=("fsoe.crc.status",))
    for (_, raw), (status, experts) in zip(frames, rows):
        framed = len(raw) in wire.LENGTH_SIZES
        assert ("no FSoE frame length" in experts) == (not framed)
        # Random bytes never carry the CRCs of their sender; a Reset frame's are known.
        assert status in (("bad", "unverified") if framed else ("",))
        assert status == "bad" or not framed or raw[0] != wire.RESET
    write_frames(tmp_path / "rw.pcapng", frames, command=LRW)
    dissect(tshark, tmp_path / "rw.pcapng", "fsoe.master_offset:3", "fsoe.master_size:7",
            "fsoe.slave_offset:30")  # fmt: skip


def test_readme_recipe_shows_what_it_says(tshark, tmp_path):
    """The README's commands, run as written, print the output it shows."""
    readme = (VECTORS.parent.parent / "README.md").read_text(encoding="utf-8")
    recipe = readme.split("read why the connection reset.**", 1)[1]
    command, shown = re.search(r"```sh\n(.*?)```\n\n```\n(.*?)```", recipe, re.DOTALL).groups()
    capture_line, tshark_line = command.replace("\\\n", "").splitlines()
    args = shlex.split(capture_line)[1:]  # python -m virtual_slave ...
    subprocess.run([sys.executable, *args], cwd=tmp_path, capture_output=True, check=True)
    argv = shlex.split(tshark_line.replace("lua_script:wireshark/", f"lua_script:{PLUGIN.parent}/"))
    run = subprocess.run([tshark, *argv[1:]], cwd=tmp_path, capture_output=True, text=True)
    assert run.stdout == shown
