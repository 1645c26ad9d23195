"""The echoes of a file's records chunk by chunk: the records taken CHUNK_RECORDS at a time,
each chunk read and searched shape by shape on one of a few threads (its own reader each), its
echoes handed on in the file's order with no more than a few chunks in memory."""

from __future__ import annotations

import mmap
import os
import threading
from collections import deque
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, Deque, Dict, Iterator, List, Optional, Tuple

import numpy as np

from vexo._directions.fit import BaselinesTooLong, DirectionFit
from vexo._directions.found import Settings, part_columns
from vexo._directions.layout import Layout
from vexo._errors import FileError
from vexo._reading.index import ENTRY, FileIndex
from vexo._reading.parts import Scratch, antenna_numbers

CHUNK_RECORDS = 2048  # records read at a time: 32 MiB of converted values at the most
GROWTH_ROWS = 1 << 18  # rows a table of echoes grows by (its columns' maps, not yet held)


class LayoutMismatch(FileError):
    """Records of a file lack antennas of the layout."""


class BaselinesTooLongFor(FileError, BaselinesTooLong):
    """A layout whose baselines are too long for the sounding frequencies of a file."""


def check_layout(index: FileIndex, entries: np.ndarray, layout: Layout) -> None:
    """Raises LayoutMismatch when records of these entries lack antennas of the layout."""
    for A in np.unique(entries["A"]).tolist():
        have = antenna_numbers(index.selection, int(A))
        missing = [n for n in layout.numbers if n not in have]
        if missing:
            shape = entries[entries["A"] == A][0]
            some = "antenna" if len(missing) == 1 else "antennas"
            held = ", ".join(map(str, have)) or "none"
            raise LayoutMismatch(index.name, f"record {int(shape['number'])}: no {some} "
                f"{', '.join(map(str, missing))} of the layout (the records of shape "
                f"N={int(shape['N'])} A={int(A)} give antennas {held})")


def chunks(entries: np.ndarray) -> List[np.ndarray]:
    """The entries CHUNK_RECORDS at a time, in order."""
    return [entries[s:s + CHUNK_RECORDS] for s in range(0, len(entries), CHUNK_RECORDS)]


def shapes(chunk: np.ndarray) -> List[np.ndarray]:
    """The entries of a chunk by shape: those of each shape (in order) together, so that a
    file whose shape changes every record is read and searched in parts of many records."""
    shape = chunk["N"].astype(np.int32) * 16 + chunk["A"]
    if len(chunk) == 0 or np.all(shape == shape[0]):
        return [chunk]
    return [chunk[shape == value] for value in np.unique(shape)]


def echo_chunks(index: FileIndex, entries: np.ndarray, layout: Layout, chosen: Settings,
                fit: DirectionFit, *, reader: Any = None, threads: Optional[int] = None
                ) -> Iterator[Dict[str, np.ndarray]]:
    """The columns of vexo.echoes of each chunk of these entries that has echoes, in order.

    Records that take no subblock, or without the antenna correction in force, give none.
    threads: chunks found at once (None: one a core; with `reader`, that one alone). The
    chunks ahead of the one handed on are at most `threads`. Raises LayoutMismatch and
    BaselinesTooLongFor naming the file.
    """
    entries = np.ascontiguousarray(entries, dtype=ENTRY)
    entries = entries[entries["taken_subblocks"] > 0]
    check_layout(index, entries, layout)
    entries = entries[np.isfinite(entries["line_spacing"]) & np.isfinite(entries["rate"])]
    runs = chunks(entries)
    workers = 1 if reader is not None else min(threads or os.cpu_count() or 1, len(runs))
    if workers <= 1:
        mine = reader if reader is not None else index.part_reader(True)
        scratch = Scratch()
        for run in runs:
            got = _found(index, run, layout, fit, mine, chosen, fit.threads, scratch)
            if len(got["record"]):
                yield got
        return
    local = threading.local()  # each thread's own reader of the file and memory to read into

    def find(run: np.ndarray) -> Dict[str, np.ndarray]:
        if not hasattr(local, "reader"):
            local.reader, local.scratch = index.part_reader(True), Scratch()
        return _found(index, run, layout, fit, local.reader, chosen, 1, local.scratch)

    pool = ThreadPoolExecutor(workers, thread_name_prefix="vexo-echoes")
    pending: Deque[Future] = deque()
    try:
        for run in runs:
            pending.append(pool.submit(find, run))
            while len(pending) > workers:
                got = pending.popleft().result()
                if len(got["record"]):
                    yield got
        while pending:
            got = pending.popleft().result()
            if len(got["record"]):
                yield got
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def _found(index: FileIndex, chunk: np.ndarray, layout: Layout, fit: DirectionFit,
           reader: Any, chosen: Settings, fit_threads: int, scratch: Scratch
           ) -> Dict[str, np.ndarray]:
    """The echoes of a chunk, shape by shape, put back into the file's order."""
    try:
        got = [part_columns(index, some, layout, fit, reader, chosen, fit_threads=fit_threads,
                            scratch=scratch) for some in shapes(chunk)]
    except BaselinesTooLong as e:
        raise BaselinesTooLongFor(index.name, str(e)) from None
    if len(got) == 1:
        return got[0]
    # Record numbers grow through the file; a record's rows keep their order.
    order = np.argsort(np.concatenate([g["record"] for g in got]), kind="stable")
    return {name: np.concatenate([g[name] for g in got])[order] for name in got[0]}


