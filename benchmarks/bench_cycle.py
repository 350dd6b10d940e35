"""The product's cycle costs on this interpreter (run on demand; prints medians).

    python benchmarks/bench_cycle.py [--cycles N] [--memory-cycles N]

Master and slave alone reuse bench_master.py and bench_slave.py; the pair is the
tarnwick master wired to the virtual slave as `python -m virtual_slave` wires them.
Per-cycle figures are medians over batches of thread CPU time, so other load on
the machine does not count; the walk is wall time, since start() hands a command
to the watchdog thread and waits for it.
"""

import argparse
import platform
import resource
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench_master  # noqa: E402
import bench_slave  # noqa: E402

import tarnwick  # noqa: E402
from virtual_slave import brisel  # noqa: E402
from virtual_slave.simulation import (  # noqa: E402
    CONNECTION_ID,
    SLAVE_ADDRESS,
    SRA_WORDS,
    configure_slave,
)

BATCHES = bench_master.BATCHES
WATCHDOG_S = 10.0  # the longest watchdog time the virtual slave accepts
CYCLE_US = 1000  # mock time per pair cycle
CLOCK_MASK = 0xFFFFFFFF
HANDLERS = 100
ROUNDS = 200  # round-robin rounds per batch
WALKS = 101
TARGETS = {  # ns, from the product's performance goals
    "master 2": 500,
    "slave": 300,
    "round-robin": 780,
}


def target(name, ns):
    limit = TARGETS.get(name)
    if limit is None:
        return ""
    return f"   target <= {limit} ns: {'met' if ns <= limit else 'MISSED'}"


class PairBench:
    """A master in Data against the virtual slave, `size` safe-data bytes each way."""

    def __init__(self, size):
        sra = tarnwick.calculate_sra_crc(SRA_WORDS)
        configure_slave(size, sra, seed=1)
        dt = tarnwick.DataType.BOOL
        sto = tarnwick.DictionaryItemOutput(1, "sto", dt)
        status = tarnwick.DictionaryItemInput(2, "sto_status", dt, False)
        self.handler = tarnwick.MasterHandler(
            tarnwick.Dictionary([sto, status]),
            SLAVE_ADDRESS,
            CONNECTION_ID,
            WATCHDOG_S,
            application_parameters=[tarnwick.ApplicationParameter("sra", sra, n_bytes=4)],
        )
        for node, item in ((self.handler.master, sto), (self.handler.slave, status)):
            node.dictionary_map.add(item, 1)
            node.dictionary_map.add_padding(8 * size - 1)
        self.now = 0
        self.cycles_to_data()

    def connected(self):
        return (
            self.handler.state is tarnwick.StateData
            and brisel.get_state() == brisel.FSOEState.FSOE_STATE_DATA
        )

    def run(self, cycles):
        get_request, set_reply = self.handler.get_request, self.handler.set_reply
        set_request, process, get_reply = brisel.set_request, brisel.process, brisel.get_reply
        set_mock_time, now = brisel.set_mock_time, self.now
        for _ in range(cycles):
            set_request(get_request())
            process()
            set_reply(get_reply())
            now = (now + CYCLE_US) & CLOCK_MASK
            set_mock_time(now)
        self.now = now

    def cycles_to_data(self):
        """start() and cycles until both sides are in Data; returns the cycles."""
        self.handler.start()
        for cycles in range(1000):
            if self.connected():
                return cycles
            self.run(1)
        raise RuntimeError("the pair did not connect")

    def close(self):
        self.handler.stop()
        self.handler.delete()
        brisel.stop()


def bench_pair_cycle(size, cycles):
    pair = PairBench(size)
    pair.handler.set_fail_safe(False)
    pair.run(1000)  # warm up
    ns = bench_master.median_ns(lambda: lambda: pair.run(cycles), cycles)
    assert pair.connected(), "the pair left Data"
    pair.close()
    return ns


