"""The velocity of each group of echoes: weighted least squares of doppler = x·v (x = -2u/λ),
the weights from the Doppler error and the direction's covariance carried through v·u, echoes
far off the fit clipped, and the horizontal shrinkage that noisy directions cause undone.

All groups are fitted at once: per-group sums by numpy.bincount, 3 × 3 systems as stacks."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional, Tuple

import numpy as np

LEAST_ECHOES = 4  # a velocity needs four echoes at the least
# The directions determine all three components when they spread at least this far about
# every axis: the smallest eigenvalue of the mean of u·uᵀ over the echoes is at least
# sin²(MIN_SPREAD_DEGREES). Echoes from a narrower cone (or a thinner fan) leave a component
# to the Doppler shifts' rounding to whole lines: at 3° a velocity is still good to a few m/s
# from a few dozen echoes (λ · half a line spacing / (2 · sin 3° · √n)), at 0.3° (one echo
# seen in a row of lines) it would be off by hundreds.
MIN_SPREAD_DEGREES = 3.0
# Where the directions do not spread that far, v_up alone is given when not knowing the
# horizontal components leaves its variance at most this many times what it would be with
# them known (echoes about the zenith: near 1; a narrow cone away from it: far more).
UP_INFLATION = 4.0
MAD_SCALE = 1.482602218505602  # the MAD of a normal distribution times this is its sigma
L1_ROUNDS = 8  # reweighted rounds of the least absolute deviations that start the fit
ROUNDS = 30  # rounds at most of weights and clipping
SMALLEST_ERROR_HZ = 1e-9  # Doppler errors below this count as this (exact tables)
PAIRS = ((0, 0), (0, 1), (0, 2), (1, 1), (1, 2), (2, 2))  # a symmetric 3 × 3's own entries
SMALLEST_UP = 1e-3  # the up cosine in ∂u/∂(east, north), near the horizon


@dataclass(frozen=True)
class Echoes:
    """What the fit needs of the echoes taken, one entry per echo."""

    design: np.ndarray  # (n, 3): -2u/λ, 1/m
    doppler: np.ndarray  # (n,) Hz
    group: np.ndarray  # (n,) group number from 0
    count: int  # groups
    doppler_variance: Optional[np.ndarray]  # (n,) Hz², None: not given
    design_covariance: Optional[np.ndarray]  # (n, 6) covariance of the design row (PAIRS)


@dataclass(frozen=True)
class Velocities:
    """One entry per group; NaN where a velocity (or a component) is not determined."""

    velocity: np.ndarray  # (groups, 3) m/s
    covariance: np.ndarray  # (groups, 3, 3) (m/s)²
    residual: np.ndarray  # RMS Doppler residual of the echoes kept, Hz
    reduced_chi2: np.ndarray  # χ² of the echoes kept over their degrees of freedom
    kept: np.ndarray  # echoes the velocity rests on
    rejected: np.ndarray  # echoes clipped as outliers


def design_covariance(east: np.ndarray, north: np.ndarray, wavelength: np.ndarray,
                      covariance: np.ndarray) -> np.ndarray:
    """The covariance of x = -2u/λ from that of (east, north): J C Jᵀ, J = ∂x/∂(east, north),
    u = (east, north, sqrt(1 - east² - north²)); its PAIRS entries, one row per echo."""
    up = np.maximum(np.sqrt(np.maximum(0.0, 1.0 - east * east - north * north)), SMALLEST_UP)
    jac = np.zeros((len(east), 3, 2))
    jac[:, 0, 0] = jac[:, 1, 1] = 1.0
    jac[:, 2, 0], jac[:, 2, 1] = -east / up, -north / up
    jac *= (-2.0 / wavelength)[:, None, None]
    full = np.einsum("nij,njk,nlk->nil", jac, covariance, jac)
    return np.stack([full[:, i, j] for i, j in PAIRS], axis=1)


def _sums(group: np.ndarray, count: int, values: np.ndarray) -> np.ndarray:
    """Per group, the sum of values (n, k) over its echoes: (count, k)."""
    if not len(values):
        return np.zeros((count, values.shape[1]))
    return np.stack([np.bincount(group, values[:, k], minlength=count)
                     for k in range(values.shape[1])], axis=1)


def _symmetric(group: np.ndarray, count: int, entries: np.ndarray) -> np.ndarray:
    """Per group, the sum of symmetric 3 × 3 matrices given by their PAIRS entries (n, 6)."""
    sums = _sums(group, count, entries)
    out = np.empty((count, 3, 3))
    for k, (i, j) in enumerate(PAIRS):
        out[:, i, j] = out[:, j, i] = sums[:, k]
    return out


def _outer(x: np.ndarray, weight: np.ndarray) -> np.ndarray:
    """The PAIRS entries of w·x·xᵀ, one row per echo."""
    return np.stack([weight * x[:, i] * x[:, j] for i, j in PAIRS], axis=1)


def _eigenvalues(m: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """The smallest and largest eigenvalue of symmetric 3 × 3 matrices, in closed form."""
    q = np.trace(m, axis1=1, axis2=2) / 3.0
    off = m[:, 0, 1] ** 2 + m[:, 0, 2] ** 2 + m[:, 1, 2] ** 2
    p = np.sqrt(np.maximum(((m[:, 0, 0] - q) ** 2 + (m[:, 1, 1] - q) ** 2
                            + (m[:, 2, 2] - q) ** 2 + 2.0 * off) / 6.0, 0.0))
    shifted = (m - q[:, None, None] * np.eye(3)) / np.where(p > 0, p, 1.0)[:, None, None]
    angle = np.arccos(np.clip(np.linalg.det(shifted) / 2.0, -1.0, 1.0)) / 3.0
    return q + 2.0 * p * np.cos(angle + 2.0 * np.pi / 3.0), q + 2.0 * p * np.cos(angle)


def _inverse(m: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Inverses of symmetric 3 × 3 matrices and whether each is positive definite (its
    eigenvalues above 1e-12 of the largest); NaN where not."""
    m = np.nan_to_num(m)
    least, most = _eigenvalues(m)
    good = least > 1e-12 * np.maximum(most, 0.0)
    adjugate = np.empty_like(m)
    for i in range(3):
        for j in range(3):
            r, c = [k for k in range(3) if k != j], [k for k in range(3) if k != i]
            adjugate[:, i, j] = (-1) ** (i + j) * (m[:, r[0], c[0]] * m[:, r[1], c[1]]
                                                   - m[:, r[0], c[1]] * m[:, r[1], c[0]])
    det = np.einsum("gj,gj->g", m[:, 0, :], adjugate[:, :, 0])
    with np.errstate(divide="ignore", invalid="ignore"):
        inverse = adjugate / det[:, None, None]
    inverse[~good] = np.nan
    return inverse, good


