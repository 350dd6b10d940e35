"""Virtual FSoE slave: ``from virtual_slave import brisel`` (one default device);
``virtual_slave.VirtualSlave`` for devices of their own; a simulated safety network:
``virtual_slave.Network``; a fault-injecting channel between a master and a device:
``virtual_slave.Link``; capture files Wireshark opens: ``virtual_slave.CaptureWriter``,
``virtual_slave.read_capture``."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from virtual_slave._version import __version__ as __version__

if TYPE_CHECKING:
    from virtual_slave.capture import CapturedFrame as CapturedFrame
    from virtual_slave.capture import CaptureError as CaptureError
    from virtual_slave.capture import CaptureWriter as CaptureWriter
    from virtual_slave.capture import read_capture as read_capture
    from virtual_slave.device import MapItem as MapItem
    from virtual_slave.device import VirtualSlave as VirtualSlave
    from virtual_slave.link import Direction as Direction
    from virtual_slave.link import Fault as Fault
    from virtual_slave.link import Injection as Injection
    from virtual_slave.link import Link as Link
    from virtual_slave.network import Connection as Connection
    from virtual_slave.network import Network as Network
    from virtual_slave.network import NetworkError as NetworkError

# Loaded on first use, so importing the package (as the pytest plugin does in every
# run) loads no extension module.
_LAZY = {
    "VirtualSlave": "device",
    "MapItem": "device",
    "Network": "network",
    "Connection": "network",
    "NetworkError": "network",
    "Link": "link",
    "Fault": "link",
    "Direction": "link",
    "Injection": "link",
    "CaptureWriter": "capture",
    "CapturedFrame": "capture",
    "CaptureError": "capture",
    "read_capture": "capture",
}


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'virtual_slave' has no attribute {name!r}")
    import importlib

    return getattr(importlib.import_module(f"virtual_slave.{module}"), name)


def __dir__() -> list[str]:
    return sorted([*globals(), *_LAZY])
