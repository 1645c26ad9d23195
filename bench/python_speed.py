"""Speed and memory of the Python package (a benchmark, not a test).

    python bench/python_speed.py [MiB] [make_dft]

Generates a DFT file of MiB mebibytes (default 1024) and measures: vexo.read of the raw bytes
only, with the converted values (phases corrected and not), iterating every record with
vexo.open, the peak memory of that iteration, and two threads reading two files against one.
The converted arrays are 4.5 times the size of the file: on a virtual machine the system time
of giving the process that much new memory can outweigh the decoding, so it is shown apart.
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import vexo

ROOT = Path(__file__).resolve().parents[1]


def best(runs: int, work) -> tuple:
    """The shortest of `runs` runs: wall seconds, and the user and system CPU seconds of it."""
    times = []
    for _ in range(runs):
        start, cpu = time.perf_counter(), os.times()
        work()
        end = os.times()
        times.append((time.perf_counter() - start, end.user - cpu.user, end.system - cpu.system))
    return min(times)


def report(name: str, seconds: tuple, size: int) -> None:
    wall, user, system = seconds
    print(f"{name:44s} {wall:7.3f} s {size / wall / 1e6:8.0f} MB/s"
          f"   (user {user:.2f} s, system {system:.2f} s: new pages for the arrays)", flush=True)


def iterate(path: str) -> None:
    with vexo.open(path) as f:
        for rec in f:
            rec.phase
            rec.amplitude


def main() -> None:
    mib = int(sys.argv[1]) if len(sys.argv) > 1 else 1024
    make_dft = sys.argv[2] if len(sys.argv) > 2 else str(ROOT / "build" / "make_dft")
    if len(sys.argv) > 3 and sys.argv[3] == "iterate":  # the memory child
        iterate(sys.argv[4])
        # The peak of this process alone (ru_maxrss would keep the parent's across exec).
        with open("/proc/self/status") as status:
            print(next(line.split()[1] for line in status if line.startswith("VmHWM:")))
        return
    folder = tempfile.mkdtemp(prefix="vexo-bench-")
    path = os.path.join(folder, "big.dft")
    records = mib * 256
    subprocess.run([make_dft, path, str(records)], check=True)
    size = os.path.getsize(path)
    best(1, lambda: open(path, "rb").read(1 << 30))  # into the page cache
    report("read: raw bytes only", best(3, lambda: vexo.read(path, convert=False)), size)
    report("read: converted, corrected", best(3, lambda: vexo.read(path)), size)
    report("read: converted, not corrected", best(3, lambda: vexo.read(path, correct=False)), size)
    report("open: every record, phase and amplitude", best(1, lambda: iterate(path)), size)
    child = subprocess.run([sys.executable, __file__, "0", make_dft, "iterate", path],
                           check=True, capture_output=True, text=True)
    print(f"{'open: peak memory iterating':44s} {int(child.stdout) / 1024:7.1f} MiB")

    half = os.path.join(folder, "half.dft")
    subprocess.run([make_dft, half, str(records // 2)], check=True)
    other = os.path.join(folder, "other.dft")
    subprocess.run(["cp", half, other], check=True)
    one = best(3, lambda: vexo.read(half))[0]

    def two() -> None:
        threads = [threading.Thread(target=vexo.read, args=(p,)) for p in (half, other)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    both = best(3, two)[0]
    print(f"{'two threads, two files / one file':44s} {both:7.3f} s / {one:.3f} s = "
          f"{both / one:.2f}")
    for p in (path, half, other):
        os.remove(p)
    os.rmdir(folder)


if __name__ == "__main__":
    main()
