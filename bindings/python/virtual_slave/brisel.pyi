"""Virtual FSoE slave"""

# Kept by hand: brisel's functions are objects of the module's own function type,
# whose signatures stubgen cannot read. tests/python/test_typing.py checks this file
# against the built module (names, parameters named in annotations, docstrings).

import enum
from collections.abc import Callable, Sequence
from typing import SupportsIndex

from typing_extensions import Self

MAX_DICT_KEY: int
VARN_SIZE_FORMAT_BYTES: int
VARN_SIZE_FORMAT_BITS: int

class FSOEState(enum.Enum):
    """States of the virtual slave's FSoE connection."""

    FSOE_STATE_RESET = 0
    FSOE_STATE_SESSION = 1
    FSOE_STATE_CONNECTION = 2
    FSOE_STATE_PARAMETER = 3
    FSOE_STATE_DATA = 4

# Mock clock, random source and SRA CRC

def set_mock_time(u32SetTimeUs: SupportsIndex) -> None:
    """Set the mock clock, in microseconds."""

def get_time() -> int:
    """The mock clock, in microseconds."""

def seed_random(seed: SupportsIndex) -> None:
    """Set the state of the mock random source."""

def get_mock_random_u16() -> int:
    """Advance the mock random source and return its new state."""

def set_sra_crc(new_sra: SupportsIndex) -> None:
    """Set the SRA CRC the slave expects as the application parameter."""

def get_sra_crc() -> int:
    """The SRA CRC the slave expects as the application parameter."""

# Object dictionary

def dict_read16(key: SupportsIndex) -> int:
    """Perform a read operation on the slave mock dictionary"""

def dict_read32(key: SupportsIndex) -> int:
    """Perform a read operation on the slave mock dictionary"""

def dict_write16(key: SupportsIndex, data: SupportsIndex) -> None:
    """Perform a write operation on the slave mock dictionary"""

def dict_write32(key: SupportsIndex, data: SupportsIndex) -> None:
    """Perform a write operation on the slave mock dictionary"""

def dict_fast_write32(key: SupportsIndex, data: SupportsIndex) -> None:
    """Perform a write operation with fast API on the slave mock dictionary"""

def get_status_sto() -> bool:
    """The STO status held by the mock dictionary."""

# Static map

def static_map_set_lock(locked: bool = True) -> None:
    """Lock or unlock the static map; unlocking sets its frame size to 0."""

def static_map_validate() -> None:
    """Validate the static map; raises ValueError if it is invalid. Does not lock it."""

def _handle_static_map_return(value: SupportsIndex) -> None:
    """Turn a static map return code into None or an exception."""

def static_map_get_rx_count() -> int:
    """Number of rx (master to slave) items."""

def static_map_set_rx_count(count: SupportsIndex) -> None:
    """Set the number of rx (master to slave) items."""

def static_map_get_tx_count() -> int:
    """Number of tx (slave to master) items."""

def static_map_set_tx_count(count: SupportsIndex) -> None:
    """Set the number of tx (slave to master) items."""

def _format_mapped_item(
    register_address: SupportsIndex, size_in_bits: int, padding: bool = False
) -> int:
    """The 32-bit encoding of a mapped item."""

def static_map_set_rx_item(
    index: SupportsIndex, register_address: SupportsIndex, size_in_bits: int, padding: bool = False
) -> None:
    """Set rx item `index` (1 to 15)."""

def static_map_set_tx_item(
    index: SupportsIndex, register_address: SupportsIndex, size_in_bits: int, padding: bool = False
) -> None:
    """Set tx item `index` (1 to 15)."""

def static_map_set_rx_padding(index: SupportsIndex, size_in_bits: int) -> None:
    """Set rx item `index` (1 to 15) to padding of `size_in_bits` bits."""

def static_map_set_tx_padding(index: SupportsIndex, size_in_bits: int) -> None:
    """Set tx item `index` (1 to 15) to padding of `size_in_bits` bits."""

# Engine life cycle and frame exchange

def init() -> None:
    """Initialise the virtual slave: dictionary, static map and engine."""

def start() -> None:
    """Validate and lock the static map and activate the engine; with an invalid map the engine stays inactive."""  # noqa: E501

def stop() -> None:
    """Deactivate the engine, unlock the static map and return to the Reset state."""

def process() -> None:
    """One engine step: watchdog, pending request, reply."""

def set_request(data: bytes) -> None:
    """Take the master's request frame."""

def get_reply() -> bytes:
    """The slave's current reply frame."""

def get_frame_size_words() -> int:
    """The engine's frame size in 16-bit words."""

def get_state() -> FSOEState:
    """The engine's current state."""

def _step_pairs(
    masters: list[object],
    devices: list[_VirtualSlave],
    clock: object,
    cycle_us: int,
    classes: list[object],
) -> tuple[list[tuple[int, BaseException]], list[int]]:
    """One bus cycle of every master/device pair (virtual_slave.Network's native step): returns (failures as (index, exception), indices whose master changed state)"""  # noqa: E501

# Devices of their own (virtual_slave.VirtualSlave derives from this class)

class _VirtualSlave:
    """A simulated FSoE device of its own: engine, object dictionary, data maps, mock clock and random source."""  # noqa: E501

    def __init__(
        self,
        rx_map: Sequence[tuple[int | None, int]],
        tx_map: Sequence[tuple[int | None, int]],
        *,
        objects: Sequence[tuple[int, int, int]] = (),
        sra_crc: int = 0,
        slave_address: int = 0x1234,
        seed: int = 1,
        time_us: int = 0,
        on_cycle: Callable[[Self], object] | None = None,
    ) -> None:
        """A started device: application objects `objects` (key, bits, initial), the rx map over the master's outputs and the tx map over the device's inputs."""  # noqa: E501

    def set_request(self, data: bytes) -> None:
        """Take the master's request frame (at most 36 bytes)."""

    def process(self) -> None:
        """One engine step (watchdog, request, reply), then on_cycle."""

    def get_reply(self) -> bytes:
        """The device's current reply frame."""

    def cycle(self, request: bytes) -> bytes:
        """set_request(request), process() and get_reply() in one call."""

    def start(self) -> bool:
        """Activate the engine with the device's maps (after stop())."""

    def stop(self) -> None:
        """Deactivate the engine: outputs to 0, back to Reset."""

    @property
    def state(self) -> FSOEState:
        """The engine's current state."""

    @property
    def time_us(self) -> int:
        """The mock clock in microseconds (32 bits, wraps); only the Data-state watchdog reads it."""  # noqa: E501

    @time_us.setter
    def time_us(self, us: int) -> None: ...
    def advance(self, us: int) -> None:
        """Move the mock clock on by `us` microseconds."""

    def seed_random(self, seed: int) -> None:
        """Set the state of the random source behind the device's session ids."""

    def read(self, key: int) -> int:
        """An object's value: an application object's, or a numeric protocol object's."""

    def write(self, key: int, value: int) -> None:
        """Set an application object, or a writable protocol object (ValueError when refused)."""

    @property
    def sto(self) -> bool:
        """The STO status (object 0x040)."""

    @property
    def rx_bytes(self) -> int:
        """Safe-data bytes of the master's requests (the rx map's size)."""

    @property
    def tx_bytes(self) -> int:
        """Safe-data bytes of the device's replies (the tx map's size)."""

    @property
    def on_cycle(self) -> Callable[[Self], object] | None:
        """Called with the device after each process(); None for none."""

    @on_cycle.setter
    def on_cycle(self, hook: Callable[[Self], object] | None) -> None: ...
