"""Threads never tear state or hang.

Several handlers run at once, each with a watchdog of 1 to 5 ms and its own
application thread that hands it replies (good and bad), resets it, switches fail
safe, stops and starts it, while expiries fire on the watchdog threads. Callbacks
call back into their handler, from either thread. Afterwards every request seen is
checked to be whole and CRC-valid, and each handler's callback sequence to be one
the state machine can produce. Set RELIABILITY_STRESS_SECONDS for a longer run.
"""

import contextlib
import faulthandler
import os
import random
import sys
import threading
import time
from collections import Counter, defaultdict

import pytest
from master_helpers import DT, WIRE_LENGTH, ScriptedSlave, good_reply

import tarnwick

C = tarnwick.FSOECommand
STRESS_SECONDS = float(os.environ.get("RELIABILITY_STRESS_SECONDS", "20"))
# Every thread must have returned this long after the run ends.
JOIN_SECONDS = 30
HANDLERS = [(1, 0.001), (2, 0.003), (4, 0.005)]  # (safe-data bytes, watchdog timeout)

NAMES = {"StateReset": "RESET", "StateSession": "SESSION", "StateConnection": "CONN",
         "StateParameter": "PARA", "StateData": "DATA"}  # fmt: skip
FORWARD = {("StateReset", "StateSession"), ("StateSession", "StateConnection"),
           ("StateConnection", "StateParameter"), ("StateParameter", "StateData")}  # fmt: skip
# Where each kind of transition leads when it changes the state.
LEADS_TO = {"FAIL": "StateReset", "WD": "StateReset", "RESET2": "StateReset",
            "RESET1": "StateSession"}  # fmt: skip


def possible(previous, new):
    """A change of state class the five states can make."""
    if (previous, new) in FORWARD:
        return True
    if new == "StateReset":
        return previous != "StateReset"
    return new == "StateSession" and previous in ("StateConnection", "StateParameter",
                                                  "StateData")  # fmt: skip


class GenerationTrace:
    """Collects the CRC generations the trace prints, per thread, so that a request
    can be checked with the sequence number and seed it was built with."""

    def __init__(self):
        self.lines = defaultdict(list)  # thread -> pending block
        self.generated = defaultdict(set)  # (command, connection id, CRC_0) -> {(seed, seq)}
        self.partial = defaultdict(str)

    def write(self, text):
        me = threading.get_ident()
        text = self.partial[me] + text
        *complete, self.partial[me] = text.split("\n")
        for line in complete:
            self._line(me, line)
        return len(text)

    def flush(self):
        pass

    def _line(self, me, line):
        block = self.lines[me]
        if line == "MASTER | CRC | Generating":
            block.clear()
            block.append(line)
        elif block and block[0].endswith("Generating"):
            block.append(line)
            if len(block) == 6:
                crc, seed, conn, seq, cmd = (int(x.split("0x")[1], 16) for x in block[1:])
                self.generated[(cmd, conn, crc)].add((seed, seq))
                block.clear()

    def request_is_whole_and_valid(self, request, n):
        if len(request) != WIRE_LENGTH[n]:
            return False
        frame = tarnwick.FSOEFrame.frame_from_array(request)
        key = (request[0], frame.control.connection_id, frame.crcs[0])
        for seed, seq in self.generated.get(key, ()):
            frame.control.crc0 = seed
            frame.control.sequence_number = seq
            if frame.check_crcs():
                return True
        return False


