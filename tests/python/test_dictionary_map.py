import gc
import struct
import weakref

import pytest
from hypothesis import given
from hypothesis import strategies as st

from tarnwick import (
    DataType,
    Dictionary,
    DictionaryItem,
    DictionaryItemInput,
    DictionaryItemInputOutput,
    DictionaryItemOutput,
    DictionaryMap,
    DictionaryMappedItem,
    FSOEFrame,
    TarnwickRunningException,
)

D = DataType
OUTPUTS = {DictionaryItemOutput, DictionaryItemInputOutput}
INPUTS = {DictionaryItemInput, DictionaryItemInputOutput}


def plain(message):
    """The argument TypeError names the module's own classes with their module from
    Python 3.12 on ("tarnwick.FSOEFrame"); compare without it."""
    return message.replace("(expected tarnwick.", "(expected ")


def out(key, data_type, value=None):
    item = DictionaryItemOutput(key, f"o{key}", data_type)
    if value is not None:
        item.set(value)
    return item


def inp(key, data_type, fail_safe=0):
    return DictionaryItemInput(key, f"i{key}", data_type, fail_safe)


def build(items, accepted, layout):
    """A map over `items` laid out as (item index or None for padding, bits) pairs."""
    m = DictionaryMap(Dictionary(items), accepted)
    for index, bits in layout:
        m.add(None if index is None else items[index], bits)
    return m


def words(frame):
    return [frame.safe_data[k] for k in range(8)]


def layout_of(m):
    return [(e.item, e.bits, e.position_bits) for e in m._items]


def test_empty_map():
    m = DictionaryMap(Dictionary([]), OUTPUTS)
    assert (m.safety_bits, m.safety_bytes, m._items, m._locked) == (0, 0, [], False)
    frame = FSOEFrame(35)
    for k in range(8):
        frame.safe_data[k] = 0xFFFF
    m._set_data_to_frame(frame)
    assert words(frame) == [0] * 8


@pytest.mark.parametrize(("bits", "nbytes"), [(1, 1), (8, 1), (9, 2), (16, 2), (17, 3), (128, 16)])
def test_safety_bytes_round_up(bits, nbytes):
    m = DictionaryMap(Dictionary([]), OUTPUTS)
    m.add_padding(bits)
    assert (m.safety_bits, m.safety_bytes) == (bits, nbytes)


def test_entries_are_contiguous():
    a, b, c = out(1, D.BOOL), out(2, D.UINT8), out(3, D.UINT16)
    m = build([a, b, c], OUTPUTS, [(0, 1), (1, 8), (None, 7), (2, 16)])
    assert layout_of(m) == [(a, 1, 0), (b, 8, 1), (None, 7, 9), (c, 16, 16)]
    assert m.safety_bits == 32


def test_alignment_follows_the_data_type_width():
    a, b, c = out(1, D.BOOL), out(2, D.UINT8), out(3, D.UINT16)
    m = build([a, b, c], OUTPUTS, [(0, 1), (1, 8)])
    for bits in (16, 4):  # the type's width decides, not the mapped bits
        with pytest.raises(IndexError) as info:
            m.add(c, bits)
        assert str(info.value) == (
            "Variables with more than 8 bits must be aligned in 8-bit safe-data slots"
        )
        assert m.safety_bits == 9 and len(m._items) == 2
    m.add(b, 3)  # an 8-bit type may start anywhere
    m.add_padding(4)
    m.add(c, 16)
    assert layout_of(m)[-1] == (c, 16, 16)


