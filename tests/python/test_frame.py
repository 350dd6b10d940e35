import gc
import pickle

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tarnwick

C = tarnwick.FSOECommand
WIRE_LENGTH = {1: 6, 2: 7, 4: 11, 6: 15, 8: 19, 10: 23, 12: 27, 14: 31, 16: 35}


def test_constants():
    assert (tarnwick.BYTES_PER_WORD, tarnwick.MAX_DATA_WORDS) == (2, 8)
    assert (tarnwick.MAX_DATA_BYTES, tarnwick.MAX_CRC_WORDS) == (16, 8)


def test_command_is_a_plain_enum():
    assert [m.name for m in C] == [
        "PROCESS_DATA", "RESET", "SESSION", "CONNECTION", "PARAMETER", "FAILSAFE_DATA",
    ]  # fmt: skip
    assert C(54) is C.PROCESS_DATA
    assert C.PROCESS_DATA != 54
    assert pickle.loads(pickle.dumps(C.SESSION)) is C.SESSION


@pytest.mark.parametrize(
    ("value", "expected"),
    [(8, True), (0x2A, True), (0, False), (255, False), (0x36 + 0x100, False), (-1, False),
     (2**70, False)],
)  # fmt: skip
def test_command_has_value(value, expected):
    assert C.has_value(value) is expected


def test_command_has_value_needs_int():
    with pytest.raises(TypeError):
        C.has_value("8")


@pytest.mark.parametrize(("before", "after"), [(0xFFFF, 1), (0, 1), (1, 2), (0x1234, 0x1235)])
def test_increment_sequence_number(before, after):
    control = tarnwick.FSOEFrame().control
    control.sequence_number = before
    assert control.increment_sequence_number() is None
    assert control.sequence_number == after


def test_new_frame_command_is_invalid():
    control = tarnwick.FSOEFrame().control
    assert not control.command_is_valid()
    with pytest.raises(ValueError):
        control.command  # noqa: B018


def test_command_round_trip_through_control():
    control = tarnwick.FSOEFrame().control
    for member in C:
        control.command = member
        assert control.command is member
        assert control.command_is_valid()


@pytest.mark.parametrize("field", ["sequence_number", "connection_id", "crc0"])
@pytest.mark.parametrize(
    ("value", "error", "message"),
    [
        (-1, OverflowError, "can't convert negative value to uint16_t"),
        (65536, OverflowError, "value too large to convert to uint16_t"),
        ("1", TypeError, None),
        (1.5, TypeError, None),
        (None, TypeError, None),
    ],
)
def test_control_field_range(field, value, error, message):
    control = tarnwick.FSOEFrame().control
    setattr(control, field, 7)
    with pytest.raises(error) as info:
        setattr(control, field, value)
    if message:
        assert str(info.value) == message
    assert getattr(control, field) == 7  # nothing written


def test_control_command_needs_value_attribute():
    control = tarnwick.FSOEFrame().control
    for value in (0x36, None):
        with pytest.raises(AttributeError):
            control.command = value


@pytest.mark.parametrize("name", ["command", "sequence_number", "connection_id", "crc0"])
def test_control_properties_cannot_be_deleted(name):
    with pytest.raises(NotImplementedError):
        delattr(tarnwick.FSOEFrame().control, name)


def test_array_bounds_and_conversion():
    frame = tarnwick.FSOEFrame()
    data = frame.safe_data
    data[7] = 0xFFFF
    assert data[7] == 0xFFFF
    with pytest.raises(IndexError) as info:
        data[8]  # noqa: B018
    assert info.value.args == ()
    with pytest.raises(IndexError):
        data[8] = 1
    with pytest.raises(OverflowError, match="can't convert negative value to uint16_t"):
        data[-1]  # noqa: B018
    with pytest.raises(OverflowError, match="value too large to convert to uint16_t"):
        data[70000]  # noqa: B018
    with pytest.raises(OverflowError):
        data[0] = 65536
    with pytest.raises(NotImplementedError):
        del data[0]
    assert data[0] == 0
    assert not hasattr(data, "__len__")


