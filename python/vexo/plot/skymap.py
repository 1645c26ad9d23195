"""The sky map: where the echoes come from, a polar map of zenith angle and azimuth.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, List, Optional, cast

import numpy as np

from vexo._reading.index import FileIndex, entry_times
from vexo._reading.selection import Selection

if TYPE_CHECKING:
    from matplotlib.figure import Figure
    from matplotlib.projections.polar import PolarAxes
from vexo.plot._choices import ChoiceError, _kilohertz, _ranges, _whole
from vexo.plot._figure import DPI, Size, _check_size, _finish, _nice_above, _title, _when
from vexo.plot._sources import _base_name, _source_name

#: The columns a table of echoes needs for the sky map (those of vexo.echoes).
SKY_COLUMNS = ("record", "time", "frequency", "height", "line", "doppler", "east", "north",
               "zenith", "azimuth", "resolved")


FIRST_SEARCH = 16  # records searched at first for one with a resolved echo; then twice as many


@dataclass
class _View:
    """The echoes of the record or time window that a sky map shows."""

    name: str
    echoes: "Any"  # pandas.DataFrame: every echo in view, resolved or not
    records: List[int]
    time: np.datetime64  # the record's time, or the window's start
    window: Optional[int] = None  # nanoseconds
    damaged: bool = False


def _frequency_text(frequency: Optional[float]) -> str:
    return "every frequency" if frequency is None else f"{frequency:g} kHz"


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
                          f"{_kilohertz(table['frequency'])}")
    return taken


def _where(records: List[int], window: Optional[int]) -> str:
    if window is None:
        return f"record {records[0]}"
    return "the window" if not records else f"the window of records {_ranges(records)}"


def _file_view(source: Any, layout: Any, record: Optional[int], window: Optional[int],
               frequency: Optional[float], threshold_db: float, residual_limit: float,
               name: Optional[str], choices: List[str]) -> _View:
    """The echoes in view of a path or file object: those of one record, or of the records of
    its time window, fitted from the file's index and parts of those records alone."""
    import pandas as pd

    from vexo._directions.echoes import LayoutMismatch, check_layout, echo_columns
    from vexo._directions.fit import DirectionFit
    from vexo._directions.layout import Layout

    layout = Layout.of(layout)
    one = record is not None and window is None
    index = FileIndex.of(source, Selection(records=record) if one else None)
    name = name or _source_name(source)
    entries = index.entries
    damaged = index.damage is not None
    damage = f" ({index.damage})" if damaged else ""
    index.warn_damage(stacklevel=3)
    fit = DirectionFit(layout)
    reader = index.part_reader(True)

    def columns(some: np.ndarray) -> Any:
        try:
            check_layout(index, some[some["taken_subblocks"] > 0], layout)
        except LayoutMismatch as e:  # named by the name shown here
            raise ChoiceError(f"{name}: {e.what}") from None
        return pd.DataFrame(echo_columns(index, some, layout, threshold_db=threshold_db,
                                         residual_limit=residual_limit, reader=reader,
                                         fit=fit))

    if not len(entries):
        raise ChoiceError(f"{name}: the file has no record{damage}", damaged)
    found = None
    if record is not None:
        if record > len(entries):
            raise ChoiceError(f"{name}: record {record} is beyond the end; the file has "
                              f"records 1 to {len(entries)}{damage}", damaged)
    else:
        # the first record with a resolved echo (at the frequency): a few records at first,
        # then twice as many each time, so that a long file is read only as far as needed
        start, step, seen = 0, FIRST_SEARCH, set()
        while start < len(entries) and found is None:
            block = columns(entries[start:start + step])
            seen.update(block["frequency"].tolist())
            hits = block["resolved"].to_numpy(dtype=bool)
            if frequency is not None:
                hits = hits & (block["frequency"].to_numpy(dtype=np.float64) == frequency)
            if hits.any():
                record = int(block["record"].to_numpy()[np.argmax(hits)])
                found = block[block["record"] == record]
            start, step = start + step, step * 2
        if record is None:
            at = f" at {frequency:g} kHz" if frequency is not None else ""
            have = (f"; the echoes are at {_kilohertz(seen)}" if frequency is not None and seen
                    else "")
            raise ChoiceError(f"{name}: no record has a resolved echo{at} (records 1 to "
                              f"{len(entries)}){have}{damage}", damaged)
        choices.append(f"record {record} (the first with a resolved echo"
                       + (f" at {frequency:g} kHz)" if frequency is not None else ")"))
    times = entry_times(entries)
    time = times[record - 1]
    if window is None:
        view = found if found is not None else columns(entries[record - 1:record])
        where, records = f"record {record}", [record]
    else:
        start_ns = _window_start(name, record, time, window)
        inside = entries[_in_window(times, start_ns, window)]
        view = columns(inside)
        time = np.datetime64(start_ns, "ns")
        records = inside["number"].astype(int).tolist()
        where = _where(records, window)
    view = _at_frequency(view, frequency, name, where)
    return _View(name, view, records, time, window, damaged)


