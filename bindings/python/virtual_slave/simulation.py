"""Runs the tarnwick master against the virtual slave and tells what happens.

The application side is played here: once per bus cycle it hands the master's
request to the slave (`set_request`, `process`), the slave's reply to the master
(`set_reply`), and moves the slave's mock clock on by one cycle. It walks the
connection to Data, exchanges the STO command and status, injects faults and waits
for the pair to reconnect, then keeps the data flowing until the cycles are used up.
"""

import argparse
import collections
import contextlib
import os
import random
import sys
import time

import tarnwick
from virtual_slave import brisel, network_run
from virtual_slave import timeline as timelines
from virtual_slave.capture import CaptureWriter
from virtual_slave.timeline import state_name

SLAVE_ADDRESS = 0x1234  # the virtual slave's own address; start() sets it
CONNECTION_ID = 0x0101
# The safety parameters of the example device, as 16-bit words; the slave expects
# their SRA CRC as its one 4-byte application parameter.
SRA_WORDS = [0x0001, 0x0064, 0x03E8]
FRAME_WORDS = {1: 3, 2: 4, 4: 6}  # the slave's frame size per safe-data size
STO_KEY = 0x040  # the slave's STO flag: rx sets it, tx reports it
COMMAND_RX, CONNID_RX = 0x171, 0x172  # the received frame's command and connection id
COMMAND_TX, CONNID_TX = 0x161, 0x162  # the reply's command and connection id
WALK_LIMIT = 1000  # cycles a connection may take before the run is given up
SETTLE_CYCLES = 5  # cycles in Data before the next step of the script
STO_TOGGLE_CYCLES = 100  # STO command period once the script is done
PROGRESS_S = 2.0  # seconds between progress lines on standard error
CLOCK_MASK = 0xFFFFFFFF  # the slave's clock: 32 bits of microseconds

SEQUENCE_RESTART = "Connection was reset by the slave (slave reported error INVALID_CRC)"
RESTART_NOTE = (
    "(after each Reset handshake: the master numbers its first Session frame 2, "
    "the slave expects 1)"
)
FAULTS = {
    "crc": "corrupted CRC",
    "connid": "wrong connection id",
    "watchdog": "slave watchdog expiry",
    "sra": "wrong SRA CRC",
}
SRA_REFUSALS = 2  # refusals shown before the slave's SRA CRC is corrected

C = tarnwick.FSOECommand


class Abort(Exception):
    """The run cannot go on: cycles used up, or no connection."""


