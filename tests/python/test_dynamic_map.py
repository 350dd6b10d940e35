import gc
import math
import weakref

import pytest
from hypothesis import given
from hypothesis import strategies as st

from tarnwick import DataType, DynamicMappableItem, FSOEDynamicMap, FSOEFrame

D = DataType
ARG = "Argument '{}' has incorrect type (expected {}, got {})"
TYPE_OF_SIZE = {1: D.UINT8, 2: D.UINT16, 4: D.UINT32}


def plain(message):
    """The argument TypeError names the module's own classes with their module from
    Python 3.12 on ("tarnwick.FSOEFrame"); compare without it."""
    return message.replace("(expected tarnwick.", "(expected ")


def data_bytes(frame):
    return [(frame.safe_data[k // 2] >> (8 * (k % 2))) & 0xFF for k in range(16)]


def load(frame, payload):
    for k in range(8):
        frame.safe_data[k] = 0
    for k, b in enumerate(payload):
        frame.safe_data[k // 2] |= b << (8 * (k % 2))


def dynamic_map(*items):
    m = FSOEDynamicMap()
    for item in items:
        m.add(item)
    return m


# --- DynamicMappableItem -------------------------------------------------------------


@pytest.mark.parametrize(
    ("value", "data_type", "raw", "nbytes"),
    [(-2, D.INT16, 0xFFFE, 2), (True, D.BOOL, 1, 1), (1.0, D.FLOAT, 0x3F800000, 4),
     (0xDEADBEEF, D.UINT32, 0xDEADBEEF, 4), (-128, D.INT8, 0x80, 1)],
)  # fmt: skip
def test_item_holds_the_frame_form(value, data_type, raw, nbytes):
    item = DynamicMappableItem(value, data_type)
    assert (item.raw_value, item.n_bytes, item.data_type) == (raw, nbytes, data_type)
    assert item.get() == item.value == value and type(item.value) is type(value)


def test_item_value_property_sets():
    item = DynamicMappableItem(0, D.INT8)
    item.value = -1
    assert item.raw_value == 0xFF
    assert item.set(5) is None and item.value == 5


@pytest.mark.parametrize(
    ("value", "error", "message"),
    [(70000, ValueError, ""), (-1, ValueError, ""), (1.5, TypeError, "Expected int, got float"),
     (None, TypeError, "'<' not supported between instances of 'NoneType' and 'int'")],
)  # fmt: skip
def test_failed_set_keeps_the_raw_value(value, error, message):
    item = DynamicMappableItem(0x1234, D.UINT16)
    for setter in (item.set, lambda v: setattr(item, "value", v)):
        with pytest.raises(error) as info:
            setter(value)
        assert str(info.value) == message
        assert item.raw_value == 0x1234
    with pytest.raises(error):
        DynamicMappableItem(value, D.UINT16)


@pytest.mark.parametrize("data_type", ["UINT8", 3, None])
def test_item_needs_a_data_type_member(data_type):
    with pytest.raises(TypeError) as info:
        DynamicMappableItem(0, data_type)
    assert str(info.value) == (
        f"Argument 'data_type' has incorrect type (expected tarnwick.DataType, got "
        f"{type(data_type).__name__})"
    )


def test_item_properties_are_read_only():
    item = DynamicMappableItem(1, D.UINT8)
    for name in ("raw_value", "n_bytes", "data_type"):
        with pytest.raises(AttributeError):
            setattr(item, name, 2)


def test_subclass_set_is_used_by_the_value_property():
    class Guarded(DynamicMappableItem):
        def set(self, value):
            raise PermissionError("refused")

    item = Guarded(3, D.UINT8)
    with pytest.raises(PermissionError, match="^refused$"):
        item.value = 4
    assert item.value == 3


# --- frame sequences -------------------------------------------------------------------


@pytest.mark.parametrize(
    ("sizes", "budget", "frames"),
    [
        ((2, 2), 1, [[0x01], [0x02], [0x03], [0x04]]),
        ((2, 2), 4, [[0x01, 0x02, 0x03, 0x04]]),
        ((1, 2, 1), 2, [[0x01, 0x02], [0x03, 0x04]]),
        ((1, 2), 2, [[0x01, 0x02], [0x03, 0x00]]),
        ((4, 4, 4, 4, 4), 16, [list(range(1, 17)), [17, 18, 19, 20] + [0] * 12]),
    ],
)
def test_send_sequence(sizes, budget, frames):
    counter, items = 1, []
    for size in sizes:
        raw = sum((counter + k) << (8 * k) for k in range(size))
        items.append(DynamicMappableItem(raw, TYPE_OF_SIZE[size]))
        counter += size
    m = dynamic_map(*items)
    raws = [i.raw_value for i in items]
    frame = FSOEFrame(35)
    for expected in frames:
        assert m.pending()
        for k in range(8):
            frame.safe_data[k] = 0xFFFF
        m.set_data_to_frame(frame, budget)
        assert data_bytes(frame) == expected + [0] * (16 - len(expected))
    assert not m.pending() and m.pending_items() == 0 and m.total_items() == len(sizes)
    assert [i.raw_value for i in items] == raws  # sending leaves the items alone


def test_progress_counters():
    m = dynamic_map(DynamicMappableItem(0x0201, D.UINT16), DynamicMappableItem(0x0403, D.UINT16))
    frame = FSOEFrame(7)
    m.set_data_to_frame(frame, 1)
    assert (m.byte_index(), m.pending_items(), m.total_items()) == (1, 2, 2)
    m.set_data_to_frame(frame, 1)
    assert (m.byte_index(), m.pending_items(), m.total_items()) == (0, 1, 2)


def test_receive_sequence_changes_items_in_place():
    a, b = DynamicMappableItem(0xFFFF, D.UINT16), DynamicMappableItem(0, D.INT16)
    m = dynamic_map(a, b)
    frame = FSOEFrame(7)
    load(frame, [0x34, 0xEE])
    m.get_data_from_frame(frame, 1)  # only the first byte counts
    assert (a.raw_value, m.byte_index()) == (0xFF34, 1)  # the high byte is not received yet
    load(frame, [0x12, 0xFE])
    m.get_data_from_frame(frame, 2)
    assert (a.value, b.raw_value, m.byte_index()) == (0x1234, 0x00FE, 1)
    load(frame, [0xFF])
    m.get_data_from_frame(frame, 2)
    assert b.value == -2 and not m.pending()
    m.get_data_from_frame(frame, 2)  # nothing pending: nothing stored
    assert b.value == -2


def test_budget_larger_than_the_frame_moves_nothing():
    item = DynamicMappableItem(0x1234, D.UINT16)
    m = dynamic_map(item)
    frame = FSOEFrame(6)  # one safe-data byte
    load(frame, [0x77, 0x66])
    m.get_data_from_frame(frame, 2)
    assert (item.raw_value, m.byte_index()) == (0x1234, 0)
    m.set_data_to_frame(frame, 2)
    assert data_bytes(frame) == [0] * 16 and m.byte_index() == 0
    m.set_data_to_frame(frame, 1)
    assert data_bytes(frame)[:2] == [0x34, 0]


def test_budget_is_capped_at_the_frame_record():
    frame = FSOEFrame(35)
    items = [DynamicMappableItem(0x04030201 + k, D.UINT32) for k in range(5)]
    m = dynamic_map(*items)
    for k in range(8):
        frame.crcs[k] = 0xA5A5
    m.set_data_to_frame(frame, 16)
    assert m.pending_items() == 1
    assert [frame.crcs[k] for k in range(8)] == [0xA5A5] * 8


def test_empty_map():
    m = FSOEDynamicMap()
    assert (m.pending(), m.total_items(), m.pending_items(), m.byte_index()) == (False, 0, 0, 0)
    frame = FSOEFrame(7)
    load(frame, [1, 2])
    m.get_data_from_frame(frame, 2)
    assert data_bytes(frame)[:2] == [1, 2]
    m.set_data_to_frame(frame, 2)
    assert data_bytes(frame) == [0] * 16


def test_fifty_pending_items_at_most():
    items = [DynamicMappableItem(k, D.UINT8) for k in range(51)]
    m = dynamic_map(*items[:50])
    with pytest.raises(IndexError, match="^Could not add item to map$"):
        m.add(items[50])
    assert (m.pending_items(), m.total_items(), len(m._items)) == (50, 50, 50)
    frame = FSOEFrame(6)
    m.set_data_to_frame(frame, 1)  # the first item completes
    m.add(items[50])
    assert (m.pending_items(), m.total_items()) == (50, 51)
    sent = []
    while m.pending():
        m.set_data_to_frame(frame, 1)
        sent.append(data_bytes(frame)[0])
    assert sent == list(range(1, 51))


def test_clear_empties_everything():
    m = dynamic_map(DynamicMappableItem(1, D.UINT16))
    items = m._items
    m.set_data_to_frame(FSOEFrame(6), 1)
    m.clear()
    assert (m.pending(), m.total_items(), m.byte_index(), items) == (False, 0, 0, [])


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda m: m.add(5), ARG.format("item", "DynamicMappableItem", "int")),
        (lambda m: m.set_data_to_frame(b"", 1), ARG.format("frame", "FSOEFrame", "bytes")),
        (lambda m: m.get_data_from_frame(None, 1), ARG.format("frame", "FSOEFrame", "NoneType")),
        (lambda m: m.is_safedata_correct(expected_map=[]),
         ARG.format("expected_map", "FSOEDynamicMap", "list")),
        (lambda m: setattr(m, "_items", ()), "Expected list, got tuple"),
    ],
)  # fmt: skip
def test_argument_kinds(call, message):
    with pytest.raises(TypeError) as info:
        call(FSOEDynamicMap())
    assert plain(str(info.value)) == message


@pytest.mark.parametrize(
    ("budget", "message"),
    [(-1, "can't convert negative value to uint16_t"),
     (65536, "value too large to convert to uint16_t")],
)  # fmt: skip
def test_budget_range(budget, message):
    with pytest.raises(OverflowError, match=f"^{message}$"):
        FSOEDynamicMap().set_data_to_frame(frame=FSOEFrame(7), valid_data_bytes=budget)


def test_items_may_be_replaced_without_losing_the_queue():
    item = DynamicMappableItem(0, D.UINT16)
    m = dynamic_map(item)
    m._items = None
    del item
    gc.collect()
    frame = FSOEFrame(7)
    load(frame, [0x34, 0x12])
    m.get_data_from_frame(frame, 2)  # the queued item is still alive and receives
    assert (m.total_items(), m.pending()) == (0, False)
    other = DynamicMappableItem(0, D.UINT8)
    m.add(other)
    assert m._items == [other]
    m._items = None
    m.clear()
    assert m._items == []


# --- comparison ---------------------------------------------------------------------------


def exchange(values, types, budget, frames):
    """Send `values` through a master map, receive them into zeroed items of a slave map."""
    master = dynamic_map(*[DynamicMappableItem(v, t) for v, t in zip(values, types)])
    slave = dynamic_map(*[DynamicMappableItem(t.get_initial_value(), t) for t in types])
    frame = FSOEFrame(35)
    for _ in range(frames):
        master.set_data_to_frame(frame, budget)
        slave.get_data_from_frame(frame, budget)
    return master, slave


def test_matching_echo_is_correct_at_every_step():
    master, slave = exchange([0x1234, True, -3], [D.UINT16, D.BOOL, D.INT32], 1, 0)
    frame = FSOEFrame(6)
    while master.pending():
        master.set_data_to_frame(frame, 1)
        slave.get_data_from_frame(frame, 1)
        assert slave.is_safedata_correct(expected_map=master)
    assert [i.value for i in slave._items] == [0x1234, True, -3]


def test_partly_received_item_compares_its_low_bytes_only():
    master, slave = exchange([0x1234], [D.UINT16], 1, 1)
    assert slave.byte_index() == 1 and slave.is_safedata_correct(master)
    slave._items[0].set(0xFF34)  # a wrong high byte is not judged yet
    assert slave.is_safedata_correct(master)
    slave._items[0].set(0x1235)
    assert not slave.is_safedata_correct(master)


@pytest.mark.parametrize("sent", [-1.5, float("nan"), 3.25e38])
def test_partly_received_float_compares_raw_bytes(sent):
    master, slave = exchange([sent], [D.FLOAT], 2, 1)
    assert slave.byte_index() == 2 and slave.is_safedata_correct(master)
    slave._items[0].set(D.FLOAT.unserialize_value(slave._items[0].raw_value ^ 0x1))
    assert not slave.is_safedata_correct(master)


def test_complete_items_compare_natural_values():
    master, slave = FSOEDynamicMap(), FSOEDynamicMap()
    master._items = [DynamicMappableItem(1, D.UINT8), DynamicMappableItem(2.0, D.FLOAT)]
    slave._items = [DynamicMappableItem(True, D.BOOL), DynamicMappableItem(2, D.UINT32)]
    assert slave.is_safedata_correct(master)  # nothing pending: all complete; True == 1, 2 == 2.0
    slave._items[1].set(3)
    assert not slave.is_safedata_correct(master)
    nan = DynamicMappableItem(float("nan"), D.FLOAT)
    master._items, slave._items = [nan], [nan]
    assert not slave.is_safedata_correct(master)  # natural values: NaN != NaN


def test_comparison_beyond_the_expected_items_is_an_index_error():
    master, slave = exchange([1, 2], [D.UINT8, D.UINT8], 2, 1)
    master._items = master._items[:1]
    with pytest.raises(IndexError):
        slave.is_safedata_correct(master)


def test_foreign_items_compare_through_their_value():
    class Loud(DynamicMappableItem):
        def get(self):
            return "loud"

    master = FSOEDynamicMap()
    master._items = [Loud(1, D.UINT8)]
    slave = FSOEDynamicMap()
    slave._items = [DynamicMappableItem(1, D.UINT8)]
    assert not slave.is_safedata_correct(master)  # "loud" != 1
    slave._items = [Loud(9, D.UINT8)]
    assert slave.is_safedata_correct(master)


@given(
    st.lists(st.sampled_from([D.BOOL, D.UINT8, D.INT16, D.UINT32, D.FLOAT]), max_size=12),
    st.sampled_from([1, 2, 4, 6, 16]),
    st.data(),
)
def test_random_exchanges_arrive_intact(types, budget, data):
    values = []
    for t in types:
        if t is D.BOOL:
            values.append(data.draw(st.booleans()))
        elif t is D.FLOAT:
            values.append(data.draw(st.floats(width=32, allow_nan=False)))
        else:
            values.append(data.draw(st.integers(t.min_value, t.max_value)))
    total = sum(t.bytes for t in types)
    master, slave = exchange(values, types, budget, math.ceil(total / budget))
    assert not master.pending() and not slave.pending()
    assert [i.raw_value for i in slave._items] == [i.raw_value for i in master._items]
    assert slave.is_safedata_correct(master)


def test_uninitialised_items_are_refused():
    blank = DynamicMappableItem.__new__(DynamicMappableItem)
    with pytest.raises(TypeError, match="^Argument 'item' has incorrect type"):
        FSOEDynamicMap().add(blank)
    m = FSOEDynamicMap()
    m._items = [blank]
    with pytest.raises(TypeError):
        m.is_safedata_correct(m)


def test_cycles_through_a_dynamic_map_are_collected():
    class Holder:
        pass

    holder = Holder()
    holder.map = dynamic_map(DynamicMappableItem(1, D.UINT8))
    holder.map._items.append(holder)
    probe = weakref.ref(holder)
    del holder
    gc.collect()
    assert probe() is None
