"""Echoes: the spectral lines that stand out of their subblock, and the direction each comes
from, fitted to the antennas' phases.

After the antenna correction, the phases of one spectral line at the different antennas differ
only by where the echo comes from. A plane wave from the unit vector u = (e, n, sqrt(1 - e² -
n²)) (east, north and up direction cosines) gives antenna j at r_j = (east_j, north_j, 0) the
phase

    φ_j = φ0 + s · 360° · (r_j · u) / λ,    λ = c / (frequency in kHz × 1000),

with s the layout's phase_sign and c = 299792458 m/s. The fit is a least-squares one over
all the antennas of the layout. Where a baseline is longer than half a wavelength the phases
leave whole turns open; they are settled by searching the directions e² + n² ≤ 1 on a grid fine
enough for the longest baseline, and the phases unwrapped against the best grid point are
then fitted by least squares. Where the layout leaves directions that fit alike (shifts of
direction that turn every baseline by whole turns, as antennas spaced by whole multiples of
one another do), each is fitted from there too: the best fit wins, and of equally good ones
the one nearest the zenith.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

import numpy as np

from vexo import _core, _selection
from vexo._errors import DamagedFileWarning
from vexo._file import Source
from vexo._index import ENTRY, FileIndex, antenna_numbers, read_part, record_values
from vexo._layout import Layout, LayoutLike
from vexo._names import shown_name
from vexo._selection import Selection

if TYPE_CHECKING:
    import pandas as pd
    import xarray as xr

SPEED_OF_LIGHT = 299_792_458.0  # m/s
CHUNK_RECORDS = 2048  # records read at a time: 32 MiB of converted values at the most
# Coherences (rows times grid directions) worked out at once in the search: 8 MiB.
SEARCH_CELLS = 1 << 21
# The grid's step in direction cosine, as a share of λ / (longest baseline): from the grid
# point nearest the true direction no baseline's phase is more than 45° off (the nearest point
# lies within step/√2 of it, which turns a baseline B by 360° · B · step / (√2 λ)).
GRID_STEP = 45.0 * math.sqrt(2.0) / 360.0
COARSEST_STEP = 0.25  # the grid is never coarser than this, however short the baselines
# The most directions a search grid holds (512 KiB of float32 a pair of antennas): baselines up
# to about 25 wavelengths (1.3 km at 5600 kHz, 3 km at 2500 kHz). Longer ones are refused.
MOST_GRID = 1 << 16
# A layout tells directions at a wavelength only where its narrowest extent (the standard
# deviation of the antennas' positions across its thinnest direction) turns the phase by at
# least this many degrees from the zenith to the horizon: five phase steps, so that the half
# step that each phase is off moves a direction cosine by no more than about 0.1. Rows at
# shorter extents are not resolved.
LEAST_EXTENT_DEGREES = 5 * 360.0 / 256
BATCH_ROWS = 4096  # rows fitted at a time: their arrays stay in the processor's caches
# Shifts of direction that turn every baseline by whole turns within this share of a turn are
# tried as well: from the grid point nearest them, too, every phase is less than half a turn off.
ALIAS_TURN = 1.0 / 8
TIE = 1e-3  # degrees: fits whose residuals are this close are equally good
REFINEMENTS = 2  # unwrapping and fitting again, each time against the fit before

#: The columns of echo_columns (besides file), in order, with their types and attributes.
COLUMNS: Dict[str, Tuple[Any, str, Optional[str]]] = {
    "record": (np.int64, "record number (from 1)", None),
    "time": (np.dtype("datetime64[ns]"), "time of the record", None),
    "subblock": (np.int16, "number of the subblock in its record (from 0)", None),
    "frequency": (np.float32, "sounding frequency", "kHz"),
    "height": (np.float32, "height", "km"),
    "line": (np.int16, "spectral line (sample index, from 0)", None),
    "doppler": (np.float64, "Doppler shift: (line - sample_count/2) times the line spacing",
                "Hz"),
    "amplitude": (np.float64, "amplitude, the mean over the antennas of the layout", "dB"),
    "east": (np.float64, "east direction cosine of the arrival direction", "1"),
    "north": (np.float64, "north direction cosine of the arrival direction", "1"),
    "zenith": (np.float64, "zenith angle of the arrival direction", "degree"),
    "azimuth": (np.float64, "azimuth of the arrival direction, clockwise from north",
                "degree"),
    "residual": (np.float64, "RMS of the wrapped phase residuals of the fit", "degree"),
    "resolved": (np.bool_, "a direction fits below the residual limit", None),
}


def _wrap(radians: np.ndarray) -> np.ndarray:
    """Angles into [-pi, pi)."""
    return np.mod(radians + np.pi, 2 * np.pi) - np.pi


def _times(values: np.ndarray, matrix: np.ndarray) -> np.ndarray:
    """values @ matrix.T for a small matrix, term by term: a product of matrices this narrow
    costs the threads of a BLAS library more than it gives."""
    out = values[:, :1] * matrix[:, 0]
    for i in range(1, matrix.shape[1]):
        out += values[:, i:i + 1] * matrix[:, i]
    return out


class BaselinesTooLong(ValueError):
    """The layout's baselines are too many wavelengths long for the search of directions."""


