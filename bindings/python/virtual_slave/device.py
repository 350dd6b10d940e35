"""`VirtualSlave`: an independent simulated FSoE device per object.

The bus cycle and the object dictionary are the native `brisel._VirtualSlave`'s;
this class adds `mirror`, which lays a device out from a `tarnwick.MasterHandler`.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Optional

from virtual_slave import brisel

if TYPE_CHECKING:
    from typing_extensions import Self

    import tarnwick

__all__ = ["MapItem", "VirtualSlave"]

MapItem = tuple[Optional[int], int]
"""One map entry: (object key, bits), or (None, bits) for padding."""

SRA_CRC_BYTES = 4  # the one application parameter the device checks
MAX_OBJECT_BITS = 32
WATCHDOG_MS = (50, 10000)  # the watchdog times the device accepts


def _items_of(dictionary_map: Any, what: str) -> list[tuple[int | None, int]]:
    """A master map's entries as (key, bits) pairs; 0-bit entries carry nothing."""
    items: list[tuple[int | None, int]] = []
    for entry in dictionary_map._items:
        if entry.bits == 0:
            continue
        key = None if entry.item is None else int(entry.item.key)
        if key is not None and entry.bits > MAX_OBJECT_BITS:
            raise ValueError(
                f"{what}: item {key:#05x} is mapped on {entry.bits} bits, "
                f"device objects are at most {MAX_OBJECT_BITS}"
            )
        items.append((key, entry.bits))
    return items


def _map_bytes(items: Sequence[tuple[int | None, int]]) -> int:
    return (sum(bits for _, bits in items) + 7) // 8


def _sra_crc(handler: tarnwick.MasterHandler) -> int:
    parameters = handler.master.application_parameters
    sizes = [parameter.n_bytes for parameter in parameters]
    if sizes != [SRA_CRC_BYTES]:
        raise ValueError(
            "the virtual slave expects exactly one 4-byte application parameter "
            f"(the SRA CRC); the master sends {len(sizes)} of {sizes} bytes"
        )
    return int(parameters[0].raw_value)


class VirtualSlave(brisel._VirtualSlave):
    """A simulated FSoE device with its own engine, dictionary, maps, clock and random
    source; any number run side by side. Not safety software: a test double."""

    @classmethod
    def mirror(
        cls,
        handler: tarnwick.MasterHandler,
        *,
        values: Mapping[int, int] | None = None,
        rx_map: Sequence[tuple[int | None, int]] | None = None,
        tx_map: Sequence[tuple[int | None, int]] | None = None,
        seed: int = 1,
        time_us: int = 0,
        on_cycle: Callable[[Self], object] | None = None,
    ) -> Self:
        """The device `handler` connects to: its rx map is the master's output map,
        its tx map the master's input map (or `rx_map`/`tx_map` of the same sizes),
        each mapped item an application object of the same key and width, starting
        at `values[key]` or 0. The SRA CRC is the master's one 4-byte application
        parameter, the address the one the master targets."""
        outputs = _items_of(handler.master.dictionary_map, "the master's output map")
        inputs = _items_of(handler.slave.dictionary_map, "the master's input map")
        for name, given, master_items in (("rx_map", rx_map, outputs), ("tx_map", tx_map, inputs)):
            if given is not None and _map_bytes(given) != _map_bytes(master_items):
                raise ValueError(
                    f"{name} of {_map_bytes(given)} bytes differs from the master's map of "
                    f"{_map_bytes(master_items)} bytes"
                )
        rx = list(outputs if rx_map is None else rx_map)
        tx = list(inputs if tx_map is None else tx_map)
        widths: dict[int, int] = {}
        for key, bits in rx + tx:
            if key is None:
                continue
            if widths.setdefault(key, bits) != bits:
                raise ValueError(
                    f"item {key:#05x} is mapped on {widths[key]} bits in one map and {bits} "
                    "in the other"
                )
        initial = dict(values or {})
        unknown = sorted(set(initial) - set(widths))
        if unknown:
            raise ValueError(f"values for keys the maps do not carry: {unknown}")
        watchdog_ms = int(handler.master.session.watchdog_ms.value)
        if not WATCHDOG_MS[0] <= watchdog_ms <= WATCHDOG_MS[1]:
            raise ValueError(
                f"the master's watchdog of {watchdog_ms} ms is outside the {WATCHDOG_MS[0]} "
                f"to {WATCHDOG_MS[1]} ms the device accepts"
            )
        device = cls(
            rx,
            tx,
            objects=[(key, bits, initial.get(key, 0)) for key, bits in widths.items()],
            sra_crc=_sra_crc(handler),
            slave_address=int(handler.master.session.slave_address.value),
            seed=seed,
            time_us=time_us,
        )
        device.on_cycle = on_cycle
        return device
