"""Per-cycle cost of the master handler (run on demand; prints medians).

    python benchmarks/bench_master.py [--cycles N]

Data-state cycles are measured by replaying replies recorded from a first run with
the same random seed: the handler then builds exactly the same requests, so every
replayed reply is new and valid, and the timed loop runs no Python-side slave.
"""

import argparse
import random
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

from master_helpers import DT, ScriptedSlave, good_reply  # noqa: E402

import tarnwick  # noqa: E402

SEED = 1234
CONN_ID = 0x1234
BATCHES = 15


def make_master(size_bytes):
    """A master with a BOOL (and from 2 bytes on a UINT8) each way, padded to size_bytes."""
    out_bool = tarnwick.DictionaryItemOutput(1, "out_bool", DT.BOOL)
    out_u8 = tarnwick.DictionaryItemOutput(2, "out_u8", DT.UINT8)
    in_bool = tarnwick.DictionaryItemInput(3, "in_bool", DT.BOOL, False)
    in_u8 = tarnwick.DictionaryItemInput(4, "in_u8", DT.UINT8, 0)
    d = tarnwick.Dictionary([out_bool, out_u8, in_bool, in_u8])
    h = tarnwick.MasterHandler(d, 1, CONN_ID, 30.0)
    for node, items in ((h.master, (out_bool, out_u8)), (h.slave, (in_bool, in_u8))):
        node.dictionary_map.add(items[0], 1)
        node.dictionary_map.add_padding(7)
        if size_bytes >= 2:
            node.dictionary_map.add(items[1], 8)
        if size_bytes > 2:
            node.dictionary_map.add_padding(8 * (size_bytes - 2))
    return h


def record(size_bytes, cycles):
    """Replies of a correct slave: the walk to Data, then `cycles` data replies."""
    random.seed(SEED)
    h = make_master(size_bytes)
    slave = ScriptedSlave(size_bytes, CONN_ID)
    h.start()
    walk = []
    while h.state is not tarnwick.StateData:
        was_reset = h.state is tarnwick.StateReset
        walk.append(good_reply(h, slave))
        h.set_reply(walk[-1])
        if was_reset:
            slave.restart()
    h.set_fail_safe(False)
    data = []
    for i in range(cycles):
        data.append(good_reply(h, slave, bytes([i & 1, i & 0xFF])))
        h.set_reply(data[-1])
    h.delete()
    return walk, data


def replay_master(size_bytes, walk):
    random.seed(SEED)
    h = make_master(size_bytes)
    h.start()
    for reply in walk:
        h.set_reply(reply)
    assert h.state is tarnwick.StateData
    h.set_fail_safe(False)
    return h


def per_call_ns(fn, calls):
    start = time.thread_time_ns()
    fn()
    return (time.thread_time_ns() - start) / calls


def median_ns(make_run, calls):
    return statistics.median(per_call_ns(make_run(), calls) for _ in range(BATCHES))


def bench_data_cycle(size_bytes, cycles):
    walk, data = record(size_bytes, cycles * BATCHES)
    h = replay_master(size_bytes, walk)
    batches = iter([data[i * cycles : (i + 1) * cycles] for i in range(BATCHES)])
    set_reply, get_request = h.set_reply, h.get_request

    def make_run():
        batch = next(batches)

        def run():
            for reply in batch:
                set_reply(reply)
                get_request()

        return run

    result = median_ns(make_run, cycles)
    assert h.state is tarnwick.StateData, "replay diverged"
    h.delete()
    return result


def bench_simple(cycles):
    walk, data = record(2, 4)
    h = replay_master(2, walk)
    h.set_reply(data[0])
    reply, get_request, set_reply = data[0], h.get_request, h.set_reply

    def get_loop():
        for _ in range(cycles):
            get_request()

    def repeat_loop():
        for _ in range(cycles):
            set_reply(reply)

    results = {
        "get_request()": median_ns(lambda: get_loop, cycles),
        "set_reply(repeated PDU)": median_ns(lambda: repeat_loop, cycles),
    }
    h.delete()
    return results


def bench_reset_cycle(cycles):
    h = make_master(2)
    h.start()
    # A SESSION reply in Reset: RESET_STAY1, a new Reset request; two alternate.
    replies = [bytes([0x4E, i, 0, 0, 0, 0, 0]) for i in (1, 2)]
    set_reply, get_request = h.set_reply, h.get_request

    def loop():
        for i in range(cycles):
            set_reply(replies[i & 1])
            get_request()

    result = median_ns(lambda: loop, cycles)
    h.delete()
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cycles", type=int, default=20000, help="calls per batch")
    args = parser.parse_args()
    print(f"Python {sys.version.split()[0]}, median of {BATCHES} batches of {args.cycles}")
    for name, ns in bench_simple(args.cycles).items():
        print(f"  {name:<40} {ns:8.1f} ns")
    print(f"  {'Reset-state reply cycle':<40} {bench_reset_cycle(args.cycles):8.1f} ns")
    for size in (1, 2, 4, 16):
        ns = bench_data_cycle(size, args.cycles)
        print(f"  {f'Data cycle, {size} safe-data bytes':<40} {ns:8.1f} ns")


if __name__ == "__main__":
    main()
