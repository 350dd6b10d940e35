"""The FSoE master against the virtual slave in a plain loop: no fieldbus, no hardware.

Each pass of the loop is one bus cycle. The master's request goes to the slave
(set_request, process), the slave's reply goes back to the master (set_reply), and
the slave's mock clock moves on by one cycle time. The master walks Reset, Session,
Connection and Parameter into Data; then the application releases fail-safe mode,
switches the STO command on and reads the slave's STO status back.

Expect one error report at the start: the master's first Session request follows
its Reset request with sequence number 2, while the virtual slave starts every
session at 1. The slave answers with a Reset frame (INVALID_CRC) and the master
starts the session again ("SESSION_RESET1"), this time at 1.

Run it with ``python examples/master_with_virtual_slave.py``.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field

import tarnwick
from tarnwick import DataType
from virtual_slave import brisel

SLAVE_ADDRESS = 0x1234  # the virtual slave's own FSoE address
CONNECTION_ID = 0x0055  # any value but 0
# The master's watchdog, in seconds of real time; it also becomes the slave's
# watchdog time (1000 ms, within the slave's 50 to 10000 ms).
WATCHDOG_S = 1.0
CYCLE_US = 1000  # mock time per bus cycle, in microseconds
# The safety parameters whose SRA CRC the slave expects as the application parameter.
SRA_PARAMETERS = [0x0001, 0x00FA, 0x05DC]

# The virtual slave's static map: a frame of 3 words with one safe-data byte each
# way, as (object key, size in bits, padding). The command byte, the STO bit
# (object 0x040) and 7 bits of padding, 16 bits over the CRC word, the connection id.
RX_MAP = [(0x171, 8, False), (0x040, 1, False), (0, 7, True), (0, 16, True), (0x172, 16, False)]
TX_MAP = [(0x161, 8, False), (0x040, 1, False), (0, 7, True), (0, 16, True), (0x162, 16, False)]


@dataclass
class Outcome:
    """What one run saw, in order."""

    states: list[str] = field(default_factory=list)
    errors: list[tuple[str, str]] = field(default_factory=list)
    final_state: str = ""
    sto_status: bool = False


def start_virtual_slave(sra_crc: int) -> None:
    brisel.init()
    brisel.set_sra_crc(sra_crc)
    brisel.static_map_set_rx_count(len(RX_MAP))
    brisel.static_map_set_tx_count(len(TX_MAP))
    for index, (key, bits, padding) in enumerate(RX_MAP, 1):
        brisel.static_map_set_rx_item(index, key, bits, padding)
    for index, (key, bits, padding) in enumerate(TX_MAP, 1):
        brisel.static_map_set_tx_item(index, key, bits, padding)
    brisel.start()


def create_master(
    sra_crc: int, outcome: Outcome, log: Callable[[str], object]
) -> tarnwick.MasterHandler:
    sto_command = tarnwick.DictionaryItemOutput(1, "STO_COMMAND", DataType.BOOL)
    sto_status = tarnwick.DictionaryItemInput(2, "STO_STATUS", DataType.BOOL, False)
    dictionary = tarnwick.Dictionary([sto_command, sto_status])

    def on_state(state: type[tarnwick.State]) -> None:
        outcome.states.append(state.__name__)
        log(f"state  {state.__name__}")

    def on_error(transition: str, message: str) -> None:
        outcome.errors.append((transition, message))
        log(f"error  {transition}: {message}")

    master = tarnwick.MasterHandler(
        dictionary,
        slave_address=SLAVE_ADDRESS,
        connection_id=CONNECTION_ID,
        watchdog_timeout_s=WATCHDOG_S,
        application_parameters=[tarnwick.ApplicationParameter("sra", sra_crc, n_bytes=4)],
        report_error_callback=on_error,
        state_change_callback=on_state,
    )
    # One safe-data byte each way, matching the slave's map: the STO bit, then padding.
    master.master.dictionary_map.add(sto_command, 1)
    master.master.dictionary_map.add_padding(7)
    master.slave.dictionary_map.add(sto_status, 1)
    master.slave.dictionary_map.add_padding(7)
    return master


def run(
    cycles: int = 40,
    sra_crc: int | None = None,
    slave_sra_crc: int | None = None,
    log: Callable[[str], object] = print,
) -> Outcome:
    """Runs `cycles` bus cycles; the master and the slave may be given different SRA CRCs."""
    if sra_crc is None:
        sra_crc = tarnwick.calculate_sra_crc(SRA_PARAMETERS)
    outcome = Outcome()
    start_virtual_slave(sra_crc if slave_sra_crc is None else slave_sra_crc)
    master = create_master(sra_crc, outcome, log)
    master.start()
    try:
        for cycle in range(1, cycles + 1):
            brisel.set_request(master.get_request())
            brisel.process()
            master.set_reply(brisel.get_reply())
            brisel.set_mock_time(cycle * CYCLE_US)

            if master.state is tarnwick.StateData and not master.dictionary.get("STO_COMMAND"):
                # Connected: send process data instead of fail-safe data, STO on.
                master.set_fail_safe(False)
                master.dictionary.set("STO_COMMAND", True)
                log(f"cycle {cycle}: STO command on")
        outcome.final_state = master.state.__name__
        outcome.sto_status = bool(master.dictionary.get("STO_STATUS"))
        log(f"after {cycles} cycles: {outcome.final_state}, STO status {outcome.sto_status}")
    finally:
        master.stop()
        master.delete()  # ends the watchdog thread
        brisel.stop()
    return outcome


def main() -> None:
    run()


if __name__ == "__main__":
    main()
