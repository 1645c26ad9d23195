"""The direction fit: the arrival direction of a plane wave fitted to the phases of the
antennas, for many rows at once, by the library (vexo/direction_fit.h) on as many threads as
asked.

A plane wave from the unit vector u = (east, north, up) gives antenna j at r_j = (east_j,
north_j, 0) m the phase φ0 + s·360°·(r_j·u)/λ, s the layout's phase_sign. The fit of a row
searches a grid of directions for the largest coherence, fits by least squares from there and
from every alias shift of it (a shift that turns every baseline by whole turns). With Gaussian
noise of σ on each phase, the squared wrapped residuals of the best fit summed over σ² are χ²
with (antennas - 3) degrees of freedom: each direction that passes that test is a candidate.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional, Protocol, Tuple

import numpy as np

from vexo import _core

SPEED_OF_LIGHT: float = _core.speed_of_light  # m/s

# A layout tells directions at a wavelength only where its narrowest extent (the standard
# deviation of the antennas' positions across its thinnest direction) turns the phase by at
# least this many degrees from the zenith to the horizon: five phase steps, so that the half
# step that each phase is off moves a direction cosine by no more than about 0.1. Rows at
# shorter extents are not resolved.
LEAST_EXTENT_DEGREES = 5 * 360.0 / 256


def chi2_probability(chi2: np.ndarray, dof: int) -> np.ndarray:
    """The probability that χ² with dof degrees of freedom is at least chi2.

    Parameters
    ----------
    chi2 : numpy.ndarray
        Values of χ² (NaN stays NaN; values below 0 count as 0).
    dof : int
        Degrees of freedom, 0 or more (with none nothing is tested: the probability is 1).

    Returns
    -------
    numpy.ndarray
        P(χ²_dof >= chi2), of chi2's shape: for an even dof e^(-x/2) Σ_(i<dof/2) (x/2)^i / i!,
        for an odd one erfc(√(x/2)) + √(2x/π) e^(-x/2) Σ_(1<=i<=(dof-1)/2) x^(i-1) /
        (1·3·…·(2i-1)).

    Examples
    --------
    >>> from vexo._directions.fit import chi2_probability
    >>> import numpy as np
    >>> chi2_probability(np.array([3.8415, 0.0]), 1).round(4)
    array([0.05, 1.  ])
    """
    if isinstance(dof, bool) or int(dof) != dof or dof < 0:
        raise ValueError(f"degrees of freedom: expected a whole number >= 0, not {dof!r}")
    values = np.asarray(chi2, dtype=np.float64)
    flat = np.ascontiguousarray(values.reshape(-1))
    return np.asarray(_core.chi2_probability(flat, int(dof))).reshape(values.shape)


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
    def name(self) -> Optional[str]:
        """Where the layout comes from, for messages (None: nowhere to name)."""


class BaselinesTooLong(ValueError):
    """The layout's baselines are too many wavelengths long for the search of directions."""


@dataclass(frozen=True)
class Fitted:
    """The fit of rows of phases (DirectionFit.fit_rows): arrays of one entry per row.

    Attributes
    ----------
    east, north, residual : numpy.ndarray
        The best direction (least χ²; near the horizon held to e² + n² <= 1 by least
        squares), NaN where the wavelength is not positive finite; the RMS of its wrapped
        phase residuals (degrees). chi2 sums their squares over sigma², probability is
        chi2_probability(chi2, dof) and dof the antennas less 3; candidates (int16) counts
        the distinct directions that pass the test, ambiguous is candidates > 1, zenith_choice
        the candidate nearest the zenith (east, north with fewer than 2); covariance (rows, 2,
        2) of (east, north) is (σ / k)² M⁻¹, σ in radians, k = 2π/λ, M = Σ r rᵀ over the
        positions about their middle. NaN without a direction or a positive finite sigma.
    """

    east: np.ndarray
    north: np.ndarray
    residual: np.ndarray
    chi2: np.ndarray
    dof: int
    probability: np.ndarray
    candidates: np.ndarray
    ambiguous: np.ndarray
    zenith_choice_east: np.ndarray
    zenith_choice_north: np.ndarray
    covariance: np.ndarray


