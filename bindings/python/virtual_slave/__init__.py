"""Virtual FSoE slave: ``from virtual_slave import brisel``."""

from virtual_slave._version import __version__ as __version__
