"""Virtual FSoE slave"""

# Kept by hand: brisel's functions are objects of the module's own function type,
# whose signatures stubgen cannot read. tests/python/test_typing.py checks this file
# against the built module (names, parameters named in annotations, docstrings).

import enum
from typing import SupportsIndex

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
