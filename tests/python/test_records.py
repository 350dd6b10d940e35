import pytest
from master_helpers import DT

import tarnwick

E = tarnwick.FSOEError


def test_error_codes():
    assert len(E) == 140
    assert [m.value for m in tarnwick.BaseError] == list(range(12))
    assert E(11) is E.INVALID_USERPARA
    assert E(128) is E.INVALID_SAFEPARA_128 and E(255) is E.INVALID_SAFEPARA_255
    assert E.INVALID_CRC == 4 and tarnwick.BaseError.INVALID_CRC == 4
    for code in (12, 127, 256):
        with pytest.raises(ValueError):
            E(code)


def test_new_session():
    s = tarnwick.Session(5, 0x1234, 100)
    assert (s.slave_address.value, s.connection_id.value, s.watchdog_ms.value) == (5, 0x1234, 100)
    for item in (s.session_id, s.error_id, s.comm_parameter_size_bytes, s.app_parameter_size_bytes):
        assert item.value == 0 and item.data_type is DT.UINT16
    assert s.error is E.RESET


def test_session_error_property():
    s = tarnwick.Session(1, 1, 1)
    s.error = E.WD_EXPIRED
    assert s.error_id.value == 5
    s.error = tarnwick.BaseError.INVALID_CRC
    assert s.error is E.INVALID_CRC
    s.error_id.value = 200
    assert s.error is E.INVALID_SAFEPARA_200
    s.error_id.value = 50
    with pytest.raises(ValueError):
        s.error  # noqa: B018


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((65536, 1, 100), "value too large to convert to uint16_t"),
        ((1, -1, 100), "can't convert negative value to uint16_t"),
    ],
)
def test_session_range(args, message):
    with pytest.raises(OverflowError, match=message):
        tarnwick.Session(*args)


def _node_args(**overrides):
    d = tarnwick.Dictionary([tarnwick.DictionaryItemOutput(1, "o", DT.UINT8)])
    args = dict(
        slave_address=1,
        connection_id=2,
        watchdog_ms=3,
        application_parameters=[],
        dictionary=d,
        item_types_accepted={tarnwick.DictionaryItemOutput},
    )
    args.update(overrides)
    return args


@pytest.mark.parametrize(
    ("name", "value", "expected"),
    [
        ("application_parameters", None, "list"),
        ("application_parameters", (), "list"),
        ("dictionary", None, "tarnwick.Dictionary"),
        ("item_types_accepted", [tarnwick.DictionaryItemOutput], "set"),
    ],
)
def test_node_argument_types(name, value, expected):
    with pytest.raises(TypeError) as info:
        tarnwick.Node(**_node_args(**{name: value}))
    got = type(value).__name__
    assert str(info.value) == (
        f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
    )


def test_node_integers_checked_before_objects():
    with pytest.raises(OverflowError):
        tarnwick.Node(**_node_args(watchdog_ms=-1, dictionary=None))


def test_node_start_and_stop():
    args = _node_args()
    node = tarnwick.Node(**args)
    assert node.application_parameters is args["application_parameters"]
    assert node._last_crc0_sent is None
    node._last_crc0_sent = 0xBEEF
    assert node._last_crc0_sent == 0xBEEF
    node._last_crc0_sent = None  # back to "no frame sent yet"
    assert node._last_crc0_sent is None
    item = args["dictionary"].name_map["o"]
    node.dictionary_map.add(item, 8)
    node.dictionary_map.add_padding(8)
    node.start()
    assert node.frame.safe_data_size_bytes == 2
    with pytest.raises(tarnwick.TarnwickRunningException, match="Mapping is locked"):
        node.dictionary_map.add_padding(8)
    node.stop()
    node.dictionary_map.add_padding(8)
    assert node.frame.safe_data_size_bytes == 2  # the size stays until the next start


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({}, "data type or number of bytes for application parameter must be specified"),
        ({"n_bytes": 3}, "n_bytes must be 1, 2 or 4, or type be specified"),
        ({"n_bytes": -1}, "n_bytes must be 1, 2 or 4, or type be specified"),
        ({"n_bytes": 0x10001}, "n_bytes must be 1, 2 or 4, or type be specified"),
        ({"n_bytes": 2**70}, "n_bytes must be 1, 2 or 4, or type be specified"),
        (
            {"n_bytes": 2, "data_type": DT.UINT32},
            "n_bytes must be equal to the number of bytes of the data type",
        ),
    ],
)
def test_parameter_construction_errors(kwargs, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        tarnwick.ApplicationParameter("p", 0, **kwargs)


@pytest.mark.parametrize(
    ("kwargs", "data_type", "n_bytes"),
    [
        ({"n_bytes": 1}, DT.UINT8, 1),
        ({"n_bytes": 2}, DT.UINT16, 2),
        ({"n_bytes": 4}, DT.UINT32, 4),
        ({"data_type": DT.INT16}, DT.INT16, 2),
        ({"n_bytes": 4, "data_type": DT.FLOAT}, DT.FLOAT, 4),
    ],
)
def test_parameter_types(kwargs, data_type, n_bytes):
    p = tarnwick.ApplicationParameter("p", 1, **kwargs)
    assert (p.name, p.data_type, p.n_bytes) == ("p", data_type, n_bytes)
    assert isinstance(p, tarnwick.DynamicMappableItem)


@pytest.mark.parametrize(("args", "name"), [((1, 0), "name"), (("p", 0, "2"), "n_bytes")])
def test_parameter_argument_types(args, name):
    with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
        tarnwick.ApplicationParameter(*args)


def test_parameter_bound_once():
    p = tarnwick.ApplicationParameter("p", 0, n_bytes=2)
    owner = object()
    p._set_use_by_master(owner)
    taken = "^Application parameter already used by a master$"
    for again in (owner, object()):
        with pytest.raises(PermissionError, match=taken):
            p._set_use_by_master(again)


def test_parameter_set_follows_master_running():
    d = tarnwick.Dictionary([])
    p = tarnwick.ApplicationParameter("p", 0, n_bytes=2)
    p.set(5)  # no master yet
    handler = tarnwick.MasterHandler(d, 1, 1, 1.0, application_parameters=[p])
    try:
        p.set(6)  # master stopped
        handler.start()
        for change in (lambda: p.set(7), lambda: setattr(p, "value", 7)):
            with pytest.raises(
                tarnwick.TarnwickRunningException,
                match="^Application parameters cannot be changed while the master is running$",
            ):
                change()
        assert p.value == 6
        handler.stop()
        p.value = 8
        assert p.value == 8
    finally:
        handler.delete()
