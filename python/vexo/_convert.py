"""Converting one DFT file to Parquet (partitioned by date) or NetCDF, a part at a time, safely
against interruption: every output is written under a temporary name and renamed when whole,
and OUTDIR/.vexo-convert/NAME.FORMAT.json records what the input was and became, so that a
later run skips it while it is unchanged and cleans up after it otherwise. With a layout, the
echo rows of the same records go beside the samples, under OUTDIR/echoes/ partitioned by date
the same way, as part of the same input's outputs."""

from __future__ import annotations

import glob
import json
import os
import socket
import time as clock
from collections import OrderedDict
from dataclasses import asdict, dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from vexo import _core
from vexo._archive import (CHUNK_RECORDS, ECHOES, MARKERS, SAMPLE_COLUMNS, Conversion,
                           block_rows, blocks, echo_rows, output_stem)
from vexo._dataset import loaded
from vexo._index import FileIndex, shapes_of
from vexo._names import shown_name

OPEN_WRITERS = 16  # Parquet files open at once per input (one per date in hand)
HOST = socket.gethostname().replace(".", "_")


@dataclass
class Outcome:
    """What became of one input."""

    path: str
    bytes: int = 0
    records: int = 0
    echoes: int = 0  # echo rows written (with a layout)
    outputs: List[str] = field(default_factory=list)
    skipped: bool = False
    damage: str = ""  # what stopped the reading early (the good records are converted)
    failure: str = ""  # why nothing could be converted
    seconds: float = 0.0


# ---------------------------------------------------------------------------------------------
# Temporary files


def _temporary(final: str) -> str:
    folder, base = os.path.split(final)
    return os.path.join(folder, f".{base}.{HOST}.{os.getpid()}.tmp")


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OSError):
        return True
    return True


def _abandoned(name: str) -> bool:
    """A temporary file of a process of this machine that has ended."""
    parts_of_name = name.rsplit(".", 3)
    return (len(parts_of_name) == 4 and parts_of_name[3] == "tmp" and parts_of_name[1] == HOST
            and parts_of_name[2].isdigit() and not _alive(int(parts_of_name[2])))


def _remove_abandoned(final: str) -> None:
    folder, base = os.path.split(final)
    for stale in glob.glob(os.path.join(glob.escape(folder), f".{glob.escape(base)}.*.tmp")):
        if _abandoned(os.path.basename(stale)):
            try:
                os.remove(stale)
            except OSError:
                pass


def remove_abandoned(outdir: str) -> int:
    """Removes the temporary files below outdir that ended processes of this machine left;
    returns how many."""
    removed = 0
    for here, _, files in os.walk(outdir):
        for name in files:
            if name.startswith(".") and name.endswith(".tmp") and _abandoned(name):
                try:
                    os.remove(os.path.join(here, name))
                    removed += 1
                except OSError:
                    pass
    return removed


class _Staging:
    """The outputs of one input while they are written: removed again unless all of them are
    finished."""

    def __init__(self) -> None:
        self.written: List[Tuple[str, str]] = []  # (temporary, final)

    def claim(self, final: str) -> str:
        _remove_abandoned(final)
        temporary = _temporary(final)
        self.written.append((temporary, final))
        return temporary

    def __enter__(self) -> "_Staging":
        return self

    def __exit__(self, kind: Any, *rest: Any) -> None:
        if kind is not None:
            for temporary, _ in self.written:
                try:
                    os.remove(temporary)
                except OSError:
                    pass


# ---------------------------------------------------------------------------------------------
# Markers


def _write_json(path: str, value: Dict[str, Any]) -> None:
    temporary = _temporary(path)
    with open(temporary, "w", encoding="utf-8") as f:
        json.dump(value, f)
    os.replace(temporary, path)


def _read_marker(marker: str) -> Dict[str, Any]:
    try:
        with open(marker, encoding="utf-8") as f:
            value = json.load(f)
        return value if isinstance(value, dict) else {}
    except (OSError, ValueError):
        return {}


def _up_to_date(marker: Dict[str, Any], outdir: str, source: Dict[str, int],
                settings: Dict[str, Any]) -> bool:
    """The input is as it was when its outputs were made, with these settings, and they are
    all there."""
    return (marker.get("status") == "done" and marker.get("source") == source
            and marker.get("settings") == json.loads(json.dumps(settings))
            and all(os.path.exists(os.path.join(outdir, o)) for o in marker.get("outputs", [])))


