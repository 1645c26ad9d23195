"""Drift: the velocity that best explains the Doppler shifts of the echoes from their
directions."""

from __future__ import annotations

import math
import numbers
import re
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from vexo._directions.fit import SPEED_OF_LIGHT

if TYPE_CHECKING:
    import pandas as pd

Window = Union[None, float, "np.timedelta64", Any]  # seconds, numpy or pandas time deltas
Heights = Optional[Sequence[Tuple[float, float]]]

LEAST_ECHOES = 4  # a velocity needs four echoes at the least
# The directions determine all three components when they spread at least this far about
# every axis: the smallest eigenvalue of the mean of u·uᵀ over the echoes is at least
# sin²(MIN_SPREAD_DEGREES). Echoes from a narrower cone (or a thinner fan) leave a component
# to the Doppler shifts' rounding to whole lines: at 3° a velocity is still good to a few m/s
# from a few dozen echoes (λ · half a line spacing / (2 · sin 3° · √n)), at 0.3° (one echo
# seen in a row of lines) it would be off by hundreds.
MIN_SPREAD_DEGREES = 3.0
NEEDED = ("record", "time", "frequency", "height", "doppler", "east", "north", "resolved")


LONGEST_WINDOW_NS = 100 * 366 * 86400 * 10**9  # a hundred years: far inside 64 bits
WINDOWS = "from 1 ns to a hundred years"  # the windows taken, as messages say it


def window_ns(window: Window) -> Optional[int]:
    """A window's length in whole nanoseconds, 1 ns to a hundred years."""
    width = _window_length_ns(window)
    if width is not None and not 1 <= width <= LONGEST_WINDOW_NS:
        raise ValueError(f"window: {window!r} is not {WINDOWS}")
    return width


def _window_length_ns(window: Window) -> Optional[int]:
    if window is None:
        return None
    if isinstance(window, bool):
        raise TypeError(f"window: expected seconds or a time delta, not {window!r}")
    if isinstance(window, numbers.Real) and not isinstance(window, np.timedelta64):
        seconds = float(window)
        if not (math.isfinite(seconds) and seconds > 0):
            raise ValueError(f"window: {window!r} is not a positive number of seconds")
        return round(seconds * 1e9) if seconds < 1e10 else LONGEST_WINDOW_NS + 1
    import pandas as pd

    if isinstance(window, str) and re.fullmatch(r"\s*[-+]?[0-9.eE+-]+\s*", window):
        raise ValueError(f"window: {window!r} has no unit: give seconds as a number, or a "
                         f"time delta such as '60s'")
    try:
        delta = pd.Timedelta(window)
    except (TypeError, ValueError):
        raise TypeError(f"window: expected seconds or a time delta, not {window!r}") from None
    if pd.isna(delta) or delta.value <= 0:
        raise ValueError(f"window: {window!r} is not a positive time")
    return int(delta.value)


def _naive_times(column: "pd.Series") -> np.ndarray:
    """A column of times as datetime64[ns] without a zone (NaT where there is none): times
    with a zone, such as those of an archive's echo rows read back (UTC), as the same instants
    in UTC; times without one as they are."""
    import pandas as pd

    if isinstance(column.dtype, (pd.ArrowDtype, pd.DatetimeTZDtype)):
        times = pd.to_datetime(column)
        if times.dt.tz is not None:
            times = times.dt.tz_convert("UTC").dt.tz_localize(None)
        return times.to_numpy(dtype="datetime64[ns]")
    return column.to_numpy().astype("datetime64[ns]")


def _height_ranges(heights: Heights) -> List[Tuple[float, float]]:
    if heights is None:
        return []
    if isinstance(heights, (str, bytes)) or not hasattr(heights, "__iter__"):
        raise TypeError(f"heights: expected a sequence of (low, high) km, not {heights!r}")
    ranges = []
    for pair in heights:
        try:
            low, high = (float(v) for v in pair)
        except (TypeError, ValueError):
            raise TypeError(f"heights: expected (low, high) pairs of km, not {pair!r}") from None
        if not (math.isfinite(low) and math.isfinite(high) and low <= high):
            raise ValueError(f"heights: {pair!r} is not a range of km from low to high")
        ranges.append((low, high))
    if not ranges:
        raise ValueError("heights: no range given (None takes every height)")
    return ranges


