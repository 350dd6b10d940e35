import pickle
import subprocess
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st
from slave_helpers import fresh_slave, start_slave  # noqa: F401

from virtual_slave import brisel

pytestmark = pytest.mark.usefixtures("fresh_slave")

S = brisel.FSOEState


def run_fresh(code):
    """Runs `code` in a new interpreter, where the module is freshly loaded."""
    prog = "from virtual_slave import brisel\n" + code
    out = subprocess.run([sys.executable, "-c", prog], capture_output=True, text=True, check=True)
    return out.stdout.split()


def test_constants():
    assert brisel.MAX_DICT_KEY == 1000
    assert (brisel.VARN_SIZE_FORMAT_BYTES, brisel.VARN_SIZE_FORMAT_BITS) == (0, 1)


def test_state_enum_is_a_plain_enum():
    assert [(m.name, m.value) for m in S] == [
        ("FSOE_STATE_RESET", 0), ("FSOE_STATE_SESSION", 1), ("FSOE_STATE_CONNECTION", 2),
        ("FSOE_STATE_PARAMETER", 3), ("FSOE_STATE_DATA", 4),
    ]  # fmt: skip
    assert S.FSOE_STATE_RESET != 0
    assert S(4) is S.FSOE_STATE_DATA
    assert pickle.loads(pickle.dumps(S.FSOE_STATE_DATA)) is S.FSOE_STATE_DATA


def test_condition_after_load():
    # random, clock, SRA, state, frame size, reply, STO
    code = """
print(brisel.get_mock_random_u16(), brisel.get_time(), brisel.get_sra_crc())
print(brisel.get_state().name, brisel.get_frame_size_words(), len(brisel.get_reply()))
print(brisel.get_status_sto())
"""
    assert run_fresh(code) == ["39111", "0", "0", "FSOE_STATE_RESET", "0", "0", "False"]


def test_map_is_invalid_before_init():
    code = """
brisel.static_map_set_rx_count(1)
brisel.static_map_set_rx_padding(1, 16)
try:
    brisel.static_map_validate()
except ValueError as e:
    print(e)
brisel.start()
print(brisel.get_frame_size_words(), len(brisel.get_reply()))
brisel.set_request(bytes(6))
brisel.process()
print(brisel.get_state().name)
"""
    assert run_fresh(code) == ["Invalid", "Map", "0", "0", "FSOE_STATE_RESET"]


def reference_random(state, count):
    out = []
    for _ in range(count):
        state = (state * 75241467858 + 12345) % 2**64 % 45678
        out.append(state)
    return out


@pytest.mark.parametrize("seed", [0, 1, 45677, 2**40 + 3, 2**64 - 1])
def test_random_source(seed):
    brisel.seed_random(seed)
    assert [brisel.get_mock_random_u16() for _ in range(5)] == reference_random(seed, 5)


def test_random_after_seed_zero():
    brisel.seed_random(0)
    assert brisel.get_mock_random_u16() == 12345


def test_init_keeps_mock_values():
    brisel.set_mock_time(77)
    brisel.set_sra_crc(0xDEADBEEF)
    brisel.seed_random(0)
    brisel.init()
    assert (brisel.get_time(), brisel.get_sra_crc(), brisel.get_mock_random_u16()) == (
        77, 0xDEADBEEF, 12345)  # fmt: skip


@pytest.mark.parametrize("value", [0, 1, 2**32 - 1])
def test_mock_time_and_sra_round_trip(value):
    brisel.set_mock_time(u32SetTimeUs=value)
    brisel.set_sra_crc(new_sra=value)
    assert (brisel.get_time(), brisel.get_sra_crc()) == (value, value)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda v: brisel.set_mock_time(v), OverflowError, "uint32_t"),
        (lambda v: brisel.set_sra_crc(v), OverflowError, "uint32_t"),
        (lambda v: brisel.seed_random(v), OverflowError, "uint64_t"),
        (lambda v: brisel.dict_read16(v), OverflowError, "uint16_t"),
        (lambda v: brisel.dict_write16(1, v), OverflowError, "uint16_t"),
        (lambda v: brisel.static_map_set_rx_count(v), OverflowError, "uint16_t"),
    ],
)
def test_negative_unsigned_arguments(call, error, message):
    with pytest.raises(error, match=f"^can't convert negative value to {message}$"):
        call(-1)


