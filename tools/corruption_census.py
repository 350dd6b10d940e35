"""Counts the bit corruptions of Data-state frames that each receiver rejects.

Master: for every safe-data size, every 1-, 2- and 3-bit corruption of an accepted
reply goes through the whole handler (restored to the same state each time) with
--handler; without it the exact CRC model decides them (much faster). 4-bit
corruptions are counted with the model. Slave: every 1- to 4-bit corruption of an
accepted request goes through the virtual slave.

Run after `make build`:  .venv-3.11/bin/python tools/corruption_census.py [--handler]
"""

import argparse
import sys
import time
from math import comb
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

from test_reliability_corruption import (  # noqa: E402
    MASTER_SIZES,
    MasterInData,
    SlaveInData,
    corruptions,
    flip,
)

from virtual_slave import brisel  # noqa: E402

State = brisel.FSOEState


def master_census(through_handler):
    print("master: size, bits, tried, rejected, through (how)")
    for n in MASTER_SIZES:
        m = MasterInData(n)
        for k in (1, 2, 3, 4):
            tried = comb(m.checks.nbits, k)
            if through_handler and k <= 3:
                through = 0
                for bits in corruptions(len(m.clean), k):
                    took, _ = m.deliver(flip(m.clean, bits))
                    through += took
                how = "handler"
            else:
                through = len(m.checks.escapes(k))
                how = "model"
            print(f"  n={n:2} k={k} tried={tried:>9} rejected={tried - through:>9} "
                  f"through={through} ({how})")  # fmt: skip
            sys.stdout.flush()
        m.close()


def slave_census():
    print("slave: size, bits, tried, rejected, through")
    for words in (3, 4, 6):
        brisel.set_mock_time(0)
        brisel.seed_random(1)
        brisel.set_sra_crc(0)
        brisel.init()
        slave = SlaveInData(words)
        for k in (1, 2, 3, 4):
            tried = through = 0
            for bits in corruptions(len(slave.clean), k):
                state, sto, _ = slave.deliver(flip(slave.clean, bits))
                tried += 1
                through += state == State.FSOE_STATE_DATA or sto
            print(f"  n={words - 2} k={k} tried={tried:>9} rejected={tried - through:>9} "
                  f"through={through}")  # fmt: skip
            sys.stdout.flush()
        brisel.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--handler", action="store_true", help="master 1- to 3-bit corruptions through the handler"
    )
    args = parser.parse_args()
    start = time.perf_counter()
    slave_census()
    master_census(args.handler)
    print(f"{time.perf_counter() - start:.0f} s")


if __name__ == "__main__":
    main()
