"""A simulated safety network: masters, devices and the links between them, stepped
together on one hand-advanced clock.

Each step is one bus cycle for every connection; when no connection has a link and
every device is a ``VirtualSlave``, the whole step runs in native code (one Python
call per step, not per pair). Otherwise: the master's request travels
(through its link, if any) to the device, the device processes it and its reply
travels back to the master. Then the clock moves on by one cycle and every master
polls its watchdog. A frame a link does not deliver leaves the previous one on the
bus, as cyclic process data does: the receiver sees it again and ignores it as a
repetition.

The masters run on the network's clock (``MasterHandler(..., clock=net.clock)``),
without their watchdog thread, so a run is deterministic and faster than real time.

With ``capture`` set (a ``virtual_slave.CaptureWriter``), every frame a receiver is
given is written to it, stamped with the network's clock; the step then runs in
Python. Without it, nothing of the capture is run.
"""

from __future__ import annotations

from typing import Any, Callable, Protocol

import tarnwick

DEFAULT_CYCLE_US = 1000  # one millisecond per bus cycle, a common EtherCAT period
DEFAULT_RUN_LIMIT = 10_000  # cycles run_until() waits before it gives up


class Device(Protocol):
    """What the network needs of a device (a ``VirtualSlave``)."""

    def set_request(self, request: bytes) -> object: ...
    def process(self) -> object: ...
    def get_reply(self) -> bytes: ...
    def advance(self, us: int) -> object: ...


class Channel(Protocol):
    """What the network needs of a link (a ``Link``): each direction's frame in, the
    frame to deliver out (None: nothing new, the previous frame stays on the bus),
    and the end of each cycle."""

    def request(self, frame: bytes) -> bytes | None: ...
    def reply(self, frame: bytes) -> bytes | None: ...
    def step(self) -> object: ...


class FrameSink(Protocol):
    """Where a capturing network writes its frames (a ``CaptureWriter``)."""

    def write(self, frame: bytes, *, from_master: bool, slave_address: int = 0,
              time_us: int | None = None) -> object: ...  # fmt: skip


class NetworkError(Exception):
    """Connections failed during a step; the others were stepped as usual.
    ``failures`` lists ``(connection, exception)``; the first is the ``__cause__``."""

    def __init__(self, failures: list[tuple[Connection, BaseException]]) -> None:
        names = ", ".join(f"{c.name}: {e!r}" for c, e in failures)
        super().__init__(f"{len(failures)} failure(s) in the step: {names}")
        self.failures = failures


class Connection:
    """One master, its device and the link between them."""

    def __init__(self, master: tarnwick.MasterHandler, device: Device,
                 link: Channel | None, name: str, cycle: int) -> None:  # fmt: skip
        self.master = master
        self.device = device
        self._link = link
        self.name = name
        # (cycle, state class) at every change of the master's state, from its addition.
        self.history: list[tuple[int, type[tarnwick.State]]] = [(cycle, master.state)]
        self._request_on_bus: bytes | None = None
        self._reply_on_bus: bytes | None = None

    @property
    def link(self) -> Channel | None:
        """The link given to ``Network.add``, or None."""
        return self._link

    @property
    def state(self) -> type[tarnwick.State]:
        return self.master.state

    def in_data(self) -> bool:
        return self.master.state is tarnwick.StateData

    def cycles_in(self, state: type[tarnwick.State], now: int) -> int:
        """Cycles the master has spent in `state` since it was added, up to `now`."""
        total = 0
        for (start, cls), (end, _) in zip(self.history, self.history[1:] + [(now, state)]):
            if cls is state:
                total += end - start
        return total

    def _exchange(self, capture: FrameSink | None = None, time_us: int = 0) -> None:
        request: bytes | None = self.master.get_request()
        if self._link is not None and request is not None:
            request = self._link.request(request)
        if request is not None:
            self._request_on_bus = request
            if capture is not None:
                self._capture(capture, request, True, time_us)
        if self._request_on_bus is not None:
            self.device.set_request(self._request_on_bus)
        self.device.process()
        reply: bytes | None = self.device.get_reply()
        if self._link is not None and reply is not None:
            reply = self._link.reply(reply)
        if reply is not None:
            self._reply_on_bus = reply
            if capture is not None:
                self._capture(capture, reply, False, time_us)
        if self._reply_on_bus is not None:
            self.master.set_reply(self._reply_on_bus)
        if self._link is not None:
            self._link.step()

    def _capture(self, capture: FrameSink, frame: bytes, from_master: bool, time_us: int) -> None:
        address = int(self.master.master.session.slave_address.value)
        capture.write(frame, from_master=from_master, slave_address=address, time_us=time_us)

    def _record(self, cycle: int) -> None:
        state = self.master.state
        if state is not self.history[-1][1]:
            self.history.append((cycle, state))


