"""A fault-injecting channel between an FSoE master and a device.

A `Link` sits on one connection and carries its frames in both directions: the
master's requests to the device (`request()`) and the device's replies back
(`reply()`). It owns neither endpoint; the driver hands each frame through it and
passes on what comes out. Left alone it delivers every frame unchanged. Faults are
scheduled for a cycle (`at()`) or drawn with a probability from the link's own seeded
random source (`random()`); every frame a fault touches is written to `injections`.

The link counts bus cycles: the driver calls `step()` once per exchange, after the
reply. Nothing here is certified safety software; it exists to test one.
"""

from __future__ import annotations

import enum
import math
import random as _random
from collections import deque
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import Any, Callable, Union

import tarnwick

__all__ = ["Direction", "Fault", "Injection", "Link"]

# The longest frame the master takes: 16 safe-data bytes are 35 bytes, and one spare
# byte of a padded device reply travels with them.
MAX_FRAME_BYTES = 36
HISTORY = 32  # distinct frames kept per direction for repetition and reordering


class Direction(enum.Enum):
    """Which way a frame travels: master to device, device to master, or both."""

    REQUEST = "request"
    REPLY = "reply"
    BOTH = "both"


class Fault(enum.Enum):
    """The communication errors a link injects."""

    CORRUPTION = "corruption"  # bits flipped
    REPETITION = "repetition"  # the frame delivered last, again
    SEQUENCE = "sequence"  # an older frame of the sender after newer ones
    LOSS = "loss"  # nothing delivered for some cycles or some time
    DELAY = "delay"  # the frame held back for some cycles, frames behind it queue
    INSERTION = "insertion"  # a forged frame with valid CRCs for a wrong seed
    MASQUERADE = "masquerade"  # another connection's frame posing as this one's
    ADDRESSING = "addressing"  # a frame meant for another device


# Options each fault accepts, with their defaults (None: chosen when the fault fires).
_OPTIONS: dict[Fault, dict[str, Any]] = {
    Fault.CORRUPTION: {"bits": None, "count": None},
    Fault.REPETITION: {},
    Fault.SEQUENCE: {"age": 2},
    Fault.LOSS: {"cycles": None, "ms": None},
    Fault.DELAY: {"cycles": 1},
    Fault.INSERTION: {"data": None, "sequence_number": None, "crc0": None},
    Fault.MASQUERADE: {"source": None, "connection_id": None},
    Fault.ADDRESSING: {"source": None, "frame": None},
}

FaultName = Union[Fault, str]
DirectionName = Union[Direction, str]


@dataclass(frozen=True)
class Injection:
    """One frame a fault acted on.

    `original` is what the sender handed to the link, `delivered` what the receiver
    got in its place (None: nothing). `applied` is False when the fault fired but
    could not act on this frame (no earlier frame to repeat, a frame the codec cannot
    read); the frame then passed as it was and `details["skipped"]` says why. A frame
    dropped by a loss that began earlier, or held behind a delayed one, is recorded
    too, with `details["since"]` the cycle the fault began.
    """

    cycle: int
    direction: Direction
    fault: Fault
    details: Mapping[str, Any]
    original: bytes
    delivered: bytes | None
    applied: bool = True


@dataclass
class _Plan:
    fault: Fault
    options: dict[str, Any]
    cycle: int = 0
    p: float = 0.0


@dataclass
class _Queued:
    due: int
    frame: bytes
    since: int  # the cycle of the fault that put it there, or its own cycle


@dataclass
class _Channel:
    history: deque[bytes] = field(default_factory=lambda: deque(maxlen=HISTORY))
    last_delivered: bytes | None = None
    queue: deque[_Queued] = field(default_factory=deque)
    scheduled: list[_Plan] = field(default_factory=list)
    random: list[_Plan] = field(default_factory=list)
    loss_until_cycle: int | None = None
    loss_until_us: int | None = None
    loss_since: int = 0
    last_length: int | None = None


def _fault(value: object) -> Fault:
    if isinstance(value, Fault):
        return value
    if isinstance(value, str):
        try:
            return Fault(value.lower())
        except ValueError:
            pass
        names = ", ".join(f.value for f in Fault)
        raise ValueError(f"unknown fault {value!r} (faults: {names})")
    raise TypeError(f"fault must be a Fault or its name, got {type(value).__name__}")


