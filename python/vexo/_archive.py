"""Whole archives: finding DFT files, what to take of them, and their rows as Arrow tables.

A row is one antenna of one subblock of one record. Records are numbered from 1, subblocks
from 0 (as the listing counts them), antennas from 1 (as the settings file names them).
"""

from __future__ import annotations

import glob
import hashlib
import os
from dataclasses import dataclass
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np

from vexo import _core, _selection
from vexo._names import shown_name
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
        antennas = _selection.whole_numbers("antenna", antenna, 1)
        if len(set(antennas)) != len(antennas):
            raise ValueError(f"antenna: {antennas} names an antenna twice")
        return cls(tuple(_selection.reals("frequency", frequency)),
                   tuple(_selection.reals("height", height)),
                   tuple(_selection.whole_numbers("polarization", polarization, 0)),
                   tuple(antennas), tuple(tuple(r) for r in _selection.record_ranges(records)),
                   bool(convert), bool(correct))

    def reader(self, source: Any, shape: Optional[Tuple[int, int]] = None,
               antenna: Optional[List[int]] = None, convert: Optional[bool] = None) -> Any:
        """A reader of the records of every shape, or of one shape (with antennas it has)."""
        return _core.BulkReader(source, list(self.frequency), list(self.height),
                                list(self.polarization),
                                list(self.antenna) if antenna is None else antenna,
                                [tuple(r) for r in self.records],
                                self.convert if convert is None else convert, self.correct,
                                shape)


# ---------------------------------------------------------------------------------------------
# Inputs


def _search(folder: str) -> List[str]:
    """The regular files named *.dft (any case) below a folder, hidden folders left out."""
    hits = []
    for here, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        hits += [os.path.join(here, f) for f in files
                 if f.lower().endswith(".dft") and os.path.isfile(os.path.join(here, f))]
    return sorted(hits)


def find_inputs(inputs: Sequence[str]) -> Tuple[List[str], List[str]]:
    """Files, directories (searched below for regular files *.dft in any case) and glob
    patterns (their folders searched the same way), as paths in a stable order without
    repeats; and the inputs that named nothing. A file named as such is taken whatever it is
    (a named pipe too)."""
    found: List[str] = []
    missing: List[str] = []
    for item in inputs:
        if os.path.isdir(item):
            found += _search(item)
        elif os.path.lexists(item):
            found.append(item)
        elif glob.has_magic(item):
            hits = []
            for path in sorted(glob.glob(item, recursive=True)):
                if os.path.isdir(path):
                    hits += _search(path)
                elif os.path.isfile(path):
                    hits.append(path)
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
    of one name in different folders do not meet. Leading dots and underscores are left out
    (readers skip such files)."""
    digest = hashlib.sha1(os.fsencode(os.path.realpath(path))).hexdigest()[:8]
    stem = shown_name(os.path.splitext(os.path.basename(path))[0]).lstrip("._")
    return f"{stem.replace(os.sep, '_')}-{digest}" if stem else digest


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


def table(got: Dict[str, Any], file: str, convert: bool) -> Tuple[Any, np.ndarray]:
    """The rows of a part read by a BulkReader of every shape, and each row's date as
    YYYYMMDD (0 where the record has no valid time)."""
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
    # a part of CHUNK_RECORDS records holds at most 2048 samples of each kind per record
    assert offsets[-1] < 2**31, "a part too large for 32-bit list offsets"
    offsets_array = pa.array(offsets.astype(np.int32))

    def lists(values: np.ndarray) -> Any:
        kind = pa.list_(pa.field("element", pa.from_numpy_dtype(values.dtype), nullable=False))
        return pa.ListArray.from_arrays(offsets_array, pa.array(values), type=kind)

    times = record_times(got["clock"])
    columns = {
        "file": pa.DictionaryArray.from_arrays(pa.array(np.zeros(rows, dtype=np.int32)),
                                               pa.array([shown_name(file)])),
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
    out = pa.table(columns, schema=schema(convert))
    day = times.astype("datetime64[D]")
    valid = ~np.isnat(times)
    year = np.where(valid, day.astype("datetime64[Y]").astype(np.int64) + 1970, 0)
    month = np.where(valid, day.astype("datetime64[M]").astype(np.int64) % 12 + 1, 0)
    dom = np.where(valid, (day - day.astype("datetime64[M]")).astype(np.int64) + 1, 0)
    return out, np.repeat(year * 10000 + month * 100 + dom, per_record)


def parts(source: Any, file: str, selection: Selection,
          chunk: int = CHUNK_RECORDS) -> Iterator[Tuple[Any, np.ndarray, Dict[str, Any]]]:
    """The file's rows a part at a time: (table, date of each row, what the reader said)."""
    reader = selection.reader(source)
    while True:
        got = reader.next(chunk)
        rows, dates = table(got, file, selection.convert)
        yield rows, dates, got
        if got["done"]:
            return
