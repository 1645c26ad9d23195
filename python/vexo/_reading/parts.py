"""Parts of a file: the values of any run of records, read from anywhere in the file with its
index.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from vexo import _core
from vexo._errors import FileError
from vexo._reading.index import ENTRY, FileIndex, entry_times
from vexo._reading.selection import Selection

#: The kinds of values of a part, as the library describes them: per sample
#: ([record][place][antenna][line]) or per place ([record][place]), with their types.
SAMPLE_KINDS = tuple(name for name, _, per_sample, _ in _core.part_kinds if per_sample)
PLACE_KINDS = tuple(name for name, _, per_sample, _ in _core.part_kinds if not per_sample)
DTYPES = {name: np.dtype(dtype).type for name, dtype, _, _ in _core.part_kinds}


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


class Scratch:
    """Memory that one thread reads parts into, again and again: a part read into it holds
    views of it until the next read. It grows to the largest part and stays, so that reading
    part after part neither allocates nor frees (nor leaves the allocator's free memory
    scattered between the arrays the reader of the parts keeps)."""

    def __init__(self) -> None:
        self._flat: Dict[str, np.ndarray] = {}

    def take(self, kind: str, dims: Tuple[int, ...]) -> np.ndarray:
        """An array of a kind's type and these dimensions, over this scratch's memory."""
        need = int(np.prod(dims, dtype=np.int64))
        flat = self._flat.get(kind)
        if flat is None or flat.size < need:
            flat = self._flat[kind] = np.empty(need, dtype=DTYPES[kind])
        return flat[:need].reshape(dims)


# Records a thread takes at the least when a part is shared among threads.
THREAD_RECORDS = 1024


def read_part(index: FileIndex, entries: np.ndarray, width: Optional[int] = None, *,
              kinds: Sequence[str] = SAMPLE_KINDS + PLACE_KINDS, correct: bool = True,
              reader: Any = None, out: Optional[Dict[str, np.ndarray]] = None,
              shape: Optional[Tuple[int, int]] = None, threads: Optional[int] = 1,
              scratch: Optional[Scratch] = None) -> Part:
    """Reads the values `kinds` of the records `entries` (of one shape, in the file's order)
    into new arrays, or into `out` (C-contiguous arrays of the part's shapes), or into the
    memory of `scratch` (the part valid until its next read). width defaults
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
            arrays[kind] = (np.empty(dims, dtype=DTYPES[kind]) if scratch is None
                            else scratch.take(kind, dims))
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
            raise FileError(index.name, str(e)) from None

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
