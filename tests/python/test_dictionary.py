import gc
import weakref

import pytest

import tarnwick
from tarnwick import (
    DataType,
    Dictionary,
    DictionaryItem,
    DictionaryItemInput,
    DictionaryItemInputOutput,
    DictionaryItemOutput,
)

D = DataType
ARG = "Argument '{}' has incorrect type (expected {}, got {})"


def plain(message):
    """The argument TypeError names the module's own classes with their module from
    Python 3.12 on ("tarnwick.FSOEFrame"); compare without it."""
    return message.replace("(expected tarnwick.", "(expected ")


def make_items():
    return [
        DictionaryItemInput(1, "in", D.INT16, -5),
        DictionaryItemOutput(2, "out", D.BOOL),
        DictionaryItemInputOutput(3, "io", D.FLOAT, 1.5),
    ]


def test_new_items_hold_their_initial_values():
    inp, out, io = make_items()
    assert (inp.key, inp.name, inp.data_type) == (1, "in", D.INT16)
    assert inp.get() == inp._value == inp.fail_safe_value == -5
    assert out.get() is False and out._value is False
    assert io.get() == io.value_input == io.fail_safe_input_value == 1.5
    assert io.value_output == 0.0 and type(io.value_output) is float


@pytest.mark.parametrize("cls", [DictionaryItemInput, DictionaryItemOutput])
def test_attributes_are_read_only(cls):
    item = cls(1, "x", D.UINT8, 0) if cls is DictionaryItemInput else cls(1, "x", D.UINT8)
    for name in ("key", "name", "data_type", "_value"):
        with pytest.raises(AttributeError):
            setattr(item, name, 1)


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        (("1", "a", D.BOOL), TypeError, ARG.format("key", "int", "str")),
        ((None, "a", D.BOOL), TypeError, ARG.format("key", "int", "NoneType")),
        ((1, b"a", D.BOOL), TypeError, ARG.format("name", "str", "bytes")),
        ((1, None, D.BOOL), TypeError, ARG.format("name", "str", "NoneType")),
        ((2**31, "a", D.BOOL), OverflowError, "value too large to convert to int32_t"),
        ((-(2**31) - 1, "a", D.BOOL), OverflowError, "value too large to convert to int32_t"),
    ],
)  # fmt: skip
def test_constructor_argument_checks(args, error, message):
    with pytest.raises(error) as info:
        DictionaryItemOutput(*args)
    assert str(info.value) == message


def test_key_limits_accepted():
    assert DictionaryItem(-(2**31), "a", D.BOOL).key == -(2**31)
    assert DictionaryItem(2**31 - 1, "a", "anything").data_type == "anything"


def test_input_item_behaviour():
    inp = DictionaryItemInput(1, "speed", D.INT8, 7)
    with pytest.raises(PermissionError, match="^Cannot set safe input item speed$"):
        inp.set(3)
    assert inp.get() == 7
    with pytest.raises(NotImplementedError):
        inp._read()
    assert inp._write(0x80) is None
    assert inp.get() == -128
    assert inp._set_fail_safe() is None
    assert inp.get() == 7


def test_output_item_behaviour():
    out = DictionaryItemOutput(2, "cmd", D.INT16)
    assert out.set(-2) is None
    assert out.get() == -2 and out._read() == 0xFFFE
    with pytest.raises(NotImplementedError):
        out._write(1)
    out._set_fail_safe()
    assert out.get() == -2


def test_input_output_item_keeps_sides_apart():
    io = DictionaryItemInputOutput(3, "io", D.UINT16, 9)
    io.set(500)
    assert (io.get(), io.value_output, io._read()) == (9, 500, 500)
    io._write(1234)
    assert (io.get(), io.value_output) == (1234, 500)
    io._set_fail_safe()
    assert (io.get(), io.value_output) == (9, 500)


@pytest.mark.parametrize("call", ["get", "set", "_read", "_write"])
def test_base_item_methods_are_abstract(call):
    item = DictionaryItem(1, "x", D.UINT8)
    args = (1,) if call in ("set", "_write") else ()
    with pytest.raises(NotImplementedError) as info:
        getattr(item, call)(*args)
    assert info.value.args == ()
    assert item._set_fail_safe() is None


@pytest.mark.parametrize("value", ["1", 1.0, None])
@pytest.mark.parametrize("cls", [DictionaryItem, DictionaryItemInput, DictionaryItemOutput])
def test_write_needs_an_int_first(cls, value):
    item = cls(1, "x", D.UINT8, 0) if cls is DictionaryItemInput else cls(1, "x", D.UINT8)
    with pytest.raises(TypeError) as info:
        item._write(value)
    assert str(info.value) == (
        f"Argument 'value' has incorrect type (expected int, got {type(value).__name__})"
    )


def test_items_store_any_value_and_fail_on_conversion():
    out = DictionaryItemOutput(1, "flag", D.BOOL)
    out.set("yes")  # accepted as given
    assert out.get() == "yes"
    with pytest.raises(ValueError, match="^Invalid value for BOOL type$"):
        out._read()
    inp = DictionaryItemInput(2, "in", D.BOOL, object())
    with pytest.raises(TypeError, match="expected int, got bool"):
        inp._write(True)  # unserialize needs an exact int


