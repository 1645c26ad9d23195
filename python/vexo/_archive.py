"""Whole archives: finding DFT files, their rows as Arrow tables, and converting one file to
Parquet (partitioned by date) or NetCDF, safely against interruption.

A row is one antenna of one subblock of one record. Records are numbered from 1, subblocks
from 0 (as the listing counts them), antennas from 1 (as the settings file names them).
"""

from __future__ import annotations

import glob
import hashlib
import json
import os
import time as clock
import warnings
from dataclasses import asdict, dataclass, field
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np

from vexo import _core, _selection
from vexo._time import record_times

CHUNK_RECORDS = 4096  # records read and written at a time: memory stays bounded
MARKERS = ".vexo-convert"  # the folder of OUTDIR that records what each input became


@dataclass(frozen=True)
class Selection:
    """The subblocks, antennas and records to convert, and the values asked for."""

    frequency: Tuple[float, ...] = ()
    height: Tuple[float, ...] = ()
    polarization: Tuple[int, ...] = ()
    antenna: Tuple[int, ...] = ()
    records: Tuple[Tuple[int, int], ...] = ()
    convert: bool = False
    correct: bool = True

    @classmethod
    def of(cls, frequency: Any = None, height: Any = None, polarization: Any = None,
           antenna: Any = None, records: Any = None, convert: bool = False,
           correct: bool = True) -> "Selection":
        """From the keywords of vexo.read (checked the same way)."""
        return cls(tuple(_selection.reals("frequency", frequency)),
                   tuple(_selection.reals("height", height)),
                   tuple(_selection.whole_numbers("polarization", polarization, 0)),
                   tuple(_selection.whole_numbers("antenna", antenna, 1)),
                   tuple(tuple(r) for r in _selection.record_ranges(records)),
                   bool(convert), bool(correct))

    def reader(self, source: Any) -> Any:
        return _core.BulkReader(source, list(self.frequency), list(self.height),
                                list(self.polarization), list(self.antenna),
                                [tuple(r) for r in self.records], self.convert, self.correct)


# ---------------------------------------------------------------------------------------------
# Inputs


def find_inputs(inputs: Sequence[str]) -> Tuple[List[str], List[str]]:
    """Files, directories (searched below for *.dft in any case) and glob patterns, as paths
    in a stable order without repeats; and the inputs that named nothing."""
    found: List[str] = []
    missing: List[str] = []
    for item in inputs:
        if os.path.isdir(item):
            hits = []
            for folder, dirs, files in os.walk(item):
                dirs[:] = sorted(d for d in dirs if not d.startswith("."))
                hits += [os.path.join(folder, f) for f in files if f.lower().endswith(".dft")]
            found += sorted(hits)
        elif os.path.lexists(item):
            found.append(item)
        elif glob.has_magic(item):
            hits = sorted(p for p in glob.glob(item, recursive=True) if not os.path.isdir(p))
            if hits:
                found += hits
            else:
                missing.append(item)
        else:
            missing.append(item)
    seen = set()
    unique = []
    for path in found:
        key = os.path.realpath(path)
        if key not in seen:
            seen.add(key)
            unique.append(path)
    return unique, missing


def output_stem(path: str) -> str:
    """The name of a file's outputs: its own name and a digest of its full path, so that files
    of one name in different folders do not meet."""
    digest = hashlib.sha1(os.fsencode(os.path.realpath(path))).hexdigest()[:8]
    return f"{os.path.splitext(os.path.basename(path))[0]}-{digest}"


# ---------------------------------------------------------------------------------------------
# Rows


def schema(convert: bool) -> Any:
    """The rows' columns. Only time may be null (a header without a valid time)."""
    import pyarrow as pa

    def column(name: str, kind: Any, nullable: bool = False) -> Any:
        return pa.field(name, kind, nullable=nullable)

    def samples(kind: Any) -> Any:
        return pa.list_(pa.field("element", kind, nullable=False))

    fields = [
        column("file", pa.dictionary(pa.int32(), pa.string())),
        column("record", pa.int64()),
        column("time", pa.timestamp("us"), nullable=True),
        column("subblock", pa.int16()),
        column("frequency", pa.float32()),
        column("height", pa.float32()),
        column("gain", pa.int8()),
        column("polarization", pa.int8()),
        column("antenna", pa.int8()),
        column("sample_count", pa.int16()),
        column("phase", samples(pa.uint8())),
        column("amplitude", samples(pa.uint8())),
    ]
    if convert:
        fields += [column("phase_degrees", samples(pa.float32())),
                   column("amplitude_db", samples(pa.float32()))]
    return pa.schema(fields)


