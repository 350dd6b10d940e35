"""Four drives on a simulated safety network: one link corrupts a reply, another
loses frames for longer than the watchdog; both drop to fail-safe and reconnect while
the others keep their safe data flowing.

    python examples/simulated_network.py
"""

from __future__ import annotations

import random

from virtual_slave import Fault, Link, Network
from virtual_slave.testing import add_pair

OUT_BYTES, IN_BYTES = 4, 8  # the sizes of a drive's safe process image each way
WATCHDOG_S = 0.05
RUN_CYCLES = 200


def main() -> None:
    random.seed(1)  # the masters' session ids: the same run every time
    network = Network(cycle_us=1000)
    links = [Link(seed=n) for n in range(4)]
    drives = [add_pair(network, OUT_BYTES, IN_BYTES, watchdog_s=WATCHDOG_S, link=link)
              for link in links]  # fmt: skip
    try:
        links[1].at(links[1].cycle + 10, Fault.CORRUPTION, "reply", bits=[9])
        links[2].at(links[2].cycle + 20, Fault.LOSS, "request", cycles=80)
        network.run(RUN_CYCLES)
        for drive in drives:
            changes = drive.history[1:]  # the first entry is the state when it was added
            dropped = [cycle for cycle, state in changes if state.__name__ == "StateReset"]
            print(f"{drive.name}: {drive.state.__name__}, dropped at cycles {dropped}")
    finally:
        for drive in drives:
            drive.master.delete()


if __name__ == "__main__":
    main()
