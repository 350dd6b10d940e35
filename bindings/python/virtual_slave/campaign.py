"""A black-channel campaign: each class of communication error thrown many times at
master/device pairs of each size, and how each injection was handled.

    python -m virtual_slave.campaign --trials 200 --sizes 1,2,4,8,16

Every trial waits for the connection to be in Data, injects one fault through the
pair's `Link` and watches the next cycles. An injection is

- *detected* when the master leaves Data (a failure transition; its inputs are at
  their fail-safe values) and the pair then reconnects,
- *discarded* when the receiver got nothing new: a repeated frame, which it ignores,
- *tolerated* when a loss or delay shorter than the watchdog time passes without a
  reset (the connection waits, as designed),
- *accepted* when a frame the sender never produced got through as new data: the
  connection stayed in Data although the receiver took a changed frame.

The exit status is 0 only when no class that must never be accepted was accepted,
and every detected fault was followed by a reconnection.
"""

from __future__ import annotations

import argparse
import random
import sys
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from virtual_slave.link import Link
    from virtual_slave.network import Connection, Network

SIZES = (1, 2, 4, 8, 16)
WATCHDOG_S = 0.05
CYCLE_US = 1000
WATCHDOG_CYCLES = int(WATCHDOG_S * 1e6) // CYCLE_US
SETTLE_CYCLES = 3  # cycles in Data before a fault, so both sides are past the handshake
RECONNECT_LIMIT = 200  # cycles a detected fault may take to be back in Data
CRC_BITS = 16
# Classes whose frames must never be accepted. Corruption of up to 3 bits is
# always detected: the block CRC's Hamming distance is 4.
MUST_NOT_ACCEPT = (
    "corruption",
    "repetition",
    "sequence",
    "loss",
    "delay",
    "masquerade",
    "addressing",
)
CLASSES = (*MUST_NOT_ACCEPT, "corruption-many", "insertion")
OUTCOMES = ("detected", "discarded", "tolerated", "accepted")


@dataclass
class Tally:
    """The injections of one class at one size, by outcome."""

    injected: int = 0
    counts: dict[str, int] = field(default_factory=lambda: dict.fromkeys(OUTCOMES, 0))
    not_reconnected: int = 0

    def add(self, outcome: str) -> None:
        self.injected += 1
        self.counts[outcome] += 1