SAMPLE_COLUMNS = ("phase", "amplitude", "phase_degrees", "amplitude_db")


def table(got: Dict[str, Any], file: str, convert: bool) -> Any:
    """The rows of a part read by a BulkReader, with their dates (year, month, day; 0 where
    the record has no valid time) per row."""
    import pyarrow as pa

    subblocks = got["taken_subblocks"].astype(np.int64)
    antennas = got["taken_antennas"].astype(np.int64)
    per_record = subblocks * antennas
    rows = int(per_record.sum())
    record_of_row = np.repeat(np.arange(len(subblocks)), per_record)
    antennas_of_subblock = np.repeat(antennas, subblocks)
    subblock_of_row = np.repeat(np.arange(len(antennas_of_subblock)), antennas_of_subblock)
    # the row's place among its subblock's antennas, and where its record's antennas start
    group_start = np.cumsum(antennas_of_subblock) - antennas_of_subblock
    place = np.arange(rows) - np.repeat(group_start, antennas_of_subblock)
    first_antenna = np.repeat(np.cumsum(antennas) - antennas, subblocks)
    antenna = got["antenna"][np.repeat(first_antenna, antennas_of_subblock) + place]
    samples = got["record_sample_count"].astype(np.int64)[record_of_row]
    offsets = np.zeros(rows + 1, dtype=np.int64)
    np.cumsum(samples, out=offsets[1:])
    offset_type = pa.int32() if offsets[-1] < 2**31 else pa.int64()
    offsets_array = pa.array(offsets.astype(np.int32 if offset_type == pa.int32() else np.int64))

    def lists(values: np.ndarray) -> Any:
        cls = pa.ListArray if offset_type == pa.int32() else pa.LargeListArray
        kind = pa.from_numpy_dtype(values.dtype)
        return cls.from_arrays(offsets_array, pa.array(values),
                               type=(pa.list_ if cls is pa.ListArray else pa.large_list)(
                                   pa.field("element", kind, nullable=False)))

    times = record_times(got["clock"])
    columns = {
        "file": pa.DictionaryArray.from_arrays(pa.array(np.zeros(rows, dtype=np.int32)),
                                               pa.array([file])),
        "record": pa.array(got["number"][record_of_row]),
        "time": pa.array(times[record_of_row].astype("datetime64[us]")),
        "subblock": pa.array(got["subblock"][subblock_of_row]),
        "frequency": pa.array(got["frequency"][subblock_of_row]),
        "height": pa.array(got["height"][subblock_of_row]),
        "gain": pa.array(got["gain"][subblock_of_row]),
        "polarization": pa.array(got["polarization"][subblock_of_row]),
        "antenna": pa.array(antenna),
        "sample_count": pa.array(samples.astype(np.int16)),
        "phase": lists(got["phase"]),
        "amplitude": lists(got["amplitude"]),
    }
    if convert:
        columns["phase_degrees"] = lists(got["phase_degrees"])
        columns["amplitude_db"] = lists(got["amplitude_db"])
    if offset_type != pa.int32():  # only for parts of over 2^31 samples
        columns = {k: (v.cast(pa.list_(v.type.value_field)) if k in SAMPLE_COLUMNS else v)
                   for k, v in columns.items()}
    out = pa.table(columns, schema=schema(convert))
    day = times.astype("datetime64[D]")
    valid = ~np.isnat(times)
    year = np.where(valid, day.astype("datetime64[Y]").astype(np.int64) + 1970, 0)
    month = np.where(valid, day.astype("datetime64[M]").astype(np.int64) % 12 + 1, 0)
    dom = np.where(valid, (day - day.astype("datetime64[M]")).astype(np.int64) + 1, 0)
    dates = np.stack([year, month, dom], axis=1)[record_of_row]
    return out, dates


def parts(source: Any, file: str, selection: Selection,
          chunk: int = CHUNK_RECORDS) -> Iterator[Tuple[Any, np.ndarray, Dict[str, Any]]]:
    """The file's rows a part at a time: (table, dates per row, what the reader said)."""
    reader = selection.reader(source)
    while True:
        got = reader.next(chunk)
        rows, dates = table(got, file, selection.convert)
        yield rows, dates, got
        if got["done"]:
            return


