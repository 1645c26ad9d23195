"""What the sky map is drawn from: the echoes in view, those of one record or of the records of
a time window, found in a file (from its index and parts of those records alone) or taken from
a table of echoes.
"""

from __future__ import annotations

from dataclasses import asdict, dataclass
from typing import Any, Callable, List, Optional, Set, Tuple

import numpy as np

from vexo._reading.index import FileIndex, entry_times
from vexo._reading.selection import Selection
from vexo.plot._choices import ChoiceError, kilohertz, ranges
from vexo.plot._sources import base_name, source_name

#: The columns a table of echoes needs for the sky map (those of vexo.echoes).
SKY_COLUMNS = ("record", "time", "frequency", "height", "line", "doppler", "east", "north",
               "zenith", "azimuth", "resolved")

FIRST_SEARCH = 16  # records searched at first for one with a resolved echo; then twice as many


@dataclass
class View:
    """The echoes of the record or time window that a sky map shows."""

    name: str
    echoes: Any  # pandas.DataFrame: every echo in view, resolved or not
    records: List[int]
    time: np.datetime64  # the record's time, or the window's start
    window: Optional[int] = None  # nanoseconds
    damaged: bool = False


def times_ns(values: Any) -> np.ndarray:
    """Times of a table's column as datetime64[ns]."""
    import pandas as pd  # type: ignore[import-untyped]

    return pd.to_datetime(values).to_numpy(dtype="datetime64[ns]")


def _window_start(name: str, number: int, time: np.datetime64, width: int) -> int:
    if np.isnat(time):
        raise ChoiceError(f"{name}: record {number} has no valid time: it lies in no window")
    nanoseconds = int(time.astype("datetime64[ns]").astype(np.int64))
    return nanoseconds // width * width


def _in_window(times: np.ndarray, start: int, width: int) -> np.ndarray:
    ns = times.astype("datetime64[ns]")
    valid = ~np.isnat(ns)
    at = np.where(valid, ns.astype(np.int64), start - 1)
    return valid & (at >= start) & (at < start + width)


def _at_frequency(table: Any, frequency: Optional[float], name: str, where: str) -> Any:
    """The echoes at the frequency; a ChoiceError naming the frequencies of those in view when
    none is there."""
    if frequency is None or not len(table):
        return table
    taken = table[table["frequency"].to_numpy(dtype=np.float64) == frequency]
    if not len(taken):
        raise ChoiceError(f"{name}: no echo at {frequency:g} kHz in {where}; its echoes are at "
                          f"{kilohertz(table['frequency'])}")
    return taken


def _where(records: List[int], window: Optional[int]) -> str:
    if window is None:
        return f"record {records[0]}"
    return "the window" if not records else f"the window of records {ranges(records)}"


def _first_text(record: int, frequency: Optional[float]) -> str:
    return (f"record {record} (the first with a resolved echo"
            + (f" at {frequency:g} kHz)" if frequency is not None else ")"))


Finder = Callable[[np.ndarray], Any]  # entries of a file's index -> their echoes (a table)


def _finder(index: FileIndex, layout: Any, name: str, echo: Any) -> Finder:
    """What finds the echoes of some entries of the file, as vexo.echoes does."""
    import pandas as pd  # type: ignore[import-untyped]

    from vexo._directions.chunks import LayoutMismatch, check_layout
    from vexo._directions.echoes import echo_columns
    from vexo._directions.fit import DirectionFit

    fit = DirectionFit(layout)
    reader = index.part_reader(True)

    def find(some: np.ndarray) -> Any:
        try:
            check_layout(index, some[some["taken_subblocks"] > 0], layout)
        except LayoutMismatch as e:  # named by the name shown here
            raise ChoiceError(f"{name}: {e.what}") from None
        return pd.DataFrame(echo_columns(index, some, layout, **asdict(echo), reader=reader,
                                         fit=fit))

    return find


def _first_resolved(find: Finder, entries: np.ndarray, frequency: Optional[float],
                    name: str, damage: str) -> Tuple[int, Any]:
    """The first record with a resolved echo (at the frequency) and its echoes: a few records
    searched at first, then twice as many each time, so that a long file is read only as far
    as needed."""
    start, step = 0, FIRST_SEARCH
    seen: Set[float] = set()
    while start < len(entries):
        block = find(entries[start:start + step])
        seen.update(block["frequency"].tolist())
        hits = block["resolved"].to_numpy(dtype=bool)
        if frequency is not None:
            hits = hits & (block["frequency"].to_numpy(dtype=np.float64) == frequency)
        if hits.any():
            record = int(block["record"].to_numpy()[np.argmax(hits)])
            return record, block[block["record"] == record]
        start, step = start + step, step * 2
    at = f" at {frequency:g} kHz" if frequency is not None else ""
    have = f"; the echoes are at {kilohertz(seen)}" if frequency is not None and seen else ""
    raise ChoiceError(f"{name}: no record has a resolved echo{at} (records 1 to "
                      f"{len(entries)}){have}{damage}", bool(damage))


