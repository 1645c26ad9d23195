"""Archives: vexo-convert to Parquet and NetCDF, here and on a Dask cluster, DuckDB queries of
the result, damaged files and interrupted runs, archives of the earlier form migrated, and
vexo.dask.read_archive."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from datetime import timezone

import numpy as np
import pytest

import vexo

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
duckdb = pytest.importorskip("duckdb")
pytest.importorskip("dask.dataframe")
import vexo.dask  # noqa: E402
from conftest import convert  # noqa: E402

KEYS = ["file", "record", "subblock", "antenna"]



def rows(outdir, where="true"):
    """The samples' rows as Python values, in key order."""
    return duckdb.sql(
        f"SELECT * FROM read_parquet('{outdir}/samples/**/*.parquet', hive_partitioning=true) "
        f"WHERE {where} ORDER BY {', '.join(KEYS)}").fetchall()


@pytest.fixture
def archive(make_dft, tmp_path):
    """A folder of three files: 3700 records (over an hour), 40 of two shapes, 25."""
    folder = tmp_path / "archive"
    (folder / "sub").mkdir(parents=True)
    for name, args in (("long.dft", (3700,)), ("sub/mixed.DFT", (40, "5/4,4/2")),
                       ("short.dft", (25,))):
        os.replace(make_dft(*args), folder / name)
    return folder


def test_duckdb_queries_agree_with_numpy(archive, tmp_path):
    out = tmp_path / "out"
    done = convert(archive, "-o", out, "--jobs", "2")
    assert done.returncode == 0, done.stderr
    assert "3 files (3 converted, 0 up to date, 0 failed), 3765 records" in done.stderr
    glob = f"{out}/samples/**/*.parquet"
    # mean strongest echo (dB) per height and hour at 3200 kHz, as the README has it
    echo = duckdb.sql(f"""
        SELECT height, hour(time AT TIME ZONE 'UTC') AS hour,
               avg(list_max(amplitude) // 4) * 1.5 AS mean_db, count(*) AS n
        FROM read_parquet('{glob}', hive_partitioning=true)
        WHERE frequency = 3200 GROUP BY height, hour ORDER BY height, hour""").fetchall()
    expected = {}
    for path in (archive / "long.dft", archive / "sub/mixed.DFT", archive / "short.dft"):
        for rec in vexo.open(path):
            hour = int(rec.header["hour"])
            for s in np.flatnonzero(rec.descriptors["frequency"] == 3200):
                for a in range(rec.antennas):
                    key = (float(rec.descriptors["height"][s]), hour)
                    expected.setdefault(key, []).append(int(rec.amplitude[s, a].max()) >> 2)
    assert [(h, hr) for h, hr, _, _ in echo] == sorted(expected)
    assert {12, 13} == {hr for _, hr, _, _ in echo}  # 12:00:00 plus 3700 seconds
    for height, hour, mean_db, n in echo:
        codes = expected[(height, hour)]
        assert n == len(codes) and mean_db == pytest.approx(1.5 * np.mean(codes), rel=1e-12)

    # the records of one frequency on one day
    day = duckdb.sql(f"""
        SELECT DISTINCT file, record, time
        FROM read_parquet('{glob}', hive_partitioning=true)
        WHERE frequency = 2500 AND year = 2026 AND month = 12 AND day = 8
        ORDER BY file, record""").fetchall()
    ds = vexo.read(archive / "short.dft", frequency=2500)
    short = [(f, r, t) for f, r, t in day if f.endswith("short.dft")]
    assert [r for _, r, _ in short] == list(ds.record.values)
    assert [t.astimezone(timezone.utc).replace(tzinfo=None) for _, _, t in short] == \
        list(ds.time.values.astype("M8[s]").astype(object))  # instants in UTC
    assert len(day) == 3765  # every record has a 2500 kHz subblock

    # the rows hold the bytes and descriptors of vexo.read, and vexo.dask gives the same rows
    first = rows(out, "file LIKE '%short.dft' AND record = 2 AND subblock = 5 AND antenna = 3")
    ds = vexo.read(archive / "short.dft", records=2)
    (f, record, t, subblock, freq, height, gain, pol, antenna, n, phase, amplitude, *_) = first[0]
    assert (record, subblock, antenna, n) == (2, 5, 3, 32)
    assert (freq, height, gain, pol) == (3200, 180, 2, 2)  # subblock 5 of the example layout
    assert phase == list(ds.phase.values[0, 5, 2]) and amplitude == list(ds.amplitude[0, 5, 2])

    frame = vexo.dask.read_archive(str(archive), frequency=3200, antenna=[1, 2])
    assert frame.npartitions == 3
    got = frame.compute().sort_values(KEYS)
    want = rows(out, "frequency = 3200 AND antenna <= 2")
    assert len(got) == len(want)
    assert [list(v) for v in got.amplitude] == [w[11] for w in want]


