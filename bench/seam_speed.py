"""Speed and memory of the index, the xarray backend and the archives (a benchmark, not a test).

    build/venv/bin/python bench/seam_speed.py [--quick] [--folder DIR] [--runs N]

Generates DFT files with build/make_dft (or $MAKE_DFT) in a scratch folder under DIR (default
$TMPDIR or /tmp) and prints each figure beside its target:

1. FileIndex.of of a 4 GiB file: the first run with the file dropped from the page cache,
   then warm runs (target at least 2 GB/s of input).
2. xr.open_dataset(engine="vexo") of that file in a fresh process: the rise of its peak
   resident memory besides the index arrays (target at most 64 MiB besides them).
3. Loading 1 % of its records, the first ones and every 100th: the bytes the process reads
   (/proc/self/io rchar), as a share of the file (target about 1 %).
4. xr.open_mfdataset over 300 files of 8 MiB and the mean over records of amplitude_db on a
   dask.distributed LocalCluster of two workers of 2 GiB: the workers' peak memory (target
   within the limit) and the mean against that of the vexo.read datasets concatenated (and the
   float64 mean of one file: the files are copies of one).
5. The first vexo.read of a 128 MiB file in a fresh process against allocating and filling
   arrays of the dataset's sizes and types in a fresh process, in turn (target 1.3 times);
   and the same read after one of a 4-record file (xarray's first dataset imports dask).
6. bench/convert_speed.py as it is.

--quick takes a 512 MiB file, 30 files, a 32 MiB file and 16 MiB to convert: a smoke test of
about a minute. The virtual machines this runs on hand out new memory at speeds that
vary a lot from run to run, so the timed figures are medians (and the best) of runs in turn.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Sequence, Tuple

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
MAKE_DFT = os.environ.get("MAKE_DFT", str(ROOT / "build" / "make_dft"))
RECORD = 4096
MIB = 1 << 20

#: name, measured, target, verdict, notes: the table printed at the end.
ROWS: List[Tuple[str, str, str, str, str]] = []


# --- the process's own figures (also used by the child processes) ---------------------------

def status_kib(field: str) -> int:
    """A figure of /proc/self/status in KiB (VmRSS, VmHWM)."""
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))


def reset_peak() -> None:
    """Sets the peak resident memory (VmHWM) to the present resident memory."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def read_chars() -> int:
    """Bytes this process has read through system calls so far (rchar)."""
    with open("/proc/self/io") as io:
        return next(int(line.split()[1]) for line in io if line.startswith("rchar:"))


def timed(work: Callable[[], Any]) -> Tuple[float, float, float, Any]:
    """Wall, user and system seconds of work(), and what it gave."""
    start, cpu = time.perf_counter(), os.times()
    got = work()
    end = os.times()
    return time.perf_counter() - start, end.user - cpu.user, end.system - cpu.system, got


# --- child processes -------------------------------------------------------------------------

