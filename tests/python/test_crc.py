import pytest
from crc_reference import frame_crc_word, fsoe_crc16, sra_crc32
from hypothesis import given
from hypothesis import strategies as st

import tarnwick

FRAME_SIZES = [1, 2, 4, 6, 8, 10, 12, 14, 16]


def test_reference_check_values():
    # Guards the reference itself with the catalogued check values.
    assert fsoe_crc16(b"123456789") == 0xDDE2
    assert sra_crc32(b"123456789") == 0x3010BF7F


@pytest.mark.parametrize(("length", "expected"), [(7, 0x2DC4), (6, 0xF886)])
def test_crc0_worked_examples(length, expected):
    frame = tarnwick.FSOEFrame(length)
    frame.control.command = tarnwick.FSOECommand.RESET
    frame.control.sequence_number = 1
    assert frame.calc_crc0() == expected
    frame.generate_crcs()
    assert frame.crcs[0] == expected


@given(
    n=st.sampled_from(FRAME_SIZES),
    command=st.sampled_from(list(tarnwick.FSOECommand)),
    seq=st.integers(0, 0xFFFF),
    conn_id=st.integers(0, 0xFFFF),
    crc0=st.integers(0, 0xFFFF),
    data=st.binary(min_size=16, max_size=16),
)
def test_generated_crcs_match_reference(n, command, seq, conn_id, crc0, data):
    frame = tarnwick.FSOEFrame()
    frame.safe_data_size_bytes = n
    frame.control.command = command
    frame.control.sequence_number = seq
    frame.control.connection_id = conn_id
    frame.control.crc0 = crc0
    for k in range(8):
        frame.safe_data[k] = data[2 * k] | data[2 * k + 1] << 8
    frame.generate_crcs()
    m = (n + 1) // 2
    expected = [frame_crc_word(command.value, seq, conn_id, crc0, data, n, i) for i in range(m)]
    assert list(frame.crcs)[:m] == expected
    assert list(frame.crcs)[m:] == [0] * (8 - m)  # words beyond m are not generated
    assert frame.check_crcs()


def test_one_byte_frame_ignores_high_byte_of_word_0():
    frame = tarnwick.FSOEFrame(6)
    frame.control.command = tarnwick.FSOECommand.PROCESS_DATA
    frame.safe_data[0] = 0x00AB
    low_only = frame.calc_crc0()
    frame.safe_data[0] = 0xCDAB
    assert frame.calc_crc0() == low_only
    assert frame.frame_to_array()[1] == 0xAB


def test_check_ignores_crc_words_beyond_use():
    frame = tarnwick.FSOEFrame(11)  # n = 4, m = 2
    frame.control.command = tarnwick.FSOECommand.SESSION
    frame.generate_crcs()
    for i in range(2, 8):
        frame.crcs[i] = 0xBEEF
    assert frame.check_crcs()
    frame.crcs[1] ^= 1
    assert not frame.check_crcs()


def test_check_on_frame_without_safe_data_is_true():
    frame = tarnwick.FSOEFrame()
    frame.crcs[0] = 0x1234
    assert frame.check_crcs()


def _frame(n, seq=1):
    frame = tarnwick.FSOEFrame()
    frame.safe_data_size_bytes = n
    frame.control.command = tarnwick.FSOECommand.PROCESS_DATA
    frame.control.sequence_number = seq
    return frame


@pytest.mark.parametrize("n", [0, 1, 2, 16])
def test_generate_cyclic_steps_past_repeated_crc0(n):
    frame = _frame(n)
    repeated = frame.calc_crc0()
    frame.generate_crcs_cyclic(repeated)
    assert frame.control.sequence_number == 2
    assert frame.calc_crc0() != repeated
    if n:
        assert frame.crcs[0] == frame.calc_crc0()


def test_generate_cyclic_without_safe_data_terminates():
    # A frame without CRC words never writes crcs[0]; the loop must still end.
    frame = _frame(0)
    frame.crcs[0] = 0x5555
    frame.generate_crcs_cyclic(0x5555)
    assert frame.control.sequence_number == 1
    assert frame.crcs[0] == 0x5555


@pytest.mark.parametrize("n", [1, 2, 4])
def test_generate_cyclic_keeps_sequence_when_crc0_differs(n):
    frame = _frame(n)
    different = frame.calc_crc0() ^ 0xFFFF
    frame.generate_crcs_cyclic(different)
    assert frame.control.sequence_number == 1
    assert frame.crcs[0] == frame.calc_crc0()


@pytest.mark.parametrize("n", [0, 2])
def test_check_cyclic_wraps_0xffff_to_1(n):
    frame = _frame(n, seq=0xFFFF)
    frame.control.command = tarnwick.FSOECommand.RESET
    repeated = frame.calc_crc0()
    expected_frame = _frame(n, seq=1)
    expected_frame.control.command = tarnwick.FSOECommand.RESET
    expected_frame.generate_crcs()
    for i in range(8):
        frame.crcs[i] = expected_frame.crcs[i]
    assert frame.check_crcs_cyclic(repeated)
    assert frame.control.sequence_number == 1


def test_sender_and_receiver_step_alike():
    sender = _frame(4, seq=7)
    last = sender.calc_crc0()
    sender.generate_crcs_cyclic(last)
    receiver = tarnwick.FSOEFrame.frame_from_array(sender.frame_to_array())
    receiver.control.sequence_number = 7
    assert receiver.check_crcs_cyclic(last)
    assert receiver.control.sequence_number == sender.control.sequence_number


@pytest.mark.parametrize(
    ("params", "expected"),
    [([], 0), ([0], 0), ([0x1234, 0x5678], 0xD0CBA2C6)],
)
def test_sra_crc_values(params, expected):
    assert tarnwick.calculate_sra_crc(params) == expected


@given(st.lists(st.integers(0, 0xFFFF), max_size=40))
def test_sra_crc_matches_reference(params):
    data = b"".join(p.to_bytes(2, "little") for p in params)
    assert tarnwick.calculate_sra_crc(params) == sra_crc32(data)


def test_sra_crc_order_matters():
    assert tarnwick.calculate_sra_crc([0x5678, 0x1234]) != 0xD0CBA2C6


@pytest.mark.parametrize(
    ("params", "error", "message"),
    [
        ((1, 2), TypeError, "Argument 'params' has incorrect type (expected list, got tuple)"),
        ([1, -1], OverflowError, "can't convert negative value to uint16_t"),
        ([65536], OverflowError, "value too large to convert to uint16_t"),
        ([1, "2"], TypeError, None),
        ([1.0], TypeError, None),
    ],
)
def test_sra_crc_bad_params(params, error, message):
    with pytest.raises(error) as info:
        tarnwick.calculate_sra_crc(params)
    if message:
        assert str(info.value) == message


def test_sra_crc_accepts_top_value():
    assert tarnwick.calculate_sra_crc([65535]) == sra_crc32(b"\xff\xff")
