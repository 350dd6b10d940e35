import os
import subprocess
import sys

import pytest

import tarnwick


def _reset_frame():
    frame = tarnwick.FSOEFrame(7)
    frame.control.command = tarnwick.FSOECommand.RESET
    frame.control.sequence_number = 1
    frame.control.connection_id = 0xAB
    return frame


def test_trace_off_prints_nothing(capsys):
    frame = _reset_frame()
    frame.generate_crcs()
    frame.check_crcs()
    tarnwick._log_transition("RESET_OK")
    assert capsys.readouterr().out == ""


def test_transition_line(capsys, trace_on):
    assert tarnwick._log_transition("RESET_OK") is None
    assert capsys.readouterr().out == "MASTER | TRANSITION | RESET_OK\n"


def test_generate_lines(capsys, trace_on):
    _reset_frame().generate_crcs()
    assert capsys.readouterr().out.splitlines() == [
        "MASTER | CRC | Generating",
        "Calculated CRC[0]: 0x" + format(_expected_crc0(), "x"),
        "Reference CRC0:    0x0",
        "Connection ID:     0xab",
        "Sequence number:   0x1",
        "Command:           0x2a",
    ]


def _expected_crc0():
    return _reset_frame().calc_crc0()


@pytest.mark.parametrize(("corrupt", "verdict"), [(False, "VALID"), (True, "INVALID!")])
def test_check_lines(capsys, trace_on, corrupt, verdict):
    frame = _reset_frame()
    frame.generate_crcs()
    if corrupt:
        frame.crcs[0] ^= 1
    capsys.readouterr()
    frame.check_crcs()
    crc = _expected_crc0()
    received = crc ^ 1 if corrupt else crc
    assert capsys.readouterr().out.splitlines() == [
        "MASTER | CRC | Check",
        f"Calculated CRCs:   {crc:04X} " + "0000 " * 7,
        f"Received CRCs:     {received:04X} " + "0000 " * 7,
        "Reference CRC0:    0x0",
        "Connection ID:     0xab",
        "Sequence number:   0x1",
        "Command:           0x2a",
        verdict,
    ]


def test_log_check_crc_formats_given_words(capsys, trace_on):
    frame = tarnwick.FSOEFrame(7)
    frame.crcs[0] = 0x00AB
    tarnwick._log_check_crc([0x00AB, 1], frame, False)
    lines = capsys.readouterr().out.splitlines()
    assert lines[1] == "Calculated CRCs:   00AB 0001 "
    assert lines[2] == "Received CRCs:     00AB " + "0000 " * 7
    assert lines[6] == "Command:           0x0"  # an invalid command word is traced, not raised
    assert lines[-1] == "INVALID!"


def test_log_functions_check_frame_argument(trace_on):
    with pytest.raises(TypeError, match="Argument 'frame' has incorrect type"):
        tarnwick._log_generate_crc(object())
    with pytest.raises(TypeError, match="Argument 'frame' has incorrect type"):
        tarnwick._log_check_crc([0], None, True)


def test_log_functions_do_nothing_while_the_trace_is_off(capsys, monkeypatch):
    monkeypatch.setattr(tarnwick, "TARNWICK_LOGGING", False)
    assert tarnwick._log_generate_crc(None) is None
    assert tarnwick._log_check_crc(None, None, None) is None
    assert tarnwick._log_transition(None) is None
    assert capsys.readouterr().out == ""


def test_check_trace_prints_any_integer_it_is_given(capsys, trace_on):
    tarnwick._log_check_crc([0x1AB, 70000], _reset_frame(), False)
    assert "Calculated CRCs:   01AB 11170 " in capsys.readouterr().out.splitlines()


def test_cyclic_generation_traces_every_generation(capsys, trace_on):
    frame = _reset_frame()
    frame.generate_crcs_cyclic(frame.calc_crc0())
    assert capsys.readouterr().out.count("MASTER | CRC | Generating") == 2


def test_redirected_stdout_captures_trace(trace_on):
    import contextlib
    import io

    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        tarnwick._log_transition("DATA_OK1")
    assert buffer.getvalue() == "MASTER | TRANSITION | DATA_OK1\n"


@pytest.mark.parametrize(
    ("value", "expected"), [(None, False), ("", False), ("0", True), ("x", True)]
)
def test_switch_read_from_environment_at_import(value, expected):
    env = dict(os.environ)
    env.pop("TARNWICK_LOGGING", None)
    if value is not None:
        env["TARNWICK_LOGGING"] = value
    out = subprocess.run(
        [sys.executable, "-c", "import tarnwick; print(tarnwick.TARNWICK_LOGGING)"],
        env=env, capture_output=True, text=True, check=True,
    ).stdout  # fmt: skip
    assert out.strip() == str(expected)
