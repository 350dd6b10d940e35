"""The scripts under examples/ do what they say."""

import importlib.util
import runpy
import sys
from pathlib import Path

import pytest
from crc_reference import sra_crc32

import tarnwick
from virtual_slave import brisel

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
# simulated_network.py: the corrupted reply and the long loss each drop their drive once.
DROPS = [[], [39], [97], []]


def load(name):
    module_spec = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[module_spec.name] = module  # dataclasses look their module up while building
    module_spec.loader.exec_module(module)
    return module


loop = load("master_with_virtual_slave")
bridge = load("pysoem_bridge")
sra = load("sra_crc")


@pytest.mark.parametrize(
    "script, expected",
    [
        ("frame_roundtrip", ["received CRCs valid: True", "corrupted CRCs valid: False"]),
        ("master_with_virtual_slave", ["state  StateData", "StateData, STO status True"]),
        ("sra_crc", [f"SRA CRC: 0x{sra.sra_crc(sra.PARAMETERS):08X}"]),
        (
            "simulated_network",
            [f"pair {n}: StateData, dropped at cycles {c}" for n, c in enumerate(DROPS, 1)],
        ),
    ],
)
def test_script_runs(script, expected, capsys):
    runpy.run_path(str(EXAMPLES / f"{script}.py"), run_name="__main__")
    out = capsys.readouterr().out
    for line in expected:
        assert line in out


# --- the master against the virtual slave ---------------------------------------------


def failures(errors):
    return [name for name, _ in errors if "FAIL" in name or name.endswith("_WD")]


def test_loop_reaches_data_and_carries_sto_both_ways():
    outcome = loop.run(cycles=40, log=lambda _: None)
    walk = ["StateSession", "StateConnection", "StateParameter", "StateData"]
    assert outcome.states == walk + ["StateReset"]  # the last one is stop()
    assert outcome.final_state == "StateData"
    assert outcome.sto_status is True
    assert failures(outcome.errors) == []


def test_loop_with_a_different_sra_crc_never_exchanges_process_data():
    crc = tarnwick.calculate_sra_crc(loop.SRA_PARAMETERS)
    outcome = loop.run(cycles=40, slave_sra_crc=crc ^ 1, log=lambda _: None)
    assert any("INVALID_USERPARA" in message for _, message in outcome.errors)
    assert outcome.sto_status is False


# --- the pysoem bridge, on a fake bus with the virtual slave behind it -------------------


class FakeSlave:
    """Process images shaped like a pysoem slave's: bytes, the output assigned whole."""

    def __init__(self, output_size, input_size):
        self._output = bytes(output_size)
        self.image_in = bytearray(input_size)

    @property
    def input(self):
        return bytes(self.image_in)

    @property
    def output(self):
        return self._output

    @output.setter
    def output(self, image):
        if not isinstance(image, bytes) or len(image) != len(self._output):
            raise AttributeError("output must be bytes of the image's length")
        self._output = image


class FakeBus:
    """Stands in for pysoem.Master; the virtual slave's frame sits in one slave's images."""

    def __init__(self, slave, output_offset, input_offset):
        self.slave = slave
        self.output_offset = output_offset
        self.input_offset = input_offset
        self.cycles = 0

    def send_processdata(self):
        length = 2 * brisel.get_frame_size_words()
        start = self.output_offset
        brisel.set_request(self.slave.output[start : start + length])
        brisel.process()
        self.cycles += 1
        brisel.set_mock_time(self.cycles * loop.CYCLE_US)

    def receive_processdata(self, timeout):
        reply = brisel.get_reply()
        self.slave.image_in[self.input_offset : self.input_offset + len(reply)] = reply


@pytest.fixture
def connected_parts():
    crc = tarnwick.calculate_sra_crc(loop.SRA_PARAMETERS)
    loop.start_virtual_slave(crc)
    master = loop.create_master(crc, loop.Outcome(), lambda _: None)
    yield master
    master.stop()
    master.delete()
    brisel.stop()


@pytest.mark.parametrize("output_offset, input_offset, padding", [(0, 0, 0), (2, 5, 4)])
def test_bridge_connects_through_the_process_image(
    connected_parts, output_offset, input_offset, padding
):
    master = connected_parts
    slave = FakeSlave(output_offset + 6 + padding, input_offset + 6 + padding)
    other_data = bytes(range(0xA0, 0xA0 + len(slave.output)))
    slave.output = other_data  # the rest of the device's process data
    bus = FakeBus(slave, output_offset, input_offset)
    link = bridge.FsoeBridge(master, slave, output_offset, input_offset)
    master.start()

    bridge.run_cycles(bus, link, 30)
    assert master.state is tarnwick.StateData
    master.set_fail_safe(False)
    master.dictionary.set("STO_COMMAND", True)
    bridge.run_cycles(bus, link, 3)

    assert brisel.get_status_sto() is True
    assert master.dictionary.get("STO_STATUS") is True
    frame = slice(output_offset, output_offset + 6)
    assert slave.output[: frame.start] == other_data[: frame.start]
    assert slave.output[frame.stop :] == other_data[frame.stop :]


@pytest.mark.parametrize(
    "output_size, input_size, image", [(5, 6, "output"), (6, 5, "input")], ids=["out", "in"]
)
def test_bridge_refuses_a_frame_that_does_not_fit(connected_parts, output_size, input_size, image):
    master = connected_parts
    master.start()
    link = bridge.FsoeBridge(master, FakeSlave(output_size, input_size))
    with pytest.raises(ValueError, match=f"6 bytes at offset 0 does not fit the 5-byte {image}"):
        link.exchange()


def test_bridge_refuses_negative_offsets(connected_parts):
    with pytest.raises(ValueError, match="must not be negative"):
        bridge.FsoeBridge(connected_parts, FakeSlave(6, 6), output_offset=-1)


@pytest.mark.parametrize("safe_data_bytes", [0, 1, 2, 4, 8, 16])
def test_wire_length_is_the_codec_length(safe_data_bytes):
    frame = tarnwick.FSOEFrame(bridge.wire_length(safe_data_bytes))
    assert frame.safe_data_size_bytes == safe_data_bytes
    assert len(frame.frame_to_array()) == bridge.wire_length(safe_data_bytes)


# --- SRA CRC ---------------------------------------------------------------------------


P = sra.Parameter


@pytest.mark.parametrize(
    "parameters, words",
    [
        ([P("a", 0x1234, 16)], [0x1234]),
        ([P("a", 0x89ABCDEF, 32)], [0xCDEF, 0x89AB]),
        ([P("a", 1, 16), P("b", 0x00020003, 32), P("c", 4, 16)], [1, 3, 2, 4]),
        ([], []),
    ],
)
def test_sra_parameters_become_words_low_first(parameters, words):
    assert sra.to_words(parameters) == words
    wire = b"".join(w.to_bytes(2, "little") for w in words)
    assert sra.sra_crc(parameters) == sra_crc32(wire)


@pytest.mark.parametrize(
    "parameter, message",
    [
        (P("x", 1, 8), "x: width 8 bits, expected 16 or 32"),
        (P("y", 0x10000, 16), "y: 65536 does not fit in 16 unsigned bits"),
        (P("z", -1, 32), "z: -1 does not fit in 32 unsigned bits"),
    ],
)
def test_sra_parameters_out_of_shape_are_refused(parameter, message):
    with pytest.raises(ValueError, match=message):
        sra.to_words([parameter])