def test_array_clear_covers_exactly_its_words():
    frame = tarnwick.FSOEFrame(35)
    for i in range(8):
        frame.safe_data[i] = 0x1111 * (i + 1)
        frame.crcs[i] = 0xAAAA
    frame.safe_data.clear()
    assert list(frame.safe_data) == [0] * 8
    assert list(frame.crcs) == [0xAAAA] * 8
    assert frame.safe_data_size_bytes == 16


def test_standalone_views():
    empty = tarnwick.U16Array()
    assert list(empty) == []
    with pytest.raises(IndexError):
        empty[0]  # noqa: B018
    control = tarnwick.FSOEFrameControl()
    control.crc0 = 5
    assert control.crc0 == 5


def test_views_outlive_their_frame():
    frame = tarnwick.FSOEFrame(7)
    control, data, crcs = frame.control, frame.safe_data, frame.crcs
    assert frame.control is control
    del frame
    gc.collect()
    control.connection_id = 0xBEEF
    data[3] = 0x1234
    crcs[7] = 1
    assert (control.connection_id, data[3], crcs[7]) == (0xBEEF, 0x1234, 1)


@pytest.mark.parametrize(
    ("length", "n"),
    [(0, 0), (4, 0), (5, 1), (6, 1), (7, 2), (8, 2), (11, 4), (35, 16), (36, 16), (-1, 0)],
)
def test_size_from_length(length, n):
    assert tarnwick.FSOEFrame(length).safe_data_size_bytes == n


@pytest.mark.parametrize(
    ("length", "error"),
    [
        (37, ValueError),
        (131070, ValueError),
        (131071, OverflowError),
        (-2, OverflowError),
        (2**80, OverflowError),
    ],  # fmt: skip
)
def test_length_outside_record_is_refused(length, error):
    with pytest.raises(error):
        tarnwick.FSOEFrame(length)


def test_length_needs_int():
    with pytest.raises(TypeError, match="Argument 'length' has incorrect type"):
        tarnwick.FSOEFrame("7")


def test_empty_frame_serialises_to_three_bytes():
    frame = tarnwick.FSOEFrame()
    frame.control.command = C.RESET
    frame.control.connection_id = 0x1234
    assert frame.frame_to_array() == b"\x2a\x34\x12"


def test_safe_data_size_limits():
    frame = tarnwick.FSOEFrame()
    frame.safe_data_size_bytes = 16
    with pytest.raises(ValueError, match="^Frame structure cannot handle more than 16 bytes$"):
        frame.safe_data_size_bytes = 17
    assert frame.safe_data_size_bytes == 16
    with pytest.raises(OverflowError):
        frame.safe_data_size_bytes = -1
    with pytest.raises(TypeError, match="Argument 'value' has incorrect type"):
        frame.safe_data_size_bytes = 2.0
    with pytest.raises(TypeError, match=r"\(expected int, got NoneType\)"):
        frame.safe_data_size_bytes = None
    with pytest.raises(NotImplementedError):
        del frame.safe_data_size_bytes


@pytest.mark.parametrize("n", sorted(WIRE_LENGTH))
def test_round_trip_every_size(n):
    frame = tarnwick.FSOEFrame(WIRE_LENGTH[n])
    assert frame.safe_data_size_bytes == n
    frame.control.command = C.PROCESS_DATA
    frame.control.connection_id = 0xA55A
    frame.control.sequence_number = 9
    frame.control.crc0 = 0x4321
    for k in range(8):
        frame.safe_data[k] = 0x0101 * (k + 1) + 0x8000
    frame.generate_crcs()
    wire = frame.frame_to_array()
    assert len(wire) == WIRE_LENGTH[n]

    back = tarnwick.FSOEFrame.frame_from_array(wire)
    assert back.safe_data_size_bytes == n
    assert back.control.command is C.PROCESS_DATA
    assert back.control.connection_id == 0xA55A
    assert (back.control.sequence_number, back.control.crc0) == (0, 0)
    m = (n + 1) // 2
    assert list(back.crcs)[:m] == list(frame.crcs)[:m]
    sent = b"".join(w.to_bytes(2, "little") for w in frame.safe_data)[:n]
    got = b"".join(w.to_bytes(2, "little") for w in back.safe_data)
    assert got[:n] == sent and got[n:] == bytes(16 - n)
    back.control.sequence_number, back.control.crc0 = 9, 0x4321
    assert back.check_crcs()


