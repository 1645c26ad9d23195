"""The one road from a file to every consumer: the index of a file (one pass over its record
headers) and its parts (the values of any records, read from anywhere in the file).

Every reader of whole files (vexo.read, the xarray backend, the archive writers, the
pictures) stands on FileIndex and read_part; none reads a file another way.
"""

from __future__ import annotations

import os
import stat
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from vexo import _core
from vexo._file import Source, Stop
from vexo._names import shown_name
from vexo._selection import Selection
from vexo._time import record_times

#: One index entry per record: offset, number, line_spacing, rate (NaN while none is set),
#: FREQ, year, day, hour, minute, second, N, A, H, backwards, subblock_count and
#: taken_subblocks (the subblocks the index's selection takes).
ENTRY = np.dtype({
    "names": [name for name, _, _ in _core.entry_fields],
    "formats": [fmt for _, fmt, _ in _core.entry_fields],
    "offsets": [offset for _, _, offset in _core.entry_fields],
    "itemsize": _core.entry_size,
})

SAMPLE_KINDS = ("phase", "amplitude", "phase_degrees", "amplitude_db")
PLACE_KINDS = ("subblock_number", "frequency", "height", "gain", "polarization")
DTYPES = {"phase": np.uint8, "amplitude": np.uint8, "phase_degrees": np.float32,
           "amplitude_db": np.float32, "subblock_number": np.int16, "frequency": np.float32,
           "height": np.float32, "gain": np.int8, "polarization": np.int8}


def _is_path(source: Any) -> bool:
    return isinstance(source, (str, bytes, os.PathLike))


@dataclass(frozen=True)
class FileIndex:
    """The index of one file: its records' entries (ENTRY), why the indexing stopped, and
    where the file's bytes are (a path, or the bytes of a file object or pipe, read once as far
    as the index goes). It pickles, so that the parts can be read in another process."""

    name: str  # as the file system gives it, for messages
    path: Optional[Union[str, bytes]]
    data: Optional[np.ndarray]  # the bytes of a stream, as far as its index goes
    selection: Selection
    entries: np.ndarray
    stop: Stop
    read_to_end: bool
    shapes: List[Tuple[int, int, int]] = field(default_factory=list)  # (N, A, records)

    @classmethod
    def of(cls, source: Source, selection: Optional[Selection] = None) -> "FileIndex":
        """Indexes a path or a binary file object (read once, from where it stands, as far as
        the index goes, and kept in memory). Only the records up to the last one that the
        selection asks for are indexed; the subblocks it takes are counted."""
        selection = selection or Selection()
        core = selection.core()
        if isinstance(source, (str, bytes, os.PathLike)) and not _is_stream(source):
            path = os.fspath(source)
            got = _core.index(path=path, selection=core)
            name, data = os.fsdecode(path), None
        elif isinstance(source, (str, bytes, os.PathLike)):
            # a named pipe or a device: read once, as far as the index goes, into memory
            path = None
            name = os.fsdecode(os.fspath(source))
            with open(source, "rb") as f:
                got, data = _core.index_stream(f, selection=core)
        elif hasattr(source, "read") or hasattr(source, "readinto"):
            name = str(getattr(source, "name", "<file object>"))
            got, data = _core.index_stream(source, selection=core)
            path = None
        else:
            raise TypeError("expected a path or a binary file object")
        stop = got.stop
        shapes = [tuple(s) for s in got.shapes]
        return cls(name, path, data, selection, got.take_entries().view(ENTRY),
                   Stop(stop.reason, stop.record, stop.offset, stop.message),
                   got.read_to_end, shapes)  # type: ignore[arg-type]

    @property
    def damage(self) -> Optional[str]:
        """What stopped the indexing early when it read to the end of what was asked for
        ("record 3 at byte 8192: truncated record, ..."), else None."""
        if self.read_to_end and not self.stop.clean:
            return self.stop.message
        return None

    @property
    def stop_text(self) -> str:
        """Why reading ended, as the datasets' stop attribute gives it."""
        return self.stop.message if self.read_to_end else "after the last record asked for"

    def asked(self, shape: Optional[Tuple[int, int]] = None,
              taking: bool = False) -> np.ndarray:
        """The entries of the records asked for: of one shape when given, and only those that
        take a subblock with taking. The index's own array when that is all of them."""
        e = self.entries
        keep = self.selection.takes_record(e["number"])
        if shape is not None:
            keep &= (e["N"] == shape[0]) & (e["A"] == shape[1])
        if taking:
            keep &= e["taken_subblocks"] > 0
        return e if keep.all() else e[keep]

    def part_reader(self, correct: bool = True) -> Any:
        """A reader of this file's parts (keeps phase values from part to part)."""
        if self.data is not None:
            return _core.PartReader(data=self.data, selection=self.selection.core(),
                                    correct=correct)
        return _core.PartReader(path=self.path, selection=self.selection.core(),
                                correct=correct)


def _is_stream(path: Any) -> bool:
    """A path that names something other than a regular file or a folder (a named pipe)."""
    try:
        mode = os.stat(path).st_mode
    except (OSError, ValueError):
        return False  # the library says what is wrong
    return not (stat.S_ISREG(mode) or stat.S_ISDIR(mode))