def test_netcdf_has_a_group_per_shape(archive, tmp_path):
    xr = pytest.importorskip("xarray")
    out = tmp_path / "nc"
    done = convert(archive / "sub", "-o", out, "--format", "netcdf", "--convert")
    assert done.returncode == 0, done.stderr
    (path,) = out.glob("mixed-*.nc")
    assert xr.open_dataset(path).attrs["Conventions"] == "CF-1.8"
    for n, a in ((5, 4), (4, 2)):
        written = xr.open_dataset(path, group=f"N{n}_A{a}")
        ds = vexo.read(archive / "sub/mixed.DFT", shape=(n, a))
        xr.testing.assert_equal(written, ds)
        assert written.phase.encoding["zlib"] and written.attrs["stop"] == "end of file"

    # written a part at a time: 3700 records in parts of 4096 / 1000 / 7 give one dataset
    from vexo._archive.convert import convert_file
    from vexo._archive.rows import Conversion

    whole = vexo.read(archive / "long.dft", frequency=[2500, 5600])
    for chunk in (4096, 1000, 7):
        outcome = convert_file(str(archive / "long.dft"), str(tmp_path / f"c{chunk}"), "netcdf",
                               Conversion(vexo.Selection(frequency=[2500, 5600]), convert=True),
                               chunk=chunk)
        assert not outcome.failure and outcome.records == 3700
        (path,) = (tmp_path / f"c{chunk}").glob("*.nc")
        xr.testing.assert_equal(xr.open_dataset(path), whole)

    # records of one shape only: no groups
    done = convert(archive / "sub", "-o", tmp_path / "one", "--format", "netcdf",
                   "--records", "1")
    assert done.returncode == 0, done.stderr
    (path,) = (tmp_path / "one").glob("mixed-*.nc")
    assert xr.open_dataset(path).sizes["time"] == 1