@dataclass(frozen=True)
class _Grid:
    """What the fit needs at one wavelength."""

    east: np.ndarray  # the directions searched
    north: np.ndarray
    leads: np.ndarray  # cos and sin of each pair's lead from each direction, (2 pairs) x grid
    step: float
    aliases: np.ndarray  # (shifts, 2): shifts of direction that turn every baseline by turns


class DirectionFit:
    """Arrival directions fitted to the phases of the layout's antennas (see the module).

    One per layout; it keeps what it works out for each wavelength it meets.

    Parameters
    ----------
    layout : Layout
    """

    def __init__(self, layout: Layout) -> None:
        self.layout = layout
        east = layout.east - layout.east.mean()
        north = layout.north - layout.north.mean()  # φ0 is the phase at the middle
        self._east, self._north = east, north
        self._design = np.stack([np.ones_like(east), east, north], axis=1)  # antennas x 3
        self._solve = np.linalg.pinv(self._design)  # 3 x antennas
        self._pairs = np.triu_indices(len(east), 1)
        self._grids: Dict[float, _Grid] = {}
        #: The layout's narrowest extent, m (see LEAST_EXTENT_DEGREES).
        self.extent = math.sqrt(max(0.0, float(np.linalg.eigvalsh(
            np.cov(np.stack([east, north]), bias=True))[0])))

    def resolves(self, wavelength: np.ndarray) -> np.ndarray:
        """Whether the layout tells directions apart at these wavelengths (m)."""
        return 360.0 * self.extent / wavelength >= LEAST_EXTENT_DEGREES

    def _grid(self, wavelength: float) -> _Grid:
        got = self._grids.get(wavelength)
        if got is None:
            step = min(COARSEST_STEP, GRID_STEP * wavelength / self.layout.longest_baseline)
            if math.pi / (step * step) > MOST_GRID:
                raise BaselinesTooLong(
                    f"layout{' ' + self.layout.name if self.layout.name else ''}: a baseline of "
                    f"{self.layout.longest_baseline:.0f} m is "
                    f"{self.layout.longest_baseline / wavelength:.0f} wavelengths at "
                    f"{SPEED_OF_LIGHT / wavelength / 1000:.0f} kHz; the search of directions "
                    f"takes baselines of up to {GRID_STEP * math.sqrt(MOST_GRID / math.pi):.0f}"
                    " wavelengths")
            most = math.ceil(1.0 / step)
            ticks = np.arange(-most, most + 1) * step
            e, n = (a.reshape(-1) for a in np.meshgrid(ticks, ticks))
            inside = e * e + n * n < 1.0
            rim = np.linspace(0.0, 2 * np.pi, math.ceil(2 * np.pi / step), endpoint=False)
            e = np.concatenate([e[inside], np.sin(rim)])  # and the horizon all round
            n = np.concatenate([n[inside], np.cos(rim)])
            k = self.layout.phase_sign * 2 * np.pi / wavelength
            ahead = k * (np.outer(self._east, e) + np.outer(self._north, n))  # antennas x grid
            lead = ahead[self._pairs[0]] - ahead[self._pairs[1]]
            got = _Grid(e, n, np.concatenate([np.cos(lead), np.sin(lead)]).astype(np.float32),
                        step, self._aliases(wavelength, step))
            self._grids[wavelength] = got
        return got

    def _aliases(self, wavelength: float, step: float) -> np.ndarray:
        """The shifts δ (0 < |δ| <= 2) of a direction that turn every baseline by whole turns,
        within ALIAS_TURN: directions the phases tell apart hardly or not at all (antennas
        spaced by whole multiples of one another, for one)."""
        baselines = np.stack([self._east[1:] - self._east[0],
                              self._north[1:] - self._north[0]], axis=1)
        # Every such shift turns two baselines that span the plane by whole turns m1, m2.
        cross = np.abs(np.outer(baselines[:, 0], baselines[:, 1])
                       - np.outer(baselines[:, 1], baselines[:, 0]))
        p, q = np.unravel_index(np.argmax(cross), cross.shape)
        span = baselines[[p, q]]
        reach = [math.ceil(2 * float(np.hypot(*b)) / wavelength) for b in span]
        m1, m2 = np.meshgrid(np.arange(-reach[0], reach[0] + 1),
                             np.arange(-reach[1], reach[1] + 1))
        turns = np.stack([m1.reshape(-1), m2.reshape(-1)], axis=1) * wavelength
        shifts = np.linalg.solve(span, turns.T).T
        near = np.hypot(shifts[:, 0], shifts[:, 1])
        off = baselines @ shifts.T / wavelength
        whole = np.all(np.abs(off - np.round(off)) <= ALIAS_TURN, axis=0)
        keep = whole & (near > step / 2) & (near <= 2.0)
        return shifts[keep]

    def fit(self, phases: np.ndarray, wavelength: np.ndarray
            ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Directions of rows of phases.

        Parameters
        ----------
        phases : numpy.ndarray
            (rows, antennas) in degrees, the antennas in the order of layout.numbers.
        wavelength : numpy.ndarray
            (rows,) in metres.

        Returns
        -------
        east, north, residual : numpy.ndarray
            The direction cosines (e² + n² ≤ 1) and the RMS of the wrapped phase residuals in
            degrees. Where the wavelength is not a positive finite number the phases tell no
            direction: e and n are NaN, and the residual is that of a common phase alone.
        """
        rows = len(phases)
        east = np.full(rows, np.nan)
        north = np.full(rows, np.nan)
        residual = np.full(rows, np.nan)
        if rows == 0:
            return east, north, residual
        radians = np.deg2rad(phases.astype(np.float64))
        telling = np.isfinite(wavelength) & (wavelength > 0)
        if not telling.all():
            rest = radians[~telling]
            common = np.arctan2(np.sin(rest).sum(axis=1), np.cos(rest).sum(axis=1))
            residual[~telling] = np.rad2deg(
                np.sqrt((_wrap(rest - common[:, None]) ** 2).mean(axis=1)))
        values, which = np.unique(wavelength[telling], return_inverse=True)
        at = np.flatnonzero(telling)
        which = which.reshape(-1)
        for i, value in enumerate(values):
            rows_at = at[which == i]
            grid = self._grid(float(value))
            batch = max(1, min(BATCH_ROWS, SEARCH_CELLS // len(grid.east)))
            for start in range(0, len(rows_at), batch):
                some = rows_at[start:start + batch]
                east[some], north[some], residual[some] = self._fit_batch(
                    radians[some], float(value), grid)
        return east, north, residual

    def _fit_batch(self, radians: np.ndarray, wavelength: float, grid: _Grid
                   ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        # The coherence |sum_j exp(i(φ_j - model_j))|² of a direction is the number of
        # antennas plus twice the sum over pairs of cos(lead measured - lead of the direction):
        # a product of real matrices, the sum largest where the coherence is.
        first, second = self._pairs
        measured = (radians[:, first] - radians[:, second]).astype(np.float32)
        pairs = np.concatenate([np.cos(measured), np.sin(measured)], axis=1)
        best = np.argmax(pairs @ grid.leads, axis=1)
        start_e, start_n = grid.east[best], grid.north[best]
        east, north, residual = self._refined(radians, wavelength, start_e, start_n)
        # Directions that fit as well from elsewhere: the best, and of equals the nearest the
        # zenith.
        for shift_e, shift_n in grid.aliases:
            e, n = start_e + shift_e, start_n + shift_n
            inside = np.flatnonzero(np.hypot(e, n) <= 1.0 + grid.step)
            if len(inside) == 0:
                continue
            got_e, got_n, got = self._refined(radians[inside], wavelength, e[inside],
                                              n[inside])
            was = residual[inside]
            nearer = np.hypot(got_e, got_n) < np.hypot(east[inside], north[inside]) - 1e-9
            better = (got < was - TIE) | ((got <= was + TIE) & nearer)
            take = inside[better]
            east[take], north[take], residual[take] = got_e[better], got_n[better], got[better]
        return east, north, residual

    def _refined(self, radians: np.ndarray, wavelength: float, east: np.ndarray,
                 north: np.ndarray) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The least-squares fit from directions near the phases': unwrapped against the
        start, fitted, and again against the fit."""
        k = self.layout.phase_sign * 2 * np.pi / wavelength
        fitted = np.stack([np.zeros(len(east)), k * east, k * north], axis=1)
        rest = radians - _times(fitted, self._design)
        fitted[:, 0] = np.arctan2(np.sin(rest).sum(axis=1), np.cos(rest).sum(axis=1))
        for _ in range(REFINEMENTS):
            model = _times(fitted, self._design)
            fitted = _times(model + _wrap(radians - model), self._solve)
        east, north = fitted[:, 1] / k, fitted[:, 2] / k
        # Beyond the horizon (noise near it): the nearest direction on it, φ0 fitted again.
        beyond = east * east + north * north > 1.0
        if beyond.any():
            scale = 1.0 / np.hypot(east[beyond], north[beyond])
            east[beyond] *= scale
            north[beyond] *= scale
            fitted[beyond, 0] = 0.0
            fitted[beyond, 1] = k * east[beyond]
            fitted[beyond, 2] = k * north[beyond]
            rest = radians[beyond] - _times(fitted[beyond], self._design)
            fitted[beyond, 0] = np.arctan2(np.sin(rest).sum(axis=1), np.cos(rest).sum(axis=1))
        off = _wrap(radians - _times(fitted, self._design))
        return east, north, np.rad2deg(np.sqrt((off ** 2).mean(axis=1)))


def _checked_layout(index: FileIndex, entries: np.ndarray, layout: Layout) -> None:
    """A ValueError naming the file when records lack antennas of the layout."""
    for A in np.unique(entries["A"]).tolist():
        have = antenna_numbers(index.selection, int(A))
        missing = [n for n in layout.numbers if n not in have]
        if missing:
            shape = entries[entries["A"] == A][0]
            some = "antenna" if len(missing) == 1 else "antennas"
            held = ", ".join(map(str, have)) or "none"
            raise ValueError(
                f"{shown_name(index.name)}: record {int(shape['number'])}: no {some} "
                f"{', '.join(map(str, missing))} of the layout (the records of shape "
                f"N={int(shape['N'])} A={int(A)} give antennas {held})")


def _number(name: str, value: Any, positive: bool) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name}: expected a number, not {value!r}")
    real = float(value)
    if not math.isfinite(real) or (positive and real <= 0):
        raise ValueError(f"{name}: {value!r} is not a {'positive ' if positive else ''}"
                         "finite number")
    return real