def _table_view(table: Any, record: Optional[int], window: Optional[int],
                frequency: Optional[float], name: Optional[str], choices: List[str]) -> _View:
    """The echoes in view of a table of vexo.echoes (or of an archive's echo rows)."""
    lacking = [c for c in SKY_COLUMNS if c not in table.columns]
    if lacking:
        raise ValueError(f"echoes: no column {', '.join(lacking)} (a table of vexo.echoes)")
    files = table["file"].astype(str).to_numpy() if "file" in table.columns else None
    distinct = list(dict.fromkeys(files.tolist())) if files is not None else []
    name = name or (_base_name(distinct[0]) if len(distinct) == 1 else
                    f"{len(distinct)} files" if distinct else "echoes")
    if not len(table):
        raise ChoiceError(f"{name}: the table has no echo")
    numbers = table["record"].to_numpy(dtype=np.int64)
    times = _times_ns(table["time"])
    resolved = table["resolved"].to_numpy(dtype=bool)
    frequencies = table["frequency"].to_numpy(dtype=np.float64)
    if record is None:
        hits = resolved & ((frequencies == frequency) if frequency is not None else True)
        if not hits.any():
            at = f" at {frequency:g} kHz" if frequency is not None else ""
            raise ChoiceError(f"{name}: no echo of the table is resolved{at}")
        first = int(np.argmax(hits))
        record = int(numbers[first])
        choices.append(f"record {record} (the first with a resolved echo"
                       + (f" at {frequency:g} kHz)" if frequency is not None else ")"))
        own = files[first] if files is not None else None
    else:
        holding = numbers == record
        if not holding.any():
            raise ChoiceError(f"{name}: no echo of record {record} in the table; it has "
                              f"records {_ranges(np.unique(numbers))}")
        within = sorted(set(files[holding].tolist())) if files is not None else []
        if len(within) > 1 and window is None:
            raise ChoiceError(f"{name}: record {record} is in {len(within)} files of the "
                              f"table ({', '.join(_base_name(f) for f in within)}): give the "
                              "echoes of one")
        own = files[holding][0] if files is not None else None
    mine = numbers == record
    if own is not None:
        mine &= files == own
        if len(distinct) > 1 and window is None:
            name = _base_name(own)
    time = times[np.argmax(mine)]
    if window is None:
        view = table[mine]
        records, where = [record], f"record {record}"
    else:
        start = _window_start(name, record, time, window)
        inside = _in_window(times, start, window)
        view = table[inside]
        time = np.datetime64(start, "ns")
        records = sorted(set(numbers[inside].tolist()))
        where = _where(records, window)
    view = _at_frequency(view, frequency, name, where)
    return _View(name, view, records, time, window)