@pytest.mark.parametrize(
    ("item_cls", "accepted", "error"),
    [
        (DictionaryItemOutput, INPUTS, PermissionError),
        (DictionaryItemInput, OUTPUTS, PermissionError),
        (DictionaryItem, OUTPUTS, PermissionError),
        (type("Sub", (DictionaryItemOutput,), {}), OUTPUTS, PermissionError),
        (type("Sub", (DictionaryItemOutput,), {}), None, None),
        (DictionaryItemInputOutput, INPUTS, None),
    ],
)
def test_exact_class_acceptance(item_cls, accepted, error):
    args = (1, "x", D.UINT8) + ((0,) if item_cls in INPUTS else ())
    item = item_cls(*args)
    m = DictionaryMap(Dictionary([item]), accepted if accepted else {item_cls})
    if error is None:
        m.add(item, 8)
        assert layout_of(m) == [(item, 8, 0)]
    else:
        with pytest.raises(error) as info:
            m.add(item, 8)
        assert info.value.args == () and m._items == []
    m.add_padding(3)  # padding needs no accepted class
    assert m.safety_bits == (3 if error else 11)


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        (("x", 8), TypeError,
         "Argument 'dict_item' has incorrect type (expected DictionaryItem, got str)"),
        ((None, 65536), OverflowError, "value too large to convert to uint16_t"),
        ((None, -1), OverflowError, "can't convert negative value to uint16_t"),
        ((None, 256), OverflowError, "value too large to convert to uint8_t"),
        ((None, "8"), TypeError, "'str' object cannot be interpreted as an integer"),
    ],
)  # fmt: skip
def test_add_argument_errors_leave_map_unchanged(args, error, message):
    m = DictionaryMap(Dictionary([]), OUTPUTS)
    m.add_padding(3)
    with pytest.raises(error) as info:
        m.add(*args)
    assert plain(str(info.value)) == message
    assert m.safety_bits == 3 and len(m._items) == 1


def test_position_beyond_255_is_refused():
    m = DictionaryMap(Dictionary([]), OUTPUTS)
    m.add_padding(200)
    m.add_padding(100)  # starts at 200: still representable
    assert m.safety_bits == 300
    with pytest.raises(OverflowError, match="^value too large to convert to uint8_t$"):
        m.add_padding(1)
    assert len(m._items) == 2


def test_add_by_key():
    a = out(5, D.UINT8)
    m = DictionaryMap(Dictionary([a]), OUTPUTS)
    m.add_by_key(5, 8)
    assert layout_of(m) == [(a, 8, 0)]
    for bits in (8, 65536, -1, "8"):  # the key is looked up before bits is converted
        with pytest.raises(KeyError):
            m.add_by_key(6, bits)
    with pytest.raises(OverflowError, match="^value too large to convert to uint16_t$"):
        m.add_by_key(5, 65536)
    with pytest.raises(TypeError, match="^Argument 'key' has incorrect type"):
        m.add_by_key("5", 8)
    assert len(m._items) == 1


def test_locking():
    a = out(1, D.UINT8, 7)
    m = DictionaryMap(Dictionary([a]), OUTPUTS)
    m.add(a, 8)
    m._lock()
    assert m._locked is True
    for call in (lambda: m.add(a, 8), lambda: m.add_padding(1), lambda: m.add_by_key(1, 8),
                 m.clear):  # fmt: skip
        with pytest.raises(TarnwickRunningException) as info:
            call()
        assert str(info.value) == "Mapping is locked, cannot be modified"
    assert len(m._items) == 1
    frame = FSOEFrame(7)
    m._set_data_to_frame(frame)  # frames still work while locked
    assert frame.safe_data[0] == 7
    m._lock(0)
    assert m._locked is False
    m.clear()
    assert m._items == [] and m.safety_bits == 0


def test_items_is_a_snapshot():
    m = DictionaryMap(Dictionary([]), OUTPUTS)
    m.add_padding(4)
    m._items.append("junk")
    m._items.clear()
    assert len(m._items) == 1 and m.safety_bits == 4


@pytest.mark.parametrize(
    ("dictionary", "accepted", "message"),
    [
        ("d", OUTPUTS, "Argument 'dictionary' has incorrect type (expected Dictionary, got str)"),
        (None, [DictionaryItemOutput],
         "Argument 'item_types_accepted' has incorrect type (expected set, got list)"),
        (None, frozenset(),
         "Argument 'item_types_accepted' has incorrect type (expected set, got frozenset)"),
    ],
)  # fmt: skip
def test_map_constructor_checks(dictionary, accepted, message):
    with pytest.raises(TypeError) as info:
        DictionaryMap(Dictionary([]) if dictionary is None else dictionary, accepted)
    assert plain(str(info.value)) == message


