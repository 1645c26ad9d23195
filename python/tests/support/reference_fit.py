"""The direction fit in numpy, row for row what the library's (vexo._directions.fit) computes:
the reference the tests hold the library's to.

A plane wave from the unit vector u = (east, north, up) gives antenna j at r_j = (east_j,
north_j, 0) m the phase φ0 + s·360°·(r_j·u)/λ, s the layout's phase_sign. With Gaussian
noise of σ on each phase, the squared wrapped residuals of the best fit summed over σ² are χ²
with (antennas - 3) degrees of freedom: each direction that passes that test is a candidate.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Dict, Iterator, Tuple

import numpy as np
from vexo._directions.fit import Antennas, BaselinesTooLong, Fitted

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

CIRCLE_STEPS = 12  # most Newton steps for the fit held to the horizon (8 do for 20:1 layouts)

# Directions whose distances from the zenith differ by less than this are as near (two held to
# the horizon, for one).
NEARER = 1e-9

# Candidates whose mean squared residuals differ by less than this share of the least (and
# EQUAL_SQUARES_FLOOR rad²) fit equally well.
EQUAL_SQUARES = 1e-9
EQUAL_SQUARES_FLOOR = 1e-18

# Candidates are one direction within this many 1-sigma errors and half an alias shift.
SAME_SIGMAS = 3.0


def _wrap(radians: np.ndarray) -> np.ndarray:
    """Angles into [-pi, pi)."""
    return np.mod(radians + np.pi, 2 * np.pi) - np.pi


def _common(radians: np.ndarray) -> np.ndarray:
    """The common phase of rows of phases: the direction of the sum of their unit vectors."""
    return np.arctan2(np.sin(radians).sum(axis=1), np.cos(radians).sum(axis=1))


def chi2_probability(chi2: np.ndarray, dof: int) -> np.ndarray:
    """P(χ²_dof >= chi2), as vexo._directions.fit.chi2_probability gives it."""
    if isinstance(dof, bool) or int(dof) != dof or dof < 0:
        raise ValueError(f"degrees of freedom: expected a whole number >= 0, not {dof!r}")
    x = np.maximum(np.asarray(chi2, dtype=np.float64), 0.0)
    if dof == 0:
        return np.where(np.isnan(x), np.nan, 1.0)
    finite = np.where(np.isinf(x), 0.0, x)  # the sums of terms stay finite; P is 0 there
    if dof % 2 == 0:
        total, term, count = np.zeros_like(x), np.exp(-finite / 2), dof // 2
    else:
        total = np.asarray(np.frompyfunc(math.erfc, 1, 1)(np.sqrt(finite / 2)), np.float64)
        term, count = np.sqrt(2 * finite / math.pi) * np.exp(-finite / 2), (dof - 1) // 2
    for i in range(count):
        total = total + term
        term = term * finite / (2 * i + (2 if dof % 2 == 0 else 3))
    return np.where(np.isinf(x), 0.0, np.minimum(total, 1.0))


def _critical(significance: float, dof: int) -> float:
    """The χ² that a plane wave exceeds with probability significance (by bisection)."""
    low, high = 0.0, 4.0 * dof + 100.0  # beyond it for significances down to 1e-20
    for _ in range(60):
        middle = (low + high) / 2
        passes = float(chi2_probability(np.array([middle]), dof)[0]) > significance
        low, high = (middle, high) if passes else (
            low, middle)
    return high if dof else float(np.finfo(np.float64).max)  # no freedom: no test


def _times(values: np.ndarray, matrix: np.ndarray) -> np.ndarray:
    """values @ matrix.T for a small matrix, term by term: a product of matrices this narrow
    costs the threads of a BLAS library more than it gives."""
    out = values[:, :1] * matrix[:, 0]
    for i in range(1, matrix.shape[1]):
        out += values[:, i:i + 1] * matrix[:, i]
    return out


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
        self._spread = self._design[:, 1:].T @ self._design[:, 1:]  # M: Σ r rᵀ, m²
        self._axes_m, self._axes = np.linalg.eigh(self._spread)  # for the fit on the horizon
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

    def _batches(self, phases: np.ndarray, wavelength: np.ndarray, residual: np.ndarray
                 ) -> Iterator[Tuple[np.ndarray, np.ndarray, float, _Grid]]:
        """Rows of each positive finite wavelength in batches: the rows, their phases (rad),
        the wavelength, its grid; the residual of the others about a common phase alone."""
        radians = np.deg2rad(phases.astype(np.float64))
        telling = np.isfinite(wavelength) & (wavelength > 0)
        if not telling.all():
            rest = radians[~telling]
            off = _wrap(rest - _common(rest)[:, None])
            residual[~telling] = np.rad2deg(np.sqrt((off ** 2).mean(axis=1)))
        values, which = np.unique(wavelength[telling], return_inverse=True)
        at, which = np.flatnonzero(telling), which.reshape(-1)
        for i, value in enumerate(values):
            rows_at, grid = at[which == i], self._grid(float(value))
            batch = max(1, min(BATCH_ROWS, SEARCH_CELLS // len(grid.east)))
            for some in (rows_at[s:s + batch] for s in range(0, len(rows_at), batch)):
                yield some, radians[some], float(value), grid

    def fit(self, phases: np.ndarray, wavelength: np.ndarray
            ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """As vexo._directions.fit.DirectionFit.fit gives them."""
        east, north, residual = (np.full(len(phases), np.nan) for _ in range(3))
        for some, radians, value, grid in self._batches(phases, wavelength, residual):
            e, n, squares = self._candidates(radians, value, grid)
            rms = np.rad2deg(np.sqrt(squares))
            best_e, best_n, best = e[0].copy(), n[0].copy(), rms[0].copy()
            # Directions that fit as well from elsewhere: of equals the nearest the zenith.
            for got_e, got_n, got in zip(e[1:], n[1:], rms[1:]):
                nearer = np.hypot(got_e, got_n) < np.hypot(best_e, best_n) - NEARER
                better = (got < best - TIE) | ((got <= best + TIE) & nearer)
                best_e[better], best_n[better] = got_e[better], got_n[better]
                best[better] = got[better]
            east[some], north[some], residual[some] = best_e, best_n, best
        return east, north, residual

    def fit_rows(self, phases: np.ndarray, wavelength: np.ndarray, sigma: np.ndarray,
                 significance: float) -> Fitted:
        """As vexo._directions.fit.DirectionFit.fit_rows gives them."""
        if not 0.0 < significance < 1.0:
            raise ValueError(f"significance {significance!r}: expected 0 < significance < 1")
        rows, dof = len(phases), len(self._east) - 3
        sigma = np.deg2rad(np.broadcast_to(np.asarray(sigma, dtype=np.float64), (rows,)))
        sigma = np.where(np.isfinite(sigma) & (sigma > 0), sigma, np.nan)
        got = {name: np.full(rows, np.nan) for name in (
            "east", "north", "residual", "chi2", "zenith_choice_east", "zenith_choice_north")}
        candidates, covariance = np.zeros(rows, np.int16), np.full((rows, 2, 2), np.nan)
        critical = _critical(significance, dof)
        for some, radians, value, grid in self._batches(phases, wavelength, got["residual"]):
            e, n, squares = self._candidates(radians, value, grid)
            chi2 = squares * len(self._east) / sigma[some] ** 2
            # Of fits equally good to within the rounding, the nearest the zenith (then the
            # least east, north): exact aliases tie, and no rounding chooses between them.
            least = np.min(squares, axis=0)
            tied = squares - least <= EQUAL_SQUARES * least + EQUAL_SQUARES_FLOOR
            size = np.where(tied, np.hypot(e, n), np.inf)
            best, each = np.lexsort((n, e, size), axis=0)[0], np.arange(len(some))
            got["east"][some], got["north"][some] = e[best, each], n[best, each]
            got["residual"][some] = np.rad2deg(np.sqrt(squares[best, each]))
            got["chi2"][some] = chi2[best, each]
            scale = sigma[some] * value / (2 * np.pi)  # σ / k: radians of phase to cosines
            covariance[some] = scale[:, None, None] ** 2 * np.linalg.inv(self._spread)
            candidates[some], zenith = self._distinct(
                e, n, chi2 <= critical, squares, scale, grid)
            got["zenith_choice_east"][some], got["zenith_choice_north"][some] = np.where(
                candidates[some] > 1, zenith, [got["east"][some], got["north"][some]])
        return Fitted(probability=chi2_probability(got["chi2"], dof), dof=dof,
                      candidates=candidates, ambiguous=candidates > 1, covariance=covariance,
                      **got)

    def _distinct(self, e: np.ndarray, n: np.ndarray, passing: np.ndarray,
                  squares: np.ndarray, scale: np.ndarray, grid: _Grid
                  ) -> Tuple[np.ndarray, np.ndarray]:
        """How many distinct directions of (candidates, rows) pass, and (2, rows) the one
        of them nearest the zenith (NaN where fewer than 2 pass)."""
        count, zenith = passing.sum(axis=0), np.full((2, passing.shape[1]), np.nan)
        some = np.flatnonzero(count > 1)
        # The passing candidates of those rows, best first.
        order = np.argsort(np.where(passing[:, some], squares[:, some], np.inf), axis=0,
                           kind="stable")[:count[some].max(initial=1)]
        e, n = (np.take_along_axis(a[:, some], order, axis=0) for a in (e, n))
        each, valid = np.arange(len(some)), np.arange(len(order))[:, None] < count[some]
        # Whitened (Lᵀu / scale, M = L Lᵀ) as far apart as in 1-sigma errors; within `within` of
        # a better one a candidate is it, never half an alias shift off (d · scale / √m0 at most).
        root = np.linalg.cholesky(self._spread)[:, :, None] / scale[some]
        w0, w1 = root[0, 0] * e + root[1, 0] * n, root[1, 1] * n
        apart = np.hypot(*grid.aliases.T).min() / 2 if len(grid.aliases) else np.inf
        within = np.minimum(SAME_SIGMAS ** 2, apart ** 2 * self._axes_m[0] / scale[some] ** 2)
        kept = valid & (np.arange(len(order)) == 0)[:, None]  # the best is one
        for j in range(1, len(order)):
            d0, d1 = w0[:j] - w0[j], w1[:j] - w1[j]
            kept[j] = valid[j] & ~((d0 * d0 + d1 * d1 < within) & kept[:j]).any(axis=0)
        size = np.hypot(e, n)  # the nearest the zenith, of as near the best (on the horizon)
        near = np.zeros(len(some), dtype=np.intp)
        for j in range(1, len(order)):
            nearer = kept[j] & (size[j] < size[near, each] - NEARER)
            near = np.where(nearer, j, near)
        count[some], zenith[:, some] = kept.sum(axis=0), (e[near, each], n[near, each])
        return count, zenith

    def _candidates(self, radians: np.ndarray, wavelength: float, grid: _Grid
                    ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(1 + aliases, rows) directions and mean squared wrapped residuals (rad²): the fit
        from the grid's best direction, then from each alias shift of it (where that is
        inside the horizon; elsewhere NaN and an infinite residual)."""
        # The coherence |sum_j exp(i(φ_j - model_j))|² of a direction is the number of
        # antennas plus twice the sum over pairs of cos(lead measured - lead of the direction):
        # a product of real matrices, the sum largest where the coherence is.
        first, second = self._pairs
        measured = (radians[:, first] - radians[:, second]).astype(np.float32)
        pairs = np.concatenate([np.cos(measured), np.sin(measured)], axis=1)
        best = np.argmax(pairs @ grid.leads, axis=1)
        start_e, start_n = grid.east[best], grid.north[best]
        east, north, squares = (np.full((1 + len(grid.aliases), len(radians)), value)
                                for value in (np.nan, np.nan, np.inf))
        east[0], north[0], squares[0] = self._refined(radians, wavelength, start_e, start_n)
        for i, (shift_e, shift_n) in enumerate(grid.aliases, 1):
            e, n = start_e + shift_e, start_n + shift_n
            inside = np.flatnonzero(np.hypot(e, n) <= 1.0 + grid.step)
            if len(inside):
                east[i, inside], north[i, inside], squares[i, inside] = self._refined(
                    radians[inside], wavelength, e[inside], n[inside])
        return east, north, squares

    def _refined(self, radians: np.ndarray, wavelength: float, east: np.ndarray,
                 north: np.ndarray) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The least-squares fit from directions near the phases': unwrapped against the
        start, fitted, and again against the fit; held to the horizon. Directions and mean
        squared wrapped residuals (rad²)."""
        k = self.layout.phase_sign * 2 * np.pi / wavelength
        fitted = np.stack([np.zeros(len(east)), k * east, k * north], axis=1)
        fitted[:, 0] = _common(radians - _times(fitted, self._design))
        for _ in range(REFINEMENTS):
            model = _times(fitted, self._design)
            fitted = _times(model + _wrap(radians - model), self._solve)
        fitted[:, 1:] = k * self._held(fitted[:, 1:] / k)  # φ0 stays: r is about the middle
        off = _wrap(radians - _times(fitted, self._design))
        return fitted[:, 1] / k, fitted[:, 2] / k, (off ** 2).mean(axis=1)

    def _held(self, free: np.ndarray) -> np.ndarray:
        """Directions (rows, 2), changed in place, held to e² + n² <= 1 by least squares: one
        beyond the horizon becomes the u on it of least (u - free)ᵀ M (u - free), the rise of
        the squared residuals: u = (M + λ)⁻¹ M free, λ from Newton's steps on 1/|u| - 1."""
        beyond = np.flatnonzero(free[:, 0] ** 2 + free[:, 1] ** 2 > 1.0)
        (m0, m1), along = self._axes_m, free[beyond] @ self._axes  # m0 <= m1
        p0, p1 = along[:, 0] * m0, along[:, 1] * m1
        shift = m0 * (np.hypot(along[:, 0], along[:, 1]) - 1.0)  # the root where m0 = m1, or
        for _ in range(CIRCLE_STEPS):  # below it: Newton's steps climb to it from there
            d0, d1 = m0 + shift, m1 + shift
            u0, u1 = p0 / d0, p1 / d1
            size = u0 * u0 + u1 * u1
            if np.all(np.abs(size - 1.0) < 1e-12):  # (at once without any)
                break
            shift += (np.sqrt(size) - 1.0) * size / (u0 * u0 / d0 + u1 * u1 / d1)
        u = np.stack([u0, u1], axis=1) @ self._axes.T
        free[beyond] = u / np.hypot(u[:, 0], u[:, 1])[:, None]
        return free