def skymap(source: Any, *, layout: Any = None, record: Optional[int] = None,
           window: Any = None, frequency: Optional[float] = None,
           threshold_db: float = 10.0, residual_limit: float = 20.0, drift: bool = True,
           name: Optional[str] = None, size: Size = (900, 800)) -> "Figure":
    """Where the echoes of one record, or of a time window, come from: a polar map of zenith
    angle (0 at the centre, 90° at the rim) and azimuth (clockwise from north: north up, east
    right), each resolved echo a dot coloured by its Doppler shift.

    The colour map diverges from 0 Hz (blue: positive shifts, approaching; red: negative,
    receding), its range the largest shift drawn either way. When vexo.drift gives a
    velocity for the echoes in view, its horizontal part is an arrow from the centre toward
    where the reflectors move, as long on the map's 90° of radius as its speed is on a
    round scale (the legend gives the speed, the direction and the scale). Echoes that are
    not resolved have no direction: they are counted in the title, not drawn.

    Parameters
    ----------
    source : path, binary file object or pandas.DataFrame
        A DFT file, whose echoes are found as vexo.echoes finds them (only the records in view
        are read, besides the file's index), or a table of vexo.echoes (or the echo rows of
        an archive, with their column file).
    layout : vexo.Layout, path of a TOML layout, or mapping
        The antennas (see vexo.Layout). Needed for a file; not used for a table.
    record : int, optional
        The record (from 1) drawn, or the record whose time window is drawn. Default: the
        first record with a resolved echo (at `frequency` when given), so that a file is read
        only as far as that record. In a table of several files, a record number that more
        than one file has needs a window.
    window : float, numpy.timedelta64 or pandas.Timedelta, optional
        Draw the time window of this length (seconds when a number) that holds the record:
        windows are aligned on whole multiples of the length since 1970-01-01, as vexo.drift
        aligns them, and take every record (of every file of a table) whose time lies in it.
        Default: the record alone.
    frequency : float, optional
        Only the echoes at this sounding frequency (kHz). Default: every frequency.
    threshold_db, residual_limit : float, default 10.0 and 20.0
        As vexo.echoes takes them (for a file; a table is drawn as it is).
    drift : bool, default True
        Draw the arrow of the drift; False leaves it out (and vexo.drift is not called).
    name : str, optional
        The name in the title and messages. Default: the file's name without its folders.
    size : (int, int), default (900, 800)
        Width and height in pixels: 200 to 20000 wide, 150 to 20000 high.

    Returns
    -------
    matplotlib.figure.Figure
        fig.vexo_data is an xarray.Dataset of the dots drawn, along the dimension echo:
        zenith and azimuth (degrees) and doppler (Hz), with the coordinates record, time,
        subblock, frequency, height and line of each (and file, for a table that has it).
        Its attributes give the file, the records in view, time (the record's, or the
        window's start) and end (of the window, else the same time), the frequency ("every"
        or kHz), echoes (in view, resolved or not), and drift_east, drift_north, drift_up,
        drift_speed (horizontal, m/s) and drift_azimuth (degrees, where the horizontal drift
        points), NaN where no velocity is drawn. fig.vexo_choices says what was chosen.

    Raises
    ------
    ChoiceError
        When the file has no such record, no record has a resolved echo (at the frequency),
        the echoes in view have no such frequency, a record lacks antennas of the layout, or
        a record asked for in a window has no valid time.
    TypeError
        When record is not a whole number, or window is not a time.
    ValueError
        When a file is given without a layout; for a layout that is not one, a size out of
        range, a window that is not positive, or a table without the columns of vexo.echoes.
    OSError
        When the file or the layout cannot be read.

    Warns
    -----
    DamagedFileWarning
        When the file is damaged: the records before the damage are drawn.

    Examples
    --------
    >>> import vexo.plot
    >>> fig = vexo.plot.skymap("examples/example.dft", layout="examples/layout.toml")
    >>> fig.vexo_choices
    ['record 1 (the first with a resolved echo)']
    >>> fig = vexo.plot.skymap("examples/example.dft", layout="examples/layout.toml",
    ...                        record=3, window=60, frequency=3200)
    >>> fig.vexo_data.attrs["records"]
    [1, 2, 3, 4, 5, 6]
    """
    import xarray as xr
    from matplotlib.colors import CenteredNorm
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D

    from vexo._directions.drift import drift as drift_of
    from vexo._directions.drift import window_ns
    from vexo._reading.selection import reals

    _check_size(size)
    if record is not None:
        record = _whole("record", record, 1)
    width = window_ns(window)
    if frequency is not None:
        given = reals("frequency", frequency)
        if len(given) != 1:
            raise ValueError(f"frequency: {frequency!r} is not one frequency (kHz)")
        frequency = given[0]
    choices: List[str] = []
    if hasattr(source, "columns") and hasattr(source, "iloc"):
        view = _table_view(source, record, width, frequency, name, choices)
    else:
        if layout is None:
            raise ValueError("skymap: a file needs the layout of its antennas (layout=...)")
        view = _file_view(source, layout, record, width, frequency, threshold_db,
                          residual_limit, name, choices)

    table = view.echoes
    drawn = table[table["resolved"].to_numpy(dtype=bool)]
    velocity = np.full(3, np.nan)
    if drift and len(drawn):
        found = drift_of(table.drop(columns=["file"], errors="ignore"), window=window)
        if len(found) == 1:
            velocity = found[["v_east", "v_north", "v_up"]].to_numpy(dtype=np.float64)[0]
    speed = float(np.hypot(velocity[0], velocity[1]))
    heading = float(np.mod(np.rad2deg(np.arctan2(velocity[0], velocity[1])), 360.0))
    arrow = bool(np.isfinite(speed) and speed > 0)

    zenith = drawn["zenith"].to_numpy(dtype=np.float64)
    azimuth = drawn["azimuth"].to_numpy(dtype=np.float64)
    doppler = drawn["doppler"].to_numpy(dtype=np.float64)
    coords = {c: ("echo", drawn[c].to_numpy()) for c in
              ("file", "record", "time", "subblock", "frequency", "height", "line")
              if c in drawn.columns}
    if "time" in coords:
        coords["time"] = ("echo", _times_ns(drawn["time"]))
    end = view.time if view.window is None else view.time + np.timedelta64(view.window, "ns")
    data = xr.Dataset(
        {"zenith": ("echo", zenith, {"units": "degree", "long_name": "zenith angle"}),
         "azimuth": ("echo", azimuth, {"units": "degree",
                                       "long_name": "azimuth, clockwise from north"}),
         "doppler": ("echo", doppler, {"units": "Hz", "long_name": "Doppler shift"})},
        coords=coords,
        attrs={"file": view.name, "records": list(view.records),
               "time": _when(view.time), "end": _when(end),
               "frequency": "every" if frequency is None else frequency,
               "echoes": len(table),
               "drift_east": float(velocity[0]) if arrow else np.nan,
               "drift_north": float(velocity[1]) if arrow else np.nan,
               "drift_up": float(velocity[2]) if arrow else np.nan,
               "drift_speed": speed if arrow else np.nan,
               "drift_azimuth": heading if arrow else np.nan})

    fig = Figure(figsize=(size[0] / DPI, size[1] / DPI), dpi=DPI, layout="constrained")
    ax = cast("PolarAxes", fig.add_subplot(projection="polar"))
    ax.set_theta_zero_location("N")
    ax.set_theta_direction(-1)
    halfrange = float(np.max(np.abs(doppler))) if len(doppler) else 0.0
    dots = ax.scatter(np.deg2rad(azimuth), zenith, c=doppler, s=36, cmap="RdBu",
                      norm=CenteredNorm(0.0, halfrange or 1.0), edgecolors="black",
                      linewidths=0.3, zorder=3)
    ax.set_rlim(0, 90)
    ax.set_rticks([30, 60, 90])
    ax.yaxis.set_major_formatter(lambda r, _: f"{r:g}°")
    ax.set_rlabel_position(22.5)
    ax.set_thetagrids(np.arange(0, 360, 45), ["N", "45°", "E", "135°", "S", "225°", "W",
                                              "315°"])
    ax.grid(True, alpha=0.4)
    fig.colorbar(dots, ax=ax, shrink=0.8, pad=0.08,
                 label="Doppler shift (Hz; positive: approaching)")
    if arrow:
        scale = _nice_above(speed * 1.25)
        ax.annotate("", xy=(np.deg2rad(heading), 90.0 * speed / scale), xytext=(0.0, 0.0),
                    arrowprops={"arrowstyle": "-|>", "color": "black", "linewidth": 2,
                                "mutation_scale": 20}, zorder=4)
        ax.legend(handles=[Line2D([], [], color="black", linewidth=2, label=(
            f"drift {speed:.3g} m/s toward {heading:.0f}° (a radius of 90° is "
            f"{scale:g} m/s)"))], loc="upper center", bbox_to_anchor=(0.5, -0.06),
            frameon=False)
    if view.window is None:
        when = f"record {view.records[0]}, {_when(view.time)}"
    else:
        count = len(view.records)
        when = (f"{_when(view.time)} to {_when(end)}, {count} record"
                f"{'s' if count != 1 else ''}")
    ax.set_title(_title(f"{view.name}: {when}\n{len(drawn)} of {len(table)} echoes resolved, "
                        f"{_frequency_text(frequency)}"), pad=24)
    return _finish(fig, data, choices)


def _times_ns(values: Any) -> np.ndarray:
    """Times of a table's column as datetime64[ns]."""
    import pandas as pd

    return pd.to_datetime(values).to_numpy(dtype="datetime64[ns]")