# ---------------------------------------------------------------------------------------------
# Converting one file


@dataclass
class Outcome:
    """What became of one input."""

    path: str
    bytes: int = 0
    records: int = 0
    outputs: List[str] = field(default_factory=list)
    skipped: bool = False
    damage: str = ""  # what stopped the reading early (the good records are converted)
    failure: str = ""  # why nothing could be converted
    seconds: float = 0.0


def _temporary(final: str) -> str:
    folder, base = os.path.split(final)
    return os.path.join(folder, f".{base}.{os.getpid()}.tmp")


def _remove_leftovers(final: str) -> None:
    """Temporary files that an interrupted run left for this output."""
    folder, base = os.path.split(final)
    for stale in glob.glob(os.path.join(glob.escape(folder), f".{glob.escape(base)}.*.tmp")):
        try:
            os.remove(stale)
        except OSError:
            pass


def _write_json(path: str, value: Dict[str, Any]) -> None:
    temporary = _temporary(path)
    with open(temporary, "w", encoding="utf-8") as f:
        json.dump(value, f)
    os.replace(temporary, path)


def _marker_path(outdir: str, path: str) -> str:
    return os.path.join(outdir, MARKERS, output_stem(path) + ".json")


def _read_marker(marker: str) -> Dict[str, Any]:
    try:
        with open(marker, encoding="utf-8") as f:
            value = json.load(f)
        return value if isinstance(value, dict) else {}
    except (OSError, ValueError):
        return {}


def _settings(fmt: str, compression: str, selection: Selection) -> Dict[str, Any]:
    return {"format": fmt, **({"compression": compression} if fmt == "netcdf" else {}),
            **asdict(selection)}


def _up_to_date(marker: Dict[str, Any], marker_path: str, path: str, outdir: str,
                settings: Dict[str, Any]) -> bool:
    try:
        newer = os.stat(marker_path).st_mtime_ns > os.stat(path).st_mtime_ns
    except OSError:
        return False
    return (newer and marker.get("status") == "done"
            and marker.get("settings") == json.loads(json.dumps(settings))
            and all(os.path.exists(os.path.join(outdir, o)) for o in marker.get("outputs", [])))


def convert_file(path: str, outdir: str, fmt: str, selection: Selection,
                 label: Optional[str] = None, chunk: int = CHUNK_RECORDS,
                 compression: str = "deflate") -> Outcome:
    """Converts one file into outdir as "parquet" or "netcdf" (compression "deflate" or
    "zstd"); never raises for what the file or the disk does (the outcome says it). label is
    the file's name in the rows (default: path). Outputs are
    written under temporary names and renamed when complete; a file whose outputs are newer
    than it (and made with the same settings) is skipped."""
    started = clock.perf_counter()
    outcome = Outcome(path if label is None else label)
    try:
        outcome.bytes = os.stat(path).st_size
        marker_path = _marker_path(outdir, path)
        marker = _read_marker(marker_path)
        settings = _settings(fmt, compression, selection)
        if _up_to_date(marker, marker_path, path, outdir, settings):
            outcome.skipped = True
            outcome.records = int(marker.get("records", 0))
            outcome.outputs = list(marker.get("outputs", []))
            outcome.damage = str(marker.get("damage", ""))
            return outcome
        if fmt == "parquet":
            written = _to_parquet(path, outcome.path, outdir, selection, outcome, chunk)
        else:
            written = _to_netcdf(path, outdir, selection, outcome, compression)
        _publish(outdir, marker_path, marker, written, settings, outcome)
    except (OSError, ValueError, RuntimeError, MemoryError) as e:
        outcome.failure = _reason(e)
    finally:
        outcome.seconds = clock.perf_counter() - started
    return outcome


def _reason(e: BaseException) -> str:
    if isinstance(e, OSError) and e.strerror:
        return e.strerror + (f": {os.fsdecode(e.filename)}" if e.filename else "")
    return str(e) or type(e).__name__


def _publish(outdir: str, marker_path: str, old: Dict[str, Any],
             written: List[Tuple[str, str]], settings: Dict[str, Any], outcome: Outcome) -> None:
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
    _write_json(marker_path, {"status": "done", "input": outcome.path, "settings": settings,
                              "outputs": new, "records": outcome.records,
                              "damage": outcome.damage})


