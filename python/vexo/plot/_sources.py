"""What a picture is drawn from: the one dispatcher that tells a path, a binary file object, a
vexo.File, a vexo.Record, a dataset of vexo.read and a table of echoes apart, and the record
that the spectrum and the phases are drawn from, read as each kind of source is read: a path
or a file object through its index and a part of the one record, a File as it hands out its
records, a dataset by selection.
"""

from __future__ import annotations

import enum
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, List, Optional, Sequence

import numpy as np

from vexo._names import shown_name
from vexo._reading.file import File, Record
from vexo._reading.index import FileIndex, entry_times
from vexo._reading.parts import read_part
from vexo._reading.selection import Selection
from vexo.plot._choices import ChoiceError, first_text, ranges, whole

if TYPE_CHECKING:
    import xarray as xr


class Kind(enum.Enum):
    """What a picture was handed; the value is how messages name it."""

    PATH = "a path"
    STREAM = "a binary file object"
    FILE = "a vexo.File"
    RECORD = "a vexo.Record"
    DATASET = "a dataset of vexo.read"
    TABLE = "a table of echoes"


def kind_of(source: Any) -> Optional[Kind]:
    """The kind of a source, None for anything else: every picture asks here."""
    if isinstance(source, Record):
        return Kind.RECORD
    if isinstance(source, File):
        return Kind.FILE
    if isinstance(source, (str, bytes, os.PathLike)):
        return Kind.PATH
    if (hasattr(source, "data_vars") and "time" in getattr(source, "dims", {})
            and "record" in getattr(source, "coords", {})):
        return Kind.DATASET
    if hasattr(source, "columns") and hasattr(source, "iloc"):
        return Kind.TABLE
    if hasattr(source, "read") or hasattr(source, "readinto"):
        return Kind.STREAM
    return None


def taken(picture: str, source: Any, kinds: Sequence[Kind]) -> Kind:
    """The kind of source, one of those the picture takes; else a TypeError naming them."""
    kind = kind_of(source)
    if kind is not None and kind in kinds:
        return kind
    got = kind.value if kind is not None else type(source).__name__
    raise TypeError(f"{picture}: expected {_either(kinds)}, not {got}")


def one_or_many(picture: str, sources: Any, kinds: Sequence[Kind]) -> List[Any]:
    """A source alone as a list of one; an iterable of sources as the list of them."""
    if kind_of(sources) is not None:
        return [sources]
    try:
        return list(sources)
    except TypeError:
        raise TypeError(f"{picture}: expected {_either(kinds)}, or an iterable of them, not "
                        f"{type(sources).__name__}") from None


def _either(kinds: Sequence[Kind]) -> str:
    names = [k.value for k in kinds]
    return ", ".join(names[:-1]) + " or " + names[-1]


def base_name(name: Any) -> str:
    """A file's name as titles and messages give it: without its folders."""
    text = shown_name(name)
    return os.path.basename(text) or text


def source_name(source: Any) -> str:
    """The name of a path, a File or a file object (that of its name attribute)."""
    if isinstance(source, File):
        return base_name(source.name)
    if isinstance(source, (str, bytes, os.PathLike)):
        return base_name(source)
    return base_name(getattr(source, "name", "file object"))


@dataclass
class Snapshot:
    """What the spectrum and the phases need of one record."""

    name: str
    number: int
    time: np.datetime64
    frequency: np.ndarray  # per subblock, kHz
    height: np.ndarray  # per subblock, km
    polarization: np.ndarray  # per subblock
    subblock_number: np.ndarray  # per subblock, from 0
    antenna_numbers: np.ndarray  # from 1
    amplitude_db: np.ndarray  # (subblocks, antennas, lines)
    line_spacing: Optional[float]
    rate: Optional[float] = None
    # (2, subblocks, antennas, lines): without, then with the antenna correction
    phase_degrees: Optional[np.ndarray] = None


def snapshot(source: Any, kind: Kind, record: Optional[int], name: Optional[str],
             choices: List[str], phases: bool = False, stacklevel: int = 1) -> Snapshot:
    """The record asked for of a source of that kind; by default its first record that has a
    subblock (of a dataset, its first record). With phases, the snapshot holds the phases
    without and with the antenna correction too (not of a dataset). DamagedFileWarning when
    the file (a path or file object) is damaged before the end of what was read of it
    (`stacklevel` counts from the caller)."""
    if record is not None:
        record = whole("record", record, 1)
    if kind is Kind.RECORD:
        if record is not None and record != source.number:
            raise ValueError(f"record={record} given with record {source.number}")
        return _from_record(source, name or "record", phases)
    if kind is Kind.DATASET:
        return _from_dataset(source, record, name, choices)
    if kind is Kind.FILE:
        return _from_file(source, record, name or source_name(source), choices, phases)
    return _from_index(source, record, name or source_name(source), choices, phases,
                       stacklevel + 1)