def test_frame_argument_is_checked():
    m = DictionaryMap(Dictionary([]), OUTPUTS)
    for name in ("_set_data_to_frame", "_get_data_from_frame"):
        with pytest.raises(TypeError) as info:
            getattr(m, name)(b"\x00" * 7)
        assert plain(str(info.value)) == (
            "Argument 'frame' has incorrect type (expected FSOEFrame, got bytes)"
        )


# --- bit placement ------------------------------------------------------------------


@pytest.mark.parametrize(
    ("data_type", "layout", "value", "expected"),
    [
        # A UINT8 at bit 12 straddles words 0 and 1.
        (D.UINT8, [(None, 12), (0, 8)], 0xAB, {0: 0xB000, 1: 0x000A}),
        # A UINT16 at bit 8 fills safe-data bytes 1 and 2, low byte first.
        (D.UINT16, [(None, 8), (0, 16)], 0x1234, {0: 0x3400, 1: 0x0012}),
        (D.UINT16, [(0, 16)], 0xBEEF, {0: 0xBEEF}),
        (D.BOOL, [(None, 7), (0, 1)], True, {0: 0x0080}),
        (D.UINT8, [(None, 120), (0, 8)], 0xC3, {7: 0xC300}),
    ],
)
def test_bit_placement_both_ways(data_type, layout, value, expected):
    source, sink = out(1, data_type, value), inp(1, data_type)
    frame = FSOEFrame(35)
    build([source], OUTPUTS, layout)._set_data_to_frame(frame)
    assert words(frame) == [expected.get(k, 0) for k in range(8)]
    build([sink], INPUTS, layout)._get_data_from_frame(frame)
    assert sink.get() == value


def test_signed_and_float_patterns():
    items = [out(1, D.INT8, -1), out(2, D.FLOAT, -2.0), out(3, D.INT16, -32768)]
    frame = FSOEFrame(35)
    build(items, OUTPUTS, [(0, 8), (None, 8), (1, 32), (2, 16)])._set_data_to_frame(frame)
    assert words(frame)[:4] == [0x00FF, 0x0000, 0xC000, 0x8000]
    sinks = [inp(1, D.INT8), inp(2, D.FLOAT), inp(3, D.INT16)]
    build(sinks, INPUTS, [(0, 8), (None, 8), (1, 32), (2, 16)])._get_data_from_frame(frame)
    assert [s.get() for s in sinks] == [-1, -2.0, -32768]


def test_value_wider_than_its_entry_never_spills():
    # 0x0F mapped on 4 bits must not set the flag that follows it.
    wide, flag = out(1, D.UINT8, 0x0F), out(2, D.BOOL, False)
    frame = FSOEFrame(7)
    build([wide, flag], OUTPUTS, [(0, 4), (1, 1), (None, 3)])._set_data_to_frame(frame)
    assert frame.safe_data[0] == 0x000F
    # An INT8 -1 mapped on 3 bits: its two's complement stays in those 3 bits.
    neg = out(3, D.INT8, -1)
    build([neg, flag], OUTPUTS, [(0, 3), (1, 1)])._set_data_to_frame(frame)
    assert frame.safe_data[0] == 0x0007
    # 0xFF on 4 bits is refused: none of its bits reach the entry or the flag.
    wide.set(0xFF)
    frame.safe_data[0] = 0xFFFF
    with pytest.raises(ValueError, match="does not fit 4 bits"):
        build([wide, flag], OUTPUTS, [(0, 4), (1, 1)])._set_data_to_frame(frame)
    assert frame.safe_data[0] == 0


WIDTH = "Invalid value for its mapped width (item o1: "


