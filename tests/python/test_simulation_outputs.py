"""What the simulation command writes besides its text: the capture of every frame on
the wire (--capture) and the picture of the states over the cycles (--timeline)."""

import io
import os
import re
import sys
import types
from collections import Counter
from itertools import groupby

import pytest

from virtual_slave import Direction, Fault, link, network_run, simulation
from virtual_slave.capture import CaptureWriter, read_capture

CYCLE_US = 1000


def run(*argv):
    return simulation.main(list(argv), out=io.StringIO(), err=io.StringIO())


def directions_per_cycle(frames):
    """The senders of each cycle's frames, in order (True: the master)."""
    cycles = groupby(frames, lambda f: f.time_us)
    return [tuple(f.from_master for f in group) for _, group in cycles]


@pytest.mark.parametrize("size, frame_bytes", [(1, 6), (2, 7), (4, 11)])
def test_the_pair_capture_holds_each_frame_as_delivered(tmp_path, monkeypatch, size, frame_bytes):
    corrupted, flip_data_bit = [], simulation.flip_data_bit

    def flip(reply):  # the crc fault's corruption, kept
        corrupted.append(flip_data_bit(reply)[:frame_bytes])
        return flip_data_bit(reply)

    monkeypatch.setattr(simulation, "flip_data_bit", flip)
    path = tmp_path / "pair.pcapng"
    assert run("--cycles", "300", "--size", str(size), "--capture", str(path)) == 0
    frames = list(read_capture(path))
    cycles = directions_per_cycle(frames)
    assert len(cycles) == 300
    # The watchdog fault loses the slave's reply twice; every other cycle carries both.
    assert sorted(set(cycles)) == [(True,), (True, False)]
    assert cycles.count((True,)) == 2
    assert {len(f.data) for f in frames} == {frame_bytes}
    assert {f.slave_address for f in frames} == {simulation.SLAVE_ADDRESS}
    replies = [f.data for f in frames if not f.from_master]
    assert len(corrupted) == 1 and replies.count(corrupted[0]) == 1


def test_the_network_capture_holds_what_each_receiver_got(tmp_path, monkeypatch):
    links = []

    class RecordingLink(link.Link):
        """Keeps every frame it delivers, as (time, from the master, bytes)."""

        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.delivered = []
            links.append(self)

        def request(self, frame):
            return self._keep(True, super().request(frame))

        def reply(self, frame):
            return self._keep(False, super().reply(frame))

        def _keep(self, from_master, frame):
            if frame is not None:
                self.delivered.append((self.cycle * CYCLE_US, from_master, frame))
            return frame

    monkeypatch.setattr(link, "Link", RecordingLink)
    path = tmp_path / "network.pcapng"
    faults = "corruption,loss,insertion,masquerade,crc"
    assert run("--slaves", "3", "--cycles", "1500", "--faults", faults, "--capture", str(path)) == 0
    frames = list(read_capture(path))
    assert len(links) == 3
    for number, carried in enumerate(links, 1):
        address = network_run.SLAVE_ADDRESS_BASE + number
        mine = [f for f in frames if f.slave_address == address]
        assert [(f.time_us, f.from_master, f.data) for f in mine] == carried.delivered
        assert set(directions_per_cycle(mine)) <= {(True,), (False,), (True, False)}
        changed = {
            (i.cycle * CYCLE_US, i.direction is Direction.REQUEST, i.delivered)
            for i in carried.injections
            if i.fault in (Fault.CORRUPTION, Fault.INSERTION, Fault.MASQUERADE) and i.applied
        }
        assert len(changed) >= 3
        assert changed <= {(f.time_us, f.from_master, f.data) for f in mine}
        lost = {
            (i.cycle * CYCLE_US, i.direction is Direction.REQUEST)
            for i in carried.injections
            if i.delivered is None
        }
        assert lost and not lost & {(f.time_us, f.from_master) for f in mine}


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--capture", "missing/c.pcapng"], "No such file or directory"),
        (["--slaves", "2", "--capture", "missing/c.pcapng"], "No such file or directory"),
        (["--capture", "/dev/full"], "No space left on device"),
        (["--capture", "same.svg", "--timeline", "same.svg"], "name the same file"),
    ],
)
def test_an_unwritable_capture_stops_before_the_run(tmp_path, monkeypatch, capsys, argv,
                                                    message):  # fmt: skip
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as info:
        simulation.main(argv)
    assert info.value.code == 2
    err = capsys.readouterr()
    assert message in err.err and "Exception ignored" not in err.err
    assert err.out == "" and not os.listdir(tmp_path)


