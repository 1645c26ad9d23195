"""The direction fit: the arrival direction of a plane wave fitted to the phases of the
antennas, for many rows at once. numpy only: no files, no other module of vexo.

A plane wave from the unit vector u = (east, north, up) gives antenna j at r_j = (east_j,
north_j, 0) m the phase φ0 + s·360°·(r_j·u)/λ, s the layout's phase_sign.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Dict, Optional, Protocol, Tuple

import numpy as np

SPEED_OF_LIGHT = 299_792_458.0  # m/s


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


class Antennas(Protocol):
    """What the fit takes of a layout (a vexo.Layout is one)."""

    @property
    def east(self) -> np.ndarray:
        """East positions (m)."""

    @property
    def north(self) -> np.ndarray:
        """North positions (m), in the order of east."""

    @property
    def phase_sign(self) -> int:
        """+1 when the phase grows with r·u, -1 when it falls."""

    @property
    def longest_baseline(self) -> float:
        """The largest distance between two antennas (m)."""

    @property
    def name(self) -> Optional[str]:
        """Where the layout comes from, for messages (None: nowhere to name)."""


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
    layout : Antennas
        The antennas (a vexo.Layout); the phases of a row are in the order of its positions.
    """

    def __init__(self, layout: Antennas) -> None:
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
            (rows, antennas) in degrees, the antennas in the order of the layout's
            positions (layout.numbers for a vexo.Layout).
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
