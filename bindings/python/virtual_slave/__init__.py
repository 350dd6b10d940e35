"""Virtual FSoE slave: ``from virtual_slave import brisel`` for the module's one slave,
``virtual_slave.VirtualSlave`` for devices of their own."""

from virtual_slave._version import __version__ as __version__
from virtual_slave.device import MapItem as MapItem
from virtual_slave.device import VirtualSlave as VirtualSlave