def file_view(source: Any, layout: Any, record: Optional[int], window: Optional[int],
              frequency: Optional[float], echo: Any,
              name: Optional[str], choices: List[str], stacklevel: int = 1) -> View:
    """The echoes in view of a path or file object: those of one record, or of the records of
    its time window, fitted from the file's index and parts of those records alone. A
    DamagedFileWarning when the file is damaged (`stacklevel` counts from the caller)."""
    from vexo._directions.layout import Layout

    layout = Layout.of(layout)
    one = record is not None and window is None
    index = FileIndex.of(source, Selection(records=record) if one else None)
    name = name or source_name(source)
    entries = index.entries
    damage = f" ({index.damage})" if index.damage is not None else ""
    index.warn_damage(stacklevel=stacklevel + 1)
    find = _finder(index, layout, name, echo)
    if not len(entries):
        raise ChoiceError(f"{name}: the file has no record{damage}", bool(damage))
    found = None
    if record is None:
        record, found = _first_resolved(find, entries, frequency, name, damage)
        choices.append(_first_text(record, frequency))
    elif record > len(entries):
        raise ChoiceError(f"{name}: record {record} is beyond the end; the file has "
                          f"records 1 to {len(entries)}{damage}", bool(damage))
    times = entry_times(entries)
    time = times[record - 1]
    if window is None:
        view = found if found is not None else find(entries[record - 1:record])
        where, records = f"record {record}", [record]
    else:
        start_ns = _window_start(name, record, time, window)
        inside = entries[_in_window(times, start_ns, window)]
        view = find(inside)
        time = np.datetime64(start_ns, "ns")
        records = inside["number"].astype(int).tolist()
        where = _where(records, window)
    view = _at_frequency(view, frequency, name, where)
    return View(name, view, records, time, window, bool(damage))


def _table_record(table: Any, files: Optional[np.ndarray], numbers: np.ndarray,
                  record: Optional[int], window: Optional[int], frequency: Optional[float],
                  name: str, choices: List[str]) -> Tuple[int, Optional[str]]:
    """The record of a table drawn (by default the first with a resolved echo at the
    frequency), and the file it is of (None for a table without files)."""
    if record is None:
        hits = table["resolved"].to_numpy(dtype=bool)
        if frequency is not None:
            hits = hits & (table["frequency"].to_numpy(dtype=np.float64) == frequency)
        if not hits.any():
            at = f" at {frequency:g} kHz" if frequency is not None else ""
            raise ChoiceError(f"{name}: no echo of the table is resolved{at}")
        first = int(np.argmax(hits))
        choices.append(_first_text(int(numbers[first]), frequency))
        return int(numbers[first]), files[first] if files is not None else None
    holding = numbers == record
    if not holding.any():
        raise ChoiceError(f"{name}: no echo of record {record} in the table; it has "
                          f"records {ranges(np.unique(numbers))}")
    within = sorted(set(files[holding].tolist())) if files is not None else []
    if len(within) > 1 and window is None:
        raise ChoiceError(f"{name}: record {record} is in {len(within)} files of the "
                          f"table ({', '.join(base_name(f) for f in within)}): give the "
                          "echoes of one")
    return record, files[holding][0] if files is not None else None


def table_view(table: Any, record: Optional[int], window: Optional[int],
               frequency: Optional[float], name: Optional[str], choices: List[str]) -> View:
    """The echoes in view of a table of vexo.echoes (or of an archive's echo rows)."""
    lacking = [c for c in SKY_COLUMNS if c not in table.columns]
    if lacking:
        raise ValueError(f"echoes: no column {', '.join(lacking)} (a table of vexo.echoes)")
    files = table["file"].astype(str).to_numpy() if "file" in table.columns else None
    distinct = list(dict.fromkeys(files.tolist())) if files is not None else []
    name = name or (base_name(distinct[0]) if len(distinct) == 1 else
                    f"{len(distinct)} files" if distinct else "echoes")
    if not len(table):
        raise ChoiceError(f"{name}: the table has no echo")
    numbers = table["record"].to_numpy(dtype=np.int64)
    record, own = _table_record(table, files, numbers, record, window, frequency, name,
                                choices)
    mine = numbers == record
    if own is not None:
        mine &= files == own
        if len(distinct) > 1 and window is None:
            name = base_name(own)
    times = times_ns(table["time"])
    time = times[np.argmax(mine)]
    if window is None:
        view, records, where = table[mine], [record], f"record {record}"
    else:
        start = _window_start(name, record, time, window)
        inside = _in_window(times, start, window)
        view, time = table[inside], np.datetime64(start, "ns")
        records = sorted(set(numbers[inside].tolist()))
        where = _where(records, window)
    return View(name, _at_frequency(view, frequency, name, where), records, time, window)
