"""Soak: the master and the virtual slave in Data for many cycles (run on demand).

    python tools/soak.py [--cycles 10000000]

Each cycle the application sets the safe output (the STO flag) at random, the
request goes to the virtual slave, its reply back to the master. The slave maps the
flag from the request into its reply, so the master's safe input must read, each
cycle, the output value it sent one cycle before. The mock clock advances 1 ms per
cycle (it wraps after about 4.3 million cycles, and the slave's watchdog with it).
Reports: cycles per second, transitions after Data was reached (expected: none),
values that did not come back, and the resident memory over the run.
"""

import argparse
import os
import random
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

from slave_helpers import RX_MAPS, TX_MAPS, configure_map  # noqa: E402

import tarnwick  # noqa: E402
from virtual_slave import brisel  # noqa: E402

DT = tarnwick.DataType
CONN_ID = 0x55
SLAVE_ADDRESS = 0x1234  # the virtual slave's own address after start
SRA_CRC = 0x1A2B3C4D
CYCLE_US = 1000
WATCHDOG_S = 1.0  # the master's: real time, re-armed every good cycle
SLAVE_WATCHDOG_MS = 100  # sent to the slave as the watchdog time
SAMPLES = 100


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def setup(events):
    brisel.set_mock_time(0)
    brisel.seed_random(1)
    brisel.set_sra_crc(SRA_CRC)
    brisel.init()
    configure_map(RX_MAPS[3], TX_MAPS[3])
    brisel.start()
    sto = tarnwick.DictionaryItemOutput(1, "sto", DT.BOOL)
    status = tarnwick.DictionaryItemInput(2, "sto_status", DT.BOOL, False)
    sra = tarnwick.ApplicationParameter("sra", SRA_CRC, n_bytes=4)
    h = tarnwick.MasterHandler(
        tarnwick.Dictionary([sto, status]), SLAVE_ADDRESS, CONN_ID, WATCHDOG_S, [sra],
        report_error_callback=lambda name, message: events.append((name, message)),
        state_change_callback=lambda cls: events.append(cls.__name__),
    )  # fmt: skip
    h.master.session.watchdog_ms.value = SLAVE_WATCHDOG_MS
    h.master.dictionary_map.add(sto, 1)
    h.master.dictionary_map.add_padding(7)
    h.slave.dictionary_map.add(status, 1)
    h.slave.dictionary_map.add_padding(7)
    return h, sto, status


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cycles", type=int, default=10_000_000)
    args = parser.parse_args()

    events = []
    h, sto, status = setup(events)
    h.start()
    clock = 0
    rng = random.Random(1)

    def cycle():
        nonlocal clock
        clock = (clock + CYCLE_US) & 0xFFFFFFFF
        brisel.set_mock_time(clock)
        brisel.set_request(h.get_request())
        brisel.process()
        h.set_reply(brisel.get_reply())

    for _ in range(100):
        cycle()
        if h.state is tarnwick.StateData and brisel.get_state() == brisel.FSOEState.FSOE_STATE_DATA:
            break
    assert h.state is tarnwick.StateData, events
    h.set_fail_safe(False)
    cycle()  # the first PROCESS_DATA request
    cycle()
    setup_events = list(events)
    events.clear()

    lost = 0
    sent = False
    memory = []
    every = max(1, args.cycles // SAMPLES)
    start = time.perf_counter()
    for i in range(args.cycles):
        if i % every == 0:
            memory.append(resident_bytes())
        value = rng.random() < 0.5
        sto.set(value)
        # The request fetched now was built after the last reply, before the new
        # value: its echo brings back the value set one cycle earlier.
        cycle()
        if status.get() is not sent:
            lost += 1
        sent = value
    elapsed = time.perf_counter() - start
    memory.append(resident_bytes())

    h.delete()
    brisel.stop()
    mib = 1024 * 1024
    print(f"cycles: {args.cycles}  time: {elapsed:.1f} s  ({args.cycles / elapsed:,.0f} cycles/s, "
          f"{elapsed / args.cycles * 1e6:.2f} us/cycle)")  # fmt: skip
    print(f"transitions while connecting: {setup_events}")
    print(f"unexpected transitions in Data: {len(events)} {events[:5]}")
    print(f"values not echoed: {lost}")
    print(f"resident memory: start {memory[0] / mib:.2f} MiB, end {memory[-1] / mib:.2f} MiB, "
          f"min {min(memory) / mib:.2f}, max {max(memory) / mib:.2f} MiB "
          f"({len(memory)} samples)")  # fmt: skip
    return 0 if not events and not lost else 1


if __name__ == "__main__":
    sys.exit(main())
