"""The index of a file (one pass over its record headers) and the records' values from its
entries.

With the parts (vexo._reading.parts) this is the road from a file to every consumer of whole
files or of any of their records: vexo.read, the xarray backend and its guess of what it can
open, the archive writers, the echoes and the pictures stand on FileIndex and read_part, and
none reads a file another way. vexo.open (vexo._reading.file) is the other way in: records one
after another as a stream hands them out, for callers that iterate.
"""

from __future__ import annotations

import os
import stat
from dataclasses import dataclass, field
from typing import Any, List, Optional, Tuple, Union

import numpy as np

from vexo import _core
from vexo._errors import warn_damaged
from vexo._reading.file import Source, Stop
from vexo._reading.selection import Selection
from vexo._reading.times import record_times

#: One index entry per record: offset, number, line_spacing, rate (NaN while none is set),
#: FREQ, year, day, hour, minute, second, N, A, H, backwards, subblock_count and
#: taken_subblocks (the subblocks the index's selection takes).
ENTRY = np.dtype({
    "names": [name for name, _, _ in _core.entry_fields],
    "formats": [fmt for _, fmt, _ in _core.entry_fields],
    "offsets": [offset for _, _, offset in _core.entry_fields],
    "itemsize": _core.entry_size,
})


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

    def warn_damage(self, stacklevel: int = 1) -> None:
        """Warns DamagedFileWarning when the indexing stopped at damage (see `damage`);
        `stacklevel` counts from the caller."""
        if self.damage:
            warn_damaged(self.name, self.damage, stacklevel=stacklevel + 1)

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


def looks_like_dft(head: Optional[bytes]) -> bool:
    """A whole first record that starts with the record marker and passes the check."""
    if not head or len(head) < 4096 or head[0] != 10:
        return False
    got = _core.index(data=np.frombuffer(head[:4096], dtype=np.uint8),
                      selection=Selection(records=1).core())
    return len(got.take_entries()) > 0


def _is_stream(path: Any) -> bool:
    """A path that names something other than a regular file or a folder (a named pipe)."""
    try:
        mode = os.stat(path).st_mode
    except (OSError, ValueError):
        return False  # the library says what is wrong
    return not (stat.S_ISREG(mode) or stat.S_ISDIR(mode))


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
