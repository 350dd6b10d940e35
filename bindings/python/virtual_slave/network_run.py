"""``python -m virtual_slave --slaves N``: N master/device pairs on one simulated
network, each with its own connection id, slave address and fault-injecting link,
on the deterministic clock.

Each connection walks to Data, then takes the faults given, one after another: a
fault is injected once the connection has been in Data for a few cycles, and
watched until it is handled (at least its own duration, the watchdog time and two
cycles, and until the connection is back in Data). The summary lists every injection with how it was
handled and how many cycles the connection took to fail-safe and back to Data. The
exit status is 0 only when no fault was accepted and every connection that dropped
to fail-safe reconnected.
"""

from __future__ import annotations

import random
from dataclasses import dataclass
from typing import IO, TYPE_CHECKING, Any

from virtual_slave import campaign

if TYPE_CHECKING:
    from virtual_slave.link import Link
    from virtual_slave.network import Connection, FrameSink, Network
    from virtual_slave.timeline import Timeline, Track

LINK_FAULTS = (
    "corruption",
    "repetition",
    "sequence",
    "loss",
    "delay",
    "insertion",
    "masquerade",
    "addressing",
)
# The single pair's faults, as a link throws them at a pair of the network.
CLASSIC_FAULTS = ("crc", "connid", "watchdog")
SETTLE_CYCLES = 5  # cycles in Data before the next fault
CONNECTION_ID_BYTES = 2  # the last two bytes of every frame
SLAVE_ADDRESS_BASE = 0x100  # pair i talks to the slave at 0x101, 0x102, ...
SHORT_FRAME_BYTES = 6  # a frame of 1 safe-data byte: its CRC starts at byte 2, else at 3


@dataclass
class Record:
    """One injection and how the connection handled it."""

    cycle: int
    fault: str
    direction: str
    outcome: str = "pending"
    to_fail_safe: int | None = None  # cycles from the injection to leaving Data
    to_data: int | None = None  # cycles from the injection back to Data


class Driver:
    """Throws the faults at one connection, one at a time, and watches each."""

    def __init__(self, connection: Connection, link: Link, neighbour: Link | None,
                 faults: list[str], rng: random.Random, watchdog_cycles: int) -> None:  # fmt: skip
        self.connection = connection
        self.link = link
        self.neighbour = neighbour
        self.faults = list(faults)
        self.rng = rng
        self.watchdog_cycles = watchdog_cycles
        self.records: list[Record] = []
        self.first_data: int | None = None
        self._in_data_since: int | None = None
        self._watch: tuple[Record, str, dict[str, Any], int, int] | None = None
        self._long = False

    def done(self) -> bool:
        return not self.faults and self._watch is None and self.connection.in_data()

    def after_step(self, cycle: int) -> None:
        in_data = self.connection.in_data()
        if in_data and self.first_data is None:
            self.first_data = cycle
        if self._watch is not None:
            self._observe(cycle, in_data)
        elif in_data:
            self._in_data_since = cycle if self._in_data_since is None else self._in_data_since
            if self.faults and cycle - self._in_data_since >= SETTLE_CYCLES:
                self._inject(cycle)
        else:
            self._in_data_since = None

    def _inject(self, cycle: int) -> None:
        name = self.faults.pop(0)
        fault, options = self._fault(name)
        direction = self.rng.choice(("request", "reply"))
        first = len(self.link.injections)
        self.link.at(self.link.cycle, fault, direction, **options)
        record = Record(cycle, name, direction)
        self.records.append(record)
        window = options.get("cycles", 0) + self.watchdog_cycles + 2
        self._watch = (record, fault, options, first, cycle + window)

    def _fault(self, name: str) -> tuple[str, dict[str, Any]]:
        frame_bits = 8 * len(self.connection.master.get_request())
        if name == "crc":  # one bit of the frame's first CRC
            crc_byte = 2 if frame_bits == 8 * SHORT_FRAME_BYTES else 3
            return "corruption", {"bits": [8 * crc_byte]}
        if name == "connid":
            return "masquerade", {}
        if name == "watchdog":
            return "loss", {"cycles": 2 * self.watchdog_cycles}
        if name in ("masquerade", "addressing") and self.neighbour is None:
            if name == "masquerade":
                return "masquerade", {}
            return "addressing", {"frame": self._frame_for_another_device()}
        self._long = not self._long if name in ("loss", "delay") else self._long
        neighbour = self.neighbour if self.neighbour is not None else self.link
        return campaign.fault_for(name, self.rng, frame_bits, neighbour, self._long,
                                  self.watchdog_cycles)  # fmt: skip

    def _frame_for_another_device(self) -> bytes:
        frame = self.connection.master.get_request()
        other = (int.from_bytes(frame[-CONNECTION_ID_BYTES:], "little") + 1) & 0xFFFF or 1
        return frame[:-CONNECTION_ID_BYTES] + other.to_bytes(CONNECTION_ID_BYTES, "little")

    def _observe(self, cycle: int, in_data: bool) -> None:
        assert self._watch is not None
        record, fault, options, first, end = self._watch
        if not in_data and record.to_fail_safe is None:
            record.to_fail_safe = cycle - record.cycle
        if in_data and record.to_fail_safe is not None and record.to_data is None:
            record.to_data = cycle - record.cycle
        watched_out = cycle >= end and (record.to_fail_safe is None or record.to_data is not None)
        if not watched_out:
            return
        fresh = any(i.applied and i.delivered is not None and i.delivered != i.original
                    and fault not in ("repetition", "loss", "delay")
                    for i in self.link.injections[first:])  # fmt: skip
        name = record.fault if record.fault in LINK_FAULTS else fault
        left = record.to_fail_safe is not None
        record.outcome = campaign.classify(name, options, left, fresh, self.watchdog_cycles)
        self._watch = None
        self._in_data_since = None