@pytest.mark.parametrize(
    ("data_type", "bits", "value", "error", "message"),
    [
        # refused by the data type: its own text, then the item
        (D.BOOL, 1, 2, ValueError, "Invalid value for BOOL type (item o1: 2)"),
        (D.UINT16, 16, 70000, ValueError,
         "Invalid value for UINT16 type (item o1: 70000, accepted 0 to 65535)"),
        (D.INT8, 8, True, TypeError,
         "Expected int, got bool (item o1: True, accepted -128 to 127)"),
        (D.FLOAT, 32, 1e39, OverflowError,
         "float too large to pack with f format (item o1: 1e+39)"),
        (D.FLOAT, 32, "x", struct.error, "required argument is not a float (item o1: 'x')"),
        # refused by the entry's width
        (D.UINT16, 8, 1500, ValueError, WIDTH + "1500 does not fit 8 bits, accepted 0 to 255)"),
        (D.INT16, 8, 128, ValueError, WIDTH + "128 does not fit 8 bits, accepted -128 to 127)"),
        (D.INT16, 8, -129, ValueError, WIDTH + "-129 does not fit 8 bits, accepted -128 to 127)"),
        (D.UINT32, 1, 2, ValueError, WIDTH + "2 does not fit 1 bit, accepted 0 to 1)"),
        (D.FLOAT, 16, 1.5, ValueError, WIDTH + "1.5 does not fit 16 bits)"),
        (D.FLOAT, 31, -0.0, ValueError, WIDTH + "-0.0 does not fit 31 bits)"),
    ],
)  # fmt: skip
def test_refused_values_name_the_item(data_type, bits, value, error, message):
    frame = FSOEFrame(35)
    with pytest.raises(error) as info:
        build([out(1, data_type, value)], OUTPUTS, [(0, bits)])._set_data_to_frame(frame)
    assert str(info.value) == message


def test_unpacking_takes_only_the_entry_bits():
    a, b = inp(1, D.UINT8), inp(2, D.UINT8)
    frame = FSOEFrame(7)
    frame.safe_data[0] = 0xFFF5
    build([a, b], INPUTS, [(0, 4), (1, 2)])._get_data_from_frame(frame)
    assert (a.get(), b.get()) == (5, 3)


def test_input_output_items_use_their_own_side():
    io = DictionaryItemInputOutput(1, "io", D.UINT8, 1)
    io.set(0x42)
    frame = FSOEFrame(7)
    build([io], OUTPUTS, [(0, 8)])._set_data_to_frame(frame)
    assert frame.safe_data[0] == 0x42 and io.get() == 1
    frame.safe_data[0] = 0x17
    build([io], INPUTS, [(0, 8)])._get_data_from_frame(frame)
    assert (io.get(), io.value_output) == (0x17, 0x42)


def test_zero_bit_entry_carries_nothing():
    keep, flag = inp(1, D.UINT8, 99), inp(2, D.BOOL, False)
    frame = FSOEFrame(7)
    frame.safe_data[0] = 0xFFFF
    m = build([keep, flag], INPUTS, [(0, 0), (1, 1)])
    assert layout_of(m) == [(keep, 0, 0), (flag, 1, 0)]
    m._get_data_from_frame(frame)
    assert (keep.get(), flag.get()) == (99, True)
    bad = out(3, D.BOOL, "not a bool")  # never read, so never fails
    build([bad], OUTPUTS, [(0, 0)])._set_data_to_frame(frame)
    assert words(frame) == [0] * 8


def test_map_past_the_frame_never_writes_past_the_safe_data():
    items = [out(k, D.UINT8, 0xA0 + k) for k in range(17)]
    m = build(items, OUTPUTS, [(k, 8) for k in range(17)] + [(None, 100)])
    assert m.safety_bytes == 30
    frame = FSOEFrame(35)
    for k in range(8):
        frame.crcs[k] = 0x5A5A
    frame.safe_data_size_bytes = 16
    m._set_data_to_frame(frame)
    assert words(frame) == [(0xA0 + 2 * k) | (0xA1 + 2 * k) << 8 for k in range(8)]
    assert [frame.crcs[k] for k in range(8)] == [0x5A5A] * 8
    assert frame.safe_data_size_bytes == 16
    sinks = [inp(k, D.UINT8, 1) for k in range(17)]
    build(sinks, INPUTS, [(k, 8) for k in range(17)])._get_data_from_frame(frame)
    assert [s.get() for s in sinks] == [0xA0 + k for k in range(16)] + [0]
    with pytest.raises(ValueError, match="Frame structure cannot handle more than 16 bytes"):
        frame.safe_data_size_bytes = m.safety_bytes


