"""What a conversion writes: its settings, the tables' schemas, and the rows of samples and
echoes of a file's records, a block at a time. Subblocks are numbered from 0 (as the listing
counts them), antennas from 1 (as the settings file names them).
"""

from __future__ import annotations

from dataclasses import asdict, dataclass, field
from typing import Any, Dict, Iterator, Optional, Tuple

import numpy as np

from vexo._directions.echoes import COLUMNS, Settings, echo_columns, settings
from vexo._directions.fit import DirectionFit
from vexo._directions.layout import Layout
from vexo._names import shown_name
from vexo._reading.index import FileIndex, entry_times
from vexo._reading.parts import read_part
from vexo._reading.selection import Selection

CHUNK_RECORDS = 4096  # records read and written at a time: memory stays bounded


@dataclass(frozen=True)
class Conversion:
    """What a conversion takes of each file and which values it writes."""

    selection: Selection = field(default_factory=Selection)
    convert: bool = False  # phase_degrees and amplitude_db as well
    correct: bool = True  # the antenna correction of phase_degrees
    layout: Optional[Layout] = None  # the echo rows as well, of these antennas
    echo: Settings = field(default_factory=settings)  # as vexo.echoes takes them

    def echo_settings(self) -> Optional[Dict[str, Any]]:
        """What the echo rows depend on, as plain values (the layout's calibration among
        them); None without them."""
        if self.layout is None:
            return None
        return {"antennas": {str(n): list(p) for n, p in self.layout.positions.items()},
                "phase_sign": self.layout.phase_sign,
                "offsets": [float(v) for v in self.layout.offsets],
                "rotation": float(self.layout.rotation), **asdict(self.echo)}


def time_type() -> Any:
    """The type of both tables' time: instants in UTC, to the microsecond (the records' times
    are whole seconds), which every engine compares alike whatever its session's zone."""
    import pyarrow as pa

    return pa.timestamp("us", tz="UTC")


def time_array(times: np.ndarray) -> Any:
    """Times (datetime64, NaT where there is none) as a column of time_type(), null for NaT."""
    import pyarrow as pa

    return pa.array(times.astype("datetime64[us]"), type=time_type())


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
        column("time", time_type(), nullable=True),
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


def _dates(times: np.ndarray) -> np.ndarray:
    """YYYYMMDD of each time, 0 where there is none."""
    day = times.astype("datetime64[D]")
    valid = ~np.isnat(times)
    year = np.where(valid, day.astype("datetime64[Y]").astype(np.int64) + 1970, 0)
    month = np.where(valid, day.astype("datetime64[M]").astype(np.int64) % 12 + 1, 0)
    dom = np.where(valid, (day - day.astype("datetime64[M]")).astype(np.int64) + 1, 0)
    return year * 10000 + month * 100 + dom


def _run_table(index: FileIndex, run: np.ndarray, label: str, convert: bool, correct: bool,
               reader: Any) -> Tuple[Any, np.ndarray]:
    """The rows of records of one shape, in the file's order, and each row's date."""
    import pyarrow as pa

    kinds = ["phase", "amplitude", "subblock_number", "frequency", "height", "gain",
             "polarization"] + (["phase_degrees", "amplitude_db"] if convert else [])
    part = read_part(index, run, kinds=kinds, correct=correct, reader=reader)
    taken = run["taken_subblocks"].astype(np.int64)
    antennas, lines = len(part.antennas), part.sample_count
    full = bool(np.all(taken == part.width))
    keep = None if full else (np.arange(part.width)[None, :] < taken[:, None])

    def per_place(kind: str) -> np.ndarray:
        values = part.arrays[kind]
        values = values.reshape(-1) if keep is None else values[keep]
        return np.repeat(values, antennas)

    def flat(kind: str) -> np.ndarray:
        values = part.arrays[kind]
        return values.reshape(-1) if keep is None else values[keep].reshape(-1)

    rows = int(taken.sum()) * antennas
    per_record = taken * antennas
    times = entry_times(run)
    # a part of CHUNK_RECORDS records holds at most 2048 samples of each kind per record
    offsets = pa.array(np.arange(0, (rows + 1) * lines, lines, dtype=np.int32))

    def lists(values: np.ndarray) -> Any:
        kind = pa.list_(pa.field("element", pa.from_numpy_dtype(values.dtype), nullable=False))
        return pa.ListArray.from_arrays(offsets, pa.array(values), type=kind)

    columns = {
        "file": pa.DictionaryArray.from_arrays(pa.array(np.zeros(rows, dtype=np.int32)),
                                               pa.array([shown_name(label)])),
        "record": pa.array(np.repeat(run["number"], per_record)),
        "time": time_array(np.repeat(times, per_record)),
        "subblock": pa.array(per_place("subblock_number")),
        "frequency": pa.array(per_place("frequency")),
        "height": pa.array(per_place("height")),
        "gain": pa.array(per_place("gain")),
        "polarization": pa.array(per_place("polarization")),
        "antenna": pa.array(np.tile(np.asarray(part.antennas, dtype=np.int8), rows // antennas
                                    if antennas else 0)),
        "sample_count": pa.array(np.full(rows, lines, dtype=np.int16)),
        "phase": lists(flat("phase")),
        "amplitude": lists(flat("amplitude")),
    }
    if convert:
        columns["phase_degrees"] = lists(flat("phase_degrees"))
        columns["amplitude_db"] = lists(flat("amplitude_db"))
    return pa.table(columns, schema=schema(convert)), np.repeat(_dates(times), per_record)