def child_open(path: str, tiny: str, chunked: bool) -> Dict[str, Any]:
    """Memory and bytes read of opening `path` lazily and loading 1 % of its records."""
    import xarray as xr

    import vexo
    from vexo._reading.index import ENTRY

    chunks = {"record": 4096} if chunked else None
    # Every import and the backend's first use are behind us before the figures start.
    xr.open_dataset(tiny, engine="vexo", chunks=chunks).phase_degrees.values
    vexo.read(tiny)
    reset_peak()
    rss, chars = status_kib("VmRSS"), read_chars()
    wall, _, _, ds = timed(lambda: xr.open_dataset(path, engine="vexo", chunks=chunks))
    out: Dict[str, Any] = {
        "open_seconds": wall, "open_peak_kib": status_kib("VmHWM") - rss,
        "open_rss_kib": status_kib("VmRSS") - rss, "open_rchar": read_chars() - chars,
        "records": ds.sizes["record"], "entry_bytes": ds.sizes["record"] * ENTRY.itemsize,
    }
    n = ds.sizes["record"]
    for name, key in (("first", slice(0, n // 100)), ("spread", slice(None, None, 100))):
        chars = read_chars()
        wall, _, _, values = timed(lambda: ds.phase_degrees.isel(record=key).values)
        out[name] = {"seconds": wall, "rchar": read_chars() - chars,
                     "records": int(values.shape[0]), "bytes": values.nbytes}
    return out


def child_read(path: str, tiny: str = "") -> Dict[str, Any]:
    """Seconds of the first vexo.read of `path` in this process, the imports done before (and
    a first vexo.read of the file `tiny` when given: xarray's first dataset imports dask)."""
    import xarray  # noqa: F401

    import vexo

    if tiny:
        vexo.read(tiny)
    wall, user, system, ds = timed(lambda: vexo.read(path))
    return {"seconds": wall, "user": user, "system": system,
            "bytes": sum(v.nbytes for v in ds.variables.values())}


def child_floor(layout: str) -> Dict[str, Any]:
    """Seconds of allocating and filling arrays of the shapes and types of `layout`."""
    import xarray  # noqa: F401  (the same imports as child_read)

    import vexo  # noqa: F401

    arrays_of = json.loads(layout)

    def fill() -> List[np.ndarray]:
        arrays = []
        for shape, dtype in arrays_of:
            a = np.empty(shape, dtype)
            a.view(np.uint8).fill(1)
            arrays.append(a)
        return arrays

    wall, user, system, arrays = timed(fill)
    return {"seconds": wall, "user": user, "system": system,
            "bytes": sum(a.nbytes for a in arrays)}


def in_child(*args: str) -> Dict[str, Any]:
    done = subprocess.run([sys.executable, __file__, "--child", *args], check=True,
                          capture_output=True, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


# --- reporting -------------------------------------------------------------------------------

def med_best(values: Sequence[float], low_is_best: bool = True) -> Tuple[float, float]:
    return statistics.median(values), (min(values) if low_is_best else max(values))


def row(name: str, measured: str, target: str, met: bool, notes: str = "") -> None:
    verdict = "met" if met else "MISSED"
    ROWS.append((name, measured, target, verdict, notes))
    print(f"  {name}: {measured}   [target {target}: {verdict}]   {notes}".rstrip(), flush=True)


def make(path: Path, records: int, *more: str) -> None:
    subprocess.run([MAKE_DFT, str(path), str(records), *more], check=True)


def drop_from_cache(path: Path) -> None:
    """Writes the file out and asks the kernel to forget its pages."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


# --- the cases -------------------------------------------------------------------------------

def index_speed(path: Path, runs: int) -> None:
    from vexo._reading.index import FileIndex

    size = path.stat().st_size
    print(f"\n1. FileIndex.of, {size / 2**30:.2f} GiB, {size // RECORD} records", flush=True)
    drop_from_cache(path)
    chars = read_chars()
    cold = timed(lambda: FileIndex.of(path))
    read = read_chars() - chars
    print(f"  first run, file dropped from the page cache: {cold[0]:.3f} s, "
          f"{size / cold[0] / 1e9:.2f} GB/s; it read {read / size:.1%} of the file", flush=True)
    warm = []
    for _ in range(runs):
        wall, user, system, _ = timed(lambda: FileIndex.of(path))
        warm.append(size / wall / 1e9)
        print(f"  warm: {wall:.3f} s {warm[-1]:.2f} GB/s (user {user:.2f} s, "
              f"system {system:.2f} s)", flush=True)
    median, top = med_best(warm, low_is_best=False)
    row("index, warm", f"{median:.2f} GB/s (best {top:.2f})", ">= 2 GB/s", median >= 2,
        f"cold-ish first run {size / cold[0] / 1e9:.2f} GB/s; reads {read / size:.1%} "
        f"of the file")


def open_memory(path: Path, tiny: Path, runs: int) -> None:
    size = path.stat().st_size
    print(f"\n2-3. xr.open_dataset(engine=\"vexo\") of {size / 2**30:.2f} GiB in a fresh process",
          flush=True)
    for chunked in (False, True):
        label = "chunks={'record': 4096}" if chunked else "chunks=None"
        got = [in_child("open", str(path), str(tiny), str(int(chunked))) for _ in range(runs)]
        for g in got:
            print(f"  {label}: open {g['open_seconds']:.3f} s, peak rise "
                  f"{g['open_peak_kib'] / 1024:.1f} MiB (index arrays "
                  f"{g['entry_bytes'] / MIB:.1f} MiB), resident after "
                  f"{g['open_rss_kib'] / 1024:.1f} MiB; load first 1 % "
                  f"{g['first']['seconds']:.3f} s, every 100th {g['spread']['seconds']:.3f} s",
                  flush=True)
        beyond = [g["open_peak_kib"] / 1024 - g["entry_bytes"] / MIB for g in got]
        median, least = med_best(beyond)
        g = got[0]
        row(f"open, {label}: peak rise besides the index arrays",
            f"{median:.1f} MiB (least {least:.1f})", "<= 64 MiB", median <= 64,
            f"index arrays {g['entry_bytes'] / MIB:.1f} MiB; still resident after the open "
            f"{statistics.median(x['open_rss_kib'] for x in got) / 1024:.1f} MiB; open "
            f"{statistics.median(x['open_seconds'] for x in got):.2f} s")
        if chunked:
            continue
        for name, what in (("first", "first 1 % of records"), ("spread", "every 100th record")):
            share = [x[name]["rchar"] / size for x in got]
            exact = g[name]["records"] * RECORD / size
            median, least = med_best(share)
            row(f"load {what}: bytes read / file", f"{median:.3%} (least {least:.3%})",
                f"about 1 % ({exact:.3%} = its records)", median <= 1.25 * exact,
                f"{g[name]['records']} records, "
                f"{statistics.median(x[name]['seconds'] for x in got):.3f} s; the open "
                f"itself read {g['open_rchar'] / size:.1%} of the file")


def archive_mean(folder: Path, files: int, records: int) -> None:
    import xarray as xr
    from distributed import Client, LocalCluster

    import vexo

    first = folder / "a00000.dft"
    make(first, records)
    paths = [first]
    for i in range(1, files):
        paths.append(folder / f"a{i:05}.dft")
        shutil.copyfile(first, paths[-1])
    size = sum(p.stat().st_size for p in paths)
    limit = 2 * 2**30
    print(f"\n4. open_mfdataset of {files} files of {records} records ({size / 1e6:.0f} MB), "
          f"mean of amplitude_db on LocalCluster(2 workers x 1 thread, 2 GiB)", flush=True)

    def worker_peak() -> Dict[str, int]:
        return {"pid": os.getpid(), "hwm": status_kib("VmHWM"), "rss": status_kib("VmRSS")}

    cluster = LocalCluster(n_workers=2, threads_per_worker=1, memory_limit="2GiB",
                           processes=True, dashboard_address=None)
    with cluster, Client(cluster) as client:
        start = client.run(worker_peak)
        client.run(reset_peak)
        opened = timed(lambda: xr.open_mfdataset(
            [str(p) for p in paths], engine="vexo", combine="nested", concat_dim="record",
            parallel=True, chunks={"record": 4096}))
        ds = opened[3]
        # summed in float64 on both sides: a float32 sum strays by parts in a thousand over
        # hundreds of thousands of records, whoever sums
        computed = timed(lambda: ds.amplitude_db.astype(np.float64).mean("record").compute())
        mean = computed[3]
        after = client.run(worker_peak)
    restarted = sorted(v["pid"] for v in start.values()) != \
        sorted(v["pid"] for v in after.values())
    peaks = [v["hwm"] * 1024 for v in after.values()]
    print(f"  open_mfdataset {opened[0]:.2f} s, mean {computed[0]:.2f} s "
          f"({size / computed[0] / 1e6:.0f} MB/s); worker peaks "
          f"{', '.join(f'{p / MIB:.0f} MiB' for p in peaks)} (at the start "
          f"{', '.join(str(v['hwm'] // 1024) + ' MiB' for v in start.values())})"
          f"{'; A WORKER WAS RESTARTED' if restarted else ''}", flush=True)
    row("open_mfdataset + mean: workers' peak", f"{max(peaks) / MIB:.0f} MiB",
        "<= 2048 MiB each", max(peaks) <= limit and not restarted,
        f"open {opened[0]:.1f} s, mean {computed[0]:.1f} s = {size / computed[0] / 1e6:.0f} "
        f"MB/s of input; {'a worker restarted' if restarted else 'no worker restarted'}")
    # the mean of the records of vexo.read of each file, a file at a time
    total, count = 0.0, 0
    for p in paths:
        values = vexo.read(p, convert=True).amplitude_db
        total = total + values.astype(np.float64).sum("record")
        count += values.sizes["record"]
    reference = total / count
    # The files are copies of one: the mean of them all is the mean of that one, here summed
    # in float64, which says which of the two float32 means strays.
    truth = vexo.read(first).amplitude_db.values.astype(np.float64).mean(axis=0)

    def stray(values: np.ndarray, against: np.ndarray) -> float:
        return float(np.max(np.abs(values.astype(np.float64) - against)
                            / np.maximum(np.abs(against), 1e-30)))

    close = bool(np.allclose(mean.values, reference.values, rtol=1e-9, atol=0))
    exact = bool(np.array_equal(mean.values, reference.values))
    row("open_mfdataset mean = mean of vexo.read of each file",
        f"{'exact' if exact else 'not exact'}, largest relative difference "
        f"{stray(mean.values, reference.values.astype(np.float64)):.1e}",
        "allclose rtol 1e-9", close,
        f"{mean.dtype} {mean.shape}; against the float64 mean of one file (all are copies): "
        f"open_mfdataset {stray(mean.values, truth):.1e}, file by file "
        f"{stray(reference.values, truth):.1e}")
    row("open_mfdataset mean = float64 mean of one file (all are copies)",
        f"largest relative difference {stray(mean.values, truth):.1e}", "rtol 1e-9",
        bool(np.allclose(mean.values, truth, rtol=1e-9, atol=0)))
    for p in paths:
        p.unlink()


def first_read(folder: Path, mib: int, tiny: Path, runs: int) -> None:
    import xarray as xr

    path = folder / "read.dft"
    make(path, mib * MIB // RECORD)
    with xr.open_dataset(path, engine="vexo") as ds:
        layout = [(list(v.shape), v.dtype.str) for v in ds.variables.values()]
    total = sum(int(np.prod(s, dtype=np.int64)) * np.dtype(d).itemsize for s, d in layout)
    with open(path, "rb") as f:  # into the page cache
        while f.read(1 << 24):
            pass
    print(f"\n5. first vexo.read of {mib} MiB in a fresh process against allocating and "
          f"filling {total / MIB:.0f} MiB of arrays ({len(layout)} arrays)", flush=True)
    reads: List[Dict[str, Any]] = []
    warmed: List[Dict[str, Any]] = []
    floors: List[Dict[str, Any]] = []
    for _ in range(runs):
        reads.append(in_child("read", str(path)))
        warmed.append(in_child("read", str(path), str(tiny)))
        floors.append(in_child("floor", json.dumps(layout)))
        print("  " + "; ".join(
            f"{label} {x['seconds']:.3f} s (user {x['user']:.2f}, system {x['system']:.2f})"
            for label, x in (("read", reads[-1]), ("read after a tiny one", warmed[-1]),
                             ("floor", floors[-1]))), flush=True)
    assert reads[0]["bytes"] == floors[0]["bytes"] == total, (reads[0], floors[0], total)
    floor_m, floor_b = med_best([f["seconds"] for f in floors])
    for label, got in (("first vexo.read / allocate and fill", reads),
                       ("same, after a vexo.read of 4 records", warmed)):
        read_m, read_b = med_best([r["seconds"] for r in got])
        row(label, f"{read_m / floor_m:.2f}x (best over best {read_b / floor_b:.2f}x)",
            "<= 1.3x", read_m / floor_m <= 1.3,
            f"read {read_m:.3f} s (best {read_b:.3f}), floor {floor_m:.3f} s (best "
            f"{floor_b:.3f}); user time read "
            f"{statistics.median(r['user'] for r in got):.2f} s, floor "
            f"{statistics.median(f['user'] for f in floors):.2f} s; system time read "
            f"{statistics.median(r['system'] for r in got):.2f} s, floor "
            f"{statistics.median(f['system'] for f in floors):.2f} s")
    path.unlink()


def conversions(args: Sequence[str]) -> None:
    print(f"\n6. bench/convert_speed.py {' '.join(args)}", flush=True)
    subprocess.run([sys.executable, str(ROOT / "bench" / "convert_speed.py"), *args],
                   check=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes: a smoke test")
    parser.add_argument("--folder", default=os.environ.get("TMPDIR", "/tmp"),
                        help="where the scratch folder is made")
    parser.add_argument("--runs", type=int, help="runs of each timed case")
    parser.add_argument("--cases", default="1,2,3,4,5,6",
                        help="the figures to measure, by number (default: all; 3 comes with 2)")
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        kind, *rest = args.child
        if kind == "open":
            got = child_open(rest[0], rest[1], rest[2] == "1")
        elif kind == "read":
            got = child_read(*rest)
        else:
            got = child_floor(rest[0])
        print(json.dumps(got))
        return

    quick = args.quick
    big_mib, files, read_mib = (512, 30, 32) if quick else (4096, 300, 128)
    runs = args.runs or (3 if quick else 7)
    folder = Path(tempfile.mkdtemp(prefix="vexo-seam-", dir=args.folder))
    try:
        cases = {int(c) for c in args.cases.split(",")}
        tiny = folder / "tiny.dft"
        make(tiny, 4)
        if cases & {1, 2, 3}:
            big = folder / "big.dft"
            make(big, big_mib * MIB // RECORD)
            if 1 in cases:
                index_speed(big, 3 if quick else 5)
            if cases & {2, 3}:
                open_memory(big, tiny, 2 if quick else 3)
            big.unlink()
        if 4 in cases:
            archive_mean(folder, files, 2048)
        if 5 in cases:
            first_read(folder, read_mib, tiny, runs)
        if 6 in cases:
            conversions(["16", "10", "20"] if quick else [])
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print(f"\n{'figure':58} {'measured':38} {'target':28} verdict")
    for name, measured, target, verdict, notes in ROWS:
        print(f"{name:58} {measured:38} {target:28} {verdict}")
        if notes:
            print(f"{'':58} {notes}")
    print(f"(this process's peak: {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f}"
          f" MiB)")


if __name__ == "__main__":
    main()
