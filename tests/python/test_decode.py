"""tarnwick-decode: the statuses of the shared exchanges and of a simulation capture,
clear errors for bad input, and no crash on any bytes."""

import functools
import io
import json
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from vector_files import EXCHANGES, VECTORS, exchange, expected, write_capture

from virtual_slave import decode, simulation
from virtual_slave import fsoe_wire as wire
from virtual_slave.capture import CaptureWriter

SCRIPT = Path(sys.executable).with_name("tarnwick-decode")


def decoded(data: bytes) -> list:
    return list(decode.decode(decode.read_records(io.BytesIO(data))))


def statuses(items) -> list:
    return [(d.status, d.frame.name) for d in items]


@pytest.mark.parametrize("name", EXCHANGES)
def test_exchange_statuses_from_text_and_capture(name, tmp_path):
    write_capture(tmp_path / "x.pcapng", name)
    from_capture = decoded((tmp_path / "x.pcapng").read_bytes())
    assert statuses(decoded((VECTORS / f"{name}.txt").read_bytes())) == expected(name)
    assert statuses(from_capture) == expected(name)
    assert [(d.record.sender, d.record.data) for d in from_capture] == exchange(name)


def test_simulation_capture_shows_exactly_the_injected_corruptions(tmp_path):
    path, out = tmp_path / "sim.pcapng", io.StringIO()
    assert simulation.main(["--capture", str(path), "--faults", "crc,connid,sra"], out=out) == 0
    fault_cycles = [int(line.split()[0]) for line in out.getvalue().splitlines() if "FAULT" in line]
    items = decoded(path.read_bytes())
    bad = [(d.record.time_us // 1000, d.record.sender) for d in items if d.status == "bad"]
    assert bad == [(cycle, "S") for cycle in fault_cycles[:2]]
    assert {d.status for d in items} == {"good", "bad"}
    assert {d.frame.name for d in items} == set(wire.COMMAND_NAMES.values())


@pytest.mark.parametrize(
    "text, shown",
    [
        ("M 2a0086f80000\n", "    1 M Reset        conn 0x0000 crc good       "
         "data 00 error RESET (0)"),
        ("S 36:01:00\n", "    1 S malformed: 3 bytes is no FSoE frame length (360100)"),
        ("# c\n\nS 2a 04 00 a6 34 00 00\n", "    1 S Reset        conn 0x0000 crc good       "
         "data 0400 error INVALID_CRC (4)"),
        ("M 36 00 0d 41 01 0c\n", "    1 M ProcessData  conn 0x0C01 crc unverified data 00"),
        ("\ufeffM 2a0086f80000\n", "    1 M Reset        conn 0x0000 crc good       "
         "data 00 error RESET (0)"),
    ],
)  # fmt: skip
def test_text_lines(text, shown):
    assert [decode.text_line(d) for d in decoded(text.encode())] == [shown]


def broken_capture(tmp_path):
    write_capture(tmp_path / "x.pcapng", "conversation")
    return (tmp_path / "x.pcapng").read_bytes()


@pytest.mark.parametrize(
    "argv, data, message, frames_before",
    [
        (["nowhere.txt"], None, "cannot open nowhere.txt: No such file or directory", 0),
        (["--colour", "x"], None, "unrecognized arguments: --colour", 0),
        (["in"], b"M 2a0086f80000\nM 2a00zz\n", "line 2: '2a00zz' is not hex bytes", 1),
        (["in"], b"M 2a0086f80000\nX 00\n", "line 2: starts with 'X', not M or S", 1),
        (["in"], "cut", "capture: truncated block", 2),
        (["in"], b"\x0a\x0d\x0d\x0agarbage", "capture:", 0),
        ([], None, "the following arguments are required: FILE", 0),
    ],
    ids=["missing", "option", "hex", "sender", "truncated", "garbage", "no input"],
)
def test_errors_are_one_line_and_exit_2(argv, data, message, frames_before, tmp_path, capsys,
                                        monkeypatch):  # fmt: skip
    monkeypatch.chdir(tmp_path)
    if data == "cut":
        data = broken_capture(tmp_path)[:300]
    if data is not None:
        Path("in").write_bytes(data)
    with pytest.raises(SystemExit) as stop:
        decode.main(argv)
    out, err = capsys.readouterr()
    assert stop.value.code == 2
    assert err.startswith("tarnwick-decode: error: ") and err.count("\n") == 1
    assert message in err
    assert len(out.splitlines()) == frames_before


def test_console_script_reads_standard_input_as_json():
    text = (VECTORS / "conversation.txt").read_bytes()
    run = subprocess.run([str(SCRIPT), "--json", "-"], input=text, capture_output=True, check=True)
    items = [json.loads(line) for line in run.stdout.decode().splitlines()]
    assert [(i["crc_status"], i["command"]) for i in items] == expected("conversation")


def test_an_input_without_frames_says_so(tmp_path, capsys):
    (tmp_path / "empty").write_bytes(b"")
    assert decode.main([str(tmp_path / "empty")]) == 0
    out, err = capsys.readouterr()
    assert out == "" and "no FSoE frames in" in err


def test_the_installed_wireshark_plugin_is_the_repositorys(capsys):
    assert decode.main(["--wireshark-plugin"]) == 0
    installed = Path(capsys.readouterr().out.strip())
    assert installed.read_bytes() == (VECTORS.parent.parent / "wireshark" / "fsoe.lua").read_bytes()


@functools.cache
def valid_capture() -> bytes:
    """A short capture of two connections."""
    out = io.BytesIO()
    with CaptureWriter(out) as w:
        for i, (sender, raw) in enumerate(exchange("joined")[:12]):
            w.write(raw, from_master=sender == "M", slave_address=i % 2, time_us=i)
    return out.getvalue()


def outcome(data: bytes) -> None:
    """Decoding gives frames, or stops with the module's own error: nothing else."""
    try:
        for d in decoded(data):
            assert d.status in ("good", "bad", "unverified", "malformed")
            assert (d.frame is None) == (d.status == "malformed")
            (decode.json_line(d), decode.text_line(d))
    except wire.WireError:
        pass


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=300))
def test_any_bytes(data):
    outcome(data)


@settings(max_examples=300, deadline=None)
@given(st.integers(0, 2000), st.integers(0, 2000), st.integers(0, 255))
def test_cut_and_spoilt_captures(cut, at, value):
    data = bytearray(valid_capture()[:cut])
    if at < len(data):
        data[at] = value
    outcome(bytes(data))


hex_line = st.tuples(st.sampled_from("MS?"), st.binary(max_size=40)).map(
    lambda p: f"{p[0]} {p[1].hex(':')}"
)


@settings(max_examples=300, deadline=None)
@given(st.lists(hex_line | st.text(max_size=20), max_size=12))
def test_any_text_lines(lines):
    outcome("\n".join(lines).encode("utf-8"))