def blocks(index: FileIndex, chunk: int = CHUNK_RECORDS) -> Iterator[np.ndarray]:
    """The entries of the records an index asks for that have rows, `chunk` records at a time
    in the file's order. A record has none when it takes no subblock or has none of the
    antennas asked for."""
    entries = index.asked()
    entries = entries[entries["taken_subblocks"] > 0]
    if index.selection.antenna:
        entries = entries[entries["A"] >= min(index.selection.antenna)]
    for start in range(0, len(entries), chunk):
        yield entries[start:start + chunk]


def block_rows(index: FileIndex, block: np.ndarray, label: str, *, convert: bool = False,
               correct: bool = True, reader: Any = None) -> Tuple[Any, np.ndarray]:
    """The rows of a block of entries (any shapes, in the file's order) and the date of each
    row as YYYYMMDD, or 0 where the record has no time."""
    import pyarrow as pa

    reader = reader or index.part_reader(correct)
    shape = block["N"].astype(np.int32) * 16 + block["A"]
    cuts = np.flatnonzero(np.diff(shape)) + 1
    tables, dates = [], []
    for run in np.split(block, cuts):
        table, date = _run_table(index, run, label, convert, correct, reader)
        tables.append(table)
        dates.append(date)
    table = tables[0] if len(tables) == 1 else pa.concat_tables(tables)
    return table, np.concatenate(dates)


def parts(index: FileIndex, label: str, *, convert: bool = False, correct: bool = True,
          chunk: int = CHUNK_RECORDS) -> Iterator[Tuple[Any, np.ndarray, int]]:
    """The rows of the records an index asks for, `chunk` records at a time in the file's
    order: (table, date of each row as YYYYMMDD or 0, records in it). A record is left out
    when it takes no subblock or has none of the antennas asked for."""
    reader = index.part_reader(correct)
    for block in blocks(index, chunk):
        table, dates = block_rows(index, block, label, convert=convert, correct=correct,
                                  reader=reader)
        yield table, dates, len(block)


def echo_schema() -> Any:
    """The echo rows' columns: file, then those of vexo.echo_columns. Only time may be null
    (a header without a valid time); directions are NaN where an echo is not resolved."""
    import pyarrow as pa

    fields = [pa.field("file", pa.dictionary(pa.int32(), pa.string()), nullable=False)]
    for name, (kind, _, _) in COLUMNS.items():
        if name == "time":
            fields.append(pa.field(name, time_type(), nullable=True))
        else:
            fields.append(pa.field(name, pa.from_numpy_dtype(np.dtype(kind)), nullable=False))
    return pa.schema(fields)


def echo_rows(index: FileIndex, block: np.ndarray, label: str, conversion: Conversion, *,
              reader: Any = None, fit: Optional[DirectionFit] = None
              ) -> Tuple[Any, np.ndarray]:
    """The echo rows of a block of entries (those vexo.echoes finds in these records, in the
    file's order) and the date of each row as YYYYMMDD, or 0. The reader must apply the
    antenna correction: the directions are fitted to the corrected phases."""
    import pyarrow as pa

    assert conversion.layout is not None
    columns = echo_columns(index, block, conversion.layout, **asdict(conversion.echo),
                           reader=reader, fit=fit)
    rows = len(columns["record"])
    arrays = {"file": pa.DictionaryArray.from_arrays(pa.array(np.zeros(rows, dtype=np.int32)),
                                                     pa.array([shown_name(label)]))}
    for name in COLUMNS:
        arrays[name] = time_array(columns[name]) if name == "time" else pa.array(columns[name])
    return pa.table(arrays, schema=echo_schema()), _dates(columns["time"])
