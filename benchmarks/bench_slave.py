"""Per-cycle cost of the virtual slave in the Data state.

One cycle is set_request (a new request), process and get_reply. The requests
are recorded once from a master built with tarnwick's frame codec, then replayed
from a fresh init so the timed loop does nothing but the slave's three calls.
Prints the median cost per cycle over batches.
"""

import statistics
import time

import tarnwick
from virtual_slave import brisel

C = tarnwick.FSOECommand
CONN_ID = 0x55
WORDS = 3  # one safe-data byte: command, data, CRC_0, connection id
CYCLES = 200_000
BATCH = 1_000


def configure():
    brisel.set_mock_time(0)
    brisel.seed_random(1)
    brisel.set_sra_crc(0)
    brisel.init()
    rx = [(0x171, 8, False), (0x040, 1, False), (0, 7, True), (0, 16, True), (0x172, 16, False)]
    tx = [(0x161, 8, False), (0x040, 1, False), (0, 7, True), (0, 16, True), (0x162, 16, False)]
    brisel.static_map_set_rx_count(len(rx))
    brisel.static_map_set_tx_count(len(tx))
    for i, item in enumerate(rx, 1):
        brisel.static_map_set_rx_item(i, *item)
    for i, item in enumerate(tx, 1):
        brisel.static_map_set_tx_item(i, *item)
    brisel.start()


class Master:
    def __init__(self):
        self.seq = 0
        self.last_crc0 = 0
        self.seed = 0

    def request(self, command, byte, first=False):
        if first:
            self.seq = self.seed = 0
        f = tarnwick.FSOEFrame(2 * WORDS)
        f.control.command = command
        f.control.connection_id = 0 if command == C.SESSION else CONN_ID
        f.control.crc0 = self.seed
        f.control.sequence_number = self.seq % 0xFFFF + 1
        f.safe_data[0] = byte
        if first:
            f.generate_crcs()
        else:
            f.generate_crcs_cyclic(self.last_crc0)
        self.seq = f.control.sequence_number
        self.last_crc0 = f.calc_crc0()
        return f.frame_to_array()

    def cycle(self, request):
        brisel.set_request(request)
        brisel.process()
        self.seed = tarnwick.FSOEFrame.frame_from_array(brisel.get_reply()).crcs[0]
        return request


def record():
    configure()
    m = Master()
    setup = [m.cycle(m.request(C.SESSION, 0xCD, first=True)), m.cycle(m.request(C.SESSION, 0xAB))]
    conn = [CONN_ID, 0, 0x34, 0x12]
    params = [2, 0, 100, 0, 4, 0, 0, 0, 0, 0]
    setup += [m.cycle(m.request(C.CONNECTION, b)) for b in conn]
    setup += [m.cycle(m.request(C.PARAMETER, b)) for b in params]
    setup.append(m.cycle(m.request(C.PROCESS_DATA, 0)))
    assert brisel.get_state() == brisel.FSOEState.FSOE_STATE_DATA
    data = [m.cycle(m.request(C.PROCESS_DATA, k & 1)) for k in range(CYCLES)]
    assert brisel.get_state() == brisel.FSOEState.FSOE_STATE_DATA
    return setup, data


def replay(setup, data, clock):
    configure()
    for request in setup:
        brisel.set_request(request)
        brisel.process()
    set_request, process, get_reply = brisel.set_request, brisel.process, brisel.get_reply
    per_cycle = []
    for start in range(0, len(data), BATCH):
        batch = data[start : start + BATCH]
        t0 = clock()
        for request in batch:
            set_request(request)
            process()
            get_reply()
        per_cycle.append((clock() - t0) / len(batch))
    assert brisel.get_state() == brisel.FSOEState.FSOE_STATE_DATA, "replay diverged"
    return per_cycle


def loop_overhead(data):
    clock = time.perf_counter_ns
    per_cycle = []
    for start in range(0, len(data), BATCH):
        batch = data[start : start + BATCH]
        t0 = clock()
        for _request in batch:
            pass
        per_cycle.append((clock() - t0) / len(batch))
    return per_cycle


def main():
    setup, data = record()
    print(f"slave Data cycle (set_request + process + get_reply), {len(data)} cycles")
    # Wall time counts whatever else the machine runs; thread CPU time does not.
    for label, clock in (("wall", time.perf_counter_ns), ("thread CPU", time.thread_time_ns)):
        runs = replay(setup, data, clock)
        print(f"  {label:>10}: median {statistics.median(runs):.0f} ns, best {min(runs):.0f} ns")
    print(f"  timing loop alone: median {statistics.median(loop_overhead(data)):.0f} ns")


if __name__ == "__main__":
    main()
