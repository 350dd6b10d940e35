"""pytest fixtures for FSoE tests, registered through the ``pytest11`` entry point.

Loading the plugin imports no extension module, starts no thread and changes
nothing: the fixtures import what they need when a test asks for them.

- ``fsoe_network``: an empty ``Network``; every master added to it is deleted after
  the test.
- ``fsoe_add_pair``: ``add(out_bytes=2, in_bytes=None, **options)`` adds a master and
  its mirrored device to ``fsoe_network`` and returns the connection, in Data
  (``virtual_slave.testing.add_pair``).
- ``fsoe_pair``: one such connection with 2 bytes each way.
- ``fsoe_pairs``: ``make(n, out_bytes=2, ...)`` adds ``n`` of them.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable

import pytest

if TYPE_CHECKING:
    from collections.abc import Iterator

    from virtual_slave.network import Connection, Network


@pytest.fixture
def fsoe_network() -> Iterator[Network]:
    from virtual_slave.network import Network

    network = Network()
    yield network
    for connection in network.connections:
        connection.master.delete()


@pytest.fixture
def fsoe_add_pair(fsoe_network: Network) -> Callable[..., Connection]:
    from virtual_slave.testing import add_pair

    def add(out_bytes: int = 2, in_bytes: int | None = None, **options: Any) -> Connection:
        return add_pair(fsoe_network, out_bytes, in_bytes, **options)

    return add


@pytest.fixture
def fsoe_pair(fsoe_add_pair: Callable[..., Connection]) -> Connection:
    return fsoe_add_pair()


@pytest.fixture
def fsoe_pairs(fsoe_add_pair: Callable[..., Connection]) -> Callable[..., list[Connection]]:
    def make(n: int, out_bytes: int = 2, **options: Any) -> list[Connection]:
        return [fsoe_add_pair(out_bytes, **options) for _ in range(n)]

    return make
