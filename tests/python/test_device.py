"""virtual_slave.VirtualSlave: devices of their own, each connected to a MasterHandler
on deterministic time (clock= and poll())."""

import pytest

import tarnwick
from virtual_slave import VirtualSlave, brisel

DT = tarnwick.DataType
Data = brisel.FSOEState.FSOE_STATE_DATA
CYCLE_US = 1000
CONNECT_LIMIT = 120  # cycles a connection may take at most (16-byte frames take fewest)
SRA = tarnwick.calculate_sra_crc([0x0102, 0x0304])
OUT_KEY, IN_KEY = 0x100, 0x200  # one 8-bit object per safe-data byte, from these keys on


class Bus:
    """A MasterHandler on mock time and a device mirrored from it: `outputs` and
    `inputs` bytes, one UINT8 item per byte."""

    def __init__(self, outputs, inputs, *, connection_id=0x0101, items=None, **mirror):
        self.now = 0
        if items is None:
            Out, In = tarnwick.DictionaryItemOutput, tarnwick.DictionaryItemInput
            items = [Out(OUT_KEY + k, f"o{k}", DT.UINT8) for k in range(outputs)]
            items += [In(IN_KEY + k, f"i{k}", DT.UINT8, 0) for k in range(inputs)]
        self.handler = tarnwick.MasterHandler(
            tarnwick.Dictionary(items),
            0x1234,
            connection_id,
            0.5,
            application_parameters=[tarnwick.ApplicationParameter("sra", SRA, n_bytes=4)],
            clock=lambda: self.now / 1e6,
        )
        for item in items:
            output = isinstance(item, tarnwick.DictionaryItemOutput)
            node = self.handler.master if output else self.handler.slave
            node.dictionary_map.add(item, item.data_type.bits)
        self.device = VirtualSlave.mirror(self.handler, **mirror)
        self.handler.start()

    def cycle(self):
        self.now += CYCLE_US
        self.device.advance(CYCLE_US)
        self.handler.poll()
        self.handler.set_reply(self.device.cycle(self.handler.get_request()))

    def connected(self):
        return self.handler.state is tarnwick.StateData and self.device.state == Data

    def connect(self):
        for _ in range(CONNECT_LIMIT):
            if self.connected():
                self.handler.set_fail_safe(False)
                return
            self.cycle()
        raise AssertionError(f"not connected: {self.handler.state}, {self.device.state}")


@pytest.mark.parametrize(
    ("outputs", "inputs"),
    [(1, 1), (2, 2), (4, 4), (8, 8), (16, 16), (1, 16), (16, 2), (6, 4), (2, 12), (3, 5), (15, 1)],
)
def test_a_mirrored_device_connects_and_carries_every_byte_both_ways(outputs, inputs):
    bus = Bus(outputs, inputs)
    assert (bus.device.rx_bytes, bus.device.tx_bytes) == (outputs, inputs)
    bus.connect()
    sent = {f"o{k}": (0x5A + 37 * k) & 0xFF for k in range(outputs)}
    for name, value in sent.items():
        bus.handler.dictionary.set(name, value)
    returned = {k: (0xC3 ^ 11 * k) & 0xFF for k in range(inputs)}
    for k, value in returned.items():
        bus.device.write(IN_KEY + k, value)
    for _ in range(3):
        bus.cycle()
    assert bus.connected()
    assert [bus.device.read(OUT_KEY + k) for k in range(outputs)] == list(sent.values())
    assert [bus.handler.dictionary.get(f"i{k}") for k in returned] == list(returned.values())
    # an odd size above 1 travels as the next even size
    wire = 6 if outputs == 1 else 3 + 2 * (outputs + outputs % 2)
    assert len(bus.handler.get_request()) == wire


def test_devices_in_one_process_stay_apart():
    buses = [Bus(size, size, connection_id=0x0200 + size, seed=size) for size in (1, 4, 16)]
    for bus in buses:
        bus.connect()
    for bus in buses:
        bus.handler.dictionary.set("o0", bus.device.rx_bytes)
    for _ in range(3):
        for bus in buses:
            bus.cycle()
    assert [bus.device.read(OUT_KEY) for bus in buses] == [1, 4, 16]
    # One master falls silent: only its device's watchdog expires.
    silent, *others = buses
    silent.device.advance(600_000)
    silent.device.process()
    for bus in others:
        bus.cycle()
    assert silent.device.state == brisel.FSOEState.FSOE_STATE_RESET
    assert silent.device.read(OUT_KEY) == 0  # outputs to their safe value
    assert all(bus.connected() for bus in others)


def test_stop_drops_the_outputs_and_start_lets_the_master_connect_again():
    bus = Bus(4, 4)
    bus.connect()
    bus.handler.dictionary.set("o3", 0x77)
    for _ in range(3):
        bus.cycle()
    assert bus.device.read(OUT_KEY + 3) == 0x77
    bus.device.stop()
    assert bus.device.state == brisel.FSOEState.FSOE_STATE_RESET
    assert bus.device.read(OUT_KEY + 3) == 0
    assert bus.device.start()
    bus.connect()
    for _ in range(3):
        bus.cycle()
    assert bus.device.read(OUT_KEY + 3) == 0x77


