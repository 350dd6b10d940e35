"""A MasterHandler wired to the virtual slave, driven only through public calls.

One cycle is what a bus application does: the master's request goes to the slave
(`set_request`, `process`), the slave's reply goes back to the master (`set_reply`),
and the slave's mock clock moves on by one bus cycle.
"""

import math
import time

from master_helpers import DT, Recorder
from slave_helpers import RX_MAPS, TX_MAPS, configure_map

import tarnwick
from virtual_slave import Link, brisel

C = tarnwick.FSOECommand
SlaveState = brisel.FSOEState

SLAVE_ADDRESS = 0x1234  # the virtual slave's own address after start()
CONNECTION_ID = 0x0101
SRA_WORDS = [0x0102, 0x0304, 0x0506]  # safety parameters whose CRC the slave checks
WORDS = {1: 3, 2: 4, 4: 6}  # frame words of the slave per safe-data size
CYCLE_US = 1000  # mock time per bus cycle
CLOCK_MASK = 0xFFFFFFFF  # the slave's clock is 32 bits of microseconds

# The master's first Session frame after its Reset state carries sequence number 2,
# the slave expects 1: the slave resets once and the master starts a new session.
SEQUENCE_RESTART = (
    "SESSION_RESET1",
    "Connection was reset by the slave (slave reported error INVALID_CRC)",
)


def slave_reset(error):
    """The report of a master whose slave reset the connection with `error`."""
    return f"Connection was reset by the slave (slave reported error {error})"


def walk_cycles(size):
    """Cycles from start() until both sides are in Data: Reset, the restarted first
    Session frame, then session id (2 bytes), connection data (4) and parameters
    (6 + the 4-byte SRA CRC) at `size` bytes per frame, then the first data frame."""
    return 2 + sum(math.ceil(n / size) for n in (2, 4, 10)) + 1


def failsafe_tx_map(words):
    """A tx map whose reply command is 0x08 (FailSafeData) while the slave's STO flag
    is set, with that flag also in the first safe-data bit; other replies of the
    Data state then carry command 0."""
    command = [(0, 3, True), (0x040, 1, False), (0, 4, True)]
    return command + TX_MAPS[words][1:]


class Pair:
    """Master and virtual slave exchanging frames; `size` safe-data bytes each way."""

    def __init__(self, size=1, watchdog_s=5.0, *, sra_words=SRA_WORDS, slave_sra=None,
                 slave_address=SLAVE_ADDRESS, tx_map=None, start_time=0,
                 parameters=None, clock=False, connection_id=CONNECTION_ID,
                 link_seed=None, history_frames=0):  # fmt: skip
        """`parameters(sra)` gives the master's application parameters; the default
        is the SRA CRC as one 4-byte parameter. With `clock` the master has no
        watchdog thread and runs on the pair's mock time (True) or on the clock given.
        With `link_seed` the frames travel through a `Link` on the pair's mock time
        (`self.link`), and a clocked master is polled once per cycle."""
        sra = tarnwick.calculate_sra_crc(sra_words)
        self.now = start_time
        brisel.set_mock_time(self.now)
        brisel.seed_random(1)
        brisel.init()
        configure_map(RX_MAPS[WORDS[size]], tx_map or TX_MAPS[WORDS[size]])
        brisel.set_sra_crc(sra if slave_sra is None else slave_sra)
        brisel.start()

        self.sto = tarnwick.DictionaryItemOutput(1, "sto", DT.BOOL)
        self.sto_status = tarnwick.DictionaryItemInput(2, "sto_status", DT.BOOL, False)
        self.parameter = tarnwick.ApplicationParameter("sra", sra, n_bytes=4)
        parameters = [self.parameter] if parameters is None else parameters(sra)
        self.recorder = Recorder()
        self.handler = tarnwick.MasterHandler(
            tarnwick.Dictionary([self.sto, self.sto_status]),
            slave_address,
            connection_id,
            watchdog_s,
            application_parameters=parameters,
            report_error_callback=self.recorder.error,
            state_change_callback=self.recorder.state,
            **({"clock": self.seconds if clock is True else clock} if clock else {}),
            history_frames=history_frames,
        )
        for node, item in ((self.handler.master, self.sto), (self.handler.slave, self.sto_status)):
            node.dictionary_map.add(item, 1)
            node.dictionary_map.add_padding(8 * size - 1)
        self.clock = clock
        self.link = None if link_seed is None else Link(seed=link_seed, clock=self.seconds)
        self.cycles = 0

    @property
    def errors(self):
        return self.recorder.errors

    def connected(self):
        return (
            self.handler.state is tarnwick.StateData
            and brisel.get_state() == SlaveState.FSOE_STATE_DATA
        )

    def seconds(self):
        return self.now / 1e6

    def advance(self, microseconds):
        self.now = (self.now + microseconds) & CLOCK_MASK
        brisel.set_mock_time(self.now)

    def cycle(self, request_fault=None, reply_fault=None, deliver_reply=True):
        """One bus cycle; a fault function may change a frame on its way, and the
        reply may be lost. Through a link, a frame it delivers as None leaves the
        receiver without a new frame: the slave still runs its step (its watchdog),
        the master's last reply stands."""
        request = self.handler.get_request()
        if request_fault:
            request = request_fault(request)
        if self.link is not None:
            request = self.link.request(request)
        if request is not None:
            brisel.set_request(request)
        brisel.process()
        reply = brisel.get_reply()
        if reply_fault:
            reply = reply_fault(reply)
        delivered = reply if self.link is None else self.link.reply(reply)
        if deliver_reply and delivered is not None:
            self.handler.set_reply(delivered)
        self.advance(CYCLE_US)
        if self.link is not None:
            self.link.step()
            if self.clock:
                self.handler.poll()
        self.cycles += 1
        return reply

    def run(self, cycles):
        for _ in range(cycles):
            self.cycle()

    def run_until(self, condition, max_cycles=500):
        """Cycles until `condition()` holds; returns the cycles used."""
        for used in range(max_cycles + 1):
            if condition():
                return used
            self.cycle()
        raise AssertionError(
            f"not reached in {max_cycles} cycles: master {self.handler.state.__name__}, "
            f"slave {brisel.get_state().name}, errors {self.errors[-3:]}"
        )

    def connect(self, max_cycles=500):
        self.handler.start()
        return self.run_until(self.connected, max_cycles)

    def close(self):
        self.handler.stop()
        self.handler.delete()
        brisel.stop()


def wait_for(condition, timeout_s=10.0):
    """Polls a condition another thread makes true; False when the deadline passes."""
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.005)
    return condition()