class Driven:
    """One handler, its scripted slave and what its callbacks saw."""

    def __init__(self, index, n, timeout, stats):
        self.n = n
        self.stats = stats
        self.rng = random.Random(index)
        self.events = []  # ("state", class name) / ("error", transition name), in order
        self.requests = set()
        self.inputs = [tarnwick.DictionaryItemInput(10 + k, f"in{index}_{k}", DT.UINT8, 0xEE)
                       for k in range(n)]  # fmt: skip
        outputs = [tarnwick.DictionaryItemOutput(40 + k, f"out{index}_{k}", DT.UINT8)
                   for k in range(n)]  # fmt: skip
        self.conn_id = 0x100 + index
        self.h = tarnwick.MasterHandler(
            tarnwick.Dictionary(self.inputs + outputs), 1, self.conn_id, timeout,
            report_error_callback=self.on_error, state_change_callback=self.on_state,
        )  # fmt: skip
        for item in self.inputs:
            self.h.slave.dictionary_map.add(item, 8)
        for item in outputs:
            self.h.master.dictionary_map.add(item, 8)
        self.slave = ScriptedSlave(n, self.conn_id)
        self.slow_expiry = False
        self.busy = threading.Event()
        # Requests are collected while the trace records their generation; the
        # watchdogs go on expiring (and callbacks on firing) after the run.
        self.recording = True

    def on_watchdog_thread(self):
        return threading.current_thread() is self.h._watchdog

    def on_state(self, cls):
        self.events.append(("state", cls.__name__))
        self.stats["state changes"] += 1
        self.stats[f"entered {cls.__name__}"] += 1
        if self.slow_expiry:
            # The handler is being deleted: a call into it would raise, and on the
            # watchdog thread that ends the thread with the error.
            return
        roll = self.rng.random()
        # Calls back into the handler from inside an event, on either thread.
        if roll < 0.02:
            self.stats["reset from callback"] += 1
            self.h.reset()
        elif roll < 0.03 and self.on_watchdog_thread():
            self.stats["stop from watchdog thread"] += 1
            self.h.stop()
        elif roll < 0.2 and self.recording:
            self.requests.add(self.h.get_request())

    def on_error(self, name, message):
        self.events.append(("error", name))
        self.stats["expiries" if name.endswith("_WD") else "errors reported"] += 1
        if self.slow_expiry:
            if self.on_watchdog_thread():
                self.busy.set()
                time.sleep(0.05)  # delete() is called meanwhile
            return
        if self.rng.random() < 0.05:
            self.stats["reset from callback"] += 1
            self.h.reset()

    def step(self):
        h, rng = self.h, self.rng
        roll = rng.random()
        if not h.running:
            h.start()
            self.slave.restart()
            self.stats["starts"] += 1
        elif roll < 0.70:
            was_reset = h.state is tarnwick.StateReset
            h.set_reply(good_reply(h, self.slave, bytes(rng.randrange(256) for _ in range(16))))
            if was_reset:
                self.slave.restart()
            self.stats["replies"] += 1
        elif roll < 0.78:
            h.set_reply(bytes(rng.randrange(256) for _ in range(WIRE_LENGTH[self.n])))
            self.stats["garbage replies"] += 1
        elif roll < 0.84:
            h.reset()
            self.slave.restart()
            self.stats["resets"] += 1
        elif roll < 0.90:
            h.set_fail_safe(rng.random() < 0.5)
        elif roll < 0.92:
            h.stop()
            self.stats["stops"] += 1
        else:
            time.sleep(rng.random() * 0.004)  # let expiries fire
        self.requests.add(h.get_request())
        self.stats["requests read"] += 1

    def run(self, until):
        while time.monotonic() < until:
            self.step()

    def check_transitions(self):
        state = "StateReset"
        for kind, what in self.events:
            if kind == "state":
                assert possible(state, what), (state, what)
                state = what
            else:
                # A protocol failure is reported by the state that judges it.
                assert what.startswith(NAMES[state] + "_"), (state, what)


@contextlib.contextmanager
def traced_into(collector):
    """The trace on, into `collector`. Entered in the test body: the test runner
    puts its own capture back in place between a fixture's set-up and the test."""
    saved_stdout, saved_switch = sys.stdout, tarnwick.TARNWICK_LOGGING
    sys.stdout = collector
    tarnwick.TARNWICK_LOGGING = True
    try:
        yield collector
    finally:
        tarnwick.TARNWICK_LOGGING = saved_switch
        sys.stdout = saved_stdout