def run(args: Any, out: IO[str], capture: FrameSink | None = None,
        timeline: Timeline | None = None) -> int:  # fmt: skip
    """The network mode of the simulation command; returns the exit status. With
    `capture`, every frame delivered on the network is written to it; with `timeline`,
    each connection's states, faults and resets are recorded in it."""
    from virtual_slave.link import Link
    from virtual_slave.network import Network
    from virtual_slave.testing import add_pair

    random.seed(args.seed)  # the masters' session ids
    watchdog_ms = args.watchdog_ms
    network: Network = Network(args.cycle_us, capture=capture)
    links = [Link(seed=args.seed + i) for i in range(args.slaves)]
    drivers: list[Driver] = []
    try:
        for i, link in enumerate(links):
            connection = add_pair(network, args.size, watchdog_s=watchdog_ms / 1000,
                                  connection_id=i + 1, slave_address=SLAVE_ADDRESS_BASE + i + 1,
                                  link=link, connect=False)  # fmt: skip
            neighbour = links[(i + 1) % len(links)] if len(links) > 1 else None
            watchdog_cycles = max(1, watchdog_ms * 1000 // args.cycle_us)
            rng = random.Random(args.seed * 1000 + i)
            drivers.append(Driver(connection, link, neighbour, args.faults, rng, watchdog_cycles))
        print(f"FSoE network: {args.slaves} pair(s) of {args.size} safe-data bytes each way, "
              f"watchdog {watchdog_ms} ms, cycle {args.cycle_us} us, seed {args.seed}; "
              f"faults: {', '.join(args.faults) or 'none'}", file=out)  # fmt: skip
        tracks = [] if timeline is None else [timeline.track(d.connection.name) for d in drivers]
        for _ in range(args.cycles):
            network.step()
            for driver in drivers:
                driver.after_step(network.cycle)
            if tracks:
                observe(tracks, drivers, network.cycle)
        if timeline is not None:
            timeline.cycles = network.cycle
            for track, driver in zip(tracks, drivers):
                track.faults = [(r.cycle, r.fault) for r in driver.records]
        return summary(drivers, network.cycle, out)
    finally:
        for connection in network.connections:
            connection.master.delete()


def observe(tracks: list[Track], drivers: list[Driver], cycle: int) -> None:
    """Each connection's states after `cycle`. A master that went back in its walk
    (Reset, Session, ... Data) was reset: its error, marked even when the Reset
    state lasted less than the cycle."""
    from virtual_slave.timeline import STATES, state_name

    for track, driver in zip(tracks, drivers):
        before = track.master[-1][1] if track.master else STATES[0]
        connection = driver.connection
        device = connection.device.state.name  # type: ignore[attr-defined]
        master = state_name(connection.master.state.__name__)
        track.observe(cycle, master, device=state_name(device))
        if master != before and STATES.index(master) <= STATES.index(before):
            track.errors.append((cycle, "reset"))


def summary(drivers: list[Driver], cycles: int, out: IO[str]) -> int:
    ok = True
    totals = dict.fromkeys((*campaign.OUTCOMES, "pending"), 0)
    for driver in drivers:
        c = driver.connection
        session = c.master.master.session
        first = "never" if driver.first_data is None else f"at cycle {driver.first_data}"
        print(f"connection {c.name} (connection id {session.connection_id.value:#06x}, "
              f"slave {session.slave_address.value:#06x}): in Data {first}", file=out)  # fmt: skip
        ok = ok and driver.first_data is not None and driver.done()
        for r in driver.records:
            totals[r.outcome] += 1
            timing = ""
            if r.outcome == "pending":
                timing = "  not yet classified: the cycles ran out while it was watched"
            elif r.to_fail_safe is not None:
                back = (
                    "never back in Data" if r.to_data is None else f"back in Data after {r.to_data}"
                )
                timing = f"  fail-safe after {r.to_fail_safe} cycles, {back}"
                ok = ok and r.to_data is not None
            print(f"  cycle {r.cycle:>6}  {r.fault:<11} {r.direction:<8} {r.outcome:<10}{timing}",
                  file=out)  # fmt: skip
            ok = ok and r.outcome not in ("accepted", "pending")
    counts = ", ".join(f"{n} {k}" for k, n in totals.items() if n or k != "pending")
    verdict = "every fault handled" if ok else "NOT every fault handled or reconnected"
    print(f"summary after {cycles} cycles: {sum(totals.values())} injections: {counts}; {verdict}",
          file=out)  # fmt: skip
    return 0 if ok else 1
