"""The documentation shows what the code does: the README's quick start runs, and
the master's state-machine page lists the transitions the module has."""

import importlib.util
import random
import re
import subprocess
import sys
from pathlib import Path

import pytest

import tarnwick
from virtual_slave import brisel

ROOT = Path(__file__).resolve().parents[2]
STATE_PAGE = (ROOT / "docs" / "tarnwick.md").read_text(encoding="utf-8")
TRANSITIONS_HEADER = (ROOT / "include" / "tarnwick" / "transitions.hpp").read_text(encoding="utf-8")


def code_block(markdown, heading):
    section = markdown.split(f"\n## {heading}\n", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.DOTALL).group(1)


def test_readme_quick_start_reaches_the_data_state(capsys):
    """The quick start as printed, against the virtual slave: it connects and the STO
    bit makes the round trip, which is what its comment promises."""
    snippet = code_block((ROOT / "README.md").read_text(encoding="utf-8"), "Quick start")
    assert "# StateData True" in snippet
    namespace = {}
    exec(compile(snippet, "README.md", "exec"), namespace)
    assert capsys.readouterr().out == "StateData True\n"
    assert not namespace["master"].running
    assert brisel.get_frame_size_words() == 0  # the slave was stopped too


def load_example(name):
    path = ROOT / "examples" / f"{name}.py"
    module_spec = importlib.util.spec_from_file_location(f"docs_example_{name}", path)
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[module_spec.name] = module
    module_spec.loader.exec_module(module)
    return module


def test_brisel_page_sets_up_a_slave_the_master_connects_to():
    snippet = code_block(
        (ROOT / "docs" / "brisel.md").read_text(encoding="utf-8"), "A slave in five steps"
    )
    example = load_example("master_with_virtual_slave")
    crc = tarnwick.calculate_sra_crc([1, 250, 1500])
    master = example.create_master(crc, example.Outcome(), lambda _: None)
    master.start()
    try:
        exec(compile(snippet, "brisel.md", "exec"), {"master": master})
        assert master.state is tarnwick.StateData
        assert brisel.get_frame_size_words() == 0  # the snippet ends with stop()
    finally:
        master.stop()
        master.delete()


def test_network_page_example_prints_what_it_shows(capsys):
    page = (ROOT / "docs" / "network.md").read_text(encoding="utf-8")
    snippet = code_block(page, "Example")
    shown = re.search(r"It prints:\n\n```\n(.*?)```", page, re.DOTALL).group(1)
    example = load_example("master_with_virtual_slave")
    sra = tarnwick.calculate_sra_crc([1, 2, 3])
    example.start_virtual_slave(sra)
    random.seed(0)  # the master's session ids
    try:
        exec(compile(snippet, "network.md", "exec"), {"sra": sra})
    finally:
        brisel.stop()
    assert capsys.readouterr().out == shown


def test_network_page_live_capture_loop_writes_both_ways(tmp_path, monkeypatch, fsoe_network):
    """The live loop as printed, with a virtual device as the bus: both frames of each
    cycle are in the file, in order, and the connection they show reached Data."""
    from virtual_slave import read_capture
    from virtual_slave.testing import add_pair

    page = (ROOT / "docs" / "network.md").read_text(encoding="utf-8")
    blocks = re.findall(r"```python\n(.*?)```", page, re.DOTALL)
    (snippet,) = [block for block in blocks if "CaptureWriter(" in block]
    connection = add_pair(fsoe_network, 1, connect=False, slave_address=0x1234)
    cycles = iter(range(40))
    monkeypatch.chdir(tmp_path)
    exec(compile(snippet, "network.md", "exec"), {
        "master": connection.master,
        "exchange": connection.device.cycle,
        "running": lambda: next(cycles, None) is not None,
    })  # fmt: skip
    frames = list(read_capture("bus.pcapng"))
    assert [f.from_master for f in frames] == [True, False] * 40
    assert {f.slave_address for f in frames} == {0x1234}
    assert connection.in_data()


def header_transitions():
    """(name, from, to, code sent) from the transition table of the state machine."""
    rows = re.findall(
        r"X\((\w+),\s*(\w+),\s*(\w+),\s*(\w+),\s*(\w+),\s*(\w+)\)", TRANSITIONS_HEADER
    )
    table = {}
    for name, state, kind, code, _report, next_state in rows:
        sends = code if kind in ("Fail", "ResetStay", "ResetStart") else "—"
        table[name] = (state, next_state, sends)
    return table


def documented_transitions():
    rows = re.findall(
        r"^\| ([A-Z0-9_]+) \| (\w+) \| (\w+) \| [^|]+ \| ([A-Z_—]+) \|$", STATE_PAGE, re.MULTILINE
    )
    return {name: (state, next_state, code) for name, state, next_state, code in rows}


def diagram_transitions():
    diagram = re.search(r"```mermaid\n(.*?)```", STATE_PAGE, re.DOTALL).group(1)
    edges = {}
    for source, target, labels in re.findall(r"(\w+) --> (\w+): (.*)", diagram):
        for label in labels.split(", "):
            span = re.fullmatch(r"(\w+?)(\d+) to \w+?(\d+)", label)
            names = [label]
            if span:
                names = [f"{span[1]}{i}" for i in range(int(span[2]), int(span[3]) + 1)]
            for name in names:
                edges[name] = (source, target)
    return edges


def test_transition_table_is_the_modules():
    assert documented_transitions() == header_transitions()


@pytest.mark.parametrize("name", sorted(header_transitions()))
def test_diagram_draws_every_transition(name):
    state, next_state, _ = header_transitions()[name]
    assert diagram_transitions().get(name) == (state, next_state)


VIRTUAL_SLAVE_PAGE = (ROOT / "docs" / "virtual_slave.md").read_text(encoding="utf-8")


def test_virtual_slave_page_example_connects_and_plays_the_application(capsys):
    snippet = code_block(VIRTUAL_SLAVE_PAGE, "A device in a few lines")
    assert "# FSOE_STATE_DATA 1500 True" in snippet
    namespace = {}
    exec(compile(snippet, "virtual_slave.md", "exec"), namespace)
    assert capsys.readouterr().out == "FSOE_STATE_DATA 1500 True\n"
    # the hook's rule: STO active two cycles after the command first arrived
    commands = namespace["commands"]
    assert commands.index(1) >= 1 and commands[-1] == 1
    assert not namespace["master"].running


def test_virtual_slave_page_device_by_hand_has_the_sizes_its_maps_give():
    namespace = {}
    exec(compile(code_block(VIRTUAL_SLAVE_PAGE, "Constructing a device by hand"), "", "exec"),
         namespace)  # fmt: skip
    device = namespace["device"]
    assert (device.rx_bytes, device.tx_bytes) == (3, 1)
    reply = device.cycle(b"\x77" + bytes(9))  # a Reset frame, error 2 (unknown command)
    assert (len(reply), reply[0], reply[1]) == (6, tarnwick.FSOECommand.RESET.value, 2)


def test_readme_ci_test_passes_with_the_installed_plugin(tmp_path):
    """The README's CI test, as printed, passes in a pytest run of its own: the
    installed package gives it the fsoe_ fixtures."""
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme.split("\n### A safety network in a test\n", 1)[1]
    snippet = re.search(r"```python\n(.*?)```", section, re.DOTALL).group(1)
    (tmp_path / "test_readme_ci.py").write_text(snippet, encoding="utf-8")
    command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(tmp_path)]
    ran = subprocess.run(command, capture_output=True, text=True, cwd=tmp_path, check=False)
    assert ran.returncode == 0, ran.stdout + ran.stderr
    assert "1 passed" in ran.stdout