def drift(echoes: "pd.DataFrame", *, window: Window = None,
          heights: Heights = None) -> "pd.DataFrame":
    """The drift velocity of the echoes: per record or time window and per height range, the
    velocity that best explains their Doppler shifts by least squares.

    An echo from the unit vector u (toward the echo: east, north and up, sqrt(1 - east² -
    north²)) at wavelength λ = c / (frequency kHz × 1000) moving with velocity v has the
    Doppler shift ``doppler = -2 v·u / λ``: a positive shift is a reflector approaching along
    u (coming down toward the antennas when overhead), a negative one receding. Only resolved
    echoes with a Doppler shift and a frequency above 0 count (at frequency 0 or NaN there is
    no wavelength to turn a shift into a velocity: those echoes are left out).

    Parameters
    ----------
    echoes : pandas.DataFrame
        As vexo.echoes gives it (columns record, time, frequency, height, doppler, east,
        north and resolved; with a column file, as the archive's tables have it, the records
        of each file are kept apart). Times with a zone (the archive's, in UTC) are taken as
        their instants in UTC.
    window : float, numpy.timedelta64 or pandas.Timedelta, optional
        None: one velocity per record. Else the length of time windows (seconds when a
        number), aligned on whole multiples of it since 1970-01-01; echoes without a time
        are left out then.
    heights : sequence of (float, float), optional
        Height ranges in km, from low to high, both included (an echo can count in more than
        one). None: every height at once.

    Returns
    -------
    pandas.DataFrame
        One row per record (or window) and height range that holds a resolved echo, in
        order of time (or record) and range: record (or start and end of the window,
        datetime64[ns]), time (the mean time of the echoes), height_low and height_high (km;
        without heights, the lowest and highest height of the echoes used), v_east, v_north
        and v_up (m/s), residual (Hz, the RMS of the Doppler shifts less those of the fit)
        and echo_count (the echoes used). With fewer than four echoes, or directions that do
        not determine all three components (spread less than MIN_SPREAD_DEGREES, 3°, about
        some axis: nearly one direction, or nearly one plane), the velocity and residual are
        NaN.

    Raises
    ------
    ValueError
        When a column is missing, for a window that is not a positive time, or height ranges
        that are not ranges.
    TypeError
        For echoes that are not a pandas.DataFrame, or a window or heights of another kind.

    Examples
    --------
    >>> import pandas as pd
    >>> import vexo
    >>> u = [(0.0, 0.0), (0.3, 0.0), (0.0, 0.3), (-0.2, -0.2)]
    >>> table = pd.DataFrame({
    ...     "record": 1, "time": pd.Timestamp("2026-12-08 12:00"), "frequency": 3000.0,
    ...     "height": 100.0, "east": [e for e, _ in u], "north": [n for _, n in u],
    ...     "resolved": True})
    >>> up = (1 - table.east ** 2 - table.north ** 2) ** 0.5
    >>> table["doppler"] = -2 * (10 * table.east + 5 * up) / (299792458 / 3e6)
    >>> v = vexo.drift(table)
    >>> round(float(v.v_east[0]), 6), round(float(v.v_up[0]), 6), int(v.echo_count[0])
    (10.0, 5.0, 4)
    """
    import pandas as pd

    if not isinstance(echoes, pd.DataFrame):
        raise TypeError(f"echoes: expected a pandas.DataFrame (a table of vexo.echoes), not "
                        f"{type(echoes).__name__}")
    lacking = [c for c in NEEDED if c not in echoes.columns]
    if lacking:
        raise ValueError(f"echoes: no column {', '.join(lacking)} (a table of vexo.echoes)")
    width = window_ns(window)
    ranges = _height_ranges(heights)
    by_file = "file" in echoes.columns

    if not pd.api.types.is_bool_dtype(echoes["resolved"]):
        raise TypeError(f"echoes: column resolved holds {echoes['resolved'].dtype}, not bools")
    _check_directions(echoes)
    frequency = echoes["frequency"].to_numpy(dtype=np.float64)
    used = (echoes["resolved"].to_numpy(dtype=bool)
            & np.isfinite(echoes["doppler"].to_numpy(dtype=np.float64))
            & np.isfinite(frequency) & (frequency > 0))
    times = _naive_times(echoes["time"])
    if width is not None:
        used &= ~np.isnat(times)
    table = echoes[used]
    times = times[used]
    height = table["height"].to_numpy(dtype=np.float64)
    east = table["east"].to_numpy(dtype=np.float64)
    north = table["north"].to_numpy(dtype=np.float64)
    up = np.sqrt(np.maximum(0.0, 1.0 - east * east - north * north))
    wavelength = SPEED_OF_LIGHT / (table["frequency"].to_numpy(dtype=np.float64) * 1000.0)
    design = -2.0 * np.stack([east, north, up], axis=1) / wavelength[:, None]  # echoes x 3
    doppler = table["doppler"].to_numpy(dtype=np.float64)

    frame, echo, band, group = _groups(table, times, height, width, ranges, by_file)
    velocity, residual, echo_count = _velocities(design[echo], doppler[echo], group)
    out = _group_columns(frame, group, times[echo], height[echo], band, width, ranges)
    out["v_east"], out["v_north"], out["v_up"] = velocity.T
    out["residual"] = residual
    out["echo_count"] = echo_count.astype(np.int64)
    return pd.DataFrame(out)


