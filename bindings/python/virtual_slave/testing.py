"""Building blocks for FSoE tests: a master and its simulated device in a network, and
assertions on how fast a connection drops to fail-safe and comes back.

The pytest plugin (``virtual_slave.pytest_plugin``) gives these as fixtures; they
work without pytest too.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from virtual_slave.device import VirtualSlave
    from virtual_slave.network import Channel, Connection, Network

STO_KEY = 0x001  # the master's STO command output, mapped on bit 0 of the first byte
STO_STATUS_KEY = 0x002  # the device's STO status input, bit 0 of the first reply byte
# The safety parameters of the example device as 16-bit words; the device checks
# their SRA CRC, the one 4-byte application parameter.
SRA_WORDS = (0x0001, 0x0064, 0x03E8)
DEFAULT_WATCHDOG_S = 0.1
DEFAULT_CONNECT_LIMIT = 1000  # cycles a pair may take to reach Data
MAX_SAFE_DATA_BYTES = 16  # what a frame carries each way
MAX_ID = 0xFFFF  # connection ids and slave addresses are 16 bits


def _check_int(name: str, value: object, low: int, high: int) -> None:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{name} must be {low} to {high}, got {value}")


def add_pair(
    network: Network,
    out_bytes: int = 2,
    in_bytes: int | None = None,
    *,
    watchdog_s: float = DEFAULT_WATCHDOG_S,
    connection_id: int | None = None,
    slave_address: int | None = None,
    link: Channel | None = None,
    connect: bool = True,
) -> Connection:
    """A master (outputs ``out_bytes``, inputs ``in_bytes``, default the same) and the
    device that mirrors it, added to ``network``; with ``connect`` stepped until the
    connection is in Data. Each pair gets its own connection id and slave address
    unless told. The master's dictionary holds ``sto`` (key 1, output, bit 0) and
    ``sto_status`` (key 2, input, bit 0); the rest of the safe data is padding."""
    import tarnwick
    from virtual_slave.device import VirtualSlave

    in_bytes = out_bytes if in_bytes is None else in_bytes
    for name, value in (("out_bytes", out_bytes), ("in_bytes", in_bytes)):
        _check_int(name, value, 1, MAX_SAFE_DATA_BYTES)
    used = {int(c.master.master.session.connection_id.value) for c in network.connections}
    number = max(used, default=0) + 1
    if connection_id is not None:
        _check_int("connection_id", connection_id, 1, MAX_ID)
        if connection_id in used:
            raise ValueError(f"connection id {connection_id} is already used in the network")
    if slave_address is not None:
        _check_int("slave_address", slave_address, 0, MAX_ID)
    sto = tarnwick.DictionaryItemOutput(STO_KEY, "sto", tarnwick.DataType.BOOL)
    status = tarnwick.DictionaryItemInput(STO_STATUS_KEY, "sto_status", tarnwick.DataType.BOOL,
                                          False)  # fmt: skip
    sra = tarnwick.ApplicationParameter("sra", tarnwick.calculate_sra_crc(list(SRA_WORDS)),
                                        n_bytes=4)  # fmt: skip
    master = tarnwick.MasterHandler(
        tarnwick.Dictionary([sto, status]),
        number if slave_address is None else slave_address,
        number if connection_id is None else connection_id,
        watchdog_s,
        [sra],
        clock=network.clock,
    )
    try:
        master.master.dictionary_map.add(sto, 1)
        master.master.dictionary_map.add_padding(8 * out_bytes - 1)
        master.slave.dictionary_map.add(status, 1)
        master.slave.dictionary_map.add_padding(8 * in_bytes - 1)
        device: VirtualSlave = VirtualSlave.mirror(master)
        master.start()
        connection = network.add(
            master, device, link, name=f"pair {master.master.session.connection_id.value}"
        )
    except BaseException:
        master.delete()
        raise
    if connect:
        network.run_until(lambda _: connection.in_data(), DEFAULT_CONNECT_LIMIT)
    return connection


def assert_fail_safe_within(network: Network, connection: Connection, cycles: int) -> int:
    """Steps until the master has left Data (its inputs at their fail-safe values);
    returns the cycles it took. AssertionError when it does not within ``cycles``."""
    return _within(network, connection, cycles, "fail-safe", want_data=False)


def assert_reconnects_within(network: Network, connection: Connection, cycles: int) -> int:
    """Steps until the connection is in Data again; returns the cycles it took.
    AssertionError when it is not within ``cycles``."""
    return _within(network, connection, cycles, "reconnection", want_data=True)


def _within(network: Network, connection: Connection, cycles: int, what: str,
            want_data: bool) -> int:  # fmt: skip
    try:
        return network.run_until(lambda _: connection.in_data() == want_data, cycles)
    except TimeoutError:
        recent = ", ".join(f"{c}:{cls.__name__}" for c, cls in connection.history[-6:])
        raise AssertionError(
            f"{connection.name}: no {what} within {cycles} cycles "
            f"(master in {connection.state.__name__}; last changes {recent})"
        ) from None