def test_a_network_captures_while_told_to(fsoe_network, fsoe_pairs):
    pairs = fsoe_pairs(2, 1)
    out = io.BytesIO()
    fsoe_network.capture = CaptureWriter(out)
    start = fsoe_network.clock.now_us
    fsoe_network.run(3)
    fsoe_network.capture = None
    fsoe_network.run(3)
    frames = list(read_capture(io.BytesIO(out.getvalue())))
    addresses = [int(p.master.master.session.slave_address.value) for p in pairs]
    expected = [
        (start + CYCLE_US * c, a, m) for c in range(3) for a in addresses for m in (True, False)
    ]
    assert [(f.time_us, f.slave_address, f.from_master) for f in frames] == expected
    with pytest.raises(TypeError, match="write"):
        fsoe_network.capture = "net.pcapng"


# -- the timeline ----------------------------------------------------------------------

HEADERS = {".png": b"\x89PNG\r\n\x1a\n", ".svg": b"<svg"}


@pytest.fixture
def matplotlib_needed():
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        if os.environ.get("FSOE_REQUIRE_PLOT") == "1":
            pytest.fail("FSOE_REQUIRE_PLOT=1 but matplotlib is not installed")
        pytest.skip("matplotlib is not installed (pip install 'tarnwick[plot]')")


def drawn(path, *argv):
    out = io.StringIO()
    code, timeline = simulation.run([*argv, "--timeline", str(path)], out=out, err=io.StringIO())
    assert code == 0
    assert HEADERS[path.suffix] in path.read_bytes()[:200]
    return timeline, out.getvalue()


@pytest.mark.parametrize("suffix", [".png", ".svg"])
def test_the_pair_timeline_shows_what_the_run_saw(tmp_path, matplotlib_needed, suffix):
    timeline, text = drawn(tmp_path / f"pair{suffix}", "--cycles", "300", "--faults", "crc,sra")
    (track,) = timeline.tracks
    assert timeline.cycles == 300 and [f for _, f in track.faults] == ["crc", "sra"]
    reported = dict(re.findall(r"(\w+) x(\d+)", text.split("errors reported")[1].split("\n")[0]))
    assert Counter(name for _, name in track.errors) == {k: int(n) for k, n in reported.items()}
    back = [int(n) for n in re.findall(r"reconnected, (\d+) cycles after the fault", text)]
    for (cycle, _), cycles in zip(track.faults, back):
        assert track.state_at("master", cycle) == track.state_at("device", cycle) == "Data"
        after = range(cycle + 1, cycle + cycles + 1)
        assert any(track.state_at("master", c) != "Data" for c in after)
        both = [c for c in after if track.state_at("master", c) == track.state_at("device", c)]
        assert [c for c in both if track.state_at("master", c) == "Data"][0] == cycle + cycles
        assert any(cycle < c <= cycle + cycles for c, _ in track.errors)
    assert track.state_at("master", 300) == track.state_at("device", 300) == "Data"


def test_the_network_timeline_has_a_row_pair_per_connection(tmp_path, matplotlib_needed):
    argv = ("--slaves", "20", "--cycles", "400", "--faults", "crc")
    timeline, text = drawn(tmp_path / "network.svg", *argv)
    assert len(timeline.tracks) == 20
    assert "first 16 of 20 connections" in (tmp_path / "network.svg").read_text()
    listed = [int(c) for c in re.findall(r"cycle +(\d+) +crc", text)]
    assert sorted(c for t in timeline.tracks for c, _ in t.faults) == sorted(listed)
    for track in timeline.tracks:
        ((cycle, _),) = track.faults
        assert track.state_at("master", cycle) == "Data"
        resets = [c for c, _ in track.errors if c > cycle]
        assert resets and track.state_at("master", resets[0] - 1) == "Data"
        # Named by the transition the master reported: its own CRC check or the slave's.
        assert dict(track.errors)[resets[0]] in ("DATA_FAIL1", "DATA_RESET1")
        assert track.state_at("master", resets[0]) in ("Reset", "Session")
        assert track.state_at("master", 400) == "Data"


@pytest.mark.parametrize(
    "name, missing, message",
    [
        ("t.svg", True, "--timeline needs matplotlib: pip install 'tarnwick[plot]'"),
        ("t.pdf", False, "written as .svg or .png"),
        ("no/dir/t.png", False, "No such file or directory"),
    ],
)
def test_timeline_problems_stop_before_the_run(tmp_path, monkeypatch, capsys, name, missing,
                                               message):  # fmt: skip
    # None: the import fails; an empty module: it succeeds, matplotlib or not.
    monkeypatch.setitem(sys.modules, "matplotlib", None if missing else types.ModuleType("mpl"))
    with pytest.raises(SystemExit) as info:
        simulation.main(["--timeline", str(tmp_path / name), "--capture", str(tmp_path / "c")])
    assert info.value.code == 2
    assert message in capsys.readouterr().err
    assert not os.listdir(tmp_path)  # nothing written, not even the capture