def test_wire_layout_of_four_byte_frame():
    frame = tarnwick.FSOEFrame(11)
    frame.control.command = C.SESSION
    frame.safe_data[0], frame.safe_data[1] = 0x0201, 0x0403
    frame.crcs[0], frame.crcs[1] = 0xB1A1, 0xB2A2
    frame.control.connection_id = 0x0C0B
    assert frame.frame_to_array() == bytes.fromhex("4e 01 02 a1 b1 03 04 a2 b2 0b 0c")


def test_parse_into_existing_frame_keeps_sequence_and_seed():
    frame = tarnwick.FSOEFrame(7)
    frame.control.sequence_number, frame.control.crc0 = 5, 6
    frame.crcs[3] = 0xFFFF
    frame._frame_from_array(bytes.fromhex("36 aa bb cc dd 01 00"))
    assert (frame.control.sequence_number, frame.control.crc0) == (5, 6)
    assert frame.crcs[3] == 0  # every CRC word is cleared before parsing
    assert (frame.safe_data[0], frame.crcs[0], frame.control.connection_id) == (0xBBAA, 0xDDCC, 1)


def test_odd_size_above_one_is_laid_out_as_the_next_even_size():
    frame = tarnwick.FSOEFrame()
    frame.safe_data_size_bytes = 3
    frame.control.command = C.PROCESS_DATA
    frame.control.connection_id = 0x0201
    wire = frame.frame_to_array()
    assert len(wire) == WIRE_LENGTH[4]
    assert wire[-2:] == b"\x01\x02"


@given(st.binary(max_size=60))
def test_parser_takes_any_bytes_or_raises_value_error(data):
    try:
        frame = tarnwick.FSOEFrame.frame_from_array(data)
    except ValueError:
        assert len(data) > 36
        return
    assert len(data) <= 36
    wire = frame.frame_to_array()
    assert len(wire) <= 35
    if len(data) in WIRE_LENGTH.values():
        assert wire == data


@pytest.mark.parametrize("data", ["36", bytearray(b"6"), memoryview(b"6"), None, [0x36]])
def test_parser_needs_bytes(data):
    with pytest.raises(TypeError) as info:
        tarnwick.FSOEFrame.frame_from_array(data)
    expected = type(data).__name__
    assert str(info.value) == (
        f"Argument 'data' has incorrect type (expected bytes, got {expected})"
    )
    with pytest.raises(TypeError):
        tarnwick.FSOEFrame()._frame_from_array(data)


def test_frame_from_array_builds_subclass():
    class Traced(tarnwick.FSOEFrame):
        pass

    frame = Traced.frame_from_array(b"\x2a\x00\x00\x00\x00\x00")
    assert type(frame) is Traced
    assert frame.safe_data_size_bytes == 1


@pytest.mark.parametrize("name", ["generate_crcs_cyclic", "check_crcs_cyclic"])
def test_cyclic_argument_checks(name):
    frame = tarnwick.FSOEFrame(7)
    with pytest.raises(TypeError, match="Argument 'last_sent_crc_0' has incorrect type"):
        getattr(frame, name)(1.0)
    getattr(frame, name)(last_sent_crc_0=1)  # keyword works


@pytest.mark.parametrize("last", [-1, 0x10000, 2**70])
def test_cyclic_with_a_crc0_no_frame_can_carry(last):
    """A last CRC_0 outside 16 bits matches nothing: one plain generation or check."""
    frame = tarnwick.FSOEFrame()
    frame.safe_data_size_bytes = 2
    frame.safe_data[0] = 0x1234
    frame.control.sequence_number = 7
    frame.generate_crcs_cyclic(last)
    assert frame.control.sequence_number == 7
    assert frame.check_crcs()
    assert frame.check_crcs_cyclic(last)
    frame.crcs[0] ^= 1
    assert not frame.check_crcs_cyclic(last)
    assert frame.control.sequence_number == 7
