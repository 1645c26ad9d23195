"""Speed and memory of vexo.echoes (a benchmark, not a test).

    python bench/echo_speed.py [MiB] [make_dft] [layout.toml]

Generates a synthetic DFT file of MiB mebibytes (default 1024) with make_dft (default
build/make_dft) and finds its echoes and their directions with a layout (default
examples/layout.toml when it is there, else four antennas on a square of 40 m). Prints the echo
rows a second and the MB/s of input, best of two runs; beside them the floor of the reading
alone (the same parts, read through the seam with nothing done with them) and the share of the
direction fit; then the peak memory of vexo.echoes on this file against a file of 64 MiB. The
figures depend on how many lines stand out of the synthetic sounding, not on its exact phases.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Callable, Tuple

import numpy as np

import vexo
from vexo._directions.echoes import CHUNK_RECORDS
from vexo._directions.fit import SPEED_OF_LIGHT, DirectionFit
from vexo._reading.index import FileIndex
from vexo._reading.parts import read_part

ROOT = Path(__file__).resolve().parents[1]
SQUARE = {1: (0.0, 0.0), 2: (40.0, 0.0), 3: (0.0, 40.0), 4: (40.0, 40.0)}


def best(runs: int, work: Callable[[], Any]) -> Tuple[float, Any]:
    """The shortest wall time of `runs` runs, and what the last run gave."""
    times, got = [], None
    for _ in range(runs):
        start = time.perf_counter()
        got = work()
        times.append(time.perf_counter() - start)
    return min(times), got


def read_only(path: str) -> None:
    """The parts vexo.echoes reads, read and dropped: the floor of its reading."""
    index = FileIndex.of(path)
    entries = index.asked(taking=True)
    entries = entries[np.isfinite(entries["line_spacing"]) & np.isfinite(entries["rate"])]
    reader = index.part_reader(True)
    for start in range(0, len(entries), CHUNK_RECORDS):
        block = entries[start:start + CHUNK_RECORDS]
        shape = block["N"].astype(np.int32) * 16 + block["A"]
        for run in np.split(block, np.flatnonzero(np.diff(shape)) + 1):
            read_part(index, run, reader=reader,
                      kinds=("phase_degrees", "amplitude_db", "subblock_number", "frequency",
                             "height"))


def peak_mib(path: str, layout: str) -> float:
    """The peak resident memory of vexo.echoes of a file, in a process of its own."""
    code = ("import sys, vexo\n"
            "vexo.echoes(sys.argv[1], layout=sys.argv[2] if sys.argv[2] != '-' else "
            f"{SQUARE!r})\n"
            "print(next(l.split()[1] for l in open('/proc/self/status') "
            "if l.startswith('VmHWM:')))\n")
    out = subprocess.run([sys.executable, "-c", code, path, layout], check=True,
                         capture_output=True, text=True)
    return int(out.stdout) / 1024


def main() -> None:
    mib = int(sys.argv[1]) if len(sys.argv) > 1 else 1024
    make_dft = sys.argv[2] if len(sys.argv) > 2 else str(ROOT / "build" / "make_dft")
    toml = sys.argv[3] if len(sys.argv) > 3 else str(ROOT / "examples" / "layout.toml")
    layout: Any = toml if os.path.exists(toml) else SQUARE
    shown = toml if os.path.exists(toml) else "four antennas on a square of 40 m"
    folder = tempfile.mkdtemp(prefix="vexo-bench-")
    try:
        run(folder, make_dft, mib, layout, shown)
    finally:
        shutil.rmtree(folder)


def run(folder: str, make_dft: str, mib: int, layout: Any, shown: str) -> None:
    path = os.path.join(folder, "big.dft")
    small = os.path.join(folder, "small.dft")
    subprocess.run([make_dft, path, str(mib * 256)], check=True)
    subprocess.run([make_dft, small, str(64 * 256)], check=True)
    size = os.path.getsize(path)
    best(1, lambda: open(path, "rb").read(1 << 30))  # into the page cache
    print(f"{size / 2**20:.0f} MiB, {size // 4096} records; layout: {shown}")

    seconds, table = best(2, lambda: vexo.echoes(path, layout=layout))
    rows = len(table)
    print(f"{'vexo.echoes':34s} {seconds:7.2f} s {rows / seconds:10.0f} rows/s "
          f"{size / seconds / 1e6:6.0f} MB/s   ({rows} rows, "
          f"{table.resolved.mean():.1%} resolved)")
    floor, _ = best(2, lambda: read_only(path))
    print(f"{'  floor: the same parts read alone':34s} {floor:7.2f} s {'':17s} "
          f"{size / floor / 1e6:6.0f} MB/s")

    antennas = vexo.Layout.of(layout)
    fit = DirectionFit(antennas)
    phases = np.zeros((rows, len(antennas.numbers)))  # the fit's work on as many rows
    rng = np.random.default_rng(1)
    phases[:] = rng.uniform(0, 360, phases.shape)
    lam = SPEED_OF_LIGHT / (table.frequency.to_numpy(np.float64) * 1000)
    sigma = table.phase_noise.to_numpy(np.float64)
    fitting, _ = best(2, lambda: fit.fit_rows(phases, lam, sigma, 0.01))
    print(f"{'  the direction fit of its rows':34s} {fitting:7.2f} s "
          f"{rows / fitting:10.0f} rows/s")
    drift, got = best(2, lambda: vexo.drift(table))
    print(f"{'vexo.drift, per record':34s} {drift:7.2f} s {len(got):10d} records")
    named = layout if isinstance(layout, str) else "-"
    print(f"peak memory of vexo.echoes: {peak_mib(small, named):.0f} MiB for 64 MiB of input, "
          f"{peak_mib(path, named):.0f} MiB for {size / 2**20:.0f} MiB ({rows} rows of output)")


if __name__ == "__main__":
    main()
