"""The bus-cycle path (get_request, set_request, process, get_reply, set_reply) makes
no system call: a pair is run under `strace -c` on the application's thread, with
and without Data cycles, and the two counts compared. A count, not a timing."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

CYCLES = 100_000
# Allowance for what the interpreter may do now and then (a heap growing); a path
# that takes a system call per cycle, or per hundred cycles, is far above it.
MAX_PER_CYCLE = 0.001
TOTAL_LINE = re.compile(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?total\s*$", re.M)
CHILD = """
import sys
sys.path.insert(0, {tests!r})
from pair_helpers import Pair
pair = Pair(2)
pair.connect()
pair.handler.set_fail_safe(False)
pair.run({cycles})
assert pair.connected()
pair.close()
"""
# A device of its own with 16-byte frames, on the master's clock (clock= and poll()).
DEVICE_CHILD = """
import sys
sys.path.insert(0, {tests!r})
from test_device import Bus
bus = Bus(16, 16)
bus.connect()
for _ in range({cycles}):
    bus.cycle()
assert bus.connected()
"""

pytestmark = [
    pytest.mark.skipif(not shutil.which("strace"), reason="strace is not installed"),
    pytest.mark.skipif(
        "asan" in os.environ.get("LD_PRELOAD", ""),
        reason="the sanitizer runtime makes system calls of its own",
    ),  # fmt: skip
]


def calls_in_run(cycles, child=CHILD):
    code = child.format(tests=str(Path(__file__).parent), cycles=cycles)
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as summary:
        run = subprocess.run(["strace", "-c", "-o", summary.name, sys.executable, "-c", code],
                             capture_output=True, text=True, timeout=300)  # fmt: skip
        if run.returncode != 0 and "ptrace" in run.stderr:
            pytest.skip("this machine does not allow ptrace")
        assert run.returncode == 0, run.stderr
        match = TOTAL_LINE.search(summary.read())
    assert match, "no total in strace's summary"
    return int(match.group(1))


@pytest.mark.parametrize("child", [CHILD, DEVICE_CHILD], ids=["brisel", "device"])
def test_data_cycles_make_no_system_call(child):
    idle = calls_in_run(0, child)
    busy = calls_in_run(CYCLES, child)
    assert idle > 0  # the count is real: start-up alone makes many calls
    assert (busy - idle) / CYCLES < MAX_PER_CYCLE, (idle, busy)