# Private anonymous maps: a shared one cannot grow by remapping (what lies past its first
# size is not there). Without them (Windows) the columns are arrays that numpy enlarges.
_PRIVATE: Optional[int] = (mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS
                           if hasattr(mmap, "MAP_PRIVATE") else None)


class _Column:
    """A column that grows without being copied: its values in an anonymous memory map,
    remapped larger where the system can (its pages held only once written)."""

    def __init__(self, dtype: np.dtype) -> None:
        self.dtype = np.dtype(dtype)
        self.map: Any = None if _PRIVATE is not None else np.empty(0, self.dtype)

    def reserve(self, rows: int) -> None:
        if isinstance(self.map, np.ndarray):
            self.map.resize(rows, refcheck=False)
            return
        size, flags = max(1, rows * self.dtype.itemsize), _PRIVATE or 0
        if self.map is None:
            self.map = mmap.mmap(-1, size, flags=flags)
            return
        try:
            self.map.resize(size)
        except (OSError, SystemError, ValueError):  # no remapping here: a larger copy
            larger = mmap.mmap(-1, size, flags=flags)
            larger[:len(self.map)] = self.map
            self.map.close()
            self.map = larger

    def put(self, at: int, values: np.ndarray) -> None:
        if isinstance(self.map, np.ndarray):
            self.map[at:at + len(values)] = values
            return
        np.frombuffer(self.map, self.dtype, len(values), at * self.dtype.itemsize)[:] = values

    def values(self, rows: int) -> np.ndarray:
        if self.map is None or rows == 0:
            return np.empty(0, self.dtype)
        self.reserve(rows)
        if isinstance(self.map, np.ndarray):
            return self.map
        return np.frombuffer(self.map, self.dtype, rows)


def concatenated(parts: Iterator[Dict[str, np.ndarray]], names: Tuple[str, ...],
                 empty: Dict[str, np.ndarray]) -> Dict[str, np.ndarray]:
    """The columns `names` (1-dimensional) of the parts one after another, each part copied
    in as it comes and let go of. The columns grow GROWTH_ROWS at a time in memory maps that
    are remapped, not copied, so that besides the table no more than the parts in hand are
    held, whatever the number of rows."""
    out = {name: _Column(empty[name].dtype) for name in names}
    size = capacity = 0
    for part in parts:
        count = len(part[names[0]])
        if size + count > capacity:
            capacity = size + max(count, GROWTH_ROWS)
            for column in out.values():
                column.reserve(capacity)
        for name, column in out.items():
            column.put(size, part.pop(name))
        size += count
    return {name: column.values(size) for name, column in out.items()}