def test_item_with_a_foreign_data_type_uses_its_methods():
    class Doubling:
        def get_initial_value(self):
            return 21

        def serialize_value(self, value):
            return value * 2

        def unserialize_value(self, value):
            return value // 2

    out = DictionaryItemOutput(1, "o", Doubling())
    assert out.get() == 21 and out._read() == 42
    out.set(2.5)
    with pytest.raises(TypeError, match="^Expected int, got float$"):
        out._read()
    inp = DictionaryItemInput(2, "i", Doubling(), 0)
    inp._write(10)
    assert inp.get() == 5
    with pytest.raises(AttributeError):
        DictionaryItemOutput(3, "s", "not a type")


def test_dictionary_maps_in_item_order():
    items = make_items()
    d = Dictionary(items)
    assert list(d.key_map) == [1, 2, 3] and list(d.key_map.values()) == items
    assert list(d.name_map) == ["in", "out", "io"]
    assert d.name_map["io"] is items[2]
    empty = Dictionary([])
    assert empty.key_map == {} and empty.name_map == {}
    empty._set_inputs_to_failsafe()


@pytest.mark.parametrize(
    ("key", "name", "message"),
    [(1, "in", "Duplicated Key 1"), (1, "other", "Duplicated Key 1"),
     (9, "in", "Duplicated name in")],
)  # fmt: skip
def test_duplicates_are_refused(key, name, message):
    first = DictionaryItemInput(1, "in", D.BOOL, False)
    second = DictionaryItemOutput(key, name, D.BOOL)
    with pytest.raises(ValueError) as info:
        Dictionary([first, second])
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("items", "message"),
    [
        ((), "Argument 'items' has incorrect type (expected list, got tuple)"),
        (None, "Argument 'items' has incorrect type (expected list, got NoneType)"),
        ([1], "Argument 'items' has incorrect type (expected DictionaryItem, got int)"),
    ],
)
def test_dictionary_needs_a_list_of_items(items, message):
    with pytest.raises(TypeError) as info:
        Dictionary(items)
    assert plain(str(info.value)) == message


def test_dictionary_access_by_name_and_key():
    inp, out, io = make_items()
    d = Dictionary([inp, out, io])
    d.set("out", True)
    assert d.get("out") is True and d._read(2) == 1
    d._write(1, 0xFFFF)
    assert d.get("in") == -1
    with pytest.raises(PermissionError, match="^Cannot set safe input item in$"):
        d.set("in", 3)
    assert d.get("in") == -1
    with pytest.raises(KeyError):
        d.get("missing")
    with pytest.raises(KeyError):
        d._read(99)
    with pytest.raises(TypeError, match="Argument 'name' has incorrect type"):
        d.get(1)
    with pytest.raises(TypeError, match="Argument 'key' has incorrect type"):
        d._read("1")


def test_set_inputs_to_failsafe_leaves_outputs_alone():
    inp, out, io = make_items()
    d = Dictionary([inp, out, io])
    inp._write(3)
    io._write(0x40000000)
    out.set(True)
    io.set(7.0)
    d._set_inputs_to_failsafe()
    assert (inp.get(), io.get()) == (-5, 1.5)
    assert (out.get(), io.value_output) == (True, 7.0)


def test_subclass_overrides_are_honoured_by_the_dictionary():
    calls = []

    class Watched(DictionaryItemInput):
        def _set_fail_safe(self):
            calls.append(self.name)
            super()._set_fail_safe()

        def get(self):
            return ("watched", super().get())

    class Lenient(DictionaryItemOutput):
        def _read(self):
            return 77

    w = Watched(1, "w", D.UINT8, 4)
    d = Dictionary([w, Lenient(2, "l", D.UINT8)])
    w._write(9)
    d._set_inputs_to_failsafe()
    assert calls == ["w"] and d.get("w") == ("watched", 4)
    assert d._read(2) == 77


def test_dictionary_read_must_give_an_int():
    class Odd(DictionaryItemOutput):
        def _read(self):
            return "x"

    with pytest.raises(TypeError, match="^Expected int, got str$"):
        Dictionary([Odd(1, "o", D.UINT8)])._read(1)


def test_cycles_through_item_values_are_collected():
    class Value:
        pass

    value = Value()
    item = DictionaryItemOutput(1, "o", D.UINT8)
    item.set(value)
    value.back = Dictionary([item])
    probe = weakref.ref(value)
    del value, item
    gc.collect()
    assert probe() is None


def test_exported_names():
    for name in ("DictionaryItem", "DictionaryItemInput", "DictionaryItemOutput",
                 "DictionaryItemInputOutput", "Dictionary"):  # fmt: skip
        assert getattr(tarnwick, name).__module__ == "tarnwick"
    assert Dictionary.__doc__ == "Dictionary of safe items of a slave"