def residual_rate(size: int) -> float:
    """The chance that a random error pattern passes every CRC of a frame with `size`
    safe-data bytes: 2^-16 per CRC block."""
    blocks = max(1, size // 2)
    return float(2.0 ** (-CRC_BITS * blocks))


def fault_for(name: str, rng: random.Random, frame_bits: int, neighbour: Link, long: bool,
              watchdog_cycles: int = WATCHDOG_CYCLES) -> tuple[str, dict[str, Any]]:  # fmt: skip
    """The Link fault and options a trial of class `name` injects into frames of
    `frame_bits` bits; a loss or delay outlasts the watchdog when `long`, else it is
    shorter."""
    # Bits of the FSoE frame itself: a device's reply may carry a padding byte after it
    # (its reply area is read in whole words), which no CRC covers and no receiver reads.
    if name == "corruption":
        return "corruption", {"bits": rng.sample(range(frame_bits), rng.randint(1, 3))}
    if name == "corruption-many":
        count = rng.randint(4, max(4, frame_bits // 2))
        return "corruption", {"bits": rng.sample(range(frame_bits), count)}
    if name == "sequence":
        return "sequence", {"age": rng.randint(2, 4)}
    if name in ("loss", "delay"):
        span = (watchdog_cycles, 2 * watchdog_cycles) if long else (1, watchdog_cycles - 2)
        return name, {"cycles": rng.randint(*span)}
    if name in ("masquerade", "addressing"):
        return name, {"source": neighbour}
    return name, {}


def classify(name: str, options: dict[str, Any], left_data: bool, fresh: bool,
             watchdog_cycles: int = WATCHDOG_CYCLES) -> str:  # fmt: skip
    """How one injection was handled: `left_data` whether the master left Data,
    `fresh` whether a receiver got a frame that differed from the one before it."""
    if left_data:
        return "detected"
    if name in ("loss", "delay"):
        # A frame missing for n cycles leaves n + 1 cycles between accepted replies:
        # beyond that the watchdog must have expired, else the stale link was accepted.
        return "tolerated" if options["cycles"] + 1 < watchdog_cycles else "accepted"
    return "accepted" if fresh else "discarded"


class Campaign:
    """Two pairs of one size on one network: the first takes the faults, the second
    is the other connection that masquerade and addressing borrow frames from."""

    def __init__(self, size: int, seed: int) -> None:
        from virtual_slave.link import Link
        from virtual_slave.network import Network
        from virtual_slave.testing import add_pair

        self.size = size
        self.rng = random.Random(seed)
        self.trials = 0
        self.network: Network = Network(CYCLE_US)
        self.link = Link(seed=seed)
        self.neighbour = Link(seed=seed + 1)
        self.pair: Connection = add_pair(self.network, size, watchdog_s=WATCHDOG_S,
                                         link=self.link)  # fmt: skip
        add_pair(self.network, size, watchdog_s=WATCHDOG_S, link=self.neighbour)

    def close(self) -> None:
        for connection in self.network.connections:
            connection.master.delete()

    def trial(self, name: str) -> tuple[str, bool]:
        """One injection of class `name`: its outcome, and whether a detected fault
        was followed by a reconnection."""
        network, pair, link = self.network, self.pair, self.link
        network.run_until(lambda _: pair.in_data(), RECONNECT_LIMIT)
        network.run(SETTLE_CYCLES)
        frame_bits = 8 * len(pair.master.get_request())
        self.trials += 1
        long = self.trials % 2 == 0  # every other loss or delay outlasts the watchdog
        fault, options = fault_for(name, self.rng, frame_bits, self.neighbour, long)
        direction = self.rng.choice(("request", "reply"))
        first = len(link.injections)
        link.at(link.cycle, fault, direction, **options)
        window = options.get("cycles", 0) + WATCHDOG_CYCLES + 2
        left_data = False
        for _ in range(window):
            network.step()
            left_data = left_data or not pair.in_data()
        fresh = any(i.applied and i.delivered is not None and i.delivered != i.original
                    and name not in ("repetition", "loss", "delay")
                    for i in link.injections[first:])  # fmt: skip
        outcome = classify(name, options, left_data, fresh)
        reconnected = True
        if left_data:
            try:
                network.run_until(lambda _: pair.in_data(), RECONNECT_LIMIT)
            except TimeoutError:
                reconnected = False
        return outcome, reconnected


def run(
    classes: list[str], sizes: list[int], trials: int, seed: int
) -> dict[tuple[str, int], Tally]:
    results: dict[tuple[str, int], Tally] = {}
    for size in sizes:
        campaign = Campaign(size, seed + size)
        try:
            for name in classes:
                tally = results.setdefault((name, size), Tally())
                for _ in range(trials):
                    outcome, reconnected = campaign.trial(name)
                    tally.add(outcome)
                    tally.not_reconnected += not reconnected
        finally:
            campaign.close()
    return results


def report(results: dict[tuple[str, int], Tally], out: Any = None) -> bool:
    """Prints the table; True when every demand holds."""
    out = sys.stdout if out is None else out
    ok = True
    columns = ("injected", *OUTCOMES, "rate", "theory")
    print(f"{'class':<16}{'size':>5}" + "".join(f"{c:>11}" for c in columns), file=out)
    for (name, size), t in results.items():
        rate = t.counts["accepted"] / t.injected if t.injected else 0.0
        theory = f"{residual_rate(size):.1e}" if name in ("corruption-many", "insertion") else "0"
        cells = (t.injected, *(t.counts[o] for o in OUTCOMES), f"{rate:.1e}", theory)
        print(f"{name:<16}{size:>5}" + "".join(f"{c:>11}" for c in cells), file=out)
        if name in MUST_NOT_ACCEPT and t.counts["accepted"]:
            print(f"  FAIL: {name} accepted at {size} bytes", file=out)
            ok = False
        if t.not_reconnected:
            print(f"  FAIL: {t.not_reconnected} detected {name} faults without reconnection",
                  file=out)  # fmt: skip
            ok = False
    return ok


def names(text: str, allowed: tuple[str, ...], what: str) -> list[str]:
    chosen = [n.strip() for n in text.split(",") if n.strip()]
    unknown = [n for n in chosen if n not in allowed]
    if unknown or not chosen:
        raise argparse.ArgumentTypeError(
            f"unknown {what} {unknown} (choose from {', '.join(allowed)})"
        )
    return chosen


def sizes_arg(text: str) -> list[int]:
    return [int(s) for s in names(text, tuple(str(s) for s in SIZES), "size")]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m virtual_slave.campaign",
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    parser.add_argument("--trials", type=int, default=100, help="injections per class and size")
    sizes_help = f"safe-data bytes each way, of {', '.join(map(str, SIZES))}"
    parser.add_argument("--sizes", type=sizes_arg, default=list(SIZES), help=sizes_help)
    classes_help = f"error classes, of {', '.join(CLASSES)}"
    parser.add_argument(
        "--classes",
        type=lambda t: names(t, CLASSES, "class"),
        default=list(CLASSES),
        help=classes_help,
    )
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    if args.trials < 1:
        parser.error("--trials must be at least 1")
    return 0 if report(run(args.classes, args.sizes, args.trials, args.seed)) else 1


if __name__ == "__main__":
    sys.exit(main())
