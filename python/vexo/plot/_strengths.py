"""What the echo picture is drawn from: the strongest amplitude at each frequency,
polarization and height of each record of its sources, read as each kind of source is read.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, List, Optional, Set, Tuple

import numpy as np

from vexo._errors import warn_damaged
from vexo._reading.file import File
from vexo._reading.index import FileIndex, entry_times
from vexo._reading.parts import antenna_numbers, read_part
from vexo._reading.selection import Selection
from vexo.plot._choices import Antenna, spectra
from vexo.plot._sources import Kind, base_name, one_or_many, source_name, taken

if TYPE_CHECKING:
    import xarray as xr

SOURCES = (Kind.PATH, Kind.STREAM, Kind.FILE, Kind.DATASET)

PART_RECORDS = 4096  # records read at a time


@dataclass
class Strengths:
    """The strongest amplitude at each frequency, polarization and height of each record."""

    names: List[str] = field(default_factory=list)
    parts: List[Tuple[np.ndarray, ...]] = field(default_factory=list)  # time, f, p, h, dB
    antennas: Set[int] = field(default_factory=set)
    without_antenna: int = 0  # records left out: they lack the antenna asked for
    damage: List[Tuple[str, str]] = field(default_factory=list)  # (file, what stopped it)

    def add(self, time: np.ndarray, frequency: np.ndarray, polarization: np.ndarray,
            height: np.ndarray, strongest: np.ndarray) -> None:
        """Entries of one or more records (time per entry), keeping the strongest of each
        time, frequency, polarization and height."""
        if len(time) == 0:
            return
        t = time.astype("datetime64[s]").astype(np.int64)
        f, p, h = frequency.astype(np.float64), polarization.astype(np.int64), height
        order = np.lexsort((h, p, f, t))
        t, f, p, h, s = t[order], f[order], p[order], h[order], strongest[order]
        new = np.ones(len(t), dtype=bool)
        new[1:] = (t[1:] != t[:-1]) | (f[1:] != f[:-1]) | (p[1:] != p[:-1]) | (h[1:] != h[:-1])
        start = np.flatnonzero(new)
        self.parts.append((time.astype("datetime64[s]")[order][start], f[start], p[start],
                           h[start], np.maximum.reduceat(s.astype(np.float32), start)))

    def flat(self) -> Tuple[np.ndarray, ...]:
        """time, frequency, polarization, height and strongest dB of every entry."""
        return tuple(np.concatenate(column) for column in zip(*self.parts))


def strengths(sources: Any, antenna: Antenna, selection: Optional[Selection],
              stacklevel: int = 1) -> Strengths:
    """The strengths of one source or an iterable of them; a DamagedFileWarning for each
    damaged file (`stacklevel` counts from the caller)."""
    sources = one_or_many("echo", sources, SOURCES)
    if not sources:
        raise ValueError("echo: no file given")
    got = Strengths()
    for source in sources:
        kind = taken("echo", source, SOURCES)
        if kind is Kind.DATASET:
            _dataset_strengths(source, antenna, got)
        elif kind is Kind.FILE:
            _file_strengths(source, antenna, got)
        else:
            _indexed_strengths(source, antenna, got, selection)
    for damaged_name, damage in got.damage:
        warn_damaged(damaged_name, damage, stacklevel=stacklevel + 1)
    return got


def _mode_for(antenna: Antenna, antenna_numbers: np.ndarray) -> Optional[Antenna]:
    """The antenna mode for records with these antennas; None when they cannot give it."""
    if antenna is None:
        return "every"
    if antenna == "mean":
        return "mean" if set(range(1, 5)) <= set(antenna_numbers.tolist()) else None
    return antenna if antenna in antenna_numbers else None


def _indexed_strengths(source: Any, antenna: Antenna, out: Strengths,
                       selection: Optional[Selection]) -> None:
    """The strongest values of a path or file object, from its index and parts of up to
    PART_RECORDS records of one shape."""
    index = FileIndex.of(source, selection)
    out.names.append(source_name(source))
    entries = index.asked()
    reader = index.part_reader()
    for A in np.unique(entries["A"]).tolist():
        out.antennas.update(antenna_numbers(index.selection, A))
    shape = entries["N"].astype(np.int32) * 16 + entries["A"]
    cuts = np.flatnonzero(np.diff(shape)) + 1
    for run in np.split(entries, cuts) if len(entries) else []:
        numbers = np.asarray(antenna_numbers(index.selection, int(run["A"][0])))
        mode = _mode_for(antenna, numbers)
        if mode is None or len(numbers) == 0:
            out.without_antenna += len(run)
            continue
        run = run[run["taken_subblocks"] > 0]
        for start in range(0, len(run), PART_RECORDS):
            block = run[start:start + PART_RECORDS]
            part = read_part(index, block, reader=reader,
                             kinds=("amplitude_db", "subblock_number", "frequency", "height",
                                    "polarization"))
            present = part.subblock_number >= 0  # (record, place): not a place left over
            strongest = spectra(part.amplitude_db[present], numbers,
                                None if mode == "every" else mode).max(axis=1)
            times = np.broadcast_to(entry_times(block)[:, None], present.shape)[present]
            out.add(times, part.frequency[present], part.polarization[present],
                    part.height[present], strongest)
    if index.damage:
        out.damage.append((index.name, index.damage))


def _file_strengths(source: File, antenna: Antenna, out: Strengths) -> None:
    """The strongest values of the records a File of vexo.open has left, as it hands them
    out."""
    name = source_name(source)
    out.names.append(name)
    for rec in source:
        numbers = np.arange(1, rec.antennas + 1)
        out.antennas.update(numbers.tolist())
        mode = _mode_for(antenna, numbers)
        if mode is None:
            out.without_antenna += 1
            continue
        if rec.subblocks == 0:
            continue
        d = rec.descriptors
        strongest = spectra(rec.amplitude_db(), numbers,
                            None if mode == "every" else mode).max(axis=1)
        out.add(np.full(rec.subblocks, rec.time), d["frequency"], d["polarization"],
                d["height"], strongest)
    stop = source.stop
    if stop is not None and not stop.clean:
        out.damage.append((name, stop.message))


def _dataset_strengths(ds: "xr.Dataset", antenna: Antenna, out: Strengths) -> None:
    """The strongest values of a dataset of vexo.read."""
    if "amplitude_db" not in ds:
        raise ValueError("the dataset has no amplitude_db: read it with convert=True")
    out.names.append(base_name(ds.attrs.get("source", "dataset")))
    numbers = ds.antenna.values.astype(int)
    out.antennas.update(numbers.tolist())
    mode = _mode_for(antenna, numbers)
    if mode is None:
        out.without_antenna += ds.sizes["time"]
        return
    if ds.sizes["time"] == 0:
        return
    present = ds.subblock_number.values >= 0  # (time, subblock)
    strongest = spectra(ds.amplitude_db.values[present], numbers,
                        None if mode == "every" else mode).max(axis=1)
    times = np.broadcast_to(ds.time.values[:, None], present.shape)[present]
    out.add(times, ds.frequency.values[present], ds.polarization.values[present],
            ds.height.values[present], strongest)
