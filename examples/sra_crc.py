"""Compute the SRA CRC of a set of safety parameters and hand it to the master.

A device that checks its safety-related application (SRA) parameters expects, as
the FSoE application parameter, a 32-bit CRC over them. `calculate_sra_crc` takes
the parameters as a list of 16-bit words and feeds each word to the CRC low byte
first. Here every parameter is 16 or 32 bits wide, and a 32-bit value is split
into two words, low word first. Which parameters enter the CRC, in which order and
width, is the device's choice: take it from its documentation.

Run it with ``python examples/sra_crc.py``.
"""

from __future__ import annotations

from typing import NamedTuple

import tarnwick

WORD_BITS = 16
WORD_MASK = 0xFFFF


class Parameter(NamedTuple):
    name: str
    value: int
    bits: int  # 16 or 32


# An example set, in the order the device lays it out.
PARAMETERS = [
    Parameter("STO_RESTART_MODE", 1, 16),
    Parameter("SS1_DELAY_MS", 250, 16),
    Parameter("SLS_LIMIT_RPM", 1500, 32),
    Parameter("SLS_MONITOR_MS", 20, 16),
]


def to_words(parameters: list[Parameter]) -> list[int]:
    """The parameters as consecutive 16-bit words, a 32-bit value low word first."""
    words: list[int] = []
    for p in parameters:
        if p.bits not in (16, 32):
            raise ValueError(f"{p.name}: width {p.bits} bits, expected 16 or 32")
        if not 0 <= p.value < 1 << p.bits:
            raise ValueError(f"{p.name}: {p.value} does not fit in {p.bits} unsigned bits")
        for shift in range(0, p.bits, WORD_BITS):
            words.append((p.value >> shift) & WORD_MASK)
    return words


def sra_crc(parameters: list[Parameter]) -> int:
    return tarnwick.calculate_sra_crc(to_words(parameters))


def main() -> None:
    for p in PARAMETERS:
        print(f"{p.name:<18} {p.value:>6}  ({p.bits} bits)")
    words = to_words(PARAMETERS)
    print("words:", " ".join(f"{w:04X}" for w in words))
    crc = sra_crc(PARAMETERS)
    print(f"SRA CRC: 0x{crc:08X}")

    # The master sends the CRC as its one 4-byte application parameter, in the
    # Parameter state; the slave compares it with the CRC it computed itself.
    parameter = tarnwick.ApplicationParameter("sra_crc", crc, n_bytes=4)
    print(f"application parameter {parameter.name}: 0x{parameter.raw_value:08X}")


if __name__ == "__main__":
    main()