def run_threads(targets, timeout):
    """Runs each target on its own thread; returns the threads still alive after
    `timeout` seconds, and the exceptions raised on any thread meanwhile."""
    deadline = time.monotonic() + timeout
    threads = [threading.Thread(target=t, daemon=True) for t in targets]
    errors = []

    def hook(args):
        errors.append(args.exc_value)

    saved, threading.excepthook = threading.excepthook, hook
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join(max(0.0, deadline - time.monotonic()))
    finally:
        threading.excepthook = saved
    return [t for t in threads if t.is_alive()], errors


def test_handlers_under_racing_threads():
    # A hang must not hold CI: dump every thread's stack and end the process.
    faulthandler.dump_traceback_later(STRESS_SECONDS + 4 * JOIN_SECONDS, exit=True)
    stats = Counter()
    trace = GenerationTrace()
    driven = [Driven(i, n, timeout, stats) for i, (n, timeout) in enumerate(HANDLERS)]
    try:
        until = time.monotonic() + STRESS_SECONDS
        with traced_into(trace):
            runs = [lambda d=d: d.run(until) for d in driven]
            hung, errors = run_threads(runs, STRESS_SECONDS + JOIN_SECONDS)
            for d in driven:
                d.recording = False
        assert not hung and not errors, errors

        # delete() while each watchdog thread is busy inside an expiry's callback.
        for d in driven:
            d.slow_expiry = True
            d.h.start()
        for d in driven:
            assert d.busy.wait(JOIN_SECONDS)
        hung, errors = run_threads([d.h.delete for d in driven], JOIN_SECONDS)
        assert not hung and not errors, errors
    finally:
        faulthandler.cancel_dump_traceback_later()
        for d in driven:
            d.h.delete()

    for d in driven:
        assert not d.h._watchdog.is_alive()
        d.check_transitions()
        d.requests.discard(b"")
        bad = [r for r in d.requests if not trace.request_is_whole_and_valid(r, d.n)]
        assert bad == []
        # The check can fail: a request with one byte garbled is refused.
        some = next(iter(d.requests))
        assert not trace.request_is_whole_and_valid(some[:1] + bytes([some[1] ^ 4]) + some[2:], d.n)
        stats["distinct requests checked"] += len(d.requests)
    print(f"stress {STRESS_SECONDS:.0f} s: {dict(stats)}")
    assert stats["expiries"] > 0 and stats["replies"] > 0


@pytest.mark.parametrize("running", [False, True])
def test_every_call_after_delete_returns(running):
    h = tarnwick.MasterHandler(tarnwick.Dictionary([]), 1, 1, 0.001)
    if running:
        h.start()
    h.delete()
    assert not h._watchdog.is_alive()
    deleted = "The master handler has been deleted"
    calls = [h.get_request, h.stop, h.delete, lambda: h.set_fail_safe(False),
             lambda: h.set_reply(b"\x2a\x00\x00\x00\x00\x00"), h.start, h.reset,
             h._watchdog_expired_event]  # fmt: skip
    for call in calls:
        try:
            call()
        except tarnwick.TarnwickException as e:
            assert str(e) == deleted
    assert not h.running


@pytest.mark.parametrize("call", ["delete", "stop"])
def test_watchdog_thread_ending_or_stopping_its_own_handler(call):
    """An expiry's callback that deletes or stops its handler, on the watchdog thread
    itself: the call returns, and the application's calls afterwards return too."""
    done = threading.Event()
    holder = {}

    def on_error(name, message):
        if name.endswith("_WD") and not done.is_set():
            getattr(holder["h"], call)()
            done.set()

    h = tarnwick.MasterHandler(tarnwick.Dictionary([]), 1, 1, 0.001, report_error_callback=on_error)
    holder["h"] = h
    faulthandler.dump_traceback_later(JOIN_SECONDS, exit=True)
    try:
        h.start()
        assert done.wait(JOIN_SECONDS)
        if call == "delete":
            h._watchdog.join(JOIN_SECONDS)
            assert not h._watchdog.is_alive()
        else:
            assert not h.running
            h.start()  # a stopped handler starts again
            assert h.running and h._watchdog.is_alive()
        h.stop()
        assert h.get_request()
    finally:
        faulthandler.cancel_dump_traceback_later()
        h.delete()