def _direction(value: object, both: bool) -> Direction:
    if isinstance(value, str) and not isinstance(value, Direction):
        try:
            value = Direction(value.lower())
        except ValueError:
            raise ValueError(f"unknown direction {value!r} (request, reply or both)") from None
    if not isinstance(value, Direction):
        raise TypeError(f"direction must be a Direction or its name, got {type(value).__name__}")
    if value is Direction.BOTH and not both:
        raise ValueError("a frame travels one way: direction must be request or reply")
    return value


def _integer(name: str, value: object, minimum: int, maximum: int | None = None) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {value}")
    if maximum is not None and value > maximum:
        raise ValueError(f"{name} must be at most {maximum}, got {value}")
    return value


def _number(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")
    return float(value)


def _flip(frame: bytes, bits: Sequence[int]) -> bytes:
    data = bytearray(frame)
    for bit in bits:
        data[bit // 8] ^= 1 << (bit % 8)
    return bytes(data)


def _parse(frame: bytes) -> tarnwick.FSOEFrame | None:
    """The frame as the codec reads it, or None when it holds no safe data."""
    if not 6 <= len(frame) <= MAX_FRAME_BYTES:
        return None
    parsed = tarnwick.FSOEFrame.frame_from_array(frame)
    return parsed if parsed.safe_data_size_bytes else None


def _serialise(parsed: tarnwick.FSOEFrame, like: bytes) -> bytes:
    """The frame's bytes at the length of `like` (a padded reply keeps its spare byte)."""
    wire = parsed.frame_to_array()
    return wire + like[len(wire) :]


class Link:
    """A fault-injecting black channel for one connection.

    `seed` seeds the link's own random source (random faults, random bits, guessed
    sequence numbers and seeds), so a run repeats exactly. `clock`, a callable
    returning seconds, is needed only for a loss measured in milliseconds.
    """

    def __init__(self, seed: int = 0, clock: Callable[[], float] | None = None) -> None:
        if isinstance(seed, bool) or not isinstance(seed, int):
            raise TypeError(f"seed must be an int, got {type(seed).__name__}")
        if clock is not None and not callable(clock):
            raise TypeError(f"clock must be callable or None, got {type(clock).__name__}")
        self._rng = _random.Random(seed)
        self._clock = clock
        self._cycle = 0
        self._channels = {Direction.REQUEST: _Channel(), Direction.REPLY: _Channel()}
        self._injections: list[Injection] = []

    # -- the exchange ----------------------------------------------------------------

    @property
    def cycle(self) -> int:
        """The current cycle, 0 until the first `step()`."""
        return self._cycle

    def step(self) -> int:
        """Ends the cycle: call once per exchange, after the reply. Returns the new cycle."""
        self._cycle += 1
        return self._cycle

    def request(self, frame: bytes) -> bytes | None:
        """The master's request in; what reaches the device out, or None for nothing."""
        return self._carry(Direction.REQUEST, frame)

    def reply(self, frame: bytes) -> bytes | None:
        """The device's reply in; what reaches the master out, or None for nothing."""
        return self._carry(Direction.REPLY, frame)

    def last(self, direction: DirectionName) -> bytes | None:
        """The last frame a sender handed to this link in `direction`, or None."""
        history = self._channels[_direction(direction, both=False)].history
        return history[-1] if history else None

    @property
    def injections(self) -> tuple[Injection, ...]:
        """Every frame a fault acted on, in the order they passed."""
        return tuple(self._injections)

    @property
    def pending(self) -> tuple[tuple[int, Direction, Fault], ...]:
        """Scheduled faults that have not fired yet: (cycle, direction, fault)."""
        waiting = [
            (plan.cycle, direction, plan.fault)
            for direction, channel in self._channels.items()
            for plan in channel.scheduled
        ]
        return tuple(sorted(waiting, key=lambda w: (w[0], w[1].value)))

    def __repr__(self) -> str:
        return (
            f"<Link cycle {self._cycle}, {len(self._injections)} injections, "
            f"{len(self.pending)} pending>"
        )

    # -- scheduling ------------------------------------------------------------------

    def clear(self) -> None:
        """Drops every scheduled and random fault. A loss already running and frames
        already held back run their course; the records stay."""
        for channel in self._channels.values():
            channel.scheduled.clear()
            channel.random.clear()

    def at(self, cycle: int, fault: FaultName, direction: DirectionName, **options: Any) -> None:
        """Injects `fault` into the first frame of `direction` at or after `cycle`.

        A frame takes one scheduled fault; faults scheduled for the same cycle and
        direction act on the following frames in the order they were scheduled.
        """
        _integer("cycle", cycle, 0)
        if cycle < self._cycle:
            raise ValueError(f"cycle {cycle} is in the past (the link is at cycle {self._cycle})")
        kind = _fault(fault)
        plans = [(way, self._options(kind, way, options)) for way in self._ways(direction)]
        for way, checked in plans:  # all checked before any is kept
            channel = self._channels[way]
            channel.scheduled.append(_Plan(kind, checked, cycle=cycle))
            channel.scheduled.sort(key=lambda p: p.cycle)  # stable: same cycle keeps order

    def random(
        self, fault: FaultName, p: float, direction: DirectionName = Direction.BOTH, **options: Any
    ) -> None:
        """Injects `fault` into each frame of `direction` with probability `p`.

        Draws are made for frames that no scheduled fault or running loss takes, in
        the order the faults were added; the first that hits acts on the frame.
        """
        kind = _fault(fault)
        probability = _number("p", p)
        if not 0.0 <= probability <= 1.0:
            raise ValueError(f"p must be within [0, 1], got {p}")
        plans = [(way, self._options(kind, way, options)) for way in self._ways(direction)]
        for way, checked in plans:
            self._channels[way].random.append(_Plan(kind, checked, p=probability))

    def _ways(self, direction: DirectionName) -> tuple[Direction, ...]:
        way = _direction(direction, both=True)
        return (Direction.REQUEST, Direction.REPLY) if way is Direction.BOTH else (way,)

    def _options(self, fault: Fault, way: Direction, given: Mapping[str, Any]) -> dict[str, Any]:
        accepted = _OPTIONS[fault]
        for key in given:
            if key not in accepted:
                names = ", ".join(accepted) or "none"
                raise TypeError(f"{fault.value} takes no option {key!r} (options: {names})")
        options = dict(accepted)
        options.update(given)
        check = getattr(self, f"_check_{fault.value}", None)
        if check is not None:
            check(options, way)
        return options

    def _check_corruption(self, options: dict[str, Any], way: Direction) -> None:
        bits, count = options["bits"], options["count"]
        if bits is not None and count is not None:
            raise ValueError("corruption takes bits or count, not both")
        length = self._channels[way].last_length or MAX_FRAME_BYTES
        if bits is None:
            # More distinct bits than the frame has cannot be flipped.
            options["count"] = _integer("count", 1 if count is None else count, 1, 8 * length)
            return
        if isinstance(bits, (str, bytes)) or not isinstance(bits, Sequence):
            raise TypeError(f"bits must be a sequence of bit positions, got {type(bits).__name__}")
        if not bits:
            raise ValueError("bits must name at least one bit")
        for bit in bits:
            _integer("a bit position", bit, 0)
            if bit >= 8 * length:
                raise ValueError(
                    f"bit {bit} is beyond the {length}-byte frame of the {way.value} direction"
                )
        if len(set(bits)) != len(bits):
            raise ValueError("bits must be distinct: a bit flipped twice is not flipped")
        options["bits"] = tuple(bits)

    def _check_sequence(self, options: dict[str, Any], way: Direction) -> None:
        _integer("age", options["age"], 2, HISTORY - 1)

    def _check_loss(self, options: dict[str, Any], way: Direction) -> None:
        cycles, ms = options["cycles"], options["ms"]
        if cycles is not None and ms is not None:
            raise ValueError("loss lasts cycles or ms, not both")
        if ms is None:
            options["cycles"] = _integer("cycles", 1 if cycles is None else cycles, 1)
            return
        duration = _number("ms", ms)
        if not (math.isfinite(duration) and duration > 0):
            raise ValueError(f"ms must be a positive number, got {ms}")
        if self._clock is None:
            raise ValueError("a loss in ms needs a Link made with clock=")
        options["ms"] = duration

    def _check_delay(self, options: dict[str, Any], way: Direction) -> None:
        _integer("cycles", options["cycles"], 1)

    def _check_insertion(self, options: dict[str, Any], way: Direction) -> None:
        data = options["data"]
        if data is not None:
            if not isinstance(data, bytes):
                raise TypeError(f"data must be bytes, got {type(data).__name__}")
            if not 1 <= len(data) <= tarnwick.MAX_DATA_BYTES:
                raise ValueError(f"data must be 1 to 16 bytes, got {len(data)}")
        for name in ("sequence_number", "crc0"):
            if options[name] is not None:
                _integer(name, options[name], 0, 0xFFFF)

    def _check_masquerade(self, options: dict[str, Any], way: Direction) -> None:
        source, connection_id = options["source"], options["connection_id"]
        if source is not None and connection_id is not None:
            raise ValueError("masquerade takes source or connection_id, not both")
        if source is not None:
            self._check_source(source)
        if connection_id is not None:
            _integer("connection_id", connection_id, 0, 0xFFFF)

    def _check_addressing(self, options: dict[str, Any], way: Direction) -> None:
        source, frame = options["source"], options["frame"]
        if (source is None) == (frame is None):
            raise ValueError("addressing takes source (another Link) or frame (bytes)")
        if source is not None:
            self._check_source(source)
        elif not isinstance(frame, bytes):
            raise TypeError(f"frame must be bytes, got {type(frame).__name__}")
        elif len(frame) > MAX_FRAME_BYTES:
            raise ValueError(f"frame must be at most {MAX_FRAME_BYTES} bytes, got {len(frame)}")

    def _check_source(self, source: object) -> None:
        if not isinstance(source, Link):
            raise TypeError(f"source must be a Link, got {type(source).__name__}")
        if source is self:
            raise ValueError("source must be another connection's Link")

    # -- carrying a frame ------------------------------------------------------------

    def _carry(self, way: Direction, frame: bytes) -> bytes | None:
        if not isinstance(frame, bytes):
            raise TypeError(f"frame must be bytes, got {type(frame).__name__}")
        channel = self._channels[way]
        cycle = self._cycle
        if not channel.history or channel.history[-1] != frame:
            channel.history.append(frame)
        channel.last_length = len(frame)

        entering: bytes | None = frame
        due = cycle
        since = cycle
        fault: Fault | None = None
        details: dict[str, Any] = {}
        applied = True
        if self._losing(channel, cycle):
            entering, fault = None, Fault.LOSS
            since = channel.loss_since
            details["since"] = since
        else:
            plan = self._next_plan(channel, cycle)
            if plan is not None:
                fault = plan.fault
                entering, delay, details = self._inject(plan, way, channel, frame)
                due += delay
                applied = "skipped" not in details

        if channel.queue:  # held behind a delayed frame: the delay's doing
            since = channel.queue[0].since
        if entering is not None and not (channel.queue and channel.queue[-1].frame == entering):
            channel.queue.append(_Queued(due, entering, since))
        delivered: bytes | None = None
        if channel.queue and channel.queue[0].due <= cycle:
            head = channel.queue.popleft()
            delivered = head.frame
            if fault is None and delivered != frame:
                fault, details = Fault.DELAY, {"since": head.since}
        elif fault is None and channel.queue:
            fault, details = Fault.DELAY, {"since": channel.queue[0].since}
        if delivered is not None:
            channel.last_delivered = delivered
        if fault is not None:
            self._injections.append(
                Injection(cycle, way, fault, MappingProxyType(details), frame, delivered, applied)
            )
        return delivered

    def _losing(self, channel: _Channel, cycle: int) -> bool:
        if channel.loss_until_cycle is not None and cycle < channel.loss_until_cycle:
            return True
        if channel.loss_until_us is not None:
            if self._now_us() < channel.loss_until_us:
                return True
            channel.loss_until_us = None
        return False

    def _now_us(self) -> int:
        """The clock in whole microseconds, as the master rounds it: a loss of 48 ms
        from 0.001 s ends at 0.049 s, whatever the binary fractions make of it."""
        assert self._clock is not None  # a loss in ms is refused without a clock
        now = _number("the clock's reading", self._clock())
        if not math.isfinite(now):
            raise ValueError(f"the clock read {now}")
        return round(now * 1e6)

    def _next_plan(self, channel: _Channel, cycle: int) -> _Plan | None:
        if channel.scheduled and channel.scheduled[0].cycle <= cycle:
            return channel.scheduled.pop(0)
        hit = None
        for plan in channel.random:  # one draw per rule and frame keeps runs repeatable
            if self._rng.random() < plan.p and hit is None:
                hit = plan
        return hit

    def _inject(
        self, plan: _Plan, way: Direction, channel: _Channel, frame: bytes
    ) -> tuple[bytes | None, int, dict[str, Any]]:
        """What enters the channel in place of `frame`, its delay in cycles, and the
        details to record."""
        options = plan.options
        fault = plan.fault
        if fault is Fault.CORRUPTION:
            if options["bits"] is not None:
                bits = sorted(b for b in options["bits"] if b < 8 * len(frame))
            else:
                bits = sorted(
                    self._rng.sample(range(8 * len(frame)), min(options["count"], 8 * len(frame)))
                )
            if not bits:
                return frame, 0, {"skipped": "no bit of the frame to flip"}
            return _flip(frame, bits), 0, {"bits": tuple(bits)}
        if fault is Fault.REPETITION:
            if channel.last_delivered is None:
                return frame, 0, {"skipped": "no frame delivered before"}
            return channel.last_delivered, 0, {}
        if fault is Fault.SEQUENCE:
            age = options["age"]
            if len(channel.history) <= age:
                return frame, 0, {"skipped": f"fewer than {age} earlier frames", "age": age}
            return channel.history[-1 - age], 0, {"age": age}
        if fault is Fault.LOSS:
            channel.loss_since = self._cycle
            if options["ms"] is not None:
                channel.loss_until_us = self._now_us() + round(options["ms"] * 1000)
                return None, 0, {"ms": options["ms"]}
            channel.loss_until_cycle = self._cycle + options["cycles"]
            return None, 0, {"cycles": options["cycles"]}
        if fault is Fault.DELAY:
            return frame, options["cycles"], {"cycles": options["cycles"]}
        if fault is Fault.INSERTION:
            return self._forge(frame, options)
        source = options["source"]
        foreign: bytes | None = None
        if source is not None:
            foreign = source.last(way)
            if foreign is None:
                return frame, 0, {"skipped": "the source link has carried no frame"}
        if fault is Fault.ADDRESSING:
            return (options["frame"] if foreign is None else foreign), 0, {}
        return self._masquerade(frame, foreign, options)

    def _forge(
        self, frame: bytes, options: dict[str, Any]
    ) -> tuple[bytes | None, int, dict[str, Any]]:
        """A frame with this frame's command and connection id, built by the codec with
        valid CRCs over a guessed sequence number and CRC_0 seed."""
        parsed = _parse(frame)
        if parsed is None:
            return frame, 0, {"skipped": "no safe data in the frame to forge"}
        size = parsed.safe_data_size_bytes
        current = bytes(parsed.safe_data[i // 2] >> 8 * (i % 2) & 0xFF for i in range(size))
        data = options["data"]
        data = bytes(b ^ 0xFF for b in current) if data is None else data[:size].ljust(size, b"\0")
        for i in range(0, size, 2):
            parsed.safe_data[i // 2] = data[i] | (data[i + 1] << 8 if i + 1 < size else 0)
        sequence_number = options["sequence_number"]
        if sequence_number is None:
            sequence_number = self._rng.randrange(1, 0x10000)
        crc0 = options["crc0"]
        if crc0 is None:
            crc0 = self._rng.randrange(0x10000)
        parsed.control.sequence_number = sequence_number
        for _ in range(0x10000):  # a copy of the sender's own frame would be no insertion
            parsed.control.crc0 = crc0
            parsed.generate_crcs()
            forged = _serialise(parsed, frame)
            if forged != frame:
                break
            crc0 = (crc0 + 1) & 0xFFFF
        return forged, 0, {"data": data, "sequence_number": sequence_number, "crc0": crc0}

    def _masquerade(
        self, frame: bytes, foreign: bytes | None, options: dict[str, Any]
    ) -> tuple[bytes | None, int, dict[str, Any]]:
        """Another connection's frame under this one's connection id, or this frame
        under another connection id (CRCs as they were)."""
        own = _parse(frame)
        if own is None:
            return frame, 0, {"skipped": "no connection id in the frame"}
        if foreign is not None:
            other = _parse(foreign)
            if other is None:
                return frame, 0, {"skipped": "no connection id in the source's frame"}
            taken = other.control.connection_id
            other.control.connection_id = own.control.connection_id
            return _serialise(other, foreign), 0, {"from_connection_id": taken}
        connection_id = options["connection_id"]
        if connection_id is None:
            connection_id = own.control.connection_id ^ self._rng.randrange(1, 0x10000)
        if connection_id == own.control.connection_id:
            return frame, 0, {"skipped": "the frame already carries that connection id"}
        own.control.connection_id = connection_id
        return _serialise(own, frame), 0, {"connection_id": connection_id}