def test_damaged_file_among_good_ones(make_dft, tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    for name in ("a.dft", "b.dft"):
        os.replace(make_dft(10), folder / name)
    (folder / "cut.dft").write_bytes((folder / "a.dft").read_bytes()[: 3 * 4096 + 7])
    (folder / "notes.txt").write_text("not a DFT file")
    out = tmp_path / "out"
    done = convert(folder, tmp_path / "nothing*.dft", "-o", out)
    assert done.returncode == 1
    lines = done.stderr.splitlines()
    assert f"{tmp_path}/nothing*.dft: no such file, directory or match" in lines[0]
    assert any(f"{folder}/cut.dft: record 4 at byte 12288: truncated record, 7 of 4096 bytes "
               "(3 good records converted)" in line for line in lines)
    assert "3 files (3 converted, 0 up to date, 0 failed), 23 records" in lines[-1]
    assert "1 damaged" in lines[-1]
    counts = duckdb.sql(f"SELECT file, count(DISTINCT record) FROM read_parquet("
                        f"'{out}/samples/**/*.parquet') GROUP BY file ORDER BY file").fetchall()
    assert [c for _, c in counts] == [10, 10, 3]

    again = convert(folder, "-o", out)  # up to date, and still damaged
    assert again.returncode == 1 and "(0 converted, 3 up to date" in again.stderr
    with open(folder / "b.dft", "ab") as f:  # grown since: converted again
        f.write((folder / "a.dft").read_bytes()[:4096])
    os.utime(folder / "b.dft", ns=(0, 0))
    assert "(1 converted, 2 up to date" in convert(folder, "-o", out).stderr

    # usage errors: nothing is converted
    for args in (["--antenna", "1,1"], ["--records", f"1-{2**62 + 1}"], ["--records", "2-"],
                 ["--scheduler", "tcp://127.0.0.1"]):
        done = convert(folder, "-o", tmp_path / "none", *args)
        # the usage (13 lines at 80 columns) and the error, never the whole help (99 lines)
        assert done.returncode == 2 and done.stderr.count("\n") <= 16, done.stderr
    done = convert(folder, "-o", tmp_path / "none", "--compression", "zstd")  # not for Parquet
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert "--compression" in done.stderr
    assert not (tmp_path / "none").exists() or not list((tmp_path / "none").rglob("*.parquet"))


def test_odd_inputs_and_many_dates(make_dft, tmp_path, monkeypatch):
    import pyarrow.dataset

    from vexo._archive import parquet
    from vexo._archive.convert import convert_file
    from vexo._archive.rows import Conversion

    folder = tmp_path / "in"
    folder.mkdir()
    for name in ("_a.dft", ".b.dft"):
        os.replace(make_dft(4), folder / name)
    os.mkfifo(folder / "pipe.dft")  # not a regular file: left out, never opened
    done = convert(folder, "-o", tmp_path / "out", timeout=120)
    assert done.returncode == 0 and "2 files (2 converted" in done.stderr
    rows = pyarrow.dataset.dataset(tmp_path / "out" / "samples", partitioning="hive").to_table()
    assert rows.num_rows == 2 * 4 * 64
    # the pipe named as an input is read as it comes (its times change as it is written)
    import threading

    from conftest import EXAMPLE

    feed = threading.Thread(target=(folder / "pipe.dft").write_bytes,
                            args=(EXAMPLE.read_bytes(),))
    feed.start()
    piped = convert_file(str(folder / "pipe.dft"), str(tmp_path / "piped"), "parquet",
                         Conversion())
    feed.join()
    assert not piped.failure and piped.records == 6, piped.failure

    # records of many dates, at most two files open at once: every row in its date
    real_rows = parquet.block_rows

    def dated(*args, **kwargs):
        table, _ = real_rows(*args, **kwargs)
        return table, 20260101 + table.column("record").to_numpy() % 3

    monkeypatch.setattr(parquet, "block_rows", dated)
    monkeypatch.setattr(parquet, "OPEN_WRITERS", 2)
    outcome = convert_file(str(make_dft(12)), str(tmp_path / "dates"), "parquet",
                           Conversion(), chunk=5)
    assert not outcome.failure and len(outcome.outputs) > 3
    got = duckdb.sql(f"SELECT day, list(DISTINCT record ORDER BY record) FROM read_parquet("
                     f"'{tmp_path}/dates/samples/**/*.parquet', hive_partitioning=true) "
                     f"GROUP BY day ORDER BY day").fetchall()
    assert got == [(1, [3, 6, 9, 12]), (2, [1, 4, 7, 10]), (3, [2, 5, 8, 11])]


def test_interrupted_run_leaves_whole_files_and_a_rerun_completes(make_dft, tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    for i in range(12):
        os.replace(make_dft(300 + i), folder / f"f{i:02}.dft")
    out = tmp_path / "out"
    run = subprocess.Popen([sys.executable, "-m", "vexo", "convert", str(folder), "-o",
                            str(out), "--jobs", "1"], stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    while not list(out.glob("**/*.parquet")) and time.monotonic() < deadline:
        time.sleep(0.005)
    run.send_signal(signal.SIGKILL)
    run.wait()
    finished = list(out.glob("**/*.parquet"))
    assert 0 < len(finished) < 12
    for path in finished:
        pq.read_table(path)  # whole files only

    done = convert(folder, "-o", out)
    assert done.returncode == 0, done.stderr
    keys = duckdb.sql(f"SELECT count(*), count(DISTINCT (file, record, subblock, antenna)) "
                      f"FROM read_parquet('{out}/samples/**/*.parquet')").fetchall()
    assert keys == [(sum(300 + i for i in range(12)) * 64,) * 2]
    assert not [p for p in out.rglob("*") if p.name.endswith(".tmp")]
    assert "(0 converted, 12 up to date" in convert(folder, "-o", out).stderr


def test_a_dask_cluster_converts_as_this_machine_does(make_dft, tmp_path):
    pytest.importorskip("distributed")
    files = [make_dft(30 + i, "5/4,3/4") for i in range(4)]
    address_file = tmp_path / "scheduler.json"
    common = ["--no-dashboard"]
    processes = [subprocess.Popen(
        [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
         "--port", "0", "--scheduler-file", str(address_file), *common],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        deadline = time.monotonic() + 60
        while not address_file.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        for _ in range(2):
            processes.append(subprocess.Popen(
                [sys.executable, "-m", "distributed.cli.dask_worker", "--scheduler-file",
                 str(address_file), "--nthreads", "1", *common],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        from distributed import Client

        with Client(scheduler_file=str(address_file), timeout="60s") as client:
            client.wait_for_workers(2, timeout=60)
            address = client.scheduler.address
            assert address.startswith("tcp://127.0.0.1:")
            done = convert(*files, "-o", tmp_path / "cluster", "--scheduler", address,
                           "--convert")
            assert done.returncode == 0, done.stderr
            workers = client.run(lambda: os.getpid())
            assert len(workers) == 2 and os.getpid() not in workers.values()
    finally:
        for p in processes[::-1]:
            p.terminate()
            p.wait(timeout=30)
    local = convert(*files, "-o", tmp_path / "local", "--convert", "--jobs", "2")
    assert local.returncode == 0, local.stderr
    assert rows(tmp_path / "cluster") == rows(tmp_path / "local")
    # records of shape 5/4 (16 subblocks of 4 antennas) and 3/4 (64 of 4) in turn
    assert len(rows(tmp_path / "local")) == sum((n + 1) // 2 * 64 + n // 2 * 256
                                                for n in range(30, 34))
    listing = sorted(p.relative_to(tmp_path / "local") for p in (tmp_path / "local").rglob("*")
                     if p.suffix == ".parquet")
    assert listing == sorted(p.relative_to(tmp_path / "cluster")
                             for p in (tmp_path / "cluster").rglob("*.parquet"))


def test_parquet_types_and_converted_values_read_back(make_dft, tmp_path):
    path = make_dft(12, "5/4,3/2")
    out = tmp_path / "out"
    done = convert(path, "-o", out, "--convert")
    assert done.returncode == 0, done.stderr
    table = pq.read_table(next(out.rglob("*.parquet")))
    assert table.schema.field("phase").type == pa.list_(pa.field("element", pa.uint8(), False))
    assert table.schema.field("amplitude_db").type.value_type == pa.float32()
    assert table.schema.field("record").type == pa.int64()
    for n, a in ((5, 4), (3, 2)):
        ds = vexo.read(path, shape=(n, a))
        got = duckdb.sql(
            f"SELECT phase, list_max(amplitude), phase_degrees, amplitude_db "
            f"FROM read_parquet('{out}/samples/**/*.parquet') WHERE sample_count = {1 << n} "
            f"ORDER BY record, subblock, antenna").fetchall()
        lines = 1 << n
        assert len(got) == ds.phase.size // lines
        assert [g[0] for g in got] == ds.phase.values.reshape(-1, lines).tolist()
        assert [g[1] for g in got] == ds.amplitude.values.reshape(-1, lines).max(1).tolist()
        for column, name in ((2, "phase_degrees"), (3, "amplitude_db")):
            values = np.array([g[column] for g in got], dtype=np.float32)
            assert np.array_equal(values, ds[name].values.reshape(-1, lines))


def test_echo_rows_beside_the_samples(make_dft, tmp_path):
    from conftest import EXAMPLE

    layout = EXAMPLE.with_name("layout.toml")
    folder = tmp_path / "in"
    folder.mkdir()
    os.replace(make_dft(30), folder / "a.dft")
    os.replace(make_dft(20, "5/4,4/4"), folder / "b.dft")
    out = tmp_path / "out"
    done = convert(folder, "-o", out, "--echoes", "--layout", layout, "--jobs", "2")
    assert done.returncode == 0, done.stderr
    expected = {name: vexo.echoes(folder / name, layout=layout) for name in ("a.dft", "b.dft")}
    count = sum(len(t) for t in expected.values())
    assert f"50 records, {count} echoes;" in done.stderr
    got = duckdb.sql(
        f"SELECT * FROM read_parquet('{out}/echoes/**/*.parquet', hive_partitioning=true) "
        f"ORDER BY file, record, subblock, line").df()
    assert list(got.columns[:1 + len(expected["a.dft"].columns)]) == [
        "file", *expected["a.dft"].columns]
    assert (got.year == 2026).all() and (got.day == 8).all()
    for name, want in expected.items():
        mine = got[got.file == f"{folder}/{name}"].reset_index(drop=True)
        assert len(mine) == len(want) > 0
        mine["time"] = mine.time.dt.tz_convert("UTC").dt.tz_localize(None)  # instants in UTC
        for column in want.columns:
            a, b = mine[column].to_numpy(), want[column].to_numpy()
            assert np.array_equal(a.astype(b.dtype), b, equal_nan=b.dtype.kind == "f"), column
    (sample_file,) = (out / "samples").rglob("a-*.parquet")
    (echo_file,) = (out / "echoes").rglob("a-*.parquet")
    assert sample_file.relative_to(out / "samples").parent == \
        echo_file.relative_to(out / "echoes").parent
    kinds = pq.read_schema(echo_file)
    assert kinds.field("time").type == pq.read_schema(sample_file).field("time").type == \
        pa.timestamp("us", tz="UTC")
    assert kinds.field("resolved").type == pa.bool_()
    samples = duckdb.sql(f"SELECT count(*) FROM read_parquet('{out}/samples/**/*.parquet')")
    assert samples.fetchall() == [((30 + 10) * 64 + 10 * 128,)]  # 16 or 32 subblocks of 4

    frame = vexo.dask.read_archive(str(folder), table="echoes", layout=str(layout)).compute()
    assert len(frame) == count and frame.resolved.sum() == got.resolved.sum()
    # phases without the correction in the samples: the directions are fitted to corrected ones
    done = convert(folder / "a.dft", "-o", tmp_path / "raw", "--echoes", "--layout", layout,
                   "--convert", "--no-correction")
    assert done.returncode == 0, done.stderr
    raw = duckdb.sql(f"SELECT east, north FROM read_parquet('{tmp_path}/raw/echoes/**/*."
                     f"parquet') ORDER BY record, subblock, line").df()
    np.testing.assert_array_equal(raw.east, expected["a.dft"].east)

    # up to date; another threshold converts again; a layout the records lack fails whole
    again = convert(folder, "-o", out, "--echoes", "--layout", layout)
    assert again.returncode == 0 and "(0 converted, 2 up to date" in again.stderr
    again = convert(folder, "-o", out, "--echoes", "--layout", layout, "--threshold-db", "15")
    assert again.returncode == 0 and "(2 converted, 0 up to date" in again.stderr
    five = tmp_path / "five.toml"
    five.write_text(layout.read_text().replace(
        "[antennas]", "[antennas]\n5 = { east = 80.0, north = 0.0 }"))
    failed = convert(folder / "a.dft", "-o", tmp_path / "five", "--echoes", "--layout", five)
    once = f"convert: {folder / 'a.dft'}: record 1: no antenna 5 of the layout"  # named once
    assert failed.returncode == 1 and once in failed.stderr
    assert not [p for p in (tmp_path / "five").rglob("*") if p.is_file()]

    # usage errors: one line for a layout file, nothing converted
    (tmp_path / "bad.toml").write_text("phase_sign = 2\n[antennas]\n")
    for args, line in (
            (["--echoes"], "--echoes needs --layout"),
            (["--layout", layout], "--layout is for --echoes"),
            (["--echoes", "--layout", layout, "--format", "netcdf"], "as Parquet"),
            (["--echoes", "--layout", layout, "--antenna", "1,2"], "leaves out antennas 3, 4"),
            (["--echoes", "--layout", tmp_path / "none.toml"],
             f"{tmp_path}/none.toml: No such file or directory"),
            (["--echoes", "--layout", tmp_path / "bad.toml"], f"{tmp_path}/bad.toml: ")):
        done = convert(folder, "-o", tmp_path / "none", *args)
        assert done.returncode == 2 and line in done.stderr, (args, done.stderr)
    assert done.stderr.count("\n") == 1
    assert not (tmp_path / "none").exists()


def test_a_rerun_migrates_an_archive_of_the_earlier_form(make_dft, tmp_path):
    from conftest import EXAMPLE

    folder, out = tmp_path / "in", tmp_path / "out"
    folder.mkdir()
    for name, records in (("a.dft", 5), ("b.dft", 3)):
        os.replace(make_dft(records), folder / name)
    args = (folder, "-o", out, "--echoes", "--layout", EXAMPLE.with_name("layout.toml"))
    assert convert(*args).returncode == 0
    # as earlier versions wrote it: the samples' partitions right under OUTDIR, the echo rows
    # under OUTDIR/echoes, times without a zone (the echo rows' in ns), markers without a form
    for marker in (out / ".vexo-convert").glob("*.json"):
        value = json.loads(marker.read_text())
        del value["settings"]["output_form"]
        for i, output in enumerate(value["outputs"]):
            table = pq.read_table(out / output)
            (out / output).unlink()
            old = output.removeprefix("samples/")
            naive = table.column("time").cast(pa.timestamp("us" if old != output else "ns"))
            (out / old).parent.mkdir(parents=True, exist_ok=True)
            pq.write_table(table.set_column(2, "time", naive), out / old)
            value["outputs"][i] = old
        marker.write_text(json.dumps(value))
    for emptied in sorted((out / "samples").rglob("*"), reverse=True) + [out / "samples"]:
        emptied.rmdir()
    assert sorted(p.name for p in out.iterdir()) == [".vexo-convert", "echoes", "year=2026"]

    done = convert(*args)
    assert done.returncode == 0 and "(2 converted, 0 up to date" in done.stderr, done.stderr
    assert sorted(p.name for p in out.iterdir()) == [".vexo-convert", "echoes", "samples"]
    for table in ("samples", "echoes"):
        files = sorted(p.relative_to(out / table).as_posix() for p in out.rglob("*.parquet")
                       if p.relative_to(out).parts[0] == table)
        assert [f.split("-")[0] for f in files] == ["year=2026/month=12/day=8/a",
                                                    "year=2026/month=12/day=8/b"]
        assert pq.read_schema(out / table / files[0]).field("time").type == \
            pa.timestamp("us", tz="UTC")
    assert len(rows(out)) == (5 + 3) * 64  # 16 subblocks of 4 antennas a record
    assert "(0 converted, 2 up to date" in convert(*args).stderr
