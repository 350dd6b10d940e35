"""Writes the seed corpora of the fuzz harnesses (run after `make build`).

fuzz_frame: valid frames of every safe-data size, as a master would send them.
fuzz_slave: whole connections recorded from a master talking to the virtual slave,
in the harness's operation format (see fuzz_slave.cpp).
"""

import hashlib
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

from slave_helpers import C, Master, start_slave  # noqa: E402

import tarnwick  # noqa: E402
from virtual_slave import brisel  # noqa: E402

OP_REQUEST, OP_CLOCK, OP_STOP, OP_START = 0, 1, 4, 5
MAP_CHOICE = {3: 0, 4: 1, 6: 2}
CONN_ID = 0x55


def write(corpus, data):
    folder = HERE / "corpus" / corpus
    folder.mkdir(parents=True, exist_ok=True)
    (folder / hashlib.sha1(data).hexdigest()[:16]).write_bytes(data)


def frame_seeds():
    for n in (1, 2, 4, 6, 8, 10, 12, 14, 16):
        f = tarnwick.FSOEFrame(n + 2 * ((n + 1) // 2) + 3)
        f.control.command = C.PROCESS_DATA
        f.control.connection_id = CONN_ID
        f.control.sequence_number = 7
        for k in range(tarnwick.MAX_DATA_WORDS):
            f.safe_data[k] = 0x0101 * (k + 1)
        f.generate_crcs()
        write("fuzz_frame", f.frame_to_array())
    write("fuzz_frame", b"\x2a\x00\x00")


class Recorder:
    """Records every request handed to the slave as a harness operation."""

    def __init__(self):
        self.ops = bytearray()
        self._set_request = brisel.set_request

    def __enter__(self):
        def record(data):
            self.ops += bytes([OP_REQUEST, len(data)]) + data
            self._set_request(data)

        brisel.set_request = record
        return self

    def __exit__(self, *exc):
        brisel.set_request = self._set_request


def connection(words, tail):
    brisel.set_mock_time(0)
    brisel.seed_random(1)
    brisel.set_sra_crc(0)
    brisel.init()
    start_slave(words)
    m = Master(words)
    with Recorder() as rec:
        m.connect(CONN_ID, wd_ms=100)
        for sto in (b"\x01", b"\x00", b"\x01"):
            m.send(C.PROCESS_DATA, sto, CONN_ID)
        tail(m, rec)
    brisel.stop()
    write("fuzz_slave", bytes([MAP_CHOICE[words]]) + bytes(rec.ops))


def watchdog_expiry(m, rec):
    rec.ops += bytes([OP_CLOCK]) + (200_000).to_bytes(4, "little")


def master_reset(m, rec):
    m.send(C.RESET, b"\x00", first=True)


def restart(m, rec):
    rec.ops += bytes([OP_STOP, OP_START])


WIDE_MAPS = 0xF0


def wide_connection(outputs, inputs):
    """A MasterHandler and a device of its own with `outputs`/`inputs` bytes: the
    harness's wide slave, its sizes and SRA CRC, then the master's requests, each
    after a clock step of one cycle."""
    from test_device import CYCLE_US, SRA, Bus

    bus = Bus(outputs, inputs)
    ops = bytearray([WIDE_MAPS, (outputs - 1) | (inputs - 1) << 4]) + SRA.to_bytes(4, "little")
    for cycle in range(60):
        request = bus.handler.get_request()
        ops += bytes([OP_CLOCK]) + CYCLE_US.to_bytes(4, "little")
        ops += bytes([OP_REQUEST, len(request)]) + request
        bus.cycle()
        if cycle == 40:
            bus.handler.set_fail_safe(False)
            bus.handler.dictionary.set("o0", 0x5A)
    assert bus.connected()
    write("fuzz_slave", bytes(ops))


def main():
    frame_seeds()
    for outputs, inputs in ((16, 16), (1, 16), (8, 3), (2, 2)):
        wide_connection(outputs, inputs)
    for words in MAP_CHOICE:
        for tail in (watchdog_expiry, master_reset, restart):
            connection(words, tail)


if __name__ == "__main__":
    main()
