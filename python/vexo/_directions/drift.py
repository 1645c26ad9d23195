"""Drift: the velocity that best explains the Doppler shifts of the echoes from their
directions."""

from __future__ import annotations

import math
import numbers
import re
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from vexo._directions.fit import SPEED_OF_LIGHT
from vexo._directions.robust import Echoes, design_covariance, fit

if TYPE_CHECKING:
    import pandas as pd

Window = Union[None, float, "np.timedelta64", Any]  # seconds, numpy or pandas time deltas
Heights = Optional[Sequence[Tuple[float, float]]]
Polarization = Union[None, int, str]  # a polarization, "all" or None (each on its own)

AXES = ("east", "north", "up")
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


def drift(echoes: "pd.DataFrame", *, window: Window = None, heights: Heights = None,
          polarization: Polarization = None, max_doppler: Optional[float] = None,
          max_zenith: Optional[float] = None, clip: Optional[float] = 3.5,
          ordinary: Optional[int] = None) -> "pd.DataFrame":
    """The drift velocity of the echoes: per record or time window, height range and
    polarization, the velocity that best explains their Doppler shifts, with its errors.

    An echo from the unit vector u (toward the echo: east, north and up, sqrt(1 - east² -
    north²)) at wavelength λ = c / (frequency kHz × 1000) moving with velocity v has the
    Doppler shift ``doppler = -2 v·u / λ``: a positive shift is a reflector approaching along
    u (coming down toward the antennas when overhead), a negative one receding.

    Echoes taken: resolved ones (an ambiguous echo counts only where a prior chose its
    direction, as its column resolved says), with a Doppler shift and a frequency above 0 (at
    frequency 0 or NaN there is no wavelength to turn a shift into a velocity), within the
    quality limits (heights, max_doppler, max_zenith) and of the polarization asked for.
    Echoes of two polarizations are never fitted together unless polarization="all".

    The fit: weighted least squares, each echo weighted by 1/σ², σ² = doppler_error² +
    (2/λ)² gᵀCg, C the covariance of (east, north) from east_error, north_error and
    east_north_correlation, g = ∂(v·u)/∂(east, north) = (v_east - v_up·east/up, v_north -
    v_up·north/up): the weights need v, so weights and fit are iterated from a start by least
    absolute deviations. Outliers (interference, echoes of something else) are clipped: an
    echo whose residual over σ exceeds clip times the group's scale (1.4826 times the median
    absolute residual over σ of the echoes kept so far, never below 1: the stated errors)
    is left out, and the rounds go on until the echoes kept no longer change. The errors
    are those the weights give, grown by sqrt(reduced_chi2) where the echoes scatter more
    than their errors say.

    Noisy directions shrink the horizontal components (errors in the variables): fitted
    with directions off by σ_e (direction cosine) about each axis, a component comes out
    times about ⟨e²⟩ / (⟨e²⟩ + σ_e²), ⟨e²⟩ the mean square of the echoes' cosine along it:
    -4 % for echoes within 30° of the zenith (⟨e²⟩ ≈ 0.064) at σ_e = 0.05 (3°), -16 % at
    0.11. Where the directions' covariance is given this is undone: the normal matrix less
    Σ w·Cov(-2u/λ) (the part the direction noise adds to it on average), the covariance the
    sandwich M⁻¹ N M⁻¹ (left uncorrected where that matrix is not positive definite). The
    up cosine's own bias, -(σ_e² + σ_n²)/(2·up), is left: 0.1 % at 3°.

    Tables without the error columns (vexo.echoes before they were added): every echo
    weighs the same and none is clipped (their residuals are on no common scale), as
    before: plain least squares, the errors from the scatter of the residuals (s²(XᵀX)⁻¹,
    s² their sum of squares over echo_count - 3). Where only doppler_error, or only
    east_error and north_error, are given, the other term is left out of σ². Echoes whose
    errors are NaN or negative are left out.

    Parameters
    ----------
    echoes : pandas.DataFrame
        As vexo.echoes gives it: columns record, time, frequency, height, doppler, east,
        north and resolved; used where present: doppler_error, east_error, north_error,
        east_north_correlation and polarization; with a column file, as the archive's tables
        have it, the records of each file are kept apart. Times with a zone (the archive's,
        in UTC) are taken as their instants in UTC.
    window : float, numpy.timedelta64 or pandas.Timedelta, optional
        None: one velocity per record. Else the length of time windows (seconds when a
        number), aligned on whole multiples of it since 1970-01-01; echoes without a time
        are left out then.
    heights : sequence of (float, float), optional
        Height ranges in km, from low to high, both included (an echo can count in more than
        one). None: every height at once.
    polarization : int or "all", optional
        None: each polarization of the table on rows of its own. A number: that polarization
        alone. "all": every polarization fitted together (output polarization -1).
    max_doppler : float, optional
        Echoes whose Doppler shift is larger than this (Hz, either way) are left out. None:
        no limit.
    max_zenith : float, optional
        Echoes farther than this from the zenith (degrees) are left out. None: no limit.
    clip : float or None, default 3.5
        Outliers: residuals beyond this many times the scale are left out; None keeps all
        (tables without errors: none is clipped).
    ordinary : int, optional
        The polarization number of the ordinary (O) magneto-ionic mode at this station: the
        output gains a column magnetoionic_mode, "O" for it and "X" for the other
        polarizations ("" for rows that mix them). None: no such column (vexo cannot tell
        the modes apart itself).

    Returns
    -------
    pandas.DataFrame
        One row per record (or window), height range and polarization that holds an echo
        taken, in order of time (or record), range and polarization: record (or start and
        end of the window, datetime64[ns]), time (the mean time of the echoes), height_low
        and height_high (km; without heights, the lowest and highest height of the echoes
        used), polarization (int8; -1 where the table has none or "all" mixed them), v_east,
        v_north and v_up (m/s), v_east_error, v_north_error, v_up_error (m/s, 1 sigma),
        east_north_correlation, east_up_correlation, north_up_correlation, residual (Hz, the
        RMS of the Doppler shifts less those of the fit), reduced_chi2 (the weighted
        residuals' χ² over echo_count - 3; NaN without errors), echo_count (the echoes the
        velocity rests on) and rejected_count (those clipped). With fewer than four echoes
        the velocity is NaN. Directions that spread less than MIN_SPREAD_DEGREES (3°) about
        some axis do not determine all three components: then v_up alone is given (v_east,
        v_north NaN) where the echoes lie about the zenith so that not knowing the
        horizontal components leaves v_up's variance at most UP_INFLATION (4) times what it
        would be, else all are NaN.

    Raises
    ------
    ValueError
        When a column is missing, for a window that is not a positive time, height ranges
        that are not ranges, limits that are not positive, or a polarization the table has
        no column for.
    TypeError
        For echoes that are not a pandas.DataFrame, or a window, heights, polarization or
        limit of another kind.

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
    largest_shift = _limit("max_doppler", max_doppler, math.inf)
    largest_zenith = float(_limit("max_zenith", max_zenith, 90.0) or 90.0)
    clip = _limit("clip", clip, None)
    by_file = "file" in echoes.columns

    if not pd.api.types.is_bool_dtype(echoes["resolved"]):
        raise TypeError(f"echoes: column resolved holds {echoes['resolved'].dtype}, not bools")
    _check_directions(echoes)
    if ordinary is not None and (isinstance(ordinary, bool)
                                 or not isinstance(ordinary, numbers.Integral)):
        raise TypeError(f"ordinary: expected a polarization number or None, not {ordinary!r}")
    kinds, picked = _polarizations(echoes, polarization)
    doppler_variance, direction_covariance, stated = _errors(echoes)
    frequency = echoes["frequency"].to_numpy(dtype=np.float64)
    doppler = echoes["doppler"].to_numpy(dtype=np.float64)
    east = echoes["east"].to_numpy(dtype=np.float64)
    north = echoes["north"].to_numpy(dtype=np.float64)
    with np.errstate(invalid="ignore"):
        used = (echoes["resolved"].to_numpy(dtype=bool) & np.isfinite(doppler)
                & np.isfinite(frequency) & (frequency > 0) & picked & stated
                & (np.abs(doppler) <= largest_shift)
                & (east * east + north * north
                   <= math.sin(math.radians(largest_zenith)) ** 2 + 1e-12))
    times = _naive_times(echoes["time"])
    if width is not None:
        used &= ~np.isnat(times)
    table = echoes[used]
    times = times[used]
    height = table["height"].to_numpy(dtype=np.float64)
    east, north, doppler = east[used], north[used], doppler[used]
    up = np.sqrt(np.maximum(0.0, 1.0 - east * east - north * north))
    wavelength = SPEED_OF_LIGHT / (frequency[used] * 1000.0)
    design = -2.0 * np.stack([east, north, up], axis=1) / wavelength[:, None]  # echoes x 3

    frame, echo, band, group = _groups(table, times, height, width, ranges, by_file,
                                       None if kinds is None else kinds[used])
    count = int(group.max()) + 1 if len(group) else 0
    covariance = None if direction_covariance is None else design_covariance(
        east, north, wavelength, direction_covariance[used])
    fitted = fit(Echoes(design[echo], doppler[echo], group, count,
                        None if doppler_variance is None else doppler_variance[used][echo],
                        None if covariance is None else covariance[echo]), clip)
    out = _group_columns(frame, group, times[echo], height[echo], band, width, ranges)
    out["v_east"], out["v_north"], out["v_up"] = fitted.velocity.T
    variance = np.diagonal(fitted.covariance, axis1=1, axis2=2)
    with np.errstate(invalid="ignore"):
        error = np.sqrt(variance)
        for name, i in (("east", 0), ("north", 1), ("up", 2)):
            out[f"v_{name}_error"] = error[:, i]
        for a, b in ((0, 1), (0, 2), (1, 2)):
            out[f"{AXES[a]}_{AXES[b]}_correlation"] = (fitted.covariance[:, a, b]
                                                       / (error[:, a] * error[:, b]))
    out["residual"] = fitted.residual
    out["reduced_chi2"] = fitted.reduced_chi2
    out["echo_count"] = fitted.kept.astype(np.int64)
    out["rejected_count"] = fitted.rejected.astype(np.int64)
    if ordinary is not None:
        kind = out["polarization"]
        out["magnetoionic_mode"] = np.where(kind < 0, "", np.where(kind == ordinary, "O", "X"))
    return pd.DataFrame(out)


def _limit(name: str, value: Optional[float], none: Optional[float]) -> Optional[float]:
    """A limit given as a positive number (at most 90 for max_zenith), or None for `none`."""
    if value is None:
        return none
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name}: expected a number or None, not {value!r}")
    top = 90.0 if name == "max_zenith" else math.inf
    if not (0 < float(value) <= top):
        raise ValueError(f"{name}: {value!r} is not a number above 0"
                         + (" and at most 90" if top == 90.0 else ""))
    return float(value)


def _polarizations(echoes: "pd.DataFrame", polarization: Polarization
                   ) -> Tuple[Optional[np.ndarray], np.ndarray]:
    """The polarization of each echo as a key to keep them apart (None: one group for all)
    and which echoes are of the polarization asked for."""
    every = np.ones(len(echoes), dtype=bool)
    if polarization is not None and not (
            polarization == "all" if isinstance(polarization, str) else
            isinstance(polarization, numbers.Integral) and not isinstance(polarization, bool)):
        raise TypeError(f"polarization: expected a whole number, 'all' or None, not "
                        f"{polarization!r}")
    if "polarization" not in echoes.columns:
        if polarization is not None and polarization != "all":
            raise ValueError(f"polarization: {polarization!r} asked for, but the echoes have no "
                             f"column polarization")
        return None, every
    if polarization == "all":
        return None, every
    kinds = echoes["polarization"].to_numpy(dtype=np.int64)
    return kinds, every if polarization is None else kinds == int(polarization)


def _errors(echoes: "pd.DataFrame"
            ) -> Tuple[Optional[np.ndarray], Optional[np.ndarray], np.ndarray]:
    """The Doppler variance (Hz²) and covariance of (east, north) of each echo where the
    table gives them (else None), and which echoes have errors that can be used."""
    def column(name: str) -> np.ndarray:
        return echoes[name].to_numpy(dtype=np.float64)

    good = np.ones(len(echoes), dtype=bool)
    variance = covariance = None
    with np.errstate(invalid="ignore"):
        if "doppler_error" in echoes.columns:
            error = column("doppler_error")
            good &= error >= 0
            variance = error * error
        if "east_error" in echoes.columns and "north_error" in echoes.columns:
            se, sn = column("east_error"), column("north_error")
            rho = (column("east_north_correlation") if "east_north_correlation" in
                   echoes.columns else np.zeros(len(echoes)))
            good &= (se >= 0) & (sn >= 0) & (np.abs(rho) <= 1)
            covariance = np.empty((len(echoes), 2, 2))
            covariance[:, 0, 0], covariance[:, 1, 1] = se * se, sn * sn
            covariance[:, 0, 1] = covariance[:, 1, 0] = rho * se * sn
    return variance, covariance, good


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
            ranges: List[Tuple[float, float]], by_file: bool, polarization: Optional[np.ndarray]
            ) -> Tuple["pd.DataFrame", np.ndarray, np.ndarray, np.ndarray]:
    """The group of each echo: (file,) record or window start, height range, then
    polarization (where given: kept apart). Returns
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
    if polarization is not None:
        frame["polarization"] = polarization[echo]
    group = frame.groupby(list(frame.columns), sort=True, dropna=False).ngroup().to_numpy()
    return frame, echo, band, group


def _group_columns(frame: "pd.DataFrame", group: np.ndarray, times: np.ndarray,
                   height: np.ndarray, band: np.ndarray, width: Optional[int],
                   ranges: List[Tuple[float, float]]) -> Dict[str, np.ndarray]:
    """What names each group: (file,) record or window, mean time, height range and
    polarization (-1: the echoes' polarization is not known, or mixed on request); times
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
    out["polarization"] = (frame["polarization"].to_numpy()[first].astype(np.int8)
                           if "polarization" in frame.columns else np.full(count, -1, np.int8))
    return out
