"""Bridge a MasterHandler to an FSoE slave on a real EtherCAT bus, through pysoem.

An FSoE slave exchanges its safety frames inside its ordinary process data: the
master's request is a few bytes of the slave's output image (RxPDO), the slave's
reply a few bytes of its input image (TxPDO). `FsoeBridge` moves these bytes
between a `MasterHandler` and one slave object shaped like pysoem's: `slave.output`
is the output image as `bytes` (assigned whole), `slave.input` the input image as
`bytes`. The bridge writes only the frame's bytes and keeps the rest of the image.

Per bus cycle, after `receive_processdata()` and before the next `send_processdata()`,
call `bridge.exchange()`: it hands the received reply to the master and writes the
master's current request into the output image. The master detects repeated replies
itself, so a cycle in which the slave's frame did not change costs nothing.

Run on hardware (needs ``pip install pysoem`` and raw-socket rights):

    python examples/pysoem_bridge.py eth0 --slave 0 --output-offset 0 --input-offset 0

The offsets are where the device's FSoE frame sits in its images, and the safe
inputs and outputs below must match the device's FSoE map: both come from the
device's documentation. The test suite runs the bridge against a fake bus.
"""

from __future__ import annotations

import argparse
import importlib
import time
from typing import Any, Protocol

import tarnwick
from tarnwick import DataType


class ProcessImage(Protocol):
    """The part of a pysoem slave that the bridge uses."""

    @property
    def input(self) -> bytes: ...

    @property
    def output(self) -> bytes: ...

    @output.setter
    def output(self, image: bytes) -> None: ...


def wire_length(safe_data_bytes: int) -> int:
    """Bytes of an FSoE frame on the bus for a safe-data size (0, 1 or 2 to 16 even)."""
    if safe_data_bytes == 0:
        return 3  # command and connection id only
    if safe_data_bytes == 1:
        return 6  # command, data byte, CRC, connection id
    return 2 * safe_data_bytes + 3  # a 2-byte CRC per 2 data bytes


class FsoeBridge:
    """Moves FSoE frames between a MasterHandler and a slave's process image."""

    def __init__(
        self,
        handler: tarnwick.MasterHandler,
        slave: ProcessImage,
        output_offset: int = 0,
        input_offset: int = 0,
    ) -> None:
        if output_offset < 0 or input_offset < 0:
            raise ValueError("process image offsets must not be negative")
        self.handler = handler
        self.slave = slave
        self.output_offset = output_offset
        self.input_offset = input_offset

    def exchange(self) -> None:
        """The FSoE part of one bus cycle: take the reply, put the next request.

        A stopped master ignores replies; its request is then the Reset frame that
        stop() built, which tells the slave the connection is over.
        """
        reply_length = wire_length(self.handler.slave.frame.safe_data_size_bytes)
        image_in = self.slave.input
        self._check_fits("input", reply_length, self.input_offset, len(image_in))
        start = self.input_offset
        self.handler.set_reply(bytes(image_in[start : start + reply_length]))

        request = self.handler.get_request()
        image_out = bytearray(self.slave.output)
        self._check_fits("output", len(request), self.output_offset, len(image_out))
        image_out[self.output_offset : self.output_offset + len(request)] = request
        self.slave.output = bytes(image_out)

    @staticmethod
    def _check_fits(image: str, length: int, offset: int, size: int) -> None:
        # A frame cut short would be refused by the peer's CRC check and look like a
        # communication fault: say what is wrong instead.
        if offset + length > size:
            raise ValueError(
                f"an FSoE frame of {length} bytes at offset {offset} does not fit "
                f"the {size}-byte {image} image"
            )


def create_master(
    slave_address: int, connection_id: int, watchdog_s: float = 0.1
) -> tarnwick.MasterHandler:
    """A master with the STO command and status of the device, one byte each way."""
    sto_command = tarnwick.DictionaryItemOutput(1, "STO_COMMAND", DataType.BOOL)
    sto_status = tarnwick.DictionaryItemInput(2, "STO_STATUS", DataType.BOOL, False)
    master = tarnwick.MasterHandler(
        tarnwick.Dictionary([sto_command, sto_status]),
        slave_address,
        connection_id,
        watchdog_timeout_s=watchdog_s,
        report_error_callback=lambda name, message: print(f"FSoE {name}: {message}"),
        state_change_callback=lambda state: print(f"FSoE state {state.__name__}"),
    )
    master.master.dictionary_map.add(sto_command, 1)
    master.master.dictionary_map.add_padding(7)
    master.slave.dictionary_map.add(sto_status, 1)
    master.slave.dictionary_map.add_padding(7)
    return master


def run_cycles(bus: Any, bridge: FsoeBridge, cycles: int, cycle_s: float = 0.0) -> None:
    """The bus cycle: send the outputs, receive the inputs, then the FSoE exchange."""
    for _ in range(cycles):
        bus.send_processdata()
        bus.receive_processdata(2000)  # timeout in microseconds
        bridge.exchange()
        if cycle_s:
            time.sleep(cycle_s)


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("ifname", help="network interface of the EtherCAT bus")
    parser.add_argument("--slave", type=int, default=0, help="position of the FSoE slave")
    parser.add_argument("--output-offset", type=int, default=0)
    parser.add_argument("--input-offset", type=int, default=0)
    parser.add_argument("--slave-address", type=lambda s: int(s, 0), default=1)
    parser.add_argument("--connection-id", type=lambda s: int(s, 0), default=1)
    parser.add_argument("--cycles", type=int, default=1000)
    args = parser.parse_args()

    pysoem = importlib.import_module("pysoem")  # only this function needs it
    bus = pysoem.Master()
    bus.open(args.ifname)
    try:
        if bus.config_init() <= args.slave:
            raise SystemExit(f"no slave at position {args.slave}")
        bus.config_map()
        if bus.state_check(pysoem.SAFEOP_STATE, 50_000) != pysoem.SAFEOP_STATE:
            raise SystemExit("the bus did not reach SAFE-OP")
        bus.state = pysoem.OP_STATE
        bus.send_processdata()
        bus.receive_processdata(2000)
        bus.write_state()
        if bus.state_check(pysoem.OP_STATE, 50_000) != pysoem.OP_STATE:
            raise SystemExit("the bus did not reach OP")

        master = create_master(args.slave_address, args.connection_id)
        bridge = FsoeBridge(master, bus.slaves[args.slave], args.output_offset, args.input_offset)
        master.start()
        try:
            run_cycles(bus, bridge, args.cycles, cycle_s=0.001)
            print("STO status:", master.dictionary.get("STO_STATUS"))
        finally:
            master.stop()
            master.delete()
    finally:
        bus.state = pysoem.INIT_STATE
        bus.write_state()
        bus.close()


if __name__ == "__main__":
    main()
