"""Virtual FSoE slave: ``from virtual_slave import brisel``; a fault-injecting channel
between a master and a device: ``virtual_slave.Link``."""

from virtual_slave._version import __version__ as __version__
from virtual_slave.link import Direction as Direction
from virtual_slave.link import Fault as Fault
from virtual_slave.link import Injection as Injection
from virtual_slave.link import Link as Link
