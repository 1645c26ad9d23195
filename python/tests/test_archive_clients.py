"""Archives as other programs read them: DuckDB, polars, pyarrow, pandas and Dask given a
table's folder read that one table, with times that are the same instants in every engine and
session zone; records without a time in the partition every engine reads as null; the
README's commands and queries as printed; vexo.drift and vexo.plot take the echo rows read
back."""

from __future__ import annotations

import re
import shlex
import warnings
from datetime import datetime, timedelta, timezone

import numpy as np
import pytest

import vexo

pa = pytest.importorskip("pyarrow")
pc = pytest.importorskip("pyarrow.compute")
ds = pytest.importorskip("pyarrow.dataset")
duckdb = pytest.importorskip("duckdb")
from conftest import EXAMPLE, ROOT, convert  # noqa: E402

LAYOUT = EXAMPLE.with_name("layout.toml")
# The example: 6 records of N = 5, A = 4 (2048 / (2^5 * 4) = 16 subblocks of 4 antennas),
# one a second from 12:00:00 on day 342 of 2026 (8 December), in UTC.
RECORDS, ROWS_A_RECORD = 6, 16 * 4
FIRST = datetime(2026, 12, 8, 12, tzinfo=timezone.utc)
SAMPLE_COLUMNS = ["file", "record", "time", "subblock", "frequency", "height", "gain",
                  "polarization", "antenna", "sample_count", "phase", "amplitude"]
PARTITIONS = ["year", "month", "day"]


def readme_blocks(language):
    """The code blocks of one language in the README's section on archives."""
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    section = text[text.index("\n## Archives\n"):]
    section = section[:section.index("\n## ", 1)]
    return re.findall(rf"^```{language}\n(.*?)^```", section, flags=re.M | re.S)


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """The README's command with --echoes, run on the example in a new folder: (that folder,
    OUTDIR)."""
    cwd = tmp_path_factory.mktemp("readme")
    (line,) = [line for block in readme_blocks("sh") for line in block.splitlines()
               if "--echoes" in line]
    args = shlex.split(line.partition("#")[0])
    assert args[0] == "vexo-convert"
    args[1] = str(EXAMPLE)
    args[args.index("--layout") + 1] = str(LAYOUT)
    done = convert(*args[1:], cwd=cwd)
    assert done.returncode == 0, done.stderr
    return cwd, cwd / args[args.index("-o") + 1]


def test_each_folder_reads_as_one_table_in_every_engine(made):
    pd = pytest.importorskip("pandas")
    dd = pytest.importorskip("dask.dataframe")
    pl = pytest.importorskip("polars")
    _, out = made
    echo_columns = ["file", *vexo.echoes(EXAMPLE, layout=LAYOUT).columns]
    tables = {"samples": (SAMPLE_COLUMNS, RECORDS * ROWS_A_RECORD),
              "echoes": (echo_columns, len(vexo.echoes(EXAMPLE, layout=LAYOUT)))}
    for name, (columns, rows) in tables.items():
        folder = out / name
        readers = {
            "duckdb": lambda: duckdb.sql(f"SELECT * FROM read_parquet('{folder}/**/*.parquet', "
                                         "hive_partitioning = true)").df(),
            "pyarrow": lambda: ds.dataset(folder, partitioning="hive").to_table().to_pandas(),
            "polars": lambda: pl.read_parquet(folder, hive_partitioning=True).to_pandas(),
            "pandas": lambda: pd.read_parquet(folder),
            "dask": lambda: dd.read_parquet(folder).compute(),
        }
        for engine, read in readers.items():
            frame = read()
            assert sorted(frame.columns) == sorted(columns + PARTITIONS), (name, engine)
            assert len(frame) == rows, (name, engine)
            assert frame["time"].min() == FIRST, (name, engine)  # an instant, in UTC
            assert (frame["year"].astype(int) == 2026).all(), (name, engine)


def test_instants_agree_across_engines_and_session_zones(made):
    pl = pytest.importorskip("polars")
    _, out = made
    rows = {}
    with duckdb.connect() as con:
        con.execute("SET TimeZone = 'America/New_York'")
        glob = f"'{out}/samples/**/*.parquet'"
        first = con.execute(f"SELECT min(time) FROM read_parquet({glob})").fetchone()[0]
        assert first == FIRST and first.utcoffset() == timedelta(hours=-5)  # shown in New York
        rows["duckdb"] = con.execute(
            f"SELECT count(*) FROM read_parquet({glob}) "
            "WHERE time = TIMESTAMPTZ '2026-12-08 07:00:00-05'").fetchone()[0]
    samples = pl.scan_parquet(out / "samples", hive_partitioning=True)
    rows["polars"] = samples.filter(pl.col("time") == FIRST).select(pl.len()).collect().item()
    table = ds.dataset(out / "samples", partitioning="hive").to_table()
    at = pa.scalar(FIRST, type=pa.timestamp("us", tz="UTC"))
    rows["pyarrow"] = pc.sum(pc.equal(table.column("time"), at)).as_py()
    assert rows == dict.fromkeys(rows, ROWS_A_RECORD)  # record 1 alone

    # the echoes join the samples on time (one record a second in the example)
    echoes = pl.scan_parquet(out / "echoes", hive_partitioning=True)
    joined = echoes.join(samples.select("file", "time", "record").unique(), on=["file", "time"],
                         suffix="_of_samples").collect()
    assert len(joined) == len(vexo.echoes(EXAMPLE, layout=LAYOUT))
    assert (joined["record"] == joined["record_of_samples"]).all()


