import math
import pickle
import struct
import typing
from fractions import Fraction

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tarnwick

D = tarnwick.DataType
INTEGER_TYPES = [D.UINT8, D.INT8, D.UINT16, D.INT16, D.UINT32, D.INT32]


def test_members_are_a_plain_enum():
    assert [(m.name, m.value) for m in D] == [
        ("BOOL", 1), ("FLOAT", 2), ("UINT8", 3), ("INT8", 4),
        ("UINT16", 5), ("INT16", 6), ("UINT32", 7), ("INT32", 8),
    ]  # fmt: skip
    assert D.UINT8 != 3
    assert D(3) is D.UINT8
    assert pickle.loads(pickle.dumps(D.INT16)) is D.INT16
    assert D.__doc__ == "Type of dictionary item"


def test_value_types_union():
    assert tarnwick.DICTIONARY_VALUE_TYPES == typing.Union[float, int, bool]
    assert typing.get_args(tarnwick.DICTIONARY_VALUE_TYPES) == (float, int, bool)


@pytest.mark.parametrize(
    ("member", "bits", "nbytes", "integer", "signed", "limits", "initial"),
    [
        (D.BOOL, 1, 1, False, False, None, False),
        (D.FLOAT, 32, 4, False, False, None, 0.0),
        (D.UINT8, 8, 1, True, False, (0, 255), 0),
        (D.INT8, 8, 1, True, True, (-128, 127), 0),
        (D.UINT16, 16, 2, True, False, (0, 65535), 0),
        (D.INT16, 16, 2, True, True, (-32768, 32767), 0),
        (D.UINT32, 32, 4, True, False, (0, 4294967295), 0),
        (D.INT32, 32, 4, True, True, (-2147483648, 2147483647), 0),
    ],
)
def test_member_table(member, bits, nbytes, integer, signed, limits, initial):
    assert (member.bits, member.bytes) == (bits, nbytes)
    assert member.is_integer is integer and member.is_signed is signed
    if limits is None:
        for name in ("max_value", "min_value"):
            with pytest.raises(NotImplementedError) as info:
                getattr(member, name)
            assert info.value.args == ()
    else:
        assert (member.min_value, member.max_value) == limits
    value = member.get_initial_value()
    assert value == initial and type(value) is type(initial)


def test_properties_are_cached_on_the_member():
    assert D.INT16.bits == 16
    assert D.INT16.__dict__["bits"] == 16
    assert isinstance(vars(D)["max_value"], __import__("functools").cached_property)


@pytest.mark.parametrize(
    ("member", "value", "expected"),
    [
        (D.INT8, -1, 255), (D.INT8, -128, 0x80), (D.INT8, 127, 127),
        (D.INT16, -32768, 32768), (D.INT32, -1, 0xFFFFFFFF), (D.UINT32, 0xFFFFFFFF, 0xFFFFFFFF),
        (D.BOOL, True, 1), (D.BOOL, 1, 1), (D.BOOL, False, 0), (D.BOOL, 0, 0),
        (D.BOOL, 1.0, 1), (D.BOOL, -0.0, 0), (D.BOOL, Fraction(1), 1),
        (D.FLOAT, 1.0, 0x3F800000), (D.FLOAT, -2, 0xC0000000), (D.FLOAT, True, 0x3F800000),
        (D.FLOAT, float("inf"), 0x7F800000), (D.FLOAT, Fraction(1, 2), 0x3F000000),
        (D.FLOAT, 2**127, 0x7F000000),
    ],
)  # fmt: skip
def test_serialize(member, value, expected):
    result = member.serialize_value(value)
    assert result == expected and type(result) is int


@pytest.mark.parametrize(
    ("member", "value", "error", "message"),
    [
        (D.INT8, 128, ValueError, ""), (D.INT8, -129, ValueError, ""),
        (D.UINT8, -1, ValueError, ""), (D.UINT32, 2**32, ValueError, ""),
        (D.UINT8, 2**70, ValueError, ""), (D.INT32, -(2**70), ValueError, ""),
        (D.UINT8, 300.5, ValueError, ""), (D.UINT8, Fraction(600), ValueError, ""),
        (D.BOOL, 2, ValueError, "Invalid value for BOOL type"),
        (D.BOOL, 2**80, ValueError, "Invalid value for BOOL type"),
        (D.BOOL, 0.5, ValueError, "Invalid value for BOOL type"),
        (D.BOOL, "1", ValueError, "Invalid value for BOOL type"),
        (D.UINT8, True, TypeError, "Expected int, got bool"),
        (D.INT8, False, TypeError, "Expected int, got bool"),
        (D.UINT8, 3.0, TypeError, "Expected int, got float"),
        (D.INT8, -1.0, TypeError, "Expected int, got float"),
        (D.UINT8, float("nan"), TypeError, "Expected int, got float"),
        (D.UINT8, Fraction(3), TypeError, "Expected int, got Fraction"),
        (D.UINT8, None, TypeError, "'<' not supported between instances of 'NoneType' and 'int'"),
        (D.FLOAT, 1e39, OverflowError, "float too large to pack with f format"),
        (D.FLOAT, 2**128, struct.error, "int too large to convert"),
        (D.FLOAT, 10**400, struct.error, "required argument is not a float"),
        (D.FLOAT, "1.0", struct.error, "required argument is not a float"),
        (D.FLOAT, None, struct.error, "required argument is not a float"),
    ],
)  # fmt: skip
def test_serialize_errors(member, value, error, message):
    with pytest.raises(error) as info:
        member.serialize_value(value)
    assert str(info.value) == message