def _check_directions(echoes: "pd.DataFrame") -> None:
    """A ValueError naming the first resolved echo whose direction cosines are not those of a
    direction (NaN, or east² + north² above 1)."""
    resolved = echoes["resolved"].to_numpy(dtype=bool)
    east = echoes["east"].to_numpy(dtype=np.float64)
    north = echoes["north"].to_numpy(dtype=np.float64)
    with np.errstate(invalid="ignore"):
        bad = resolved & ~(east * east + north * north <= 1.0 + 1e-9)
    if bad.any():
        i = int(np.flatnonzero(bad)[0])
        raise ValueError(f"echoes: row {i} is resolved, but east {float(east[i])} and north "
                         f"{float(north[i])} are not the cosines of a direction")


def _groups(table: "pd.DataFrame", times: np.ndarray, height: np.ndarray, width: Optional[int],
            ranges: List[Tuple[float, float]], by_file: bool
            ) -> Tuple["pd.DataFrame", np.ndarray, np.ndarray, np.ndarray]:
    """The group of each echo: (file,) record or window start, then height range. Returns
    the keys of the echoes taken (frame), which echo each is (an echo in several height
    ranges is taken once for each), its range and its group (numbered in order of the
    keys)."""
    import pandas as pd

    keys: dict = {}
    if by_file:
        keys["file"] = table["file"].to_numpy()
    if width is None:
        keys["record"] = table["record"].to_numpy(dtype=np.int64)
    else:
        nanoseconds = times.astype(np.int64)
        keys["start"] = (nanoseconds // width) * width
    if ranges:
        echo_at, range_at = [], []
        for i, (low, high) in enumerate(ranges):
            inside = np.flatnonzero((height >= low) & (height <= high))
            echo_at.append(inside)
            range_at.append(np.full(len(inside), i))
        echo = np.concatenate(echo_at) if echo_at else np.empty(0, dtype=np.int64)
        band = np.concatenate(range_at) if range_at else np.empty(0, dtype=np.int64)
    else:
        echo = np.arange(len(table))
        band = np.zeros(len(table), dtype=np.int64)
    frame = pd.DataFrame({name: values[echo] for name, values in keys.items()})
    frame["band"] = band
    group = frame.groupby(list(frame.columns), sort=True, dropna=False).ngroup().to_numpy()
    return frame, echo, band, group


def _velocities(rows: np.ndarray, shifts: np.ndarray, group: np.ndarray
                ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Per group, the velocity that explains the shifts by least squares (rows: the design,
    -2u/λ, of each echo), the RMS residual (Hz) and the echoes; NaN where the group has too
    few echoes or too narrow a spread of directions."""
    count = int(group.max()) + 1 if len(group) else 0
    # Normal equations of each group, solved all at once.
    normal = np.zeros((count, 3, 3))
    right = np.zeros((count, 3))
    for a in range(3):
        right[:, a] = np.bincount(group, rows[:, a] * shifts, minlength=count)
        for b in range(a, 3):
            normal[:, a, b] = normal[:, b, a] = np.bincount(group, rows[:, a] * rows[:, b],
                                                            minlength=count)
    echo_count = np.bincount(group, minlength=count)
    unit = rows / np.linalg.norm(rows, axis=1)[:, None] if len(rows) else rows
    spread = np.zeros((count, 3, 3))
    for a in range(3):
        for b in range(a, 3):
            spread[:, a, b] = spread[:, b, a] = np.bincount(
                group, unit[:, a] * unit[:, b], minlength=count) / np.maximum(echo_count, 1)
    eigen = np.linalg.eigvalsh(spread) if count else np.zeros((0, 3))
    least = math.sin(math.radians(MIN_SPREAD_DEGREES)) ** 2
    solvable = (echo_count >= LEAST_ECHOES) & (eigen[:, 0] >= least)
    velocity = np.full((count, 3), np.nan)
    if solvable.any():
        velocity[solvable] = np.linalg.solve(normal[solvable], right[solvable][:, :, None])[
            :, :, 0]
    misfit = shifts - np.einsum("ij,ij->i", rows, velocity[group]) if count else shifts
    residual = np.sqrt(np.bincount(group, np.nan_to_num(misfit ** 2, nan=0.0),
                                   minlength=count) / np.maximum(echo_count, 1))
    residual[~solvable] = np.nan
    return velocity, residual, echo_count


def _group_columns(frame: "pd.DataFrame", group: np.ndarray, times: np.ndarray,
                   height: np.ndarray, band: np.ndarray, width: Optional[int],
                   ranges: List[Tuple[float, float]]) -> Dict[str, np.ndarray]:
    """What names each group: (file,) record or window, mean time and height range; times
    and height are those of the echoes taken."""
    count = int(group.max()) + 1 if len(group) else 0
    first = np.zeros(count, dtype=np.int64)
    first[group[::-1]] = np.arange(len(group))[::-1]  # each group's first echo
    out: Dict[str, np.ndarray] = {}
    if "file" in frame.columns:
        out["file"] = frame["file"].to_numpy()[first]
    if width is None:
        out["record"] = frame["record"].to_numpy()[first]
    else:
        start = frame["start"].to_numpy()[first]
        out["start"] = start.astype("datetime64[ns]")
        out["end"] = (start + width).astype("datetime64[ns]")
    # the mean time, in nanoseconds from the earliest (exact over months)
    dated = ~np.isnat(times)
    when = times.astype(np.int64)
    earliest = int(when[dated].min()) if dated.any() else 0
    sums = np.bincount(group, np.where(dated, when - earliest, 0).astype(np.float64),
                       minlength=count)
    dated_count = np.bincount(group, dated, minlength=count)
    mean = np.round(sums / np.maximum(dated_count, 1)).astype(np.int64) + earliest
    out["time"] = np.where(dated_count > 0, mean.astype("datetime64[ns]"),
                           np.datetime64("NaT", "ns"))
    if ranges:
        out["height_low"] = np.array([ranges[b][0] for b in band[first]])
        out["height_high"] = np.array([ranges[b][1] for b in band[first]])
    else:
        lowest = np.full(count, np.inf)
        highest = np.full(count, -np.inf)
        np.minimum.at(lowest, group, height)
        np.maximum.at(highest, group, height)
        out["height_low"], out["height_high"] = lowest, highest
    return out
