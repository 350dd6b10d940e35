"""Type-check the installed stubs, and the package's own typed Python, with mypy --strict.

mypy reports nothing about stubs it finds in site-packages, so the stubs are
copied next to each other in a scratch directory and checked there.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import tarnwick
import virtual_slave


def main() -> int:
    tarnwick_stub = Path(tarnwick.__file__).with_name("tarnwick.pyi")
    package = Path(virtual_slave.__file__).parent
    with tempfile.TemporaryDirectory() as scratch:
        root = Path(scratch)
        shutil.copy(tarnwick_stub, root / "tarnwick.pyi")
        (root / "virtual_slave").mkdir()
        for name in ("__init__.py", "_version.py", "brisel.pyi", "device.py", "link.py",
                     "network.py", "testing.py", "campaign.py", "pytest_plugin.py",
                     "capture.py", "timeline.py", "fsoe_wire.py", "decode.py",
                     "py.typed"):  # fmt: skip
            shutil.copy(package / name, root / "virtual_slave" / name)
        command = [sys.executable, "-m", "mypy", "--strict", "tarnwick.pyi", "virtual_slave"]
        return subprocess.run(command, cwd=root, check=False).returncode


if __name__ == "__main__":
    sys.exit(main())