@pytest.mark.parametrize(
    ("call", "too_large"),
    [
        (brisel.dict_read16, 65536),
        (brisel.static_map_set_tx_count, 65536),
        (brisel.set_mock_time, 2**32),
        (brisel.seed_random, 2**64),
    ],
)
def test_too_large_unsigned_arguments(call, too_large):
    with pytest.raises(OverflowError):
        call(too_large)


@pytest.mark.parametrize("bad", ["1", 1.0, None, b"\x01"])
@pytest.mark.parametrize(
    "call",
    [brisel.set_mock_time, brisel.seed_random, brisel.set_sra_crc, brisel.dict_read32,
     brisel.static_map_set_rx_count, brisel._handle_static_map_return],
)  # fmt: skip
def test_non_integers_are_refused(call, bad):
    with pytest.raises(TypeError, match="^an integer is required$"):
        call(bad)


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def test_objects_converting_to_integers_are_accepted():
    brisel.set_mock_time(Index(5))
    brisel.static_map_set_rx_count(True)
    assert (brisel.get_time(), brisel.static_map_get_rx_count()) == (5, 1)


@pytest.mark.parametrize(
    ("call", "arg", "expected"),
    [
        (lambda v: brisel.set_request(v), "data", "bytes"),
        (lambda v: brisel.static_map_set_rx_item(1, 0x10, v), "size_in_bits", "int"),
        (lambda v: brisel.static_map_set_tx_padding(1, v), "size_in_bits", "int"),
        (lambda v: brisel._format_mapped_item(0, v), "size_in_bits", "int"),
    ],
)
@pytest.mark.parametrize("value", [bytearray(b"\x2a"), True, None, 8.0])
def test_exact_type_arguments(call, arg, expected, value):
    if type(value).__name__ == expected:
        return
    msg = (f"Argument '{arg}' has incorrect type (expected {expected}, "
           f"got {type(value).__name__})")  # fmt: skip
    with pytest.raises(TypeError) as info:
        call(value)
    assert str(info.value) == msg


@pytest.mark.parametrize(
    ("func", "annotations"),
    [
        (brisel.static_map_set_lock, {"locked": "bool"}),
        (brisel._handle_static_map_return, {"value": "FSOE_EStaticMapRet"}),
        (brisel.static_map_set_rx_count, {"count": "uint16_t"}),
        (brisel.static_map_set_tx_count, {"count": "uint16_t"}),
        (brisel._format_mapped_item,
         {"register_address": "uint16_t", "size_in_bits": "int", "padding": "bool"}),
        (brisel.static_map_set_tx_item,
         {"index": "uint16_t", "register_address": "uint16_t", "size_in_bits": "int",
          "padding": "bool"}),
        (brisel.static_map_set_rx_padding, {"index": "uint16_t", "size_in_bits": "int"}),
        (brisel.set_request, {"data": "bytes"}),
        (brisel.get_status_sto, {"return": "bool"}),
        (brisel.get_reply, {"return": "bytes"}),
        (brisel.get_frame_size_words, {"return": "int"}),
        (brisel.init, {}),
    ],
)  # fmt: skip
def test_annotations(func, annotations):
    assert func.__annotations__ == annotations
    assert func.__module__ == "virtual_slave.brisel"
    assert getattr(brisel, func.__name__) is func


