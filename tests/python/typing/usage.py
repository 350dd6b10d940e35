"""Typed use of both modules, checked by mypy --strict (make typecheck) and run by the tests.

Every annotation here states what the stubs promise; `misuse` holds calls the stubs
must refuse, each silenced with the error code mypy reports (mypy --strict flags an
ignore that is not needed, so a stub that became too lax fails the check).
"""

from __future__ import annotations

import tarnwick
from tarnwick import DataType, FSOECommand, FSOEError, MasterHandler
from virtual_slave import Direction, Fault, Injection, Link, VirtualSlave, brisel


def build_dictionary() -> tuple[tarnwick.Dictionary, tarnwick.DictionaryItemOutput]:
    command = tarnwick.DictionaryItemOutput(1, "sto_command", DataType.BOOL)
    status = tarnwick.DictionaryItemInput(2, "sto_status", DataType.BOOL, False)
    speed = tarnwick.DictionaryItemInputOutput(3, "speed", DataType.INT16, 0)
    dictionary = tarnwick.Dictionary([command, status, speed])
    by_key: tarnwick.DictionaryItem = dictionary.key_map[1]
    assert by_key is command
    return dictionary, command


def frame_round_trip() -> bytes:
    frame = tarnwick.FSOEFrame(7)
    frame.control.command = FSOECommand.PROCESS_DATA
    frame.control.connection_id = 0x1234
    frame.safe_data[0] = 0x0201
    frame.generate_crcs_cyclic(last_sent_crc_0=0)
    wire: bytes = frame.frame_to_array()
    parsed = tarnwick.FSOEFrame.frame_from_array(wire)
    words: list[int] = list(parsed.safe_data)
    assert words[0] == 0x0201
    size: int = parsed.safe_data_size_bytes
    assert size == 2
    return wire


def data_types() -> None:
    bits: int = DataType.INT16.bits
    signed: bool = DataType.INT16.is_signed
    raw: int = DataType.INT16.serialize_value(-1)
    value = DataType.INT16.unserialize_value(raw)
    assert (bits, signed, raw, value) == (16, True, 0xFFFF, -1)
    code: FSOEError = FSOEError(4)
    assert code is FSOEError.INVALID_CRC


def master_with_virtual_slave() -> type[tarnwick.State]:
    dictionary, command = build_dictionary()
    crc: int = tarnwick.calculate_sra_crc([0x0102, 0x0304])
    states: list[type[tarnwick.State]] = []
    errors: list[tuple[str, str]] = []

    def on_error(transition: str, message: str) -> None:
        errors.append((transition, message))

    handler = MasterHandler(
        dictionary,
        0x1234,
        0x55,
        0.5,
        application_parameters=[tarnwick.ApplicationParameter("sra", crc, n_bytes=4)],
        report_error_callback=on_error,
        state_change_callback=states.append,
    )
    handler.master.dictionary_map.add(command, 1)
    handler.master.dictionary_map.add_padding(7)
    handler.slave.dictionary_map.add_by_key(2, 1)
    handler.slave.dictionary_map.add_padding(7)

    brisel.init()
    brisel.set_sra_crc(crc)
    rx = [(0x171, 8, False), (0x040, 1, False), (0, 7, True), (0, 16, True), (0x172, 16, False)]
    tx = [(0x161, 8, False), (0x040, 1, False), (0, 7, True), (0, 16, True), (0x162, 16, False)]
    brisel.static_map_set_rx_count(len(rx))
    brisel.static_map_set_tx_count(len(tx))
    for index, (key, bits, padding) in enumerate(rx, 1):
        brisel.static_map_set_rx_item(index, key, bits, padding)
    for index, (key, bits, padding) in enumerate(tx, 1):
        brisel.static_map_set_tx_item(index, key, bits, padding)
    brisel.start()

    handler.start()
    try:
        for cycle in range(30):
            brisel.set_request(handler.get_request())
            brisel.process()
            handler.set_reply(brisel.get_reply())
            brisel.set_mock_time(1000 * (cycle + 1))
        slave_state: brisel.FSOEState = brisel.get_state()
        assert slave_state is brisel.FSOEState.FSOE_STATE_DATA
        return handler.state
    finally:
        handler.stop()
        handler.delete()
        brisel.stop()


def lossy_link() -> list[Injection]:
    link = Link(seed=3)
    link.at(1, Fault.LOSS, Direction.REPLY, cycles=2)
    link.random("corruption", 0.0, count=1)
    delivered: list[bytes | None] = []
    for k in range(4):
        delivered.append(link.reply(bytes([k]) * 6))
        link.step()
    assert [d is None for d in delivered] == [False, True, True, False]
    return list(link.injections)


def master_with_device() -> int:
    dictionary, command = build_dictionary()
    now = [0.0]
    handler = MasterHandler(
        dictionary,
        0x0101,
        0x56,
        0.5,
        application_parameters=[tarnwick.ApplicationParameter("sra", 7, n_bytes=4)],
        clock=lambda: now[0],
        history_frames=4,
    )
    handler.master.dictionary_map.add(command, 1)
    handler.master.dictionary_map.add_padding(7)
    handler.slave.dictionary_map.add_by_key(3, 16)
    cycles: list[int] = []

    def count(device: VirtualSlave) -> None:
        cycles.append(device.time_us)

    device = VirtualSlave.mirror(handler, values={3: 0x1234}, on_cycle=count)
    handler.start()
    try:
        for _ in range(40):
            now[0] += 0.001
            device.advance(1000)
            handler.poll()
            handler.set_reply(device.cycle(handler.get_request()))
        state: brisel.FSOEState = device.state
        assert state is brisel.FSOEState.FSOE_STATE_DATA
        speed: int = device.read(3)
        seen = handler.diagnostics()
        error = seen.first_error
        failure: str = error.transition if error is not None else ""
        mean_us: float = seen.response_time.mean_us
        last: tarnwick.HistoryEntry = handler.history()[-1]
        assert last.from_master and last.outcome == "request" and failure and mean_us > 0
        assert seen.time_in_state_us["Data"] >= 0 and seen.last_wrong_length is None
        return speed + len(cycles) - 40
    finally:
        handler.stop()


def misuse(handler: MasterHandler, frame: tarnwick.FSOEFrame) -> None:
    """Never called: mypy must reject each line."""
    handler.set_reply("2a00")  # type: ignore[arg-type]
    frame.control.command = 0x2A  # type: ignore[assignment]
    brisel.set_request(bytearray(6))  # type: ignore[arg-type]
    name: int = handler.dictionary.key_map[1].name  # type: ignore[assignment]
    tarnwick.Dictionary((frame,))  # type: ignore[arg-type]
    VirtualSlave([(1, 8)], [(2, "8")])  # type: ignore[list-item]
    VirtualSlave.mirror(handler, on_cycle=lambda device: device.missing)  # type: ignore[attr-defined]
    del name
    Link(seed=1).request(bytearray(6))  # type: ignore[arg-type]
    size: str = handler.diagnostics().last_wrong_length  # type: ignore[assignment]
    del size


def main() -> None:
    frame_round_trip()
    data_types()
    assert [i.cycle for i in lossy_link()] == [1, 2]
    final = master_with_virtual_slave()
    assert final is tarnwick.StateData, final
    assert master_with_device() == 0x1234


if __name__ == "__main__":
    main()