def test_failed_conversion_keeps_the_words_already_packed():
    good, bad = out(1, D.UINT8, 0x5A), out(2, D.BOOL, 2)
    frame = FSOEFrame(7)
    frame.safe_data[1] = 0xFFFF
    with pytest.raises(ValueError, match=r"^Invalid value for BOOL type \(item o2: 2\)$"):
        build([good, bad], OUTPUTS, [(0, 8), (1, 1)])._set_data_to_frame(frame)
    assert words(frame) == [0x5A] + [0] * 7


def test_failed_write_keeps_the_items_already_written():
    first, second = inp(1, D.UINT8), inp(2, D.FLOAT)
    frame = FSOEFrame(35)
    frame.safe_data[0] = 0x0007
    frame.safe_data[3] = 0x0001  # bit 48 set: beyond a FLOAT's 32 bits
    with pytest.raises(OverflowError, match="^int too big to convert$"):
        build([first, second], INPUTS, [(0, 8), (1, 41)])._get_data_from_frame(frame)
    assert first.get() == 7 and second.get() == 0


def test_wide_entries_keep_all_their_bits():
    sink = inp(1, D.UINT8)  # unsigned: the whole received pattern is kept
    frame = FSOEFrame(35)
    for k in range(8):
        frame.safe_data[k] = 0x8000 | k
    build([sink], INPUTS, [(None, 4), (0, 120)])._get_data_from_frame(frame)
    stream = sum((0x8000 | k) << (16 * k) for k in range(8))
    assert sink.get() == (stream >> 4) & ((1 << 120) - 1)


def test_unchanged_values_keep_their_objects():
    sinks = [inp(1, D.UINT32), inp(2, D.FLOAT), inp(3, D.BOOL, False)]
    m = build(sinks, INPUTS, [(0, 32), (1, 32), (2, 1)])
    frame = FSOEFrame(35)
    frame.safe_data[1] = 0x1234
    frame.safe_data[3] = 0x3FC0
    m._get_data_from_frame(frame)
    before = [s.get() for s in sinks]
    assert before == [0x12340000, 1.5, False]
    m._get_data_from_frame(frame)
    assert all(s.get() is b for s, b in zip(sinks, before))
    frame.safe_data[3] = 0x8000  # -0.0 is a change from 0.0
    sinks[1]._write(0)
    m._get_data_from_frame(frame)
    assert str(sinks[1].get()) == "-0.0"


def test_subclass_read_and_write_are_honoured():
    class Counter(DictionaryItemOutput):
        form = 0b11111

        def _read(self):
            return self.form

    class Recorder(DictionaryItemInput):
        seen = []

        def _write(self, value):
            self.seen.append(value)

    c, r = Counter(1, "c", D.UINT8), Recorder(2, "r", D.UINT8, 0)
    frame = FSOEFrame(7)
    build([c], {Counter}, [(None, 2), (0, 5)])._set_data_to_frame(frame)
    assert frame.safe_data[0] == 0b1111100
    build([r], {Recorder}, [(None, 2), (0, 5)])._get_data_from_frame(frame)
    assert Recorder.seen == [0b11111]
    c.form = -1  # refused, and named as its _read gave it
    with pytest.raises(ValueError) as info:
        build([c], {Counter}, [(None, 2), (0, 5)])._set_data_to_frame(frame)
    assert str(info.value) == (
        "Invalid value for its mapped width (item c: -1 does not fit 5 bits, accepted 0 to 31)"
    )


# --- DictionaryMappedItem --------------------------------------------------------------


def test_mapped_item():
    item = out(1, D.UINT8, 9)
    entry = DictionaryMappedItem(item, 8, 16)
    assert (entry.item, entry.bits, entry.position_bits, entry._read()) == (item, 8, 16, 9)
    with pytest.raises(NotImplementedError):
        entry._write(1)
    padding = DictionaryMappedItem(None, 3, 0)
    assert padding._read() == 0 and padding._write(5) is None
    with pytest.raises(TypeError, match="^Argument 'value' has incorrect type"):
        padding._write("5")
    with pytest.raises(TypeError, match="^Argument 'item' has incorrect type"):
        DictionaryMappedItem("x", 1, 0)
    with pytest.raises(OverflowError, match="^value too large to convert to uint8_t$"):
        DictionaryMappedItem(None, 1, 256)


# --- random maps ---------------------------------------------------------------------