def _to_parquet(path: str, label: str, outdir: str, selection: Selection, outcome: Outcome,
                chunk: int) -> List[Tuple[str, str]]:
    import pyarrow.parquet as pq

    stem = output_stem(path)
    writers: Dict[Tuple[int, int, int], Any] = {}
    finals: Dict[Tuple[int, int, int], Tuple[str, str]] = {}
    try:
        for rows, dates, got in parts(path, label, selection, chunk):
            outcome.records += len(got["number"])
            if rows.num_rows:
                keys, first = np.unique(dates, axis=0, return_index=True)
                for key in (tuple(int(v) for v in k) for k in keys[np.argsort(first)]):
                    writer = writers.get(key)
                    if writer is None:
                        folder = os.path.join(outdir, "year=%d" % key[0], "month=%d" % key[1],
                                              "day=%d" % key[2])
                        os.makedirs(folder, exist_ok=True)
                        final = os.path.join(folder, stem + ".parquet")
                        _remove_leftovers(final)
                        finals[key] = (_temporary(final), final)
                        writer = writers[key] = pq.ParquetWriter(
                            finals[key][0], rows.schema, compression="snappy",
                            write_statistics=[n for n in rows.schema.names
                                              if n not in SAMPLE_COLUMNS])
                    if len(keys) == 1:
                        writer.write_table(rows)
                    else:
                        mask = np.all(dates == np.array(key), axis=1)
                        writer.write_table(rows.filter(mask))
            if got["done"] and got["read_to_end"] and got["stop"]["reason"] != "end_of_file":
                outcome.damage = got["stop"]["message"]
        for writer in writers.values():
            writer.close()
        writers.clear()
        return list(finals.values())
    finally:
        for writer in writers.values():
            writer.close()
        if writers:  # something failed: no output of this file is kept
            for temporary, _ in finals.values():
                if os.path.exists(temporary):
                    os.remove(temporary)


def _to_netcdf(path: str, outdir: str, selection: Selection, outcome: Outcome,
               compression: str) -> List[Tuple[str, str]]:
    """The file's dataset, shape by shape (a group each when there are several), as one
    NetCDF-4 file."""
    from vexo._dataset import DamagedFileWarning, read_checked

    counted = _core.read_bulk(path, (-1, -1), [], [], [], [], [], False, False)
    shapes = [(n, a) for n, a, _ in counted["shapes"]]
    final = os.path.join(outdir, output_stem(path) + ".nc")
    os.makedirs(outdir, exist_ok=True)
    _remove_leftovers(final)
    temporary = _temporary(final)
    try:
        mode = "w"
        for shape in shapes or [None]:
            antennas = list(selection.antenna)
            if shape is not None and antennas:
                antennas = [a for a in antennas if a <= shape[1]]
                if not antennas:
                    continue  # the records of this shape have none of the antennas
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DamagedFileWarning)
                ds = read_checked(path, shape, list(selection.frequency),
                                  list(selection.height), list(selection.polarization),
                                  antennas, [tuple(r) for r in selection.records],
                                  selection.convert, selection.correct)
            outcome.records += ds.sizes["record"]
            group = None if len(shapes) <= 1 else f"N{shape[0]}_A{shape[1]}"
            ds.to_netcdf(temporary, mode=mode, group=group, engine="netcdf4",
                         encoding=_compressed(ds, compression))
            mode = "a"
        if mode == "w":  # no record: the file's attributes only
            _empty_dataset(path, counted).to_netcdf(temporary, engine="netcdf4")
        if counted["stop"]["reason"] != "end_of_file":
            outcome.damage = counted["stop"]["message"]
        return [(temporary, final)]
    except BaseException:
        if os.path.exists(temporary):
            os.remove(temporary)
        raise


def _empty_dataset(path: str, counted: Dict[str, Any]) -> Any:
    import xarray as xr

    return xr.Dataset(attrs={"Conventions": "CF-1.8", "title": "DFT sounding records",
                             "source": path, "vexo_version": _core.version,
                             "stop": counted["stop"]["message"]})


def _compressed(ds: Any, compression: str) -> Dict[str, Dict[str, Any]]:
    """deflate (level 1: what every NetCDF-4 reader reads) or zstd (level 1: faster; readers
    need netCDF-C 4.9 with its filter plugins)."""
    setting = ({"zlib": True, "complevel": 1} if compression == "deflate"
               else {"compression": "zstd", "complevel": 1})
    return {name: dict(setting) for name, v in {**ds.data_vars, **ds.coords}.items()
            if v.ndim > 0 and v.dtype.kind in "uifb"}
