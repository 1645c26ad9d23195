"""Speed and memory of vexo.echoes (a benchmark, not a test).

    python bench/echo_speed.py [MiB] [make_dft] [layout.toml]

Generates a synthetic DFT file of MiB mebibytes (default 1024) with make_dft (default
build/make_dft) and finds its echoes and their directions with a layout (default
examples/layout.toml). Prints, best of two runs each, the runs alternated:
- vexo.echoes with its default threads (one a core) and with threads=1: seconds, echo rows a
  second and MB/s of input;
- the floor: the same parts read alone through one reader, as vexo.echoes reads them, and
  how many times that vexo.echoes takes;
- the direction fit alone on as many rows of the bundled layout, and on rows of eight antennas
  at 10 MHz (a layout without repeated spacings, about 120 m across), on one thread and on
  one a core;
- vexo.drift of the table;
- the peak memory of vexo.echoes besides its table, for a 64 MiB file and for this one, and of
  taking this file's vexo.echo_blocks one after another (nothing kept).
The figures depend on how many lines stand out of the synthetic sounding, not on its phases.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Tuple

import numpy as np

import vexo
from vexo._directions.chunks import chunks, shapes
from vexo._directions.fit import SPEED_OF_LIGHT, DirectionFit
from vexo._reading.index import FileIndex
from vexo._reading.parts import read_part

ROOT = Path(__file__).resolve().parents[1]
EIGHT = {1: (29.5, 5.5), 2: (31.1, 45.4), 3: (-0.4, 42.0), 4: (-37.2, 48.3),
         5: (-24.1, 6.6), 6: (-36.2, -31.5), 7: (-2.0, -35.9), 8: (28.4, -50.5)}


def alternated(runs: int, works: Dict[str, Callable[[], Any]]) -> Dict[str, Tuple[float, Any]]:
    """The shortest wall time of each work over `runs` rounds that run every work in turn,
    and what its last run gave."""
    times: Dict[str, List[float]] = {name: [] for name in works}
    got: Dict[str, Any] = {}
    for _ in range(runs):
        for name, work in works.items():
            start = time.perf_counter()
            got[name] = work()
            times[name].append(time.perf_counter() - start)
    return {name: (min(times[name]), got[name]) for name in works}


def read_only(path: str) -> None:
    """The parts vexo.echoes reads, read and dropped through one reader: its reading alone."""
    index = FileIndex.of(path)
    entries = index.asked(taking=True)
    entries = entries[np.isfinite(entries["line_spacing"]) & np.isfinite(entries["rate"])]
    reader = index.part_reader(True)
    for run in (some for chunk in chunks(entries) for some in shapes(chunk)):
        read_part(index, run, reader=reader,
                  kinds=("phase_degrees", "amplitude_db", "subblock_number", "frequency",
                         "height", "gain", "polarization"))


def peak_mib(path: str, layout: str, blocks: bool = False) -> Tuple[float, float]:
    """The peak resident memory (MiB) of vexo.echoes of a file in a process of its own, and
    that of its table's columns; with blocks, of taking its vexo.echo_blocks (none kept)."""
    code = ("import sys, vexo\n"
            "if sys.argv[3] == 'blocks':\n"
            "    size = 0\n"
            "    for b in vexo.echo_blocks(sys.argv[1], layout=sys.argv[2]): pass\n"
            "else:\n"
            "    t = vexo.echoes(sys.argv[1], layout=sys.argv[2])\n"
            "    size = int(t.memory_usage(deep=False).sum())\n"
            "peak = next(l.split()[1] for l in open('/proc/self/status') "
            "if l.startswith('VmHWM:'))\n"
            "print(peak, size)\n")
    out = subprocess.run([sys.executable, "-c", code, path, layout,
                          "blocks" if blocks else "table"],
                         check=True, capture_output=True, text=True)
    peak, size = out.stdout.split()
    return int(peak) / 1024, int(size) / 2**20