def _rows(phases: np.ndarray, *columns: np.ndarray) -> Tuple[np.ndarray, ...]:
    """The arrays as the library takes them: C-contiguous float64, one entry a row."""
    table = np.ascontiguousarray(phases, dtype=np.float64)
    if table.ndim != 2:
        raise ValueError(f"phases: expected (rows, antennas), not the shape {table.shape}")
    out = [np.ascontiguousarray(np.broadcast_to(np.asarray(c, dtype=np.float64),
                                                (len(table),))) for c in columns]
    return (table, *out)


class DirectionFit:
    """Arrival directions fitted to the phases of the layout's antennas (see the module).

    One per layout; it keeps the search grid of each wavelength it meets (a bounded amount).

    Parameters
    ----------
    layout : Antennas
        The antennas (a vexo.Layout); the phases of a row are in the order of its positions.
    threads : int, optional
        Threads that share the rows of a call (None: one a core; batches of rows are handed
        out, so a call of few rows runs on one).

    Examples
    --------
    >>> import numpy as np, vexo
    >>> from vexo._directions.fit import DirectionFit, SPEED_OF_LIGHT
    >>> layout = vexo.Layout({1: (0, 0), 2: (40, 0), 3: (-40, 0), 4: (0, -60)})
    >>> lam = SPEED_OF_LIGHT / 3.2e6  # m
    >>> east, north = 0.3, -0.2  # a plane wave from there
    >>> phases = np.mod(360 * (layout.east * east + layout.north * north) / lam, 360)
    >>> e, n, residual = DirectionFit(layout).fit(phases[None, :], np.array([lam]))
    >>> round(float(e[0]), 6), round(float(n[0]), 6)
    (0.3, -0.2)
    """

    def __init__(self, layout: Antennas, threads: Optional[int] = None) -> None:
        self.layout = layout
        self.threads = 0 if threads is None else int(threads)
        east, north = np.asarray(layout.east, np.float64), np.asarray(layout.north, np.float64)
        self._core = _core.DirectionFit(east.tolist(), north.tolist(), int(layout.phase_sign),
                                        layout.name or "")
        #: The layout's narrowest extent, m (see LEAST_EXTENT_DEGREES).
        middle = np.stack([east - east.mean(), north - north.mean()])
        self.extent = math.sqrt(max(0.0, float(np.linalg.eigvalsh(
            np.cov(middle, bias=True))[0])))

    def resolves(self, wavelength: np.ndarray) -> np.ndarray:
        """Whether the layout tells directions apart at these wavelengths (m)."""
        return 360.0 * self.extent / wavelength >= LEAST_EXTENT_DEGREES

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
            direction: e and n are NaN, and the residual is that of a common phase alone. Of
            directions that fit alike the one nearest the zenith (fit_rows tests and counts
            them); a fit beyond the horizon held to it by least squares (as in fit_rows).
        """
        table, lam = _rows(phases, wavelength)
        try:
            east, north, residual = self._core.fit(table, lam, threads=self.threads)
        except _core.BaselinesTooLong as e:
            raise BaselinesTooLong(str(e)) from None
        return np.asarray(east), np.asarray(north), np.asarray(residual)

    def fit_rows(self, phases: np.ndarray, wavelength: np.ndarray, sigma: np.ndarray,
                 significance: float, *, threads: Optional[int] = None) -> Fitted:
        """Directions of rows of phases, tested as plane waves, with their candidates.

        Parameters
        ----------
        phases, wavelength : numpy.ndarray
            As for fit.
        sigma : numpy.ndarray
            (rows,) the noise of one antenna's phase, degrees.
        significance : float
            The probability that the test rejects a plane wave (0 < significance < 1): a
            direction passes when chi2_probability(its χ², dof) >= significance.
        threads : int, optional
            Threads for this call (None: the fit's own).

        Returns
        -------
        Fitted
            The fit from each alias shift of the grid's best direction is a candidate, unless
            it lies within 3 of its 1-sigma errors (and half an alias shift) of a better one.
        """
        if not 0.0 < significance < 1.0:
            raise ValueError(f"significance {significance!r}: expected 0 < significance < 1")
        table, lam, noise = _rows(phases, wavelength, sigma)
        try:
            got = self._core.fit_rows(table, lam, noise, float(significance),
                                      threads=self.threads if threads is None else threads)
        except _core.BaselinesTooLong as e:
            raise BaselinesTooLong(str(e)) from None
        got = {name: np.asarray(values) for name, values in got.items()}
        return Fitted(dof=self._core.dof, ambiguous=got["candidates"] > 1, **got)
