"""What an installed copy of the toolkit carries besides its code."""

import re
from pathlib import Path

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


def test_changelog_has_an_entry_for_the_version():
    changelog = (ROOT / "CHANGELOG.md").read_text(encoding="utf-8")
    assert re.search(rf"^## \[?{re.escape(project_version())}\]?", changelog, re.MULTILINE)