def _empty(file: Optional[str]) -> Dict[str, np.ndarray]:
    out: Dict[str, np.ndarray] = {} if file is None else {"file": np.empty(0, dtype=object)}
    out.update({name: np.empty(0, dtype=kind) for name, (kind, _, _) in COLUMNS.items()})
    return out


def _part_columns(index: FileIndex, entries: np.ndarray, fit: DirectionFit, reader: Any,
                  threshold_db: float, residual_limit: float) -> Dict[str, np.ndarray]:
    """The echoes of records of one shape."""
    part = read_part(index, entries, reader=reader,
                     kinds=("phase_degrees", "amplitude_db", "subblock_number", "frequency",
                            "height"))
    layout = fit.layout
    used = np.array([part.antennas.index(n) for n in layout.numbers])
    every = len(used) == len(part.antennas) and bool(np.all(used == np.arange(len(used))))
    decibels = part.amplitude_db if every else part.amplitude_db[:, :, used]
    # Sums of steps of 1.5 dB, exact in 32 bits; the mean over the antennas is a sum / len(used).
    total = decibels.sum(axis=2)  # record, place, line
    present = part.subblock_number >= 0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # places left over are NaN
        floor = np.median(total, axis=2)
    strong = (total >= (floor + threshold_db * len(used))[:, :, None]) & present[:, :, None]
    r, w, k = np.nonzero(strong)
    phases = part.phase_degrees[r[:, None], w[:, None], used[None, :], k[:, None]]
    frequency = part.frequency[r, w]
    with np.errstate(divide="ignore"):  # subblocks at 0 kHz: no wavelength, no direction
        wavelength = SPEED_OF_LIGHT / (frequency.astype(np.float64) * 1000.0)
    east, north, residual = fit.fit(phases, wavelength)
    resolved = np.isfinite(east) & (residual < residual_limit) & fit.resolves(wavelength)
    east = np.where(resolved, east, np.nan)
    north = np.where(resolved, north, np.nan)
    zenith = np.rad2deg(np.arcsin(np.minimum(1.0, np.hypot(east, north))))
    azimuth = np.mod(np.rad2deg(np.arctan2(east, north)), 360.0)
    azimuth[azimuth >= 360.0] = 0.0  # -0.0 and the least negative angles
    spacing = entries["line_spacing"].astype(np.float64)
    return {
        "record": entries["number"].astype(np.int64)[r],
        "time": record_values(entries, "time")[r],
        "subblock": part.subblock_number[r, w].astype(np.int16),
        "frequency": frequency.astype(np.float32),
        "height": part.height[r, w].astype(np.float32),
        "line": k.astype(np.int16),
        "doppler": (k - part.sample_count // 2) * spacing[r],
        "amplitude": total[r, w, k].astype(np.float64) / len(used),
        "east": east,
        "north": north,
        "zenith": zenith,
        "azimuth": azimuth,
        "residual": residual,
        "resolved": resolved,
    }


def echo_columns(index: FileIndex, entries: np.ndarray, layout: LayoutLike, *,
                 threshold_db: float = 10.0, residual_limit: float = 20.0,
                 file: Optional[str] = None, reader: Any = None,
                 fit: Optional[DirectionFit] = None) -> Dict[str, np.ndarray]:
    """The echoes of some records of a file, as columns (the work of vexo.echoes on a part).

    Parameters
    ----------
    index : FileIndex
        The file's index.
    entries : numpy.ndarray
        Entries of the index (any shapes, in the file's order); they are read CHUNK_RECORDS
        at a time. Records that take no subblock, or without the antenna correction in force
        (no line spacing, or no rate set yet), give no echo.
    layout : Layout, path or mapping
        The antennas (see vexo.Layout); only these are used.
    threshold_db : float, default 10.0
        A spectral line is an echo where its amplitude (dB, the mean over the layout's
        antennas) is at least this much above the median over the subblock's lines.
    residual_limit : float, default 20.0
        Degrees: a direction whose RMS phase residual is not below it is not resolved.
    file : str, optional
        When given, a first column "file" (object) of this name.
    reader : optional
        A part reader of the index (index.part_reader()) to read with.
    fit : DirectionFit, optional
        The fit of this layout to use (it keeps its search grids from call to call).

    Returns
    -------
    dict of str to numpy.ndarray
        The columns of vexo.echoes, in its order, one row per echo.

    Raises
    ------
    ValueError
        Naming the file, when records lack antennas of the layout, or when the file's bytes
        are no longer what its index says.
    """
    layout = Layout.of(layout)
    threshold_db = _number("threshold_db", threshold_db, positive=False)
    residual_limit = _number("residual_limit", residual_limit, positive=True)
    if fit is None or fit.layout != layout:
        fit = DirectionFit(layout)
    entries = np.ascontiguousarray(entries, dtype=ENTRY)
    entries = entries[entries["taken_subblocks"] > 0]
    _checked_layout(index, entries, layout)
    entries = entries[np.isfinite(entries["line_spacing"]) & np.isfinite(entries["rate"])]
    if reader is None:
        reader = index.part_reader(True)
    got: List[Dict[str, np.ndarray]] = []
    for start in range(0, len(entries), CHUNK_RECORDS):
        block = entries[start:start + CHUNK_RECORDS]
        shape = block["N"].astype(np.int32) * 16 + block["A"]
        for run in np.split(block, np.flatnonzero(np.diff(shape)) + 1):
            try:
                columns = _part_columns(index, run, fit, reader, threshold_db, residual_limit)
            except BaselinesTooLong as e:
                raise ValueError(f"{shown_name(index.name)}: {e}") from None
            if len(columns["record"]):
                got.append(columns)
    out = _empty(None)
    if got:
        for name in COLUMNS:  # a column at a time, the parts' arrays of it let go of at once
            out[name] = np.concatenate([c.pop(name) for c in got])
    if file is not None:
        rows = len(out["record"])
        out = {"file": np.full(rows, shown_name(file), dtype=object), **out}
    return out


def _file_columns(source: Source, layout: LayoutLike, selection: Optional[Selection],
                  keywords: Dict[str, Any], threshold_db: float, residual_limit: float,
                  stacklevel: int) -> Tuple[FileIndex, Layout, Dict[str, np.ndarray]]:
    chosen = Selection.of(selection, **keywords)
    layout = Layout.of(layout)
    index = FileIndex.of(source, chosen)
    if index.damage:
        warnings.warn(f"{index.name}: {index.damage}", DamagedFileWarning,
                      stacklevel=stacklevel + 1)
    columns = echo_columns(index, index.asked(taking=True), layout, threshold_db=threshold_db,
                           residual_limit=residual_limit)
    return index, layout, columns


def echoes(
    source: Source,
    *,
    layout: LayoutLike,
    selection: Optional[Selection] = None,
    threshold_db: float = 10.0,
    residual_limit: float = 20.0,
    frequency: _selection.Values = None,
    height: _selection.Values = None,
    polarization: _selection.Values = None,
    antenna: _selection.Values = None,
    records: Any = None,
) -> "pd.DataFrame":
    """The echoes of a DFT file and the directions they come from, as a table.

    One row per record, subblock and spectral line whose amplitude stands out of its subblock
    (see threshold_db), in the file's order.

    Parameters
    ----------
    source : str, bytes, os.PathLike or binary file object
        The DFT file.
    layout : vexo.Layout, path of a TOML layout, or mapping
        Where the antennas stand and which way their phases turn (see vexo.Layout). Only its
        antennas are used; the records must have all of them.
    selection : vexo.Selection, optional
        What to take of the file; or give its keywords instead.
    threshold_db : float, default 10.0
        A spectral line is an echo where its amplitude (dB, the mean over the layout's
        antennas) is at least this much above the subblock's median (over its lines) of that
        mean.
    residual_limit : float, default 20.0
        Degrees. Where no direction fits with an RMS phase residual below it, the echo is not
        resolved: its direction is NaN and its residual the best one found.
    frequency, height, polarization, antenna, records
        The keywords of vexo.Selection, as vexo.read takes them.

    Returns
    -------
    pandas.DataFrame
        Columns record (from 1), time (datetime64[ns], NaT where the header gives none),
        subblock (in its record, from 0), frequency (kHz), height (km), line (from 0),
        doppler (Hz), amplitude (dB), east and north (direction cosines), zenith and azimuth
        (degrees; azimuth clockwise from north, 0 to 360), residual (degrees, RMS of the
        wrapped phase residuals of the fit) and resolved (False where no direction fits below
        residual_limit: east to azimuth are NaN there).

    Raises
    ------
    ValueError
        Naming the file, when the records lack antennas of the layout; for a layout that is
        not one (see vexo.Layout), or a threshold or limit that is not a finite number.
    OSError
        When the file cannot be opened.

    Warns
    -----
    vexo.DamagedFileWarning
        When the file is damaged: the echoes of the records before the damage are given.

    Notes
    -----
    The direction is fitted to the corrected phases (phase_degrees) of the layout's antennas.
    A plane wave from the unit vector u = (east, north, sqrt(1 - east² - north²)) gives
    antenna j at r_j = (east_j, north_j, 0) m the phase φ0 + s·360°·(r_j·u)/λ, with s the
    layout's phase_sign (+1: an antenna further toward the echo has the larger phase) and
    λ = c / (frequency kHz × 1000), c = 299792458 m/s. Whole turns left open by baselines
    longer than half a wavelength are settled by a search of the directions above the
    horizon, then the fit is a least-squares one; a fit that would lie beyond the horizon is
    put on it. Where several directions fit equally well (antennas spaced by whole multiples
    of one another can leave that open), the one nearest the zenith is taken. Records without
    the antenna correction in force (no line spacing, or no rate set yet) give no echo: their
    phases do not tell directions. The Doppler shift is that of the line,
    (line - sample_count // 2) × line spacing, as on the top axis of vexo.plot.spectrum.

    Examples
    --------
    >>> import vexo
    >>> layout = vexo.Layout({1: (0, 0), 2: (40, 0), 3: (-40, 0), 4: (0, -60)})
    >>> table = vexo.echoes("examples/example.dft", layout=layout, frequency=3200)
    >>> list(table.columns[:4])
    ['record', 'time', 'subblock', 'frequency']
    """
    import pandas as pd

    keywords = dict(frequency=frequency, height=height, polarization=polarization,
                    antenna=antenna, records=records)
    _, _, columns = _file_columns(source, layout, selection, keywords, threshold_db,
                                  residual_limit, stacklevel=2)
    return pd.DataFrame(columns, copy=False)  # the columns as they are, not once more


def echoes_dataset(
    source: Source,
    *,
    layout: LayoutLike,
    selection: Optional[Selection] = None,
    threshold_db: float = 10.0,
    residual_limit: float = 20.0,
    frequency: _selection.Values = None,
    height: _selection.Values = None,
    polarization: _selection.Values = None,
    antenna: _selection.Values = None,
    records: Any = None,
) -> "xr.Dataset":
    """The echoes of a DFT file and the directions they come from, as a dataset: the columns
    of vexo.echoes as variables along the dimension echo, each with its long_name and units.

    Parameters
    ----------
    source, layout, selection, threshold_db, residual_limit
        As vexo.echoes takes them.
    frequency, height, polarization, antenna, records
        The keywords of vexo.Selection, as vexo.echoes and vexo.read take them.

    Returns
    -------
    xarray.Dataset
        Dimension echo; the variables of vexo.echoes' columns; attributes source, layout,
        phase_sign, threshold_db, residual_limit, vexo_version and stop.

    Raises
    ------
    ValueError, OSError
        As vexo.echoes raises them; it also warns as vexo.echoes does, and its Notes tell the
        model.

    See Also
    --------
    echoes : the same rows as a pandas.DataFrame.

    Examples
    --------
    >>> import vexo
    >>> ds = vexo.echoes_dataset("examples/example.dft", layout="examples/layout.toml")
    >>> ds.zenith.attrs["units"]
    'degree'
    """
    import xarray as xr

    keywords = dict(frequency=frequency, height=height, polarization=polarization,
                    antenna=antenna, records=records)
    index, layout, columns = _file_columns(source, layout, selection, keywords,
                                           threshold_db, residual_limit, stacklevel=2)
    variables = {}
    for name, (_, long_name, units) in COLUMNS.items():
        described = {"long_name": long_name}
        if units is not None:
            described["units"] = units
        if name == "resolved":
            described["comment"] = (f"False where no direction fits with an RMS phase "
                                    f"residual below {residual_limit:g} degrees")
        variables[name] = ("echo", columns[name], described)
    attrs: Dict[str, Any] = {
        "title": "echoes and their arrival directions",
        "source": index.name,
        "vexo_version": _core.version,
        "layout": repr(layout),
        "phase_sign": layout.phase_sign,
        "threshold_db": float(threshold_db),
        "residual_limit": float(residual_limit),
        "stop": index.stop_text,
        "comment": "phase of antenna j: phi0 + phase_sign * 360 * (r_j . u) / wavelength",
    }
    return xr.Dataset(variables, attrs=attrs)