def _publish(outdir: str, marker_path: str, old: Dict[str, Any], written: List[Tuple[str, str]],
             done: Dict[str, Any], outcome: Outcome) -> None:
    """Renames the finished temporary files to their names and records them, so that an
    interruption at any point leaves only whole files, and a later run can clean up."""
    os.makedirs(os.path.dirname(marker_path), exist_ok=True)
    new = [os.path.relpath(final, outdir) for _, final in written]
    before = [o for o in old.get("outputs", []) if o not in new]
    _write_json(marker_path, {"status": "pending", "input": outcome.path,
                              "outputs": new + before})
    for temporary, final in written:
        os.replace(temporary, final)
    for stale in before:
        try:
            os.remove(os.path.join(outdir, stale))
        except FileNotFoundError:
            pass
    outcome.outputs = new
    _write_json(marker_path, {**done, "status": "done", "input": outcome.path, "outputs": new,
                              "records": outcome.records, "echoes": outcome.echoes,
                              "damage": outcome.damage})


# ---------------------------------------------------------------------------------------------
# One file


def convert_file(path: str, outdir: str, fmt: str, conversion: Conversion,
                 label: Optional[str] = None, chunk: int = CHUNK_RECORDS,
                 compression: str = "deflate") -> Outcome:
    """Converts one file into outdir as "parquet" or "netcdf" (compression "deflate" or
    "zstd"); never raises for what the file, the disk or the data do (the outcome says it).
    label is the file's name in the rows (default: path). A file that is as it was when its
    outputs were made with the same settings is skipped."""
    started = clock.perf_counter()
    outcome = Outcome(shown_name(path if label is None else label))
    try:
        stat = os.stat(path)
        outcome.bytes = stat.st_size
        source = {"size": stat.st_size, "mtime_ns": stat.st_mtime_ns}
        marker_path = os.path.join(outdir, MARKERS, f"{output_stem(path)}.{fmt}.json")
        marker = _read_marker(marker_path)
        settings = {"format": fmt, **asdict(conversion.selection),
                    "convert": conversion.convert, "correct": conversion.correct}
        if fmt == "netcdf":
            settings["compression"] = compression
        if conversion.layout is not None:
            if fmt != "parquet":
                raise ValueError("the echo rows are written as Parquet only")
            settings["echoes"] = conversion.echo_settings()
        if _up_to_date(marker, outdir, source, settings):
            outcome.skipped = True
            outcome.records = int(marker.get("records", 0))
            outcome.echoes = int(marker.get("echoes", 0))
            outcome.outputs = list(marker.get("outputs", []))
            outcome.damage = str(marker.get("damage", ""))
            return outcome
        with _Staging() as staging:
            if fmt == "parquet":
                _to_parquet(path, outcome.path, outdir, conversion, staging, outcome, chunk)
            else:
                _to_netcdf(path, outdir, conversion, staging, outcome, compression, chunk)
            _publish(outdir, marker_path, marker, staging.written,
                     {"source": source, "settings": settings}, outcome)
    except Exception as e:  # noqa: BLE001 - whatever it is, it is this file's failure
        outcome.failure = _reason(e)
        outcome.records = outcome.echoes = 0
    finally:
        outcome.seconds = clock.perf_counter() - started
    return outcome


def _reason(e: BaseException) -> str:
    if isinstance(e, OSError) and e.strerror:
        return e.strerror + (f": {shown_name(e.filename)}" if e.filename else "")
    if isinstance(e, MemoryError):
        return "out of memory"
    return f"{type(e).__name__}: {e}" if not isinstance(e, (ValueError, RuntimeError)) else str(e)