def test_the_application_hook_plays_sto_active_two_cycles_after_the_command():
    command = tarnwick.DictionaryItemOutput(0x101, "sto_command", DT.BOOL)
    active = tarnwick.DictionaryItemInput(0x201, "sto_active", DT.BOOL, False)
    seen = []

    def sto_follows(device):
        seen.append(device.read(0x101))
        device.write(0x201, seen[-3] if len(seen) >= 3 else 0)

    bus = Bus(1, 1, items=[command, active], on_cycle=sto_follows)
    bus.connect()
    bus.handler.dictionary.set("sto_command", True)
    history = []
    for _ in range(6):
        bus.cycle()
        history.append((bus.device.read(0x101), bus.device.read(0x201)))
    first_command = [c for c, _ in history].index(1)
    assert [a for _, a in history].index(1) == first_command + 2
    assert bus.handler.dictionary.get("sto_active") is True


def device(**changes):
    kwargs = {"rx_map": [(1, 8)], "tx_map": [(2, 8)], "objects": [(1, 8, 0), (2, 8, 0)], **changes}
    return VirtualSlave(kwargs.pop("rx_map"), kwargs.pop("tx_map"), **kwargs)


def mirrored(**changes):
    return Bus(1, 1, **changes).device


def two_parameters():
    handler = tarnwick.MasterHandler(
        tarnwick.Dictionary([]), 0x1234, 1, 0.5,
        application_parameters=[tarnwick.ApplicationParameter("a", 1, n_bytes=2),
                                tarnwick.ApplicationParameter("b", 2, n_bytes=4)],
        clock=lambda: 0.0,
    )  # fmt: skip
    return VirtualSlave.mirror(handler)


ERRORS = {
    "map over 16 bytes": (
        lambda: device(rx_map=[(1, 8), (None, 128)]),
        ValueError,
        "rx map of 136 bits is larger than a frame's 16 safe-data bytes",
    ),
    "missing object": (
        lambda: device(tx_map=[(5, 8)]),
        ValueError,
        "tx map item 1: no object 0x005 in the dictionary",
    ),
    "item width": (
        lambda: device(rx_map=[(1, 16)]),
        ValueError,
        "rx map item 1: object 0x001 is mapped on 16 bits",
    ),
    "empty map": (lambda: device(rx_map=[]), ValueError, "rx map is empty"),
    "reserved key": (
        lambda: device(objects=[(0x040, 1, 0)]),
        ValueError,
        "object key 0x040 is reserved for the protocol's own objects",
    ),
    "duplicate key": (
        lambda: device(objects=[(1, 8, 0), (1, 8, 0)]),
        ValueError,
        "object key 0x001 is given twice",
    ),
    "object width": (
        lambda: device(objects=[(1, 40, 0)]),
        ValueError,
        "width 40 bits, objects are 1 to 32",
    ),
    "initial too wide": (
        lambda: device(objects=[(1, 8, 256), (2, 8, 0)]),
        ValueError,
        r"value 256 does not fit 8 bits \(0 to 255\)",
    ),
    "negative initial": (
        lambda: device(objects=[(1, 8, -1), (2, 8, 0)]),
        ValueError,
        "object 0x001 value must be 0 to",
    ),
    "negative sra_crc": (
        lambda: device(sra_crc=-1),
        ValueError,
        "sra_crc must be 0 to 4294967295, got -1",
    ),
    "map type": (lambda: device(rx_map="ab"), TypeError, "rx map must be a sequence"),
    "key type": (
        lambda: device(rx_map=[("1", 8)]),
        TypeError,
        "rx map item 1 key must be an int, not str",
    ),
    "object shape": (
        lambda: device(objects=[(1, 8)]),
        TypeError,
        r"objects entry 1 must be a \(key, bits, initial\)",
    ),
    "hook type": (lambda: device(on_cycle=3), TypeError, "on_cycle must be callable or None"),
    "long request": (
        lambda: device().set_request(bytes(37)),
        ValueError,
        "Request of 37 bytes is longer than the 36-byte buffer",
    ),
    "value too wide": (
        lambda: device().write(1, 256),
        ValueError,
        "object 0x001: value 256 is too wide",
    ),
    "read-only protocol object": (
        lambda: device().write(0x194, 1),
        ValueError,
        r"object 0x194 refused the write \(abort code 0x06010000\)",
    ),
    "no such object": (lambda: device().read(0x999), KeyError, "no object 0x999"),
    "mirror: sizes differ": (
        lambda: mirrored(rx_map=[(None, 16)]),
        ValueError,
        "rx_map of 2 bytes differs from the master's map of 1 bytes",
    ),
    "mirror: unmapped value": (
        lambda: mirrored(values={0x300: 1}),
        ValueError,
        r"values for keys the maps do not carry: \[768\]",
    ),
    "mirror: value too wide": (
        lambda: mirrored(values={OUT_KEY: 300}),
        ValueError,
        "value 300 does not fit 8 bits",
    ),
    "mirror: parameters": (
        two_parameters,
        ValueError,
        "exactly one 4-byte application parameter .the SRA CRC.; the master sends 2",
    ),
}


@pytest.mark.parametrize(("make", "error", "text"), ERRORS.values(), ids=ERRORS.keys())
def test_configuration_errors_name_the_problem(make, error, text):
    with pytest.raises(error, match=text):
        make()