@st.composite
def random_maps(draw):
    """Entries (data type, bits, value) laid out as add() would place them; values
    are drawn often from those their entry carries."""
    layout, position = [], 0
    for _ in range(draw(st.integers(0, 12))):
        data_type = draw(st.sampled_from(list(D)))
        bits = draw(st.integers(1, 40))
        if data_type.bits > 8 and position % 8:
            pad = 8 - position % 8
            layout.append((None, pad, None))
            position += pad
        if data_type is D.BOOL:
            value = draw(st.booleans())
        elif data_type is D.FLOAT:
            value = draw(st.floats(width=32, allow_nan=False) | st.sampled_from([0.0, 1e-45]))
        else:
            low, high = data_type.min_value, data_type.max_value
            small = st.integers(max(low, -(1 << bits - 1)), min(high, (1 << bits - 1) - 1))
            value = draw(small | st.integers(low, high))
        if position + bits > 255:  # positions are 8-bit
            break
        layout.append((data_type, bits, value))
        position += bits
    return layout


def survives(data_type, bits, value):
    """Whether the low `bits` bits of the value's pattern still give the value, read
    with its sign for a signed type (an entry wider than the type keeps it whole)."""
    width = min(bits, data_type.bits)
    pattern = data_type.serialize_value(value)
    window = pattern & ((1 << width) - 1)
    if not data_type.is_integer:
        return window == pattern
    if data_type.is_signed and window >> (width - 1):
        window -= 1 << width
    return window == value


@given(random_maps())
def test_random_maps_pack_and_unpack_bit_exact(layout):
    """A map packs when every value survives its entry, each entry writing only its
    own bits; otherwise the first value that does not is refused by name."""
    sources, sinks, entries = [], [], []
    for key, (data_type, bits, value) in enumerate(layout):
        if data_type is None:
            entries.append((None, bits))
            continue
        sources.append(out(key, data_type, value))
        sinks.append(inp(key, data_type))
        entries.append((len(sources) - 1, bits))
    frame = FSOEFrame(35)
    misfits = [key for key, (data_type, bits, value) in enumerate(layout)
               if data_type is not None and not survives(data_type, bits, value)]  # fmt: skip
    if misfits:
        with pytest.raises(ValueError, match=rf"mapped width \(item o{misfits[0]}: "):
            build(sources, OUTPUTS, entries)._set_data_to_frame(frame)
        return
    build(sources, OUTPUTS, entries)._set_data_to_frame(frame)

    stream, position, fields = 0, 0, []
    for data_type, bits, value in layout:
        if data_type is not None:
            stream |= (data_type.serialize_value(value) & ((1 << bits) - 1)) << position
            fields.append((data_type, position, bits))
        position += bits
    stream &= (1 << 128) - 1  # nothing lands past the 8 words
    assert words(frame) == [(stream >> (16 * k)) & 0xFFFF for k in range(8)]

    unpack = build(sinks, INPUTS, entries)
    try:
        unpack._get_data_from_frame(frame)
    except OverflowError:  # a FLOAT mapped on more than 32 bits may carry a wider pattern
        return
    for sink, (data_type, position, bits) in zip(sinks, fields):
        window = (stream >> position) & ((1 << bits) - 1)
        got, want = sink.get(), data_type.unserialize_value(window)
        assert got == want and type(got) is type(want)


def test_uninitialised_objects_are_refused():
    m = DictionaryMap(Dictionary([]), {DictionaryItemOutput})
    with pytest.raises(TypeError, match="^Argument 'frame' has incorrect type"):
        m._set_data_to_frame(FSOEFrame.__new__(FSOEFrame))
    with pytest.raises(TypeError, match="^Argument 'dict_item' has incorrect type"):
        m.add(DictionaryItemOutput.__new__(DictionaryItemOutput), 8)
    with pytest.raises(TypeError, match="^Argument 'items' has incorrect type"):
        Dictionary([DictionaryItemOutput.__new__(DictionaryItemOutput)])


def test_cycles_through_a_map_are_collected():
    class Value:
        pass

    value = Value()
    item = out(1, D.UINT8)
    item.set(value)
    value.map = build([item], OUTPUTS, [(0, 8)])
    probe = weakref.ref(value)
    del value, item
    gc.collect()
    assert probe() is None