def parquet_options(schema: Any, sample_columns: Sequence[str] = SAMPLE_COLUMNS
                    ) -> Dict[str, Any]:
    """How the rows are written (pyarrow.parquet.ParquetWriter's options). The sample bytes
    are stored as Parquet's 32-bit integers: DELTA_BINARY_PACKED keeps them at about a byte a
    value without a dictionary or a compressor (faster than either, and smaller); the
    converted values split into byte streams and zstd (level 1). The other columns keep the
    defaults (a dictionary, snappy, statistics). Every reader of Parquet 2.x reads these.
    sample_columns: the columns that hold lists of samples (the echo rows have none)."""
    import pyarrow as pa

    samples = [n for n in schema.names if n in sample_columns]
    others = [n for n in schema.names if n not in sample_columns]
    elements = {n: f"{n}.list.element" for n in samples}
    integers = [n for n in samples if not pa.types.is_floating(schema.field(n).type.value_type)]
    return {
        "use_dictionary": others,
        "write_statistics": others,
        "compression": {**{n: "snappy" for n in others},
                        **{elements[n]: "none" if n in integers else "zstd" for n in samples}},
        "compression_level": {elements[n]: 1 for n in samples if n not in integers},
        "column_encoding": {elements[n]: "DELTA_BINARY_PACKED" if n in integers
                            else "BYTE_STREAM_SPLIT" for n in samples},
    }


class _DateFiles:
    """The Parquet files of one input, one per date (or more, when a date comes back after
    its file was closed to keep at most OPEN_WRITERS open)."""

    def __init__(self, outdir: str, stem: str, staging: _Staging,
                 sample_columns: Sequence[str] = SAMPLE_COLUMNS) -> None:
        self.outdir, self.stem, self.staging = outdir, stem, staging
        self.sample_columns = sample_columns
        self.open: "OrderedDict[int, Any]" = OrderedDict()
        self.made: Dict[int, int] = {}

    def write(self, date: int, rows: Any) -> None:
        import pyarrow.parquet as pq

        writer = self.open.get(date)
        if writer is None:
            if len(self.open) >= OPEN_WRITERS:
                self.open.popitem(last=False)[1].close()
            count = self.made.get(date, 0)
            self.made[date] = count + 1
            folder = os.path.join(self.outdir, f"year={date // 10000}",
                                  f"month={date // 100 % 100}", f"day={date % 100}")
            os.makedirs(folder, exist_ok=True)
            final = os.path.join(folder, self.stem + (f".{count}" if count else "") + ".parquet")
            writer = pq.ParquetWriter(self.staging.claim(final), rows.schema,
                                      **parquet_options(rows.schema, self.sample_columns))
            self.open[date] = writer
        else:
            self.open.move_to_end(date)
        writer.write_table(rows)

    def close(self) -> None:
        while self.open:
            self.open.popitem(last=False)[1].close()


def _write_dated(files: _DateFiles, rows: Any, dates: np.ndarray) -> None:
    """Rows into the files of their dates, in their order within each date."""
    if rows.num_rows == 0:
        return
    if dates[0] == dates[-1] and np.all(dates == dates[0]):
        files.write(int(dates[0]), rows)
        return
    order = np.argsort(dates, kind="stable")
    rows, dates = rows.take(order), dates[order]
    starts = np.flatnonzero(np.r_[True, dates[1:] != dates[:-1]])
    ends = np.r_[starts[1:], len(dates)]
    for a, b in zip(starts, ends):
        files.write(int(dates[a]), rows.slice(a, b - a))


def _to_parquet(path: str, label: str, outdir: str, conversion: Conversion, staging: _Staging,
                outcome: Outcome, chunk: int) -> None:
    """The samples and, with a layout, the echo rows of one index, a block of records at a
    time: the echoes of a block are found right after its samples are read, through the same
    reader of the file."""
    stem = output_stem(path)
    files = _DateFiles(outdir, stem, staging)
    index = FileIndex.of(path, conversion.selection)
    echoes = None if conversion.layout is None else _DateFiles(
        os.path.join(outdir, ECHOES), stem, staging, sample_columns=())
    # The directions need the corrected phases: the samples' reader serves the echoes too
    # unless it writes phase_degrees without the correction.
    shared = conversion.correct or not conversion.convert
    reader = index.part_reader(shared)
    echo_reader, fit = reader, None
    if echoes is not None:
        from vexo._echoes import DirectionFit

        fit = DirectionFit(conversion.layout)  # type: ignore[arg-type]
        echo_reader = reader if shared else index.part_reader(True)
    try:
        for block in blocks(index, chunk):
            rows, dates = block_rows(index, block, label, convert=conversion.convert,
                                     correct=conversion.correct, reader=reader)
            outcome.records += len(block)
            _write_dated(files, rows, dates)
            if echoes is not None:
                rows, dates = echo_rows(index, block, label, conversion, reader=echo_reader,
                                        fit=fit)
                outcome.echoes += rows.num_rows
                _write_dated(echoes, rows, dates)
        outcome.damage = index.damage or ""
    finally:
        files.close()
        if echoes is not None:
            echoes.close()