def plane_waves(layout: vexo.Layout, rows: int, khz: float) -> Tuple[np.ndarray, ...]:
    """Rows of plane waves from zenith angles up to 70° with 10° of phase noise."""
    rng = np.random.default_rng(1)
    lam = np.full(rows, SPEED_OF_LIGHT / (khz * 1000))
    size, angle = np.sin(np.deg2rad(rng.uniform(0, 70, rows))), rng.uniform(0, 2 * np.pi, rows)
    path = np.outer(size * np.sin(angle), layout.east) + np.outer(size * np.cos(angle),
                                                                  layout.north)
    phases = np.mod(360 * path / lam[:, None] + rng.normal(0, 10, path.shape), 360)
    return phases, lam, np.full(rows, 10.0)


def fit_speed(label: str, layout: vexo.Layout, rows: int, khz: float) -> None:
    phases, lam, sigma = plane_waves(layout, rows, khz)
    fits = {"one a core": DirectionFit(layout), "one thread": DirectionFit(layout, threads=1)}
    for fit in fits.values():
        fit.fit_rows(phases[:10], lam[:10], sigma[:10], 0.01)  # the grid made once
    got = alternated(2, {name: (lambda f=fit: f.fit_rows(phases, lam, sigma, 0.01))
                         for name, fit in fits.items()})
    for name, (seconds, _) in got.items():
        print(f"  {label + ', ' + name:46s} {seconds:7.2f} s {rows / seconds:10.0f} rows/s")


def main() -> None:
    mib = int(sys.argv[1]) if len(sys.argv) > 1 else 1024
    make_dft = sys.argv[2] if len(sys.argv) > 2 else str(ROOT / "build" / "make_dft")
    layout = sys.argv[3] if len(sys.argv) > 3 else str(ROOT / "examples" / "layout.toml")
    folder = tempfile.mkdtemp(prefix="vexo-bench-")
    try:
        run(folder, make_dft, mib, layout)
    finally:
        shutil.rmtree(folder)


def run(folder: str, make_dft: str, mib: int, layout: str) -> None:
    path = os.path.join(folder, "big.dft")
    small = os.path.join(folder, "small.dft")
    subprocess.run([make_dft, path, str(mib * 256)], check=True)
    subprocess.run([make_dft, small, str(64 * 256)], check=True)
    size = os.path.getsize(path)
    with open(path, "rb") as f:  # into the page cache
        while f.read(1 << 24):
            pass
    print(f"{size / 2**20:.0f} MiB, {size // 4096} records; layout: {layout}; "
          f"{os.cpu_count()} cores")
    got = alternated(2, {
        "vexo.echoes, one thread a core": lambda: vexo.echoes(path, layout=layout),
        "vexo.echoes, threads=1": lambda: vexo.echoes(path, layout=layout, threads=1),
        "floor: the same parts read alone": lambda: read_only(path),
    })
    floor = got["floor: the same parts read alone"][0]
    for name, (seconds, table) in got.items():
        if table is None:
            print(f"{name:48s} {seconds:7.2f} s {'':17s} {size / seconds / 1e6:6.0f} MB/s")
            continue
        print(f"{name:48s} {seconds:7.2f} s {len(table) / seconds:10.0f} rows/s "
              f"{size / seconds / 1e6:6.0f} MB/s  {seconds / floor:4.1f}x the floor "
              f"({len(table)} rows, {table.resolved.mean():.1%} resolved)")
    table = got["vexo.echoes, one thread a core"][1]
    print("the direction fit alone:")
    fit_speed("bundled layout, rows of 3200 kHz", vexo.Layout.of(layout), len(table), 3200.0)
    fit_speed("eight antennas at 10 MHz", vexo.Layout(EIGHT), len(table), 10000.0)
    drift = alternated(2, {"drift": lambda: vexo.drift(table)})["drift"]
    print(f"{'vexo.drift, per record':48s} {drift[0]:7.2f} s {len(drift[1]):10d} records")
    print("peak memory (MiB; besides: less the returned table's columns):")
    for name, file in (("64 MiB", small), (f"{size / 2**20:.0f} MiB", path)):
        peak, held = peak_mib(file, layout)
        print(f"  vexo.echoes of {name}: {peak:.0f}, its table {held:.0f}, "
              f"besides {peak - held:.0f}")
    print(f"  vexo.echo_blocks of {size / 2**20:.0f} MiB, taken one after another: "
          f"{peak_mib(path, layout, blocks=True)[0]:.0f}")


if __name__ == "__main__":
    main()