def test_records_without_a_time_are_in_the_null_partition(make_records, tmp_path):
    pl = pytest.importorskip("polars")
    rng = np.random.default_rng(3)
    head = {"FREQ": 3200, "A": 4, "N": 5, "l": 1}
    descriptors = [(3200, 100 + 10 * i, 0, 1) for i in range(16)]
    records = [{"header": {**head, **when}, "descriptors": descriptors,
                "amplitude": rng.integers(0, 256, 2048).astype(np.uint8),
                "phase": rng.integers(0, 256, 2048).astype(np.uint8)}
               for when in ({"year": 26, "day": 342, "hour": 12}, {"year": 26, "day": 0})]
    out = tmp_path / "out"
    done = convert(make_records(records), "-o", out)
    assert done.returncode == 0, done.stderr
    folder = out / "samples"
    counts = duckdb.sql(
        f"SELECT year, month, day, count(*), count(time), count(*) FILTER (year < 2026) "
        f"FROM read_parquet('{folder}/**/*.parquet', hive_partitioning = true) "
        f"GROUP BY ALL ORDER BY year NULLS LAST").fetchall()
    assert counts == [(2026, 12, 8, 64, 64, 0), (None, None, None, 64, 0, 0)]
    frames = {"pyarrow": ds.dataset(folder, partitioning="hive").to_table().to_pylist(),
              "polars": pl.read_parquet(folder, hive_partitioning=True).to_dicts()}
    for engine, rows in frames.items():
        got = sorted(((row["year"], row["time"]) for row in rows),
                     key=lambda row: row[0] is None)
        assert got == [(2026, FIRST)] * 64 + [(None, None)] * 64, engine


def test_the_readme_queries_run_as_printed(made, monkeypatch):
    cwd, _ = made
    monkeypatch.chdir(cwd)
    blocks = readme_blocks("sql")
    assert len(blocks) == 2 and all("'archive/" in block for block in blocks)
    results = []
    with duckdb.connect() as con:
        con.execute("SET TimeZone = 'America/New_York'")  # a user's zone; the README sets UTC
        for statement in (s for block in blocks for s in block.split(";") if s.strip()):
            rows = con.execute(statement).fetchall()
            if statement.lstrip().startswith("SELECT"):
                results.append(rows)
    hours, day, years, echo_hours = results
    assert {hour for _, hour, _, _ in hours} == {12}  # 12:00 UTC
    assert [record for _, record, _ in day] == list(range(1, RECORDS + 1))
    assert years == [(2026, RECORDS)]
    found = vexo.echoes(EXAMPLE, layout=LAYOUT)
    taken = found[found.resolved]
    assert [row[:3] for row in echo_hours] == [
        (12, p, int((taken.polarization == p).sum())) for p in sorted(set(taken.polarization))]
    for _, p, _, zenith, _, _ in echo_hours:  # the mean direction, from the mean cosines
        mine = taken[taken.polarization == p]
        assert zenith == pytest.approx(np.degrees(np.arcsin(np.hypot(mine.east.mean(),
                                                                     mine.north.mean()))))


def test_drift_and_skymap_take_the_echo_rows_read_back(made):
    pd = pytest.importorskip("pandas")
    _, out = made
    import vexo.dask
    import vexo.plot

    found = vexo.echoes(EXAMPLE, layout=LAYOUT)
    want = vexo.drift(found, window=60)
    want_map = vexo.plot.skymap_data(found, window=60).data
    read_back = ds.dataset(out / "echoes", partitioning="hive").to_table().to_pandas()
    undated = read_back.iloc[:1].assign(  # no time: in no window, left out
        record=RECORDS + 1, time=pd.Series([pd.NaT], dtype=read_back["time"].dtype))
    with duckdb.connect() as con:
        con.execute("SET TimeZone = 'America/New_York'")
        in_new_york = con.execute(f"SELECT * FROM read_parquet('{out}/echoes/**/*.parquet')"
                                  ).df()
    from_dask = vexo.dask.read_archive(str(EXAMPLE), table="echoes", layout=LAYOUT).compute()
    for table in (pd.concat([read_back, undated], ignore_index=True), in_new_york, from_dask):
        assert getattr(table["time"].dtype, "tz", None) or table["time"].dtype.pyarrow_dtype.tz
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            got = vexo.drift(table, window=60)
            got_map = vexo.plot.skymap_data(table, window=60).data
        assert got.drop(columns="file").equals(want)
        assert np.array_equal(got_map.time.values, want_map.time.values)
        assert [got_map.attrs[k] for k in ("time", "end", "drift_east")] == \
            [want_map.attrs[k] for k in ("time", "end", "drift_east")]