def _to_netcdf(path: str, outdir: str, conversion: Conversion, staging: _Staging,
               outcome: Outcome, compression: str, chunk: int) -> None:
    """One NetCDF-4 file: the dataset of vexo.read, or a group of it per record shape when
    the records asked for have several, written a part at a time from one index."""
    import netCDF4

    selection = conversion.selection
    index = FileIndex.of(path, selection)
    shapes = [(n, a) for n, a, _ in shapes_of(index.asked())
              if not selection.antenna or min(selection.antenna) <= a]
    os.makedirs(outdir, exist_ok=True)
    temporary = staging.claim(os.path.join(outdir, output_stem(path) + ".nc"))
    outcome.damage = index.damage or ""
    groups: List[Optional[str]] = []
    for shape in shapes:
        entries = index.asked(shape, taking=True)
        # the subblock dimension is as long as the most subblocks taken from a record
        width = int(entries["taken_subblocks"].max()) if len(entries) else 0
        group = None if len(shapes) == 1 else f"N{shape[0]}_A{shape[1]}"
        for start in range(0, len(entries), chunk):
            ds = loaded(index, entries[start:start + chunk], shape, width,
                        correct=conversion.correct, convert=conversion.convert)
            if start == 0:
                ds.to_netcdf(temporary, mode="a" if groups else "w", group=group,
                             engine="netcdf4", unlimited_dims=["record"],
                             encoding=_encoding(ds, compression, chunk))
                groups.append(group)
            else:
                _append(temporary, group, ds, start)
            outcome.records += ds.sizes["record"]
    attributes = {"Conventions": "CF-1.8", "title": "DFT sounding records",
                  "source": shown_name(path), "vexo_version": _core.version,
                  "phase_correction": int(conversion.correct), "stop": index.stop_text}
    with netCDF4.Dataset(temporary, "a" if groups else "w") as nc:
        nc.setncatts(attributes)  # the file's own, also when its groups hold the records
        for group in groups:
            if group is not None:
                nc.groups[group].setncattr("stop", index.stop_text)


def _encoding(ds: Any, compression: str, chunk: int) -> Dict[str, Dict[str, Any]]:
    """deflate (level 1: what every NetCDF-4 reader reads) or zstd (level 1: faster; readers
    need netCDF-C 4.9 with its filter plugins); parts of about 4 MiB along the records."""
    setting = ({"zlib": True, "complevel": 1} if compression == "deflate"
               else {"compression": "zstd", "complevel": 1})
    out: Dict[str, Dict[str, Any]] = {
        "time": {"units": "seconds since 1970-01-01 00:00:00", "calendar": "proleptic_gregorian",
                 "dtype": "float64", "_FillValue": np.nan}}
    for name, v in {**ds.data_vars, **ds.coords}.items():
        if v.ndim == 0 or v.dtype.kind not in "uifbM":
            continue
        out.setdefault(name, {}).update(setting)
        if "record" in v.dims:
            per_record = max(1, v.dtype.itemsize * int(np.prod(v.shape[1:])))
            # no longer than the part: a chunk is stored whole, fill values compressed too
            records = min(chunk, max(1, v.shape[0]), (4 << 20) // per_record)
            out[name]["chunksizes"] = (max(1, records),
                                       *v.shape[1:])
    return out


def _append(path: str, group: Optional[str], ds: Any, start: int) -> None:
    """Writes the records of ds after the first `start` records of the group."""
    import netCDF4

    with netCDF4.Dataset(path, "a") as nc:
        target = nc if group is None else nc.groups[group]
        for name, v in ds.variables.items():
            if "record" not in v.dims:
                continue
            values = v.values
            if name == "time":
                seconds = values.astype("datetime64[s]")
                values = np.where(np.isnat(seconds), np.nan, seconds.astype(np.int64).astype(
                    np.float64))
            target.variables[name][start:start + len(values)] = values
