"""Cost of a simulated network step per master/device pair (run on demand).

    python benchmarks/bench_network.py [--pairs 128] [--steps 200]

Three ways to step the same pairs in Data, each the median of batches of thread CPU
time: the native step (no link), the Python step (a pass-through link on every
pair, so each frame passes through Python), and a `Link` with no fault scheduled on
every pair.
"""

import argparse
import statistics
import sys
import time

from virtual_slave import Link, Network
from virtual_slave.testing import add_pair

BATCHES = 9
DEFAULT_PAIRS = 128
DEFAULT_STEPS = 200
SAFE_DATA_BYTES = 2
WATCHDOG_S = 10.0  # long enough that no batch is cut short by an expiry


class PassThrough:
    def request(self, frame):
        return frame

    def reply(self, frame):
        return frame

    def step(self):
        pass


def per_pair_ns(make_link, pairs, steps):
    net = Network()
    try:
        for _ in range(pairs):
            add_pair(net, SAFE_DATA_BYTES, watchdog_s=WATCHDOG_S, link=make_link())
        net.run(10)
        samples = []
        for _ in range(BATCHES):
            start = time.thread_time_ns()
            net.run(steps)
            samples.append((time.thread_time_ns() - start) / (steps * pairs))
        assert net.all_in_data()
        return statistics.median(samples)
    finally:
        for c in net.connections:
            c.master.delete()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pairs", type=int, default=DEFAULT_PAIRS)
    parser.add_argument("--steps", type=int, default=DEFAULT_STEPS)
    args = parser.parse_args(argv)
    print(f"Python {sys.version.split()[0]}, {args.pairs} pairs of {SAFE_DATA_BYTES} bytes")
    for name, make_link in (
        ("native step (no link)", lambda: None),
        ("Python step (pass-through link)", PassThrough),
        ("Link on every pair", Link),
    ):
        ns = per_pair_ns(make_link, args.pairs, args.steps)
        print(f"  {name:<34} {ns:8.0f} ns per pair and cycle")


if __name__ == "__main__":
    main()