def slave_map(size, command_key, connection_id_key):
    """Items of a whole slave frame: command, safe data with the STO flag as bit 0
    and a CRC word per two bytes, connection id; padding where nothing is mapped."""
    items = [(command_key, 8, False), (STO_KEY, 1, False), (0, 7, True)]
    if size == 1:
        items.append((0, 16, True))
    else:
        items += [(0, 8, True), (0, 16, True)]
        items += [(0, 16, True), (0, 16, True)] * (size // 2 - 1)
    items.append((connection_id_key, 16, False))
    return items


def configure_slave(size, sra_crc, seed):
    brisel.set_mock_time(0)
    brisel.seed_random(seed)
    brisel.init()
    rx = slave_map(size, COMMAND_RX, CONNID_RX)
    tx = slave_map(size, COMMAND_TX, CONNID_TX)
    brisel.static_map_set_rx_count(len(rx))
    brisel.static_map_set_tx_count(len(tx))
    for index, item in enumerate(rx, 1):
        brisel.static_map_set_rx_item(index, *item)
    for index, item in enumerate(tx, 1):
        brisel.static_map_set_tx_item(index, *item)
    brisel.set_sra_crc(sra_crc)
    brisel.start()


def flip_data_bit(reply):
    return reply[:1] + bytes([reply[1] ^ 0x01]) + reply[2:]


def connection_id_at(frame):
    """Byte offset of a frame's connection id (requests and padded replies alike)."""
    n = (len(frame) + 1) // 2 - 2
    return 4 if n == 1 else 4 * ((n + 1) // 2) + 1


class Simulation:
    def __init__(self, args, out=sys.stdout, err=sys.stderr, capture=None, track=None):
        self.args = args
        self.capture = capture
        self.track = track  # the timeline's record of this pair, or None
        self.out, self.err = out, err
        self.sra_crc = tarnwick.calculate_sra_crc(SRA_WORDS)
        random.seed(args.seed)  # the master's session ids
        configure_slave(args.size, self.sra_crc, args.seed)

        self.sto = tarnwick.DictionaryItemOutput(1, "sto", tarnwick.DataType.BOOL)
        self.sto_status = tarnwick.DictionaryItemInput(
            2, "sto_status", tarnwick.DataType.BOOL, False
        )
        self.pending = collections.deque()  # callback events, maybe from the watchdog thread
        self.handler = tarnwick.MasterHandler(
            tarnwick.Dictionary([self.sto, self.sto_status]),
            SLAVE_ADDRESS,
            CONNECTION_ID,
            args.watchdog_ms / 1000,
            application_parameters=[tarnwick.ApplicationParameter("sra", self.sra_crc, n_bytes=4)],
            report_error_callback=lambda name, text: self.pending.append((name, text)),
            state_change_callback=lambda cls: self.pending.append((cls, None)),
        )
        for node, item in ((self.handler.master, self.sto), (self.handler.slave, self.sto_status)):
            node.dictionary_map.add(item, 1)
            node.dictionary_map.add_padding(8 * args.size - 1)

        self.now = 0  # the simulated clock, µs; the slave sees its low 32 bits
        self.cycles = 0
        self.cycle_ns = 0
        self.data_cycles = 0  # consecutive cycles with both sides in Data
        self.quiet = False
        self.restart_noted = False
        self.fail_safe = True  # what the application last set, or a reset restored
        self.seen = self.observe()
        self.shown = None  # the state columns of the last line
        self.held = None  # the line of the last cycle, printed once the cycle is over
        self.connected_once = False
        self.errors = {}
        self.state_changes = 0
        self.sto_changes = [0, 0]  # commanded, followed by the slave
        self.reconnections = []  # cycles from each fault to Data again
        self.faults_injected = 0
        self.refusals = 0  # the slave's resets for a wrong application parameter

    # -- one bus cycle ---------------------------------------------------------------

    def cycle(self, reply_fault=None, deliver_reply=True):
        if self.cycles >= self.args.cycles:
            raise Abort(f"{self.args.cycles} cycles done")
        self.flush()  # before the trace lines of this cycle
        h = self.handler
        start = time.perf_counter_ns()
        request = h.get_request()
        brisel.set_request(request)
        brisel.process()
        reply = brisel.get_reply()
        if reply_fault:
            reply = reply_fault(reply)
        if deliver_reply:
            h.set_reply(reply)
        self.cycle_ns += time.perf_counter_ns() - start
        if self.capture is not None:
            self.record_frames(request, reply if deliver_reply else None)
        self.cycles += 1
        self.now += self.args.cycle_us
        brisel.set_mock_time(self.now & CLOCK_MASK)
        self.data_cycles = self.data_cycles + 1 if self.connected() else 0
        if self.track is not None:
            self.track.observe(self.cycles, *self.columns())
        self.report()
        if self.data_cycles >= 2 and self.fail_safe:
            # As an application does once the connection is up.
            self.handler.set_fail_safe(False)
            self.fail_safe = False
            if not self.quiet:
                self.say("application: fail-safe mode off")

    def record_frames(self, request, reply):
        """The frames the slave and the master were given this cycle, at the cycle's time."""
        self.capture.write(request, from_master=True, slave_address=SLAVE_ADDRESS,
                           time_us=self.now)  # fmt: skip
        if reply is not None:  # without the slave's padding byte: the frame alone
            self.capture.write(reply[: len(request)], from_master=False,
                               slave_address=SLAVE_ADDRESS, time_us=self.now)  # fmt: skip

    def connected(self):
        return (
            self.handler.state is tarnwick.StateData
            and brisel.get_state() == brisel.FSOEState.FSOE_STATE_DATA
        )

    def observe(self):
        request = self.handler.get_request()
        command = request[0] if request and self.handler.state is tarnwick.StateData else None
        return {
            "slave": brisel.get_state(),
            "command": command,
            "sto": brisel.get_status_sto(),
            "sto_status": self.sto_status.get(),
        }

    # -- what the person sees ----------------------------------------------------------

    def columns(self):
        return state_name(self.handler.state.__name__), state_name(brisel.get_state().name)

    def flush(self):
        """Prints the line held for the last cycle, with the states of that moment."""
        if self.held is None:
            return
        cycle, (master, slave), texts, notes = self.held
        self.held = None
        print(f"{cycle:>7}  {master:<11} {slave:<11} {'; '.join(texts)}".rstrip(), file=self.out)
        for text in notes:
            print(f"{'':>33}{text}", file=self.out)

    def report(self, *extra):
        """One line per cycle in which something changed: the states after the cycle
        in the columns, then what happened, callbacks first."""
        texts, notes = [], []
        events = []
        while self.pending:
            events.append(self.pending.popleft())
        moves = [state_name(subject.__name__) for subject, text in events if text is None]
        self.state_changes += len(moves)
        if moves:
            self.fail_safe = True  # a new connection starts in fail-safe mode
        if len(moves) > 1:  # the column shows only where the master ended
            texts.append("master -> " + " -> ".join(moves))
        for subject, text in events:
            if text is None:
                continue
            self.errors[subject] = self.errors.get(subject, 0) + 1
            if self.track is not None:
                self.track.errors.append((self.cycles, subject))
            self.refusals += text.endswith("INVALID_USERPARA)")
            texts.append(f"{subject}: {text}")
            if subject == "SESSION_RESET1" and text == SEQUENCE_RESTART and not self.restart_noted:
                notes.append(RESTART_NOTE)
                self.restart_noted = True
        now = self.observe()
        if now["sto"] != self.seen["sto"]:
            self.sto_changes[1] += 1
        if not self.quiet:
            if now["command"] != self.seen["command"] and now["command"] is not None:
                texts.append(f"master sends {C(now['command']).name}")
            if now["sto"] != self.seen["sto"]:
                texts.append(f"slave STO {'on' if now['sto'] else 'off'}")
            if now["sto_status"] != self.seen["sto_status"]:
                texts.append(f"master input sto_status {now['sto_status']}")
        self.seen = now
        columns = self.columns()
        if self.held is not None and self.held[0] == self.cycles:
            # More to say about the cycle already held: join it.
            self.held[2] += texts + list(extra)
            self.held[3] += notes
            return
        self.flush()
        if texts or extra or columns != self.shown:
            self.held = [self.cycles, columns, texts + list(extra), notes]
            self.shown = columns

    def say(self, text):
        self.report(text)

    # -- the script ----------------------------------------------------------------------

    def run_until(self, condition, limit=WALK_LIMIT):
        for _ in range(limit):
            if condition():
                return
            self.cycle()
        if not condition():
            raise Abort(f"not reached within {limit} cycles")

    def settle(self):
        """Waits until both sides have been in Data for a few cycles."""
        self.run_until(lambda: self.data_cycles >= SETTLE_CYCLES)

    def set_sto(self, value, quiet=False):
        self.sto.set(value)
        self.sto_changes[0] += 1
        if not quiet:
            self.say(f"application: STO command {'on' if value else 'off'}")

    def inject(self, fault):
        self.settle()
        first = self.cycles
        self.faults_injected += 1
        if self.track is not None:
            self.track.faults.append((first, fault))
        if fault == "crc":
            self.say("FAULT: one bit of the slave's reply flipped")
            self.cycle(reply_fault=flip_data_bit)
        elif fault == "connid":
            other = CONNECTION_ID ^ 0x0303

            def foreign(reply):
                at = connection_id_at(reply)
                return reply[:at] + other.to_bytes(2, "little") + reply[at + 2 :]

            self.say(f"FAULT: the slave's reply carries connection id 0x{other:04X}")
            self.cycle(reply_fault=foreign)
        elif fault == "watchdog":
            ms = self.args.watchdog_ms
            self.say(f"FAULT: the slave's replies are lost for {ms} ms of its clock")
            self.cycle(deliver_reply=False)
            self.now += ms * 1000 - self.args.cycle_us
            brisel.set_mock_time(self.now & CLOCK_MASK)
            self.cycle(deliver_reply=False)
        elif fault == "sra":
            wrong = self.sra_crc ^ 0x00FF0000
            self.say(f"FAULT: the slave expects SRA CRC 0x{wrong:08X}; application resets")
            brisel.set_sra_crc(wrong)
            self.handler.reset()
            refused = self.refusals + SRA_REFUSALS
            self.run_until(lambda: self.refusals >= refused)
            self.say(f"the slave's SRA CRC is corrected to 0x{self.sra_crc:08X}")
            brisel.set_sra_crc(self.sra_crc)
        self.run_until(self.connected)
        self.reconnections.append(self.cycles - first)
        self.say(f"reconnected, {self.cycles - first} cycles after the fault")

    def script(self):
        self.handler.start()
        self.say("master started: Reset request, error RESET")
        self.run_until(self.connected)
        self.connected_once = True
        self.say("connected")
        self.settle()
        for value in (True, False):
            self.set_sto(value)
            self.run_until(lambda v=value: self.sto_status.get() is v)
        for fault in self.args.faults:
            self.inject(fault)
        self.settle()
        remaining = self.args.cycles - self.cycles
        self.say(f"steady exchange for {remaining} cycles, STO toggled every {STO_TOGGLE_CYCLES}")
        self.flush()
        self.quiet = True
        self.steady()

    def steady(self):
        shown = time.monotonic()
        while self.cycles < self.args.cycles:
            if self.cycles % STO_TOGGLE_CYCLES == 0:
                self.set_sto(not self.sto.get(), quiet=True)
            self.cycle()
            if self.cycles % 4096 == 0 and time.monotonic() - shown >= PROGRESS_S:
                shown = time.monotonic()
                share = 100 * self.cycles / self.args.cycles
                print(
                    f"progress: cycle {self.cycles} of {self.args.cycles} ({share:.0f} %)",
                    file=self.err,
                    flush=True,
                )

    # -- start and end -------------------------------------------------------------------

    def banner(self):
        a = self.args
        faults = ", ".join(FAULTS[f] for f in a.faults) or "none"
        words = ", ".join(f"0x{w:04X}" for w in SRA_WORDS)
        lines = [
            "FSoE simulation: tarnwick master <-> virtual slave (virtual_slave.brisel)",
            f"  {a.size} safe-data byte{'s' if a.size > 1 else ''} per frame "
            f"({FRAME_WORDS[a.size]} slave words), watchdog {a.watchdog_ms} ms, "
            f"{a.cycle_us} us of slave clock per cycle",
            f"  slave address 0x{SLAVE_ADDRESS:04X}, connection id 0x{CONNECTION_ID:04X}, "
            f"SRA CRC 0x{self.sra_crc:08X} of parameters {words}",
            f"  faults: {faults}; {a.cycles} cycles; seed {a.seed}",
            "",
            f"{'cycle':>7}  {'master':<11} {'slave':<11} event",
        ]
        print("\n".join(lines), file=self.out)

    def summary(self, reason):
        self.report()
        self.flush()
        errors = ", ".join(f"{name} x{count}" for name, count in sorted(self.errors.items()))
        spans = self.reconnections
        master, slave = self.columns()
        per_cycle_us = self.cycle_ns / self.cycles / 1000 if self.cycles else 0.0
        lines = [
            "",
            f"summary: {reason}",
            f"  cycles           {self.cycles}, ending with master in {master}, slave in {slave}",
            f"  master states    {self.state_changes} changes",
            f"  errors reported  {sum(self.errors.values())}: {errors or 'none'}",
            f"  faults           {self.faults_injected} injected, {len(spans)} followed by a "
            f"reconnection{span_text(spans)}",
            f"  STO command      {self.sto_changes[0]} changes; the slave's STO flag changed "
            f"{self.sto_changes[1]} times",
            f"  time per cycle   {per_cycle_us:.2f} us (both sides' calls, mean)",
        ]
        print("\n".join(lines), file=self.out)

    def close(self):
        self.handler.stop()
        self.handler.delete()
        brisel.stop()


def span_text(spans):
    if not spans:
        return ""
    if min(spans) == max(spans):
        return f" ({spans[0]} cycles each)" if len(spans) > 1 else f" ({spans[0]} cycles)"
    return f" ({min(spans)} to {max(spans)} cycles)"


# The faults a network run throws through its links (--slaves); the first three of
# FAULTS are thrown there the same way, sra only at the single pair.
NETWORK_FAULTS = (*network_run.LINK_FAULTS, *network_run.CLASSIC_FAULTS)
NETWORK_MODE_SIZES = range(1, 17)  # what the master and the devices allow
DEVICE_WATCHDOG_MS = (50, 10000)  # the watchdog times a device accepts


def parse_faults(text):
    if text in ("all", "none"):
        return text
    names = [name.strip() for name in text.split(",") if name.strip()]
    known = (*FAULTS, *network_run.LINK_FAULTS)
    unknown = [name for name in names if name not in known]
    if unknown or not names:
        raise argparse.ArgumentTypeError(
            f"unknown fault {', '.join(unknown) or repr(text)}; "
            f"choose from {', '.join(known)}, all, none"
        )
    return names


def parser():
    p = argparse.ArgumentParser(
        prog="python -m virtual_slave",
        description="Run the tarnwick FSoE master against the virtual slave and show the "
        "connection walk, the safe data exchanged, injected faults with the master's "
        "reaction, and a summary.",
        epilog="Progress of long runs goes to standard error. The exit status is 0 when "
        "the pair connected and reconnected after every injected fault within the cycles.",
    )
    p.add_argument("--cycles", type=int, default=400, help="bus cycles to run (default 400)")
    p.add_argument(
        "--slaves",
        type=int,
        default=None,
        help="run this many master/device pairs on a simulated network, each with its own "
        "connection id, slave address and fault-injecting link, on the deterministic clock",
    )
    p.add_argument(
        "--size",
        type=int,
        choices=list(NETWORK_MODE_SIZES),
        default=2,
        metavar="BYTES",
        help="safe-data bytes per frame: 1, 2 or 4 for the single pair, 1 to 16 with "
        "--slaves (default 2)",
    )
    p.add_argument(
        "--faults",
        type=parse_faults,
        default="all",
        help=f"comma-separated faults to inject, in order: {', '.join(FAULTS)} at the single "
        f"pair; with --slaves {', '.join(NETWORK_FAULTS)}; or all (default) or none",
    )
    p.add_argument(
        "--watchdog-ms",
        type=int,
        default=None,
        help="watchdog time, ms; the slave accepts 50 to 10000 (default 1000, 100 with --slaves)",
    )
    p.add_argument(
        "--cycle-us",
        type=int,
        default=1000,
        help="slave clock advance per cycle in microseconds (default 1000)",
    )
    p.add_argument(
        "--seed",
        type=int,
        default=1,
        help="seed of both sides' session ids, and with --slaves of the links (default 1)",
    )
    p.add_argument(
        "--capture",
        metavar="FILE",
        help="write every frame as the receiver got it (faults included) to FILE, a pcapng "
        "capture Wireshark opens, stamped with the simulated clock",
    )
    p.add_argument(
        "--timeline",
        metavar="FILE",
        help="draw the master's and the device's states over the cycles, faults and errors "
        "marked, to FILE (.svg or .png; needs matplotlib: pip install 'tarnwick[plot]')",
    )
    p.add_argument(
        "--trace",
        action="store_true",
        help="print the master's raw trace (TARNWICK_LOGGING) as well",
    )
    return p


def open_capture(path):
    """The capture writer of --capture, made before the run so a bad path stops it."""
    if path is None:
        return None
    try:
        return CaptureWriter(path)
    except OSError as e:
        parser().error(f"--capture {path}: {e.strerror or e}")


def same_file(a, b):
    """Whether two paths name one file (the same path, or links to one existing file)."""
    if os.path.abspath(a) == os.path.abspath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False  # one of them does not exist yet: two files


def main(argv=None, out=sys.stdout, err=sys.stderr):
    return run(argv, out, err)[0]


def run(argv=None, out=sys.stdout, err=sys.stderr):
    """What main does; returns the exit status and the timeline recorded (None without
    --timeline)."""
    args = parser().parse_args(argv)
    checked(args)
    timeline = timelines.Timeline() if args.timeline else None
    capture = open_capture(args.capture)
    try:
        with capture or contextlib.nullcontext():
            if args.slaves is not None:
                status = network_run.run(args, out, capture, timeline)
            else:
                status = run_pair(args, out, err, capture, timeline)
    except BrokenPipeError:
        raise  # the reader of standard output went away: __main__ stops quietly
    except OSError as e:
        if capture is None:
            raise
        capture.close_after_failure()
        parser().error(f"--capture {args.capture}: {e.strerror or e}")
    if timeline is not None:
        timelines.draw(timeline, args.timeline)
    return status, timeline


def checked(args):
    """Refuses contradicting options with argparse's usage message (exit status 2)."""
    if args.capture and args.timeline and same_file(args.capture, args.timeline):
        parser().error("--capture and --timeline name the same file")
    problem = args.timeline and timelines.check(args.timeline)
    if problem:
        parser().error(problem)
    if args.cycles < 1 or args.cycle_us < 1:
        parser().error("--cycles and --cycle-us must be positive")
    network = args.slaves is not None
    if network and args.slaves < 1:
        parser().error("--slaves must be at least 1")
    if args.watchdog_ms is None:
        args.watchdog_ms = 100 if network else 1000
    if not 1 <= args.watchdog_ms <= 65535:
        parser().error("--watchdog-ms must be 1 to 65535")
    if args.faults in ("all", "none"):
        args.faults = [] if args.faults == "none" else list(NETWORK_FAULTS if network else FAULTS)
    if network:
        if not DEVICE_WATCHDOG_MS[0] <= args.watchdog_ms <= DEVICE_WATCHDOG_MS[1]:
            parser().error("--watchdog-ms must be 50 to 10000 with --slaves (the devices' range)")
        if "sra" in args.faults:
            parser().error("the sra fault runs at the single pair only (without --slaves)")
        return
    if args.size not in FRAME_WORDS:  # as argparse words it for the single pair's sizes
        choices = ", ".join(str(size) for size in sorted(FRAME_WORDS))
        parser().error(f"argument --size: invalid choice: {args.size} (choose from {choices}; "
                       "1 to 16 with --slaves)")  # fmt: skip
    link_faults = [f for f in args.faults if f not in FAULTS]
    if link_faults:
        parser().error(
            f"{', '.join(link_faults)} needs --slaves (the single pair knows {', '.join(FAULTS)})"
        )


def run_pair(args, out, err, capture, timeline):
    if args.trace:
        tarnwick.TARNWICK_LOGGING = True
    track = timeline.track(f"0x{CONNECTION_ID:04X}") if timeline is not None else None
    sim = Simulation(args, out, err, capture, track)
    try:
        sim.banner()
        try:
            sim.script()
            reason = "all cycles done"
        except Abort as stop:
            reason = str(stop)
        sim.summary(reason)
    finally:
        sim.close()
    if timeline is not None:
        timeline.cycles = sim.cycles
    # A run is good when it connected and every injected fault was followed by a
    # reconnection; cycles running out during the last one count as a failure.
    done = sim.cycles >= args.cycles and sim.connected_once
    return 0 if done and len(sim.reconnections) == sim.faults_injected else 1
