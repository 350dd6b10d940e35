"""The timeline of a simulation run: each connection's master and device states over
the cycles, with the faults injected and the errors reported, drawn with matplotlib.

`Timeline` records while the run goes (a change of state costs a list append, a
cycle without one a comparison); `draw` writes the picture at the end. matplotlib is
an optional extra (``pip install 'tarnwick[plot]'``), imported only by `draw` and
`check`.
"""

from __future__ import annotations

import bisect
import os
from dataclasses import dataclass, field
from typing import Any

__all__ = ["MISSING_MATPLOTLIB", "Timeline", "Track", "check", "draw", "state_name"]

FORMATS = (".svg", ".png")  # what matplotlib writes without further backends
MISSING_MATPLOTLIB = "--timeline needs matplotlib: pip install 'tarnwick[plot]'"
MAX_TRACKS = 16  # more row pairs than this cannot be read on one page; the rest are noted
STATES = ("Reset", "Session", "Connection", "Parameter", "Data")
COLOURS = ("#d9534f", "#f0ad4e", "#f7e07e", "#8ec6e8", "#5cb85c")  # red for Reset .. green
ROW_HEIGHT = 0.8  # of the 1.0 between rows: a gap tells the rows apart
PNG_DPI = 120
LABEL_ANGLE = 40  # fault labels slanted: faults a few cycles apart stay legible


def state_name(name: str) -> str:
    """A master's state class name or a device's FSOEState name as one word: "Data"."""
    return name.replace("FSOE_STATE_", "").replace("State", "").capitalize()


@dataclass
class Track:
    """One connection's record: `master` and `device` are (cycle, state) at every
    change, from the first cycle; `faults` and `errors` are (cycle, label)."""

    name: str
    master: list[tuple[int, str]] = field(default_factory=list)
    device: list[tuple[int, str]] = field(default_factory=list)
    faults: list[tuple[int, str]] = field(default_factory=list)
    errors: list[tuple[int, str]] = field(default_factory=list)

    def observe(self, cycle: int, master: str, device: str) -> None:
        """The states after `cycle`; only changes are kept."""
        for changes, state in ((self.master, master), (self.device, device)):
            if not changes or changes[-1][1] != state:
                changes.append((cycle, state))

    def state_at(self, side: str, cycle: int) -> str | None:
        """The master's or the device's state (side "master" or "device") after `cycle`,
        None before the first observation."""
        changes = self.master if side == "master" else self.device
        at = bisect.bisect_right([c for c, _ in changes], cycle)
        return changes[at - 1][1] if at else None


@dataclass
class Timeline:
    """The tracks of a run, one per connection, and the cycles it lasted."""

    tracks: list[Track] = field(default_factory=list)
    cycles: int = 0

    def track(self, name: str) -> Track:
        self.tracks.append(Track(name))
        return self.tracks[-1]


def check(path: str) -> str | None:
    """What stops `path` from being drawn (a wrong extension, no matplotlib, a place
    that cannot be written), or None. Run before the simulation."""
    if os.path.splitext(path)[1].lower() not in FORMATS:
        return f"--timeline {path}: the picture is written as .svg or .png"
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return MISSING_MATPLOTLIB
    existed = os.path.exists(path)
    try:
        with open(path, "ab"):
            pass
    except OSError as e:
        return f"--timeline {path}: {e.strerror or e}"
    if not existed:
        os.remove(path)
    return None


def draw(timeline: Timeline, path: str) -> None:
    """Writes the picture (SVG or PNG, after `path`'s extension)."""
    from matplotlib.artist import Artist
    from matplotlib.figure import Figure  # Figure alone: no pyplot, no GUI backend
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    shown = timeline.tracks[:MAX_TRACKS]
    figure = Figure(figsize=(11, 1.6 + 1.2 * len(shown)), layout="constrained")
    axes = figure.add_subplot()
    labels = []
    for index, track in enumerate(shown):
        top = 2 * (len(shown) - 1 - index) + 1  # the first connection on top
        _bars(axes, track.master, top, timeline.cycles)
        _bars(axes, track.device, top - 1, timeline.cycles)
        _marks(axes, track, top)
        labels += [(top, f"{track.name} master"), (top - 1, "device")]
    axes.set_yticks([y for y, _ in labels], [text for _, text in labels])
    axes.set_ylim(-0.7, 2 * len(shown) + 0.3)  # room above the top row for fault labels
    axes.set_xlim(0, max(timeline.cycles, 1))
    axes.set_xlabel("cycle")
    title = f"FSoE connection states over {timeline.cycles} cycles"
    if len(timeline.tracks) > len(shown):
        title += f" (the first {len(shown)} of {len(timeline.tracks)} connections)"
    axes.set_title(title)
    legend: list[Artist] = [Patch(color=c, label=s) for s, c in zip(STATES, COLOURS)]
    legend += [
        Line2D([], [], color="black", linestyle="--", marker="v", label="fault injected"),
        Line2D([], [], color="black", linestyle="", marker="x", label="error / reset"),
    ]
    axes.legend(handles=legend, loc="upper left", bbox_to_anchor=(1.01, 1), frameon=False)
    figure.savefig(path, dpi=PNG_DPI)


def _bars(axes: Any, changes: list[tuple[int, str]], row: int, cycles: int) -> None:
    ends = [cycle for cycle, _ in changes[1:]] + [cycles]
    spans: dict[str, list[tuple[int, int]]] = {}
    for (start, state), end in zip(changes, ends):
        spans.setdefault(state, []).append((start, max(end - start, 1)))
    for state, bars in spans.items():
        colour = COLOURS[STATES.index(state)] if state in STATES else "#999999"
        axes.broken_barh(bars, (row - ROW_HEIGHT / 2, ROW_HEIGHT), color=colour)


def _marks(axes: Any, track: Track, top: int) -> None:
    for cycle, label in track.faults:
        axes.vlines(cycle, top - 1.45, top + 0.45, colors="black", linestyles="--", linewidth=1)
        axes.plot(cycle, top + 0.45, marker="v", color="black")
        axes.annotate(label, (cycle, top + 0.45), xytext=(0, 6), textcoords="offset points",
                      fontsize=7, rotation=LABEL_ANGLE)  # fmt: skip
    if track.errors:
        cycles = [cycle for cycle, _ in track.errors]
        axes.plot(cycles, [top] * len(cycles), linestyle="", marker="x", color="black")
