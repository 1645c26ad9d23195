"""What a picture is drawn from: a path, a file object, a File, a Record or a dataset.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, List, Optional

import numpy as np

from vexo._names import shown_name
from vexo._reading.file import File, Record
from vexo._reading.file import open as open_file
from vexo._reading.index import FileIndex, entry_times
from vexo._reading.parts import read_part
from vexo._reading.selection import Selection

if TYPE_CHECKING:
    import xarray as xr
from vexo.plot._choices import ChoiceError, _first_text, _ranges, _whole


def _base_name(name: Any) -> str:
    text = shown_name(name)
    return os.path.basename(text) or text


def _source_name(source: Any) -> str:
    if isinstance(source, File):
        return _base_name(source.name)
    if isinstance(source, (str, bytes, os.PathLike)):
        return _base_name(source)
    return _base_name(getattr(source, "name", "file object"))


def _is_dataset(source: Any) -> bool:
    return hasattr(source, "data_vars") and "record" in getattr(source, "dims", {})


def _is_single(source: Any) -> bool:
    return (isinstance(source, (str, bytes, os.PathLike, File, Record)) or _is_dataset(source)
            or hasattr(source, "read"))


@dataclass
class _Snapshot:
    """What the pictures need of one record."""

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
    record: Optional[Record] = None  # for the phases


def _from_record(rec: Record, name: str) -> _Snapshot:
    d = rec.descriptors
    return _Snapshot(
        name, rec.number, rec.time, d["frequency"], d["height"], d["polarization"],
        np.arange(rec.subblocks), np.arange(1, rec.antennas + 1), rec.amplitude_db(),
        rec.line_spacing, rec)


def _from_dataset(ds: "xr.Dataset", number: Optional[int], name: Optional[str],
                  choices: List[str]) -> _Snapshot:
    if "amplitude_db" not in ds:
        raise ValueError("the dataset has no amplitude_db: read it with convert=True")
    name = name or _base_name(ds.attrs.get("source", "dataset"))
    numbers = ds.record.values
    if len(numbers) == 0:
        raise ChoiceError(f"{name}: the dataset has no record")
    if number is None:
        number = int(numbers[0])
        choices.append(f"record {number} (the first)")
    elif number not in numbers:
        raise ChoiceError(f"{name}: no record {number} in the dataset; it has records "
                          f"{_ranges(numbers)}")
    one = ds.sel(record=number)
    present = one.subblock_number.values >= 0
    spacing = float(one.line_spacing)
    return _Snapshot(
        name, number, one.time.values.astype("datetime64[s]"),
        one.frequency.values[present], one.height.values[present],
        one.polarization.values[present], one.subblock_number.values[present],
        one.antenna.values.astype(int), one.amplitude_db.values[present],
        spacing if np.isfinite(spacing) else None)


def _from_index(source: Any, record: Optional[int], name: Optional[str],
                choices: List[str]) -> _Snapshot:
    """The record from the file's index and a part of that one record."""
    index = FileIndex.of(source, None if record is None else Selection(records=record))
    name = name or _source_name(source)
    entries = index.entries
    damage = f" ({index.stop.message})" if index.damage else ""
    if record is None:
        with_subblocks = np.flatnonzero(entries["subblock_count"] > 0)
        if len(with_subblocks) == 0:
            if len(entries) == 0:
                raise ChoiceError(f"{name}: the file has no record{damage}", bool(damage))
            raise ChoiceError(f"{name}: no record has a subblock (records 1 to "
                              f"{len(entries)}){damage}", bool(damage))
        at = int(with_subblocks[0])
        choices.append(_first_text(int(entries["number"][at])))
    else:
        if record > len(entries):
            if len(entries) == 0:
                raise ChoiceError(f"{name}: the file has no record{damage}", bool(damage))
            raise ChoiceError(f"{name}: record {record} is beyond the end; the file has "
                              f"records 1 to {len(entries)}{damage}", bool(damage))
        at = record - 1  # the index holds every record from the first on
    one = entries[at:at + 1]
    part = read_part(index, one, int(one["subblock_count"][0]),
                     kinds=("amplitude_db", "subblock_number", "frequency", "height",
                            "polarization"))
    spacing = float(one["line_spacing"][0])
    return _Snapshot(
        name, int(one["number"][0]), entry_times(one)[0], part.frequency[0], part.height[0],
        part.polarization[0], part.subblock_number[0], np.asarray(part.antennas),
        part.amplitude_db[0], spacing if np.isfinite(spacing) else None)


def _snapshot(source: Any, record: Optional[int], name: Optional[str],
              choices: List[str], need_record: bool = False) -> _Snapshot:
    """The record asked for; by default the first record that has a subblock. need_record:
    the snapshot holds the Record itself (for both corrections of the phases)."""
    if record is not None:
        record = _whole("record", record, 1)
    if isinstance(source, Record):
        if record is not None and record != source.number:
            raise ValueError(f"record={record} given with record {source.number}")
        return _from_record(source, name or "record")
    if _is_dataset(source):
        return _from_dataset(source, record, name, choices)
    if not need_record and not isinstance(source, File):
        return _from_index(source, record, name, choices)
    own = not isinstance(source, File)
    f = open_file(source) if own else source
    name = name or _source_name(f)
    try:
        first = last = 0
        for rec in f:
            first, last = first or rec.number, rec.number
            if record is None and rec.subblocks > 0:
                choices.append(_first_text(rec.number))
                return _from_record(rec, name)
            if record is not None and rec.number >= record:
                if rec.number == record:
                    return _from_record(rec, name)
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
    finally:
        if own:
            f.close()
