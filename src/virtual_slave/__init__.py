"""Virtual FSoE slave: ``from virtual_slave import brisel``."""
