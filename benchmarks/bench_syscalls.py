"""System calls made by the per-cycle path (run on demand; needs strace).

    python benchmarks/bench_syscalls.py [--cycles N] [--size BYTES]

Runs the master against the virtual slave under `strace -c`, following only the
application's thread (the watchdog thread is not traced), once with no Data
cycles and once with N, and prints the difference per cycle. Both runs do the
same set-up and clean-up, so what remains is what the cycles themselves cost.
"""

import argparse
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

DEFAULT_CYCLES = 200_000
# strace's summary line: "100.00    0.012345           3      3687       343 total".
TOTAL_LINE = re.compile(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?total\s*$", re.M)


def child(cycles, size):
    from bench_cycle import PairBench

    pair = PairBench(size)
    pair.handler.set_fail_safe(False)
    pair.run(cycles)
    assert pair.connected(), "the pair left Data"
    pair.close()


def traced_calls(cycles, size):
    """Calls the application thread makes in a whole run with `cycles` cycles."""
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as summary:
        command = [sys.executable, __file__, "--child", str(cycles), "--size", str(size)]
        subprocess.run(["strace", "-c", "-o", summary.name, *command], check=True)
        match = TOTAL_LINE.search(summary.read())
    if not match:
        raise RuntimeError("no total in strace's summary")
    return int(match.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cycles", type=int, default=DEFAULT_CYCLES)
    parser.add_argument("--size", type=int, default=2)
    parser.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child is not None:
        child(args.child, args.size)
        return 0
    if not shutil.which("strace"):
        print("strace is not installed", file=sys.stderr)
        return 2
    base = traced_calls(0, args.size)
    loaded = traced_calls(args.cycles, args.size)
    print(f"Python {sys.version.split()[0]}, {args.size} safe-data bytes, application thread")
    print(f"   system calls, whole run without cycles    {base}")
    print(f"   system calls, whole run with {args.cycles} cycles  {loaded}")
    print(f"   per cycle                                 {(loaded - base) / args.cycles:.6f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
