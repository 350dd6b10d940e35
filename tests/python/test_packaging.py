"""What an installed copy of the toolkit carries besides its code."""

import importlib.metadata
import re
import subprocess
from pathlib import Path, PurePosixPath

import pytest

import tarnwick
import virtual_slave

ROOT = Path(__file__).resolve().parents[2]


def project_version() -> str:
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    match = re.search(r'^version\s*=\s*"([^"]+)"', text, re.MULTILINE)
    assert match, "pyproject.toml names no version"
    return match.group(1)


def test_both_packages_report_the_project_version():
    assert tarnwick.__version__ == virtual_slave.__version__ == project_version()


def test_the_installed_distribution_holds_the_python_modules_only():
    """The C/C++ side's headers, libraries, CMake package and pkg-config files are for
    `cmake --install`; a wheel (and pip install) must not carry them into site-packages."""
    files = [PurePosixPath(str(f)) for f in importlib.metadata.files("tarnwick") or []]
    modules = {(f.parent.as_posix(), f.name.split(".")[0]) for f in files if f.suffix == ".so"}
    assert {(".", "tarnwick"), ("virtual_slave", "brisel")} <= modules
    native = [
        str(f)
        for f in files
        if f.suffix in (".h", ".hpp", ".a", ".pc", ".cmake")
        or f.name.startswith("libtarnwick")
        or {"include", "cmake", "pkgconfig"} & set(f.parts)
    ]
    assert native == []


def test_changelog_has_an_entry_for_the_version():
    changelog = (ROOT / "CHANGELOG.md").read_text(encoding="utf-8")
    assert re.search(rf"^## \[?{re.escape(project_version())}\]?", changelog, re.MULTILINE)


@pytest.mark.parametrize("target", ["demo", "test"])
def test_make_names_an_interpreter_that_does_not_run(target):
    # A pyenv shim without its version used to fail later as ".venv-/.ready: Error 127".
    result = subprocess.run(
        ["make", "-n", "-C", str(ROOT), target, "PYTHON=python3.99-missing"],
        capture_output=True, text=True, check=False,
    )  # fmt: skip
    assert result.returncode != 0
    assert "PYTHON=python3.99-missing does not run:" in result.stderr
    assert ".venv-/" not in result.stdout + result.stderr