def _from_record(rec: Record, name: str, phases: bool) -> Snapshot:
    d = rec.descriptors
    turns = (np.stack([rec.phase_degrees(correct=False), rec.phase_degrees(correct=True)])
             if phases else None)
    return Snapshot(
        name, rec.number, rec.time, d["frequency"], d["height"], d["polarization"],
        np.arange(rec.subblocks), np.arange(1, rec.antennas + 1), rec.amplitude_db(),
        rec.line_spacing, rec.rate, turns)


def _from_dataset(ds: "xr.Dataset", number: Optional[int], name: Optional[str],
                  choices: List[str]) -> Snapshot:
    if "amplitude_db" not in ds:
        raise ValueError("the dataset has no amplitude_db: read it with convert=True")
    name = name or base_name(ds.attrs.get("source", "dataset"))
    numbers = ds.record.values
    if len(numbers) == 0:
        raise ChoiceError(f"{name}: the dataset has no record")
    if number is None:
        number = int(numbers[0])
        choices.append(f"record {number} (the first)")
    elif number not in numbers:
        raise ChoiceError(f"{name}: no record {number} in the dataset; it has records "
                          f"{ranges(numbers)}")
    if int(np.count_nonzero(numbers == number)) > 1:
        raise ChoiceError(f"{name}: record {number} is in several files of the dataset; "
                          f"pick one file's records first (ds.file)")
    one = ds.isel(time=int(np.flatnonzero(numbers == number)[0]))
    present = one.subblock_number.values >= 0
    spacing = float(one.line_spacing)
    return Snapshot(
        name, number, one.time.values.astype("datetime64[s]"),
        one.frequency.values[present], one.height.values[present],
        one.polarization.values[present], one.subblock_number.values[present],
        one.antenna.values.astype(int), one.amplitude_db.values[present],
        spacing if np.isfinite(spacing) else None)


def _from_index(source: Any, record: Optional[int], name: str, choices: List[str],
                phases: bool, stacklevel: int) -> Snapshot:
    """The record from the file's index (up to the record) and a part of that one record."""
    index = FileIndex.of(source, None if record is None else Selection(records=record))
    index.warn_damage(stacklevel=stacklevel + 1)
    entries = index.entries
    one = entries[_entry_at(index, record, name, choices):][:1]
    width = int(one["subblock_count"][0])
    kinds = ("amplitude_db", "subblock_number", "frequency", "height", "polarization")
    part = read_part(index, one, width, kinds=kinds + (("phase_degrees",) if phases else ()),
                     correct=False)
    turns = None
    if phases:
        corrected = read_part(index, one, width, kinds=("phase_degrees",), correct=True)
        turns = np.stack([part.phase_degrees[0], corrected.phase_degrees[0]])
    spacing, rate = float(one["line_spacing"][0]), float(one["rate"][0])
    return Snapshot(
        name, int(one["number"][0]), entry_times(one)[0], part.frequency[0], part.height[0],
        part.polarization[0], part.subblock_number[0], np.asarray(part.antennas),
        part.amplitude_db[0], spacing if np.isfinite(spacing) else None,
        rate if np.isfinite(rate) else None, turns)


def _entry_at(index: FileIndex, record: Optional[int], name: str, choices: List[str]) -> int:
    """Where the record asked for (or the first with a subblock) is in the index."""
    entries = index.entries
    damage = f" ({index.stop.message})" if index.damage else ""
    if len(entries) == 0:
        raise ChoiceError(f"{name}: the file has no record{damage}", bool(damage))
    if record is None:
        with_subblocks = np.flatnonzero(entries["subblock_count"] > 0)
        if len(with_subblocks) == 0:
            raise ChoiceError(f"{name}: no record has a subblock (records 1 to "
                              f"{len(entries)}){damage}", bool(damage))
        choices.append(first_text(int(entries["number"][with_subblocks[0]])))
        return int(with_subblocks[0])
    if record > len(entries):
        raise ChoiceError(f"{name}: record {record} is beyond the end; the file has "
                          f"records 1 to {len(entries)}{damage}", bool(damage))
    return record - 1  # the index holds every record from the first on


def _from_file(f: File, record: Optional[int], name: str, choices: List[str],
               phases: bool) -> Snapshot:
    """The record from the records a File has left, as it hands them out."""
    first = last = 0
    for rec in f:
        first, last = first or rec.number, rec.number
        if record is None and rec.subblocks > 0:
            choices.append(first_text(rec.number))
            return _from_record(rec, name, phases)
        if record is not None and rec.number >= record:
            if rec.number == record:
                return _from_record(rec, name, phases)
            break
    stop = f.stop
    damaged = stop is not None and not stop.clean
    damage = f" ({stop.message})" if stop is not None and damaged else ""
    if record is not None and first > record:
        raise ChoiceError(f"{name}: record {record} was read from the file before; "
                          f"records {first} to {last} were left")
    if last == 0:
        raise ChoiceError(f"{name}: the file has no record{damage}", damaged)
    if record is None:
        raise ChoiceError(f"{name}: no record has a subblock (records 1 to "
                          f"{last}){damage}", damaged)
    raise ChoiceError(f"{name}: record {record} is beyond the end; the file has records "
                      f"{first} to {last}{damage}", damaged)
