"""Speed of vexo-convert: an archive of generated DFT files to Parquet (also with the echo rows)
and to NetCDF with --jobs 2, and the overhead per file on an archive of tiny files. Under each
figure its floor, in as many processes: the Parquet writer alone on the same tables already
built in memory (with the options vexo-convert writes them with), vexo.echoes alone on the same
files, or the compressor alone on the same arrays' bytes, a chunk at a time as vexo-convert has
netCDF-4 compress them (zlib or zstd, level 1).

    build/venv/bin/python bench/convert_speed.py [TOTAL_MIB [FILES [TINY_FILES]]]
    build/venv/bin/python bench/convert_speed.py --compare [TOTAL_MIB [FILES [ROUNDS]]]

Defaults: 1024 MiB in 300 files, 1000 tiny files of one record. Uses build/make_dft (or
$MAKE_DFT) and the installed package (or the one PYTHONPATH names). Each conversion's line
gives the size of its output against the input's.

With --compare, only the Parquet conversion of the samples (--jobs 2), as vexo-convert writes
it against the sample lists stored without a compressor (DELTA_BINARY_PACKED alone, as
before), in turns for ROUNDS rounds (default 3) so that a machine that other work slows
slows both alike; then the best and median of each. The alternative is put in place in the
conversion's processes by a sitecustomize module on PYTHONPATH.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
import time
import zlib
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Dict, List, Optional, Tuple

ROOT = Path(__file__).resolve().parents[1]
MAKE_DFT = os.environ.get("MAKE_DFT", str(ROOT / "build" / "make_dft"))
LAYOUT = str(ROOT / "examples" / "layout.toml")  # the antennas of the generated files


def generate(folder: Path, files: int, records: int) -> int:
    folder.mkdir(parents=True)
    for i in range(files):
        subprocess.run([MAKE_DFT, str(folder / f"f{i:05}.dft"), str(records)], check=True)
    return files * records * 4096


JOBS = 2
FLOOR_FILES = 40  # files a floor takes, shared among the processes


def _parquet_floor(paths: List[str], convert: bool, out: str) -> Tuple[int, float]:
    """Input bytes and the seconds the writer takes for their tables, built beforehand."""
    import pyarrow.parquet as pq

    from vexo._archive.parquet import parquet_options
    from vexo._archive.rows import parts
    from vexo._reading.index import FileIndex

    built = [[t for t, _, _ in parts(FileIndex.of(p), p, convert=convert)] for p in paths]
    started = time.perf_counter()
    for i, tables in enumerate(built):
        with pq.ParquetWriter(f"{out}.{i}.parquet", tables[0].schema,
                              **parquet_options(tables[0].schema)) as writer:
            for table in tables:
                writer.write_table(table)
    seconds = time.perf_counter() - started
    for i in range(len(built)):
        os.remove(f"{out}.{i}.parquet")
    return sum(os.path.getsize(p) for p in paths), seconds


def _echo_floor(paths: List[str]) -> Tuple[int, float]:
    """Input bytes and the seconds vexo.echoes takes for them."""
    import vexo

    started = time.perf_counter()
    for path in paths:
        vexo.echoes(path, layout=LAYOUT)
    return sum(os.path.getsize(p) for p in paths), time.perf_counter() - started


def _compress_floor(paths: List[str], codec: str) -> Tuple[int, float]:
    """Input bytes and the seconds the compressor takes for the sample arrays of their
    datasets, a chunk at a time as vexo-convert has netCDF-4 compress them (without shuffle,
    which leaves bytes as they are)."""
    import pyarrow as pa

    from vexo._archive.netcdf import encoding
    from vexo._datasets.dataset import loaded
    from vexo._reading.index import FileIndex, shapes_of

    zstd = pa.Codec("zstd", compression_level=1)
    chunks = []
    for path in paths:
        index = FileIndex.of(path)
        for n, a, _ in shapes_of(index.asked()):
            entries = index.asked((n, a), taking=True)
            ds = loaded(index, entries, (n, a), int(entries["taken_subblocks"].max()),
                        correct=True, convert=False)
            chunking = encoding(ds, codec, 4096)
            for name in ("phase", "amplitude"):
                values, step = ds[name].values, chunking[name]["chunksizes"][0]
                chunks += [values[i:i + step].tobytes() for i in range(0, len(values), step)]
    started = time.perf_counter()
    for chunk in chunks:
        if codec == "deflate":
            zlib.compress(chunk, 1)
        else:
            zstd.compress(chunk)
    return sum(os.path.getsize(p) for p in paths), time.perf_counter() - started


def floor(what: str, folder: Path, work: Path) -> float:
    """MB/s of input at the floor of `what` (parquet, parquet-convert, echoes, deflate, zstd)
    in JOBS processes at once, each on its share of the first FLOOR_FILES files; best of
    two."""
    paths = sorted(str(p) for p in folder.iterdir())[:FLOOR_FILES]
    shares = [paths[i::JOBS] for i in range(JOBS)]
    best = 0.0
    for _ in range(2):
        with ProcessPoolExecutor(JOBS) as pool:
            if what == "echoes":
                done = list(pool.map(_echo_floor, shares))
            elif what.startswith("parquet"):
                done = list(pool.map(_parquet_floor, shares, [what == "parquet-convert"] * JOBS,
                                     [str(work / f"floor{i}") for i in range(JOBS)]))
            else:
                done = list(pool.map(_compress_floor, shares, [what] * JOBS))
        best = max(best, sum(size / seconds for size, seconds in done) / 1e6)
    return best


def show_floor(label: str, mbs: float) -> None:
    print(f"{'  floor: ' + label:51} {mbs:8.0f} MB/s", flush=True)


def output_bytes(folder: Path) -> int:
    """The bytes of the outputs below folder (the markers left out)."""
    return sum(p.stat().st_size for p in folder.rglob("*")
               if p.is_file() and ".vexo-convert" not in p.parts)


def convert_once(label: str, *args: str, env: Optional[Dict[str, str]] = None) -> float:
    """Seconds one vexo-convert run takes, into an OUTDIR emptied first."""
    shutil.rmtree(Path(args[args.index("-o") + 1]), ignore_errors=True)
    started = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "vexo", "convert", *args],
                          capture_output=True, text=True, env=env)
    seconds = time.perf_counter() - started
    if done.returncode != 0:
        sys.exit(f"{label}: {done.stderr}")
    return seconds


def run(label: str, size: int, *args: str) -> float:
    best = min(convert_once(label, *args) for _ in range(2))
    out = Path(args[args.index("-o") + 1])
    print(f"{label:42} {best:7.2f} s {size / 1e6 / best:8.0f} MB/s "
          f"{output_bytes(out) / size:6.2f} x the input", flush=True)
    return best


#: The options of the sample lists before they were compressed: DELTA_BINARY_PACKED alone,
#: put in place of parquet_options in the processes of a conversion (a sitecustomize module).
UNCOMPRESSED_LISTS = '''\
import vexo._archive.parquet as parquet

shipped = parquet.parquet_options


def uncompressed_lists(schema, sample_columns=parquet.SAMPLE_COLUMNS):
    import pyarrow as pa

    options = shipped(schema, sample_columns)
    for name in schema.names:
        if name in sample_columns and pa.types.is_integer(schema.field(name).type.value_type):
            element = f"{name}.list.element"
            options["compression"][element] = "none"
            options["compression_level"].pop(element, None)
            options["column_encoding"][element] = "DELTA_BINARY_PACKED"
            if element in options["use_dictionary"]:
                options["use_dictionary"].remove(element)
    return options


parquet.parquet_options = uncompressed_lists
'''


def compare(total_mib: int, files: int, rounds: int) -> None:
    """The Parquet conversion of the samples as shipped against the sample lists
    uncompressed, in turns."""
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as tmp:
        work = Path(tmp)
        records = max(1, total_mib * 1024 * 1024 // 4096 // files)
        size = generate(work / "archive", files, records)
        hook = work / "hook"
        hook.mkdir()
        (hook / "sitecustomize.py").write_text(UNCOMPRESSED_LISTS)
        before = dict(os.environ)
        before["PYTHONPATH"] = os.pathsep.join(
            [str(hook)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])
        print(f"{files} files of {records} records, {size / 1e6:.0f} MB; {rounds} rounds in "
              f"turns; {os.cpu_count()} cores")
        ways = {"parquet, --jobs 2 (as shipped)": None,
                "parquet, --jobs 2, sample lists uncompressed": before}
        seconds: Dict[str, List[float]] = {label: [] for label in ways}
        sizes: Dict[str, int] = {}
        for _ in range(rounds):
            for i, (label, env) in enumerate(ways.items()):
                out = work / f"out{i}"
                seconds[label].append(convert_once(label, str(work / "archive"), "-o", str(out),
                                                   "--jobs", "2", env=env))
                sizes[label] = output_bytes(out)
        for label, taken in seconds.items():
            taken.sort()
            print(f"{label:46} best {size / 1e6 / taken[0]:5.0f} MB/s, median "
                  f"{size / 1e6 / taken[len(taken) // 2]:5.0f} MB/s; {sizes[label] / size:.3f} x "
                  f"the input ({sizes[label] / 1e6:.0f} MB)", flush=True)


def main() -> None:
    if "--compare" in sys.argv[1:]:
        numbers = [int(a) for a in sys.argv[1:] if a != "--compare"]
        compare(*(numbers + [1024, 300, 3][len(numbers):]))
        return
    total_mib = int(sys.argv[1]) if len(sys.argv) > 1 else 1024
    files = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    tiny = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as tmp:
        work = Path(tmp)
        records = max(1, total_mib * 1024 * 1024 // 4096 // files)
        size = generate(work / "archive", files, records)
        print(f"{files} files of {records} records, {size / 1e6:.0f} MB; {tiny} files of one "
              f"record; {os.cpu_count()} cores")
        archive = work / "archive"
        run("parquet, --jobs 2", size, str(archive), "-o", str(work / "pq"), "--jobs", "2")
        show_floor("the Parquet writer alone, same tables", floor("parquet", archive, work))
        run("parquet with the echo rows, --jobs 2", size, str(archive), "-o",
            str(work / "pqe"), "--jobs", "2", "--echoes", "--layout", LAYOUT)
        show_floor("vexo.echoes alone, same files", floor("echoes", archive, work))
        run("parquet with converted values, --jobs 2", size, str(archive), "-o",
            str(work / "pqc"), "--jobs", "2", "--convert")
        show_floor("the Parquet writer alone, same tables",
                   floor("parquet-convert", archive, work))
        run("netcdf (deflate), --jobs 2", size, str(archive), "-o", str(work / "nc"),
            "--format", "netcdf", "--jobs", "2")
        show_floor("zlib level 1 alone, same chunks", floor("deflate", archive, work))
        run("netcdf --compression zstd, --jobs 2", size, str(archive), "-o",
            str(work / "ncz"), "--format", "netcdf", "--compression", "zstd", "--jobs", "2")
        show_floor("zstd level 1 alone, same chunks", floor("zstd", archive, work))
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
