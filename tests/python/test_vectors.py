"""The shared frame vectors against the library's codec, the pure-Python follower and
their generator."""

import importlib.util

import pytest
from crc_reference import fsoe_crc16
from hypothesis import given
from hypothesis import strategies as st
from vector_files import EXCHANGES, VECTORS, exchange, expected, frame_rows

import tarnwick
from virtual_slave import fsoe_wire as wire

ROWS = frame_rows()
TOOL = VECTORS.parent.parent / "tools" / "make_vectors.py"


@given(st.binary(max_size=40))
def test_crc_table_agrees_with_the_bitwise_reference(data):
    assert wire.crc16(data) == fsoe_crc16(data)


def test_crc_check_value():
    assert wire.crc16(b"123456789") == 0xDDE2


def test_vectors_cover_every_command_size_and_corruption():
    assert {r.command for r in ROWS} == set(wire.COMMAND_NAMES.values())
    assert {r.size for r in ROWS if r.status == "good"} == set(wire.SIZES)
    assert {r.size for r in ROWS if r.status == "bad"} == set(wire.SIZES)
    assert {r.sender for r in ROWS} == {"M", "S"}


@pytest.mark.parametrize("row", ROWS, ids=[r.name for r in ROWS])
def test_frame_row_against_the_library_codec(row):
    frame = tarnwick.FSOEFrame.frame_from_array(row.raw)
    frame.control.sequence_number = row.seq
    frame.control.crc0 = row.seed
    assert frame.check_crcs() == (row.status == "good")
    assert frame.safe_data_size_bytes == row.size
    assert frame.control.command.value == row.raw[0]
    assert frame.control.connection_id == row.conn_id


@pytest.mark.parametrize("row", ROWS, ids=[r.name for r in ROWS])
def test_frame_row_against_the_wire_module(row):
    frame = wire.parse_frame(row.raw)
    assert (frame.crcs == frame.crcs_with(row.seq, row.seed)) == (row.status == "good")
    assert (frame.name, len(frame.safe_data), frame.conn_id) == (row.command, row.size, row.conn_id)
    if row.status == "good":
        built = wire.build_frame(frame.command, frame.safe_data, row.conn_id, row.seq, row.seed)
        assert built == row.raw


@pytest.mark.parametrize("name", EXCHANGES)
def test_conversation_follower_gives_the_expected_statuses(name):
    conversation = wire.Conversation()
    got = [(conversation.feed(s, wire.parse_frame(raw)), wire.parse_frame(raw).name)
           for s, raw in exchange(name)]  # fmt: skip
    assert got == expected(name)


def test_a_data_frame_alone_is_unverified():
    row = next(r for r in ROWS if r.command == "ProcessData" and r.status == "good")
    assert wire.Conversation().feed(row.sender, wire.parse_frame(row.raw)) == wire.UNVERIFIED


def test_error_names_are_the_library_names():
    members = {e.value: e.name for e in tarnwick.FSOEError}
    names = {code: wire.error_name(code) for code in range(256)}
    assert {code: names[code] for code in members} == members
    assert names[12] == "UNKNOWN_ERROR_12"


def test_generator_reproduces_the_checked_in_files():
    module_spec = importlib.util.spec_from_file_location("make_vectors", TOOL)
    tool = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(tool)
    for name, text in tool.files().items():
        assert (VECTORS / name).read_text() == text, f"{name} is out of date"
