"""Speed of vexo-convert: an archive of generated DFT files to Parquet and to NetCDF with
--jobs 2, and the overhead per file on an archive of tiny files.

    build/venv/bin/python bench/convert_speed.py [TOTAL_MIB [FILES [TINY_FILES]]]

Defaults: 1024 MiB in 300 files, 1000 tiny files of one record. Uses build/make_dft (or
$MAKE_DFT) and the installed package.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
MAKE_DFT = os.environ.get("MAKE_DFT", str(ROOT / "build" / "make_dft"))


def generate(folder: Path, files: int, records: int) -> int:
    folder.mkdir(parents=True)
    for i in range(files):
        subprocess.run([MAKE_DFT, str(folder / f"f{i:05}.dft"), str(records)], check=True)
    return files * records * 4096


def run(label: str, size: int, *args: str) -> float:
    best = float("inf")
    for _ in range(2):
        out = Path(args[args.index("-o") + 1])
        shutil.rmtree(out, ignore_errors=True)
        started = time.perf_counter()
        done = subprocess.run([sys.executable, "-m", "vexo", "convert", *args],
                              capture_output=True, text=True)
        best = min(best, time.perf_counter() - started)
        if done.returncode != 0:
            sys.exit(f"{label}: {done.stderr}")
    print(f"{label:42} {best:7.2f} s {size / 1e6 / best:8.0f} MB/s", flush=True)
    return best


def main() -> None:
    total_mib = int(sys.argv[1]) if len(sys.argv) > 1 else 1024
    files = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    tiny = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as tmp:
        work = Path(tmp)
        records = max(1, total_mib * 1024 * 1024 // 4096 // files)
        size = generate(work / "archive", files, records)
        print(f"{files} files of {records} records, {size / 1e6:.0f} MB; {tiny} files of one "
              f"record; {os.cpu_count()} cores")
        run("parquet, --jobs 2", size, str(work / "archive"), "-o", str(work / "pq"),
            "--jobs", "2")
        run("parquet with converted values, --jobs 2", size, str(work / "archive"), "-o",
            str(work / "pqc"), "--jobs", "2", "--convert")
        run("netcdf (deflate), --jobs 2", size, str(work / "archive"), "-o", str(work / "nc"),
            "--format", "netcdf", "--jobs", "2")
        run("netcdf --compression zstd, --jobs 2", size, str(work / "archive"), "-o",
            str(work / "ncz"), "--format", "netcdf", "--compression", "zstd", "--jobs", "2")
        started = time.perf_counter()
        done = subprocess.run([sys.executable, "-m", "vexo", "convert", str(work / "archive"),
                               "-o", str(work / "pq"), "--jobs", "2"], capture_output=True)
        print(f"{'parquet again, every file up to date':42} "
              f"{time.perf_counter() - started:7.2f} s", flush=True)
        assert done.returncode == 0
        shutil.rmtree(work / "archive")

        generate(work / "tiny", tiny, 1)
        for jobs in ("1", "2"):
            seconds = run(f"{tiny} tiny files, --jobs {jobs}", tiny * 4096, str(work / "tiny"),
                          "-o", str(work / f"t{jobs}"), "--jobs", jobs)
            print(f"{'':42} {1000 * seconds / tiny:7.2f} ms a file", flush=True)


if __name__ == "__main__":
    main()