def antenna_numbers(selection: Selection, A: int) -> List[int]:
    """The antennas (from 1) a part of records of A antennas holds."""
    if not selection.antenna:
        return list(range(1, A + 1))
    return [a for a in selection.antenna if a <= A]


@dataclass
class Part:
    """The values of some records of one shape: per record `width` subblock places (the
    subblocks taken, then places left over: subblock_number -1, NaN, -1 and 0), antennas
    `antennas` (from 1), `sample_count` lines."""

    entries: np.ndarray
    width: int
    antennas: List[int]
    sample_count: int
    arrays: Dict[str, np.ndarray]

    def __getattr__(self, name: str) -> np.ndarray:
        try:
            return self.__dict__["arrays"][name]
        except KeyError:
            raise AttributeError(name) from None

    @property
    def times(self) -> np.ndarray:
        return entry_times(self.entries)


def shapes_of(entries: np.ndarray) -> List[Tuple[int, int, int]]:
    """The shapes (N, A, records) of entries, in the order first seen."""
    code = entries["N"].astype(np.int16) * 16 + entries["A"]
    values, first, counts = np.unique(code, return_index=True, return_counts=True)
    return [(int(values[i]) // 16, int(values[i]) % 16, int(counts[i]))
            for i in np.argsort(first)]


RECORD_KINDS = ("time", "offset", "record_frequency", "line_spacing", "rate")
RECORD_DTYPES = {"time": np.dtype("datetime64[ns]"), "offset": np.dtype(np.uint64),
                 "record_frequency": np.dtype(np.float32),
                 "line_spacing": np.dtype(np.float64), "rate": np.dtype(np.float64)}


def record_values(entries: np.ndarray, kind: str) -> np.ndarray:
    """A per-record value of entries: time (datetime64[ns], NaT where the header has none),
    offset, record_frequency (FREQ), line_spacing or rate."""
    if kind == "time":
        return entry_times(entries).astype(RECORD_DTYPES["time"])
    field = "FREQ" if kind == "record_frequency" else kind
    return entries[field].astype(RECORD_DTYPES[kind])


def entry_times(entries: np.ndarray) -> np.ndarray:
    """The records' times (datetime64[s], NaT where the header has none)."""
    clock = np.stack([entries[k].astype(np.int64) for k in
                      ("year", "day", "hour", "minute", "second")], axis=-1)
    return record_times(clock)


# Records a thread takes at the least when a part is shared among threads.
THREAD_RECORDS = 1024


def read_part(index: FileIndex, entries: np.ndarray, width: Optional[int] = None, *,
              kinds: Sequence[str] = SAMPLE_KINDS + PLACE_KINDS, correct: bool = True,
              reader: Any = None, out: Optional[Dict[str, np.ndarray]] = None,
              shape: Optional[Tuple[int, int]] = None, threads: Optional[int] = 1) -> Part:
    """Reads the values `kinds` of the records `entries` (of one shape, in the file's order)
    into new arrays, or into `out` (C-contiguous arrays of the part's shapes). width defaults
    to the most subblocks a record of them takes; shape (N, A) gives the shape of a part of no
    records. threads: readers that share the records (None: one a core, for parts of many
    records; with `reader`, that one alone). A ValueError names the file when its bytes are
    no longer what its index says."""
    entries = np.ascontiguousarray(entries, dtype=ENTRY)
    if width is None:
        width = int(entries["taken_subblocks"].max()) if len(entries) else 0
    if len(entries):
        shape = (int(entries["N"][0]), int(entries["A"][0]))
    antennas = antenna_numbers(index.selection, shape[1]) if shape else []
    lines = 1 << shape[0] if shape else 0
    arrays: Dict[str, np.ndarray] = dict(out or {})
    for kind in kinds:
        if kind not in arrays:
            dims = ((len(entries), width, len(antennas), lines) if kind in SAMPLE_KINDS
                    else (len(entries), width))
            arrays[kind] = np.empty(dims, dtype=DTYPES[kind])
    for kind, a in arrays.items():
        if not a.flags.c_contiguous or not a.flags.writeable or a.dtype != DTYPES[kind]:
            raise ValueError(f"out: {kind} is not a writeable C-contiguous array of "
                             f"{np.dtype(DTYPES[kind])}")
    if not (len(entries) and width):
        return Part(entries, width, antennas, lines, arrays)
    if threads is None:
        threads = os.cpu_count() or 1
    threads = 1 if reader is not None else max(1, min(threads, len(entries) // THREAD_RECORDS))

    def fill(first: int, last: int, reader: Any) -> None:
        reader = reader or index.part_reader(correct)
        try:
            reader.read(entries[first:last].view(np.uint8), width,
                        **{k: a[first:last].reshape(-1) for k, a in arrays.items()})
        except ValueError as e:
            raise ValueError(f"{shown_name(index.name)}: {e}") from None

    if threads == 1:
        fill(0, len(entries), reader)
    else:
        from concurrent.futures import ThreadPoolExecutor

        cuts = np.linspace(0, len(entries), threads + 1).astype(int)
        with ThreadPoolExecutor(threads) as pool:
            for done in [pool.submit(fill, int(a), int(b), None)
                         for a, b in zip(cuts[:-1], cuts[1:])]:
                done.result()
    return Part(entries, width, antennas, lines, arrays)