def test_dictionary_docstrings():
    read = "Perform a read operation on the slave mock dictionary"
    write = "Perform a write operation on the slave mock dictionary"
    assert brisel.dict_read16.__doc__ == brisel.dict_read32.__doc__ == read
    assert brisel.dict_write16.__doc__ == brisel.dict_write32.__doc__ == write
    assert brisel.dict_fast_write32.__doc__ == (
        "Perform a write operation with fast API on the slave mock dictionary"
    )


def test_functions_pickle_by_name():
    func = brisel.static_map_set_rx_item
    assert pickle.loads(pickle.dumps(func)) is func


def test_function_type_cannot_be_instantiated():
    with pytest.raises(TypeError):
        type(brisel.init)()


def test_keywords_and_argument_counts():
    brisel.static_map_set_rx_item(index=1, register_address=0x40, size_in_bits=1, padding=False)
    brisel.static_map_set_tx_padding(size_in_bits=16, index=2)
    brisel.static_map_set_rx_count(count=1)
    brisel.static_map_set_tx_count(count=2)
    brisel.static_map_set_lock(locked=False)
    brisel.dict_write32(key=0x193, data=0x4321)
    assert brisel.dict_read16(key=0x193) == 0x4321
    assert brisel._format_mapped_item(register_address=5, size_in_bits=12) == 0x800C0005
    assert brisel.dict_read32(0x662) == 0x00028000
    with pytest.raises(TypeError):
        brisel.dict_read16(key=1, extra=2)
    with pytest.raises(TypeError):
        brisel.dict_write16(1)
    with pytest.raises(TypeError):
        brisel.get_reply(1)


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((0x1234, 8), 0x00010234),
        ((0, 3, True), 0x80038000),
        ((0x1FFF, 16), 0x00020FFF),
        ((5, 12), 0x800C0005),
        ((0x40, 1), 0x80010040),
        ((0, 0), 0),
        ((0, 2040), 0x00FF0000),
        ((7, -8), -(1 << 16) | 7),  # unbounded arithmetic: -8 // 8 is -1
    ],
)
def test_format_mapped_item(args, expected):
    assert brisel._format_mapped_item(*args) == expected


def test_format_mapped_item_takes_int_of_padding():
    assert brisel._format_mapped_item(0, 8, 2) == 0x00010000 | 2 << 15
    with pytest.raises(TypeError):
        brisel._format_mapped_item(0, 8, None)


@pytest.mark.parametrize(
    ("code", "error", "message"),
    [(1, ValueError, "Static Map Invalid Value"), (2, ValueError, "Static Map Unavailable"),
     (3, NotImplementedError, None), (-1, NotImplementedError, None),
     (2**70, NotImplementedError, None)],
)  # fmt: skip
def test_handle_static_map_return(code, error, message):
    assert brisel._handle_static_map_return(0) is None
    with pytest.raises(error) as info:
        brisel._handle_static_map_return(code)
    assert info.value.args == ((message,) if message else ())


@pytest.mark.parametrize("setter", [brisel.static_map_set_rx_item, brisel.static_map_set_tx_item])
@pytest.mark.parametrize("index", [0, 16, 65535])
def test_item_index_out_of_range(setter, index):
    with pytest.raises(ValueError) as info:
        setter(index, 0x40, 1)
    assert info.value.args == ()


@pytest.mark.parametrize("size", [-16, 2**32 * 8])
def test_item_that_does_not_fit_32_bits(size):
    with pytest.raises(OverflowError):
        brisel.static_map_set_rx_item(1, 0, size, True)
    assert brisel.dict_read32(0x651) == 0


@pytest.mark.parametrize("prefix", ["rx", "tx"])
def test_counts_and_items_round_trip(prefix):
    set_count = getattr(brisel, f"static_map_set_{prefix}_count")
    get_count = getattr(brisel, f"static_map_get_{prefix}_count")
    base = 0x650 if prefix == "rx" else 0x660
    set_count(15)
    getattr(brisel, f"static_map_set_{prefix}_item")(15, 0x162, 16)
    getattr(brisel, f"static_map_set_{prefix}_padding")(3, 5)
    assert get_count() == 15
    assert brisel.dict_read32(base + 15) == 0x00020162
    assert brisel.dict_read32(base + 3) == 0x80058000
    with pytest.raises(ValueError, match="^Static Map Invalid Value$"):
        set_count(16)
    assert get_count() == 15