def _median(values: np.ndarray, group: np.ndarray, count: int) -> np.ndarray:
    """Per group, the median of values (NaN for a group without any)."""
    order = np.lexsort((values, group))
    size = np.bincount(group, minlength=count)
    start = np.concatenate(([0], np.cumsum(size)[:-1]))
    low = np.minimum(start + (size - 1) // 2, max(len(values) - 1, 0))
    high = np.minimum(start + size // 2, max(len(values) - 1, 0))
    ordered = values[order]
    out = np.full(count, np.nan)
    has = size > 0
    out[has] = 0.5 * (ordered[low[has]] + ordered[high[has]])
    return out


def _subset(e: Echoes, groups: np.ndarray) -> Tuple[Echoes, np.ndarray]:
    """The echoes of the groups given alone, the groups numbered anew from 0 in their order;
    and which echoes they are."""
    number = np.full(e.count, -1)
    number[groups] = np.arange(len(groups))
    rows = number[e.group] >= 0
    return Echoes(e.design[rows], e.doppler[rows], number[e.group[rows]], len(groups),
                  None if e.doppler_variance is None else e.doppler_variance[rows],
                  None if e.design_covariance is None else e.design_covariance[rows]), rows


def _variance(e: Echoes, weighted: bool, v: np.ndarray) -> np.ndarray:
    """σ² of each echo's Doppler shift at velocities v of the groups (1 unweighted)."""
    if not weighted:
        return np.ones(len(e.doppler))
    var = (np.zeros(len(e.doppler)) if e.doppler_variance is None else
           e.doppler_variance.copy())
    if e.design_covariance is not None:
        at, c = v[e.group], e.design_covariance
        for k, (i, j) in enumerate(PAIRS):
            var += (1.0 if i == j else 2.0) * at[:, i] * at[:, j] * c[:, k]
    return np.maximum(var, SMALLEST_ERROR_HZ ** 2)


def _misfit(e: Echoes, v: np.ndarray) -> np.ndarray:
    return e.doppler - np.einsum("ni,ni->n", e.design, v[e.group])


def fit(e: Echoes, clip: Optional[float]) -> Velocities:
    """Per group: least absolute deviations to start, then rounds of weighted least squares
    with weights 1/σ² (σ² the Doppler variance plus x's covariance carried through v) and
    echoes beyond clip times the group's MAD scale of the residuals over σ left out (where
    σ is stated), until neither changes; see vexo.drift."""
    # Groups whose directions do not tell the components apart run off to huge velocities on
    # the way; drift reports them by their spread, not by numpy's warnings.
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        return _fit(e, clip)


def _fit(e: Echoes, clip: Optional[float]) -> Velocities:
    count = e.count
    weighted = e.doppler_variance is not None or e.design_covariance is not None
    velocity = np.zeros((count, 3))
    keep = np.ones(len(e.doppler), dtype=bool)

    # least absolute deviations of r/σ, by reweighting: a start that outliers barely move
    var = _variance(e, weighted, velocity)
    for _ in range(L1_ROUNDS):
        weight = 1.0 / (var * np.maximum(np.abs(_misfit(e, velocity)) / np.sqrt(var), 1e-6))
        normal = _symmetric(e.group, count, _outer(e.design, weight))
        right = _sums(e.group, count, (weight * e.doppler)[:, None] * e.design)
        inverse, good = _inverse(normal)
        velocity = np.where(good[:, None], np.einsum("gij,gj->gi", np.nan_to_num(inverse),
                                                     right), 0.0)

    # Without stated errors the residuals are on no common scale: nothing is clipped.
    clip = clip if weighted else None
    active = np.arange(count)  # groups not settled yet
    for _ in range(ROUNDS):
        part, rows = _subset(e, active)
        at = velocity[active]
        var = _variance(part, weighted, at)
        z = np.abs(_misfit(part, at)) / np.sqrt(var)
        was = keep[rows]
        now = was
        if clip is not None:
            # the scale of the echoes kept so far (all, at first)
            scale = np.maximum(MAD_SCALE * _median(z[was], part.group[was], part.count),
                               1.0)  # never below the stated errors
            now = z <= clip * scale[part.group]
        new = np.nan_to_num(_solve(part, now, var)[0])
        changed = np.bincount(part.group, now != was, minlength=part.count) > 0
        changed |= ~np.isclose(new, at, rtol=1e-7, atol=1e-6).all(axis=1)  # m/s
        keep[rows] = now
        velocity[active] = new
        active = active[changed]
        if not len(active):
            break
    var = _variance(e, weighted, velocity)
    velocity, covariance, kept = _solve(e, keep, var, final=True)
    residual = np.where(keep, _misfit(e, np.nan_to_num(velocity)), 0.0)
    dof = np.maximum(kept - 3, 1)
    chi2 = np.bincount(e.group, residual ** 2 / var, minlength=count) / dof
    rss = np.bincount(e.group, residual ** 2, minlength=count)
    # the errors: as stated, grown where the scatter says they are too small; unweighted,
    # from the scatter alone
    factor = np.maximum(chi2, 1.0) if weighted else rss / dof
    covariance = covariance * factor[:, None, None]
    solved = np.isfinite(velocity[:, 2])
    total = np.bincount(e.group, minlength=count)
    return Velocities(velocity, covariance,
                      np.where(solved, np.sqrt(rss / np.maximum(kept, 1)), np.nan),
                      np.where(solved & weighted, chi2, np.nan),
                      np.where(solved, kept, total), np.where(solved, total - kept, 0))


def _solve(e: Echoes, keep: np.ndarray, var: np.ndarray, final: bool = False
           ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The velocity of each group from the echoes kept: all three components where the
    directions spread (with the shrinkage undone where the directions' covariance is
    known), else v_up alone where it is determined; its covariance (unscaled: from the
    weights) and the echoes kept. Before the last round, the horizontal components of
    v_up alone stay (for the weights)."""
    weight = keep / var
    normal = _symmetric(e.group, e.count, _outer(e.design, weight))
    right = _sums(e.group, e.count, (weight * e.doppler)[:, None] * e.design)
    kept = np.bincount(e.group, keep, minlength=e.count)
    enough = kept >= LEAST_ECHOES
    # the spread: the least eigenvalue of the mean of u·uᵀ over the echoes kept
    unit = e.design / np.linalg.norm(e.design, axis=1)[:, None] if len(e.design) else e.design
    spread = _symmetric(e.group, e.count, _outer(unit, keep.astype(np.float64)))
    least = _eigenvalues(spread / np.maximum(kept, 1)[:, None, None])[0]
    wide = least >= math.sin(math.radians(MIN_SPREAD_DEGREES)) ** 2
    inverse, good = _inverse(normal)
    corrected = normal
    if e.design_covariance is not None:
        corrected = normal - _symmetric(e.group, e.count,
                                        weight[:, None] * e.design_covariance)
    corrected_inverse, corrected_good = _inverse(corrected)
    full = enough & wide & good
    fixed = full & corrected_good  # else the correction is not defined: left as fitted
    use = np.nan_to_num(np.where(fixed[:, None, None], corrected_inverse, inverse))
    velocity = np.einsum("gij,gj->gi", use, right)
    # the corrected estimate's covariance: the sandwich M⁻¹ N M⁻¹
    covariance = np.einsum("gij,gjk,gkl->gil", use, normal, use)
    up = enough & ~wide & good & (inverse[:, 2, 2] * normal[:, 2, 2] <= UP_INFLATION)
    velocity[~(full | up)] = np.nan
    covariance[~(full | up)] = np.nan
    if final:
        velocity[up & ~full, :2] = np.nan
        covariance[up & ~full, :2, :] = np.nan
        covariance[up & ~full, :, :2] = np.nan
    return velocity, covariance, kept