def test_serialize_result_of_an_int_subclass_is_refused():
    class Code(int):
        pass

    with pytest.raises(TypeError, match="^Expected int, got Code$"):
        D.UINT16.serialize_value(Code(7))
    # A negative one goes through int arithmetic and comes out a plain int.
    assert D.INT16.serialize_value(Code(-2)) == 0xFFFE


@pytest.mark.parametrize(
    ("member", "value", "expected"),
    [
        (D.INT8, 0x80, -128), (D.INT8, 0x7F, 127), (D.INT16, 0xFFFF, -1),
        (D.INT32, 0x80000000, -(2**31)), (D.UINT8, 300, 300), (D.UINT32, 2**70, 2**70),
        (D.BOOL, 2, True), (D.BOOL, 0, False), (D.BOOL, -(2**90), True),
        (D.FLOAT, 0x3F800000, 1.0), (D.FLOAT, 0xC0000000, -2.0),
        # Wider patterns keep their upper bits, as integer arithmetic does.
        (D.INT8, 0x180, 0x80), (D.INT8, 0x1FF, 0xFF), (D.INT8, -1, -257), (D.UINT8, -5, -5),
        (D.INT16, 2**64 + 0x8000, 2**64 - 0x8000), (D.INT16, 2**70, 2**70),
    ],
)  # fmt: skip
def test_unserialize(member, value, expected):
    result = member.unserialize_value(value)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize(
    ("value", "message"),
    [
        (-1, "can't convert negative int to unsigned"),
        (2**32, "int too big to convert"),
        (2**64, "int too big to convert"),
    ],
)
def test_unserialize_float_needs_four_bytes(value, message):
    with pytest.raises(OverflowError, match=f"^{message}$"):
        D.FLOAT.unserialize_value(value)


@pytest.mark.parametrize("value", [True, None, 1.0, "1", type("Sub", (int,), {})(1)])
@pytest.mark.parametrize("member", [D.BOOL, D.INT8, D.FLOAT])
def test_unserialize_needs_an_exact_int(member, value):
    with pytest.raises(TypeError) as info:
        member.unserialize_value(value)
    assert str(info.value) == (
        f"Argument 'value' has incorrect type (expected int, got {type(value).__name__})"
    )


def test_methods_need_a_member_as_self():
    with pytest.raises(TypeError, match="Argument 'self' has incorrect type"):
        D.serialize_value(3, 1)


def check_float_packing(value):
    try:
        expected = struct.unpack("<I", struct.pack("<f", value))[0]
    except (OverflowError, struct.error) as exc:
        with pytest.raises(type(exc), match=f"^{exc}$"):
            D.FLOAT.serialize_value(value)
    else:
        assert D.FLOAT.serialize_value(value) == expected


@given(st.floats(allow_nan=True, allow_infinity=True) | st.integers(-(2**130), 2**130))
def test_float_packing_matches_struct(value):
    check_float_packing(value)


# The smallest magnitude that rounds to infinity, and the largest that does not.
@pytest.mark.parametrize("text", ["0x1.ffffffp127", "-0x1.ffffffp127", "0x1.fffffefffffffp127"])
def test_float_packing_at_the_rounding_boundary(text):
    check_float_packing(float.fromhex(text))


@given(st.sampled_from(INTEGER_TYPES), st.data())
def test_integer_round_trip(member, data):
    value = data.draw(st.integers(member.min_value, member.max_value))
    raw = member.serialize_value(value)
    assert 0 <= raw < 1 << member.bits
    assert member.unserialize_value(raw) == value


@given(st.floats(width=32))
def test_float_round_trip(value):
    back = D.FLOAT.unserialize_value(D.FLOAT.serialize_value(value))
    assert back == value or (math.isnan(back) and math.isnan(value))
    assert math.copysign(1.0, back) == math.copysign(1.0, value)


@given(st.integers(0, 2**32 - 1))
def test_float_pattern_round_trip(raw):
    value = D.FLOAT.unserialize_value(raw)
    if not math.isnan(value):  # quieted NaNs may change payload bits
        assert D.FLOAT.serialize_value(value) == raw