def bench_walk(size):
    pair = PairBench(size)
    times, cycles = [], set()
    for _ in range(WALKS):
        pair.handler.stop()
        # The bus keeps running while the master is stopped: the slave takes its
        # Reset request (start() right after stop() would send a second Reset
        # request numbered 2, which the slave refuses; see the end-to-end tests).
        pair.run(2)
        start = time.perf_counter_ns()
        cycles.add(pair.cycles_to_data())
        times.append(time.perf_counter_ns() - start)
    pair.close()
    return statistics.median(times), sorted(cycles)


def bench_round_robin(handlers, rounds):
    """`handlers` masters in Data, each given its next reply in turn; the replies
    are recorded once, and every handler replays the same connection."""
    walk, data = bench_master.record(2, rounds * BATCHES)
    pairs = [bench_master.replay_master(2, walk) for _ in range(handlers)]
    calls = [(h.set_reply, h.get_request) for h in pairs]
    batches = iter([data[i * rounds : (i + 1) * rounds] for i in range(BATCHES)])

    def make_run():
        batch = next(batches)

        def run():
            for reply in batch:
                for set_reply, get_request in calls:
                    set_reply(reply)
                    get_request()

        return run

    ns = bench_master.median_ns(make_run, rounds * handlers)
    assert all(h.state is tarnwick.StateData for h in pairs), "replay diverged"
    for h in pairs:
        h.delete()
    return ns


def resident_kib():
    """Current resident set size; the peak where /proc is not available."""
    try:
        with open("/proc/self/statm") as statm:
            pages = int(statm.read().split()[1])
        return pages * resource.getpagesize() // 1024
    except OSError:
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def bench_memory(cycles):
    pair = PairBench(2)
    pair.handler.set_fail_safe(False)
    pair.run(100_000)  # let the allocator settle
    before = resident_kib()
    pair.run(cycles)
    after = resident_kib()
    assert pair.connected(), "the pair left Data"
    pair.close()
    return before, after


def label(size):
    return f"{size:>4} safe-data byte{'s' if size > 1 else ' '}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cycles", type=int, default=20000, help="cycles per batch")
    parser.add_argument("--memory-cycles", type=int, default=1_000_000)
    args = parser.parse_args()
    print(
        f"Python {platform.python_version()} ({platform.python_implementation()}), "
        f"{platform.system()} {platform.machine()}; medians of {BATCHES} batches"
    )

    print("master Data cycle, set_reply(new reply) + get_request()")
    for size in (1, 2, 4, 16):
        ns = bench_master.bench_data_cycle(size, args.cycles)
        print(f"{label(size)}  {ns:7.0f} ns{target(f'master {size}', ns)}")

    setup, data = bench_slave.record()
    ns = statistics.median(bench_slave.replay(setup, data, time.thread_time_ns))
    print("slave Data cycle, set_request + process + get_reply")
    print(f"{label(1)}  {ns:7.0f} ns{target('slave', ns)}")

    print("pair cycle, both sides' calls and the mock clock")
    for size in (1, 2, 4):
        print(f"{label(size)}  {bench_pair_cycle(size, args.cycles):7.0f} ns")

    print("walk from start() to Data on both sides (wall time)")
    for size in (1, 2, 4):
        ns, cycles = bench_walk(size)
        print(f"{label(size)}  {ns / 1000:7.1f} us, {'/'.join(map(str, cycles))} cycles")

    ns = bench_round_robin(HANDLERS, ROUNDS)
    print(f"{HANDLERS} handlers round-robin, 2 bytes, loop included")
    print(f"    per connection and round  {ns:5.0f} ns{target('round-robin', ns)}")

    before, after = bench_memory(args.memory_cycles)
    print(f"resident memory around {args.memory_cycles:,} pair cycles")
    print(f"    {before:,} KiB -> {after:,} KiB ({after - before:+,} KiB)")


if __name__ == "__main__":
    main()