class Network:
    """Masters, devices and links stepped together on one clock.

    ``Network(cycle_us=1000, start_s=0.0, capture=None)``; ``clock`` is the
    ``tarnwick.ManualClock`` the masters must be made with; ``cycle`` counts the steps
    taken. ``capture`` (also settable later) receives every frame delivered.
    """

    def __init__(self, cycle_us: int = DEFAULT_CYCLE_US, start_s: float = 0.0,
                 capture: FrameSink | None = None) -> None:  # fmt: skip
        if isinstance(cycle_us, bool) or not isinstance(cycle_us, int):
            raise TypeError(f"cycle_us must be an int, got {type(cycle_us).__name__}")
        if cycle_us <= 0:
            raise ValueError(f"cycle_us must be positive, got {cycle_us}")
        self.clock = tarnwick.ManualClock(start_s)
        self.cycle_us = cycle_us
        self.cycle = 0
        self._connections: list[Connection] = []
        # The native step's lists (masters, devices, their last state classes), made
        # when the connections change; None until then, () when a step needs Python.
        self._native: tuple[list[Any], list[Any], list[Any]] | tuple[()] | None = None
        self._capture: FrameSink | None = None
        self.capture = capture

    @property
    def capture(self) -> FrameSink | None:
        """Where every delivered frame is written (a ``CaptureWriter``), or None."""
        return self._capture

    @capture.setter
    def capture(self, sink: FrameSink | None) -> None:
        if sink is not None and not callable(getattr(sink, "write", None)):
            raise TypeError(f"capture must have a write() method, got {type(sink).__name__}")
        self._capture = sink
        self._native = None

    @property
    def connections(self) -> tuple[Connection, ...]:
        """The connections, in the order they were added."""
        return tuple(self._connections)

    def add(self, master: tarnwick.MasterHandler, device: Device,
            link: Channel | None = None, name: str | None = None) -> Connection:  # fmt: skip
        """Adds a connection; the master must run on this network's clock."""
        if not isinstance(master, tarnwick.MasterHandler):
            raise TypeError(f"master must be a tarnwick.MasterHandler, got {type(master).__name__}")
        if master.clock is None:
            raise ValueError(
                "The master runs its watchdog thread: make it with "
                "MasterHandler(..., clock=network.clock) to step it in a network"
            )
        if master.clock is not self.clock:
            raise ValueError("The master runs on another clock: give it clock=network.clock")
        if any(c.master is master or c.device is device for c in self._connections):
            raise ValueError("The master or the device is already in the network")
        if link is not None and any(c.link is link for c in self._connections):
            raise ValueError("The link already serves a connection: one link per connection")
        if name is not None and not isinstance(name, str):
            raise TypeError(f"name must be a str, got {type(name).__name__}")
        for method in ("set_request", "process", "get_reply", "advance"):
            if not callable(getattr(device, method, None)):
                raise TypeError(f"device has no {method}() method")
        if link is not None and not all(
            callable(getattr(link, m, None)) for m in ("request", "reply", "step")
        ):
            raise TypeError("link must have request(), reply() and step() methods")
        connection = Connection(master, device, link, name or f"#{len(self._connections)}",
                                self.cycle)  # fmt: skip
        self._connections.append(connection)
        self._native = None
        return connection

    def remove(self, connection: Connection) -> None:
        """Takes a connection out; its master and device are left as they are."""
        if connection not in self._connections:
            raise ValueError("The connection is not in the network")
        self._connections.remove(connection)
        self._native = None

    def step(self) -> None:
        """One bus cycle for every connection; a connection that raises is reported
        (NetworkError, after the step) without holding up the others."""
        native = self._native_lists()
        if native:
            self._native_step(*native)
        else:
            self._python_step()

    def _native_lists(self) -> tuple[list[Any], list[Any], list[Any]] | tuple[()]:
        if self._native is None:
            from virtual_slave import brisel

            if self._capture is None and all(
                c.link is None and isinstance(c.device, brisel._VirtualSlave)
                for c in self._connections
            ):
                masters = [c.master for c in self._connections]
                devices = [c.device for c in self._connections]
                self._native = (masters, devices, [c.history[-1][1] for c in self._connections])
            else:
                self._native = ()
        return self._native

    def _native_step(self, masters: list[Any], devices: list[Any], classes: list[Any]) -> None:
        from virtual_slave import brisel

        failed, changed = brisel._step_pairs(masters, devices, self.clock, self.cycle_us, classes)
        self.cycle += 1
        for i in changed:
            self._connections[i].history.append((self.cycle, classes[i]))
        if failed:
            failures = [(self._connections[i], e) for i, e in failed]
            raise NetworkError(failures) from failures[0][1]

    def _python_step(self) -> None:
        failures: list[tuple[Connection, BaseException]] = []
        capture = self._capture
        time_us = self.clock.now_us if capture is not None else 0
        for connection in self._connections:
            try:
                connection._exchange(capture, time_us)
            except Exception as e:  # noqa: BLE001 - reported after the step
                failures.append((connection, e))
        self.clock.advance_us(self.cycle_us)
        self.cycle += 1
        for connection in self._connections:
            connection.device.advance(self.cycle_us)
            try:
                connection.master.poll()
            except Exception as e:  # noqa: BLE001 - reported after the step
                failures.append((connection, e))
            connection._record(self.cycle)
        if failures:
            raise NetworkError(failures) from failures[0][1]

    def run(self, cycles: int) -> None:
        """``cycles`` steps."""
        for _ in range(_count(cycles, "cycles")):
            self.step()

    def run_until(self, predicate: Callable[[Network], bool],
                  max_cycles: int = DEFAULT_RUN_LIMIT) -> int:  # fmt: skip
        """Steps until ``predicate(network)`` holds; returns the steps taken.
        TimeoutError when it does not hold within ``max_cycles``."""
        if not callable(predicate):
            raise TypeError("predicate must be callable")
        limit = _count(max_cycles, "max_cycles")
        for taken in range(limit + 1):
            if predicate(self):
                return taken
            if taken < limit:
                self.step()
        raise TimeoutError(f"not reached within {limit} cycles")

    def all_in_data(self) -> bool:
        return all(c.in_data() for c in self._connections)


def _count(value: int, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{name} must not be negative, got {value}")
    return value