@pytest.mark.parametrize(
    "change",
    [lambda: brisel.static_map_set_rx_count(1), lambda: brisel.static_map_set_tx_count(1),
     lambda: brisel.static_map_set_rx_item(1, 0x40, 1),
     lambda: brisel.static_map_set_tx_padding(2, 8)],
)  # fmt: skip
def test_map_changes_refused_after_start(change):
    start_slave(3)
    before = [brisel.dict_read32(k) for k in range(0x650, 0x670)]
    with pytest.raises(ValueError, match="^Static Map Unavailable$"):
        change()
    assert [brisel.dict_read32(k) for k in range(0x650, 0x670)] == before
    # The Python-level index check comes before the map is asked.
    with pytest.raises(ValueError) as info:
        brisel.static_map_set_rx_item(0, 0x40, 1)
    assert info.value.args == ()


def test_lock_flag():
    brisel.static_map_set_lock()
    with pytest.raises(ValueError, match="Unavailable"):
        brisel.static_map_set_rx_count(1)
    brisel.static_map_set_lock([])  # truth value: False
    brisel.static_map_set_rx_count(1)


def test_setters_reach_module_globals(monkeypatch):
    calls = []

    def fake_item(**kwargs):
        calls.append(kwargs)

    monkeypatch.setattr(brisel, "static_map_set_rx_item", fake_item)
    brisel.static_map_set_rx_padding(3, 9)
    assert calls == [dict(index=3, register_address=0, size_in_bits=9, padding=True)]

    monkeypatch.setattr(brisel, "_format_mapped_item", lambda a, s, p: 0x1234)
    monkeypatch.setattr(brisel, "_handle_static_map_return", lambda code: calls.append(code))
    brisel.static_map_set_tx_item(2, 0x40, 1)
    brisel.static_map_set_tx_count(99)
    assert calls[1:] == [0, 1]
    assert brisel.dict_read32(0x662) == 0x1234


def test_missing_global_raises_name_error(monkeypatch):
    monkeypatch.delattr(brisel, "_handle_static_map_return")
    with pytest.raises(NameError, match="_handle_static_map_return"):
        brisel.static_map_set_rx_count(1)


def test_get_reply_counts_through_global(monkeypatch):
    start_slave(6)
    assert brisel.get_reply() == bytes(12)
    monkeypatch.setattr(brisel, "get_frame_size_words", lambda: 2)
    assert brisel.get_reply() == bytes(4)
    # A count beyond the reply area is refused instead of reading past it.
    monkeypatch.setattr(brisel, "get_frame_size_words", lambda: 7)
    with pytest.raises(ValueError, match="6-word reply area"):
        brisel.get_reply()


def test_reply_before_start_is_empty():
    assert brisel.get_reply() == b""
    brisel.set_request(b"\x2a" * 6)
    brisel.process()
    assert brisel.get_reply() == b""


@pytest.mark.parametrize("key", [0x160, 0x999, 0])
def test_write16_prints_data_line(capsys, key):
    brisel.dict_write16(key, 7)
    assert capsys.readouterr().out == "data 7\n"


def test_write16_prints_nothing_for_refused_arguments(capsys):
    with pytest.raises(OverflowError):
        brisel.dict_write16(0x193, 70000)
    assert capsys.readouterr().out == ""


@given(st.binary(min_size=25, max_size=64))
def test_request_longer_than_buffer_is_refused(data):
    brisel.init()
    start_slave(3)
    with pytest.raises(ValueError, match="longer than the 24-byte buffer"):
        brisel.set_request(data)
    brisel.process()  # no request is pending: nothing is answered
    assert brisel.get_reply() == bytes(6)
