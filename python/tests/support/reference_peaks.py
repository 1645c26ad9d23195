"""The detection of echoes in numpy, row for row what the library's (vexo/echo_peaks.h)
computes: the noise floor away from the echoes, the runs of adjacent lines above it, the
refinement between lines and the phase noise an echo's signal-to-noise ratio gives. The
reference the tests hold the library's to; detect() gives what vexo._directions.peaks.detect
gives."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

#: The floor is this quantile of a subblock's line powers (the mean over the antennas, linear),
#: scaled to the mean noise power: an echo may cover up to three quarters of the lines.
FLOOR_QUANTILE = 0.25

#: The floor is taken again from the lines below the threshold where this many are left.
FEWEST_LINES_LEFT = 4


#: One phase byte is 360/256 degrees; rounding to it adds a uniform error of this variance.
QUANTISATION_VARIANCE = (360.0 / 256) ** 2 / 12  # degree²

#: A phase that is anywhere on the circle (no signal) has this standard deviation, degrees:
#: the phase noise is never taken larger.
UNIFORM_PHASE = 360.0 / math.sqrt(12.0)

#: Amplitudes come in steps of 1.5 dB: the uniform rounding error of one is this relative
#: standard deviation of its linear amplitude (taken whole for the mean over the antennas, as
#: the antennas' roundings need not be independent).
AMPLITUDE_ROUNDING = math.log(10) / 20 * 1.5 / math.sqrt(12)


def floor_scale(antennas: int, quantile: float = FLOOR_QUANTILE) -> float:
    """The `quantile` of the mean of `antennas` noise powers that are exponentially
    distributed with mean 1 (complex Gaussian noise): a Gamma distribution of shape
    `antennas`, its quantile found by bisection of 1 - e^-x Σ_{i<a} x^i / i!."""
    def below(x: float) -> float:
        term, total = 1.0, 1.0
        for i in range(1, antennas):
            term *= x / i
            total += term
        return 1.0 - math.exp(-x) * total

    low, high = 0.0, 10.0 * antennas + 50.0
    for _ in range(200):
        middle = 0.5 * (low + high)
        low, high = (middle, high) if below(middle) < quantile else (low, middle)
    return 0.5 * (low + high) / antennas


def noise_floor(power: np.ndarray, antennas: int, ratio: float) -> np.ndarray:
    """The mean noise power of each subblock: power (..., lines) is the mean over `antennas`
    antennas of each line's linear power. FLOOR_QUANTILE of it over the lines, scaled; then
    the same of the lines below `ratio` times that alone (the echoes left out, where at least
    FEWEST_LINES_LEFT lines are left), so that an echo over many lines does not raise it."""
    first = _quantile(np.sort(power, axis=-1), power.shape[-1])
    weak = np.where(power < (first * ratio)[..., None], power, np.inf)
    left = np.count_nonzero(np.isfinite(weak), axis=-1)
    second = _quantile(np.sort(weak, axis=-1), np.maximum(left, 1))
    return np.where(left >= FEWEST_LINES_LEFT, second, first) / floor_scale(antennas)


def _quantile(ordered: np.ndarray, count: np.ndarray) -> np.ndarray:
    """FLOOR_QUANTILE of the first `count` values of each row of `ordered` (sorted along its
    last axis), interpolated linearly between them as numpy.quantile does."""
    at = FLOOR_QUANTILE * (np.asarray(count) - 1)
    below = np.floor(at).astype(np.intp)
    above = np.minimum(below + 1, np.asarray(count) - 1)
    low = np.take_along_axis(ordered, np.broadcast_to(below, ordered.shape[:-1])[..., None],
                             axis=-1)[..., 0]
    high = np.take_along_axis(ordered, np.broadcast_to(above, ordered.shape[:-1])[..., None],
                              axis=-1)[..., 0]
    return low + (at - below) * (high - low)


@dataclass(frozen=True)
class Peaks:
    """Runs of adjacent lines above the threshold, one entry per run."""

    row: np.ndarray  # the subblock's index in power.reshape(-1, lines)
    line: np.ndarray  # the peak line: the largest power of the run (the first of equals)
    lines: np.ndarray  # how many lines the run holds


def find_peaks(strong: np.ndarray, power: np.ndarray) -> Peaks:
    """The runs of adjacent True lines along the last axis of `strong` (subblocks...,
    lines), in order, and the line of the largest `power` (of strong's shape) in each. Runs
    end at the spectrum's edges: its first and last lines are not neighbours."""
    lines = strong.shape[-1]
    at = np.flatnonzero(strong.reshape(-1))  # the strong lines, run after run
    first = np.ones(len(at), dtype=bool)
    first[1:] = (np.diff(at) != 1) | (at[1:] % lines == 0)
    run = np.cumsum(first) - 1
    starts = np.flatnonzero(first)
    order = np.lexsort((-power.reshape(-1)[at], run))  # each run's largest first
    best = at[order[starts]]
    return Peaks(best // lines, best % lines, np.diff(np.append(starts, len(at))))



def refined(power: np.ndarray, floor: np.ndarray, row: np.ndarray, line: np.ndarray,
            antennas: int) -> tuple:
    """Where between lines the signal of each peak lies: (side, share, share_error).

    The signal's amplitude on a line is sqrt(power - floor) (0 where not above it). A tone
    between two lines of an untapered transform gives them amplitudes |sinc| of its distance
    to each, d and 1 - d, whose ratio is d / (1 - d): the tone lies share = A1 / (A0 + A1) of
    a line from the peak (A0) toward its larger neighbour (A1, on `side`, -1 or +1; 0 where
    both neighbours are alike). share_error is its standard deviation in lines from the
    noise (each amplitude's variance floor / antennas) and the amplitude steps
    (AMPLITUDE_ROUNDING of it), at most that of a share anywhere on the line, 1/sqrt(12).
    """
    lines = power.shape[-1]
    flat = power.reshape(-1, lines)
    base = floor.reshape(-1)[row]

    def amplitude(k: np.ndarray) -> np.ndarray:
        inside = (k >= 0) & (k < lines)
        got = flat[row, np.clip(k, 0, lines - 1)] - base
        return np.where(inside, np.sqrt(np.maximum(got, 0.0)), 0.0)

    peak, below, above = amplitude(line), amplitude(line - 1), amplitude(line + 1)
    side = np.sign(above - below).astype(np.int64)
    neighbour = np.maximum(above, below)
    total = peak + neighbour
    with np.errstate(invalid="ignore", divide="ignore"):
        share = np.where((side != 0) & (total > 0), neighbour / total, 0.0)
        noise = base / antennas
        var_peak = noise + (AMPLITUDE_ROUNDING * peak) ** 2
        var_next = noise + (AMPLITUDE_ROUNDING * neighbour) ** 2
        error = np.sqrt(neighbour ** 2 * var_peak + peak ** 2 * var_next) / total ** 2
    error = np.where(np.isfinite(error), np.minimum(error, 1 / math.sqrt(12)),
                     1 / math.sqrt(12))
    return side, share, error


def phase_noise(ratio: np.ndarray) -> np.ndarray:
    """The standard deviation (degrees) of one antenna's phase at a line whose power is
    `ratio` times the noise floor.

    A signal of power S in complex Gaussian noise of power N turns the phase by the noise's
    part across the signal, of variance N / 2 against an amplitude sqrt(S): σ² ≈ 1 / (2 S/N)
    rad² where S/N is large (S/N = ratio - 1). The phase byte's rounding adds (360/256)²/12
    degree². Never more than that of a phase anywhere on the circle (UNIFORM_PHASE).
    """
    signal = np.maximum(np.asarray(ratio, dtype=np.float64) - 1.0, 1e-12)
    variance = np.rad2deg(1.0) ** 2 / (2.0 * signal) + QUANTISATION_VARIANCE
    return np.minimum(np.sqrt(variance), UNIFORM_PHASE)


def detect(part, used, offsets, threshold_db: float) -> dict:
    """The peaks of a part (vexo._reading.parts.Part) as vexo._directions.peaks.detect gives
    them: used, the layout's antennas as indexes of the part's; offsets their phase offsets."""
    used = np.asarray(used)
    decibels = part.amplitude_db[:, :, used]
    present = part.subblock_number >= 0
    # Linear power of each line, the mean over the antennas; places left over hold 1.
    power = np.ones(decibels.shape[:2] + decibels.shape[3:])
    power[present] = (10.0 ** (decibels[present].astype(np.float64) / 10.0)).mean(axis=1)
    threshold = 10.0 ** (threshold_db / 10.0)
    floor = noise_floor(power, len(used), threshold)  # record, place
    strong = (power >= (floor * threshold)[:, :, None]) & present[:, :, None]
    found = find_peaks(strong, power)
    r, w = np.divmod(found.row, part.width)
    k = found.line
    ratio = power[r, w, k] / floor[r, w]
    phases = part.phase_degrees[r[:, None], w[:, None], used[None, :], k[:, None]] - offsets
    side, share, share_error = refined(power, floor, found.row, k, len(used))
    return {"row": found.row, "line": k, "lines": found.lines, "side": side, "ratio": ratio,
            "phase_noise": phase_noise(ratio), "share": share, "share_error": share_error,
            "floor": floor[r, w], "decibel_sum": decibels[r, w, :, k].sum(axis=1),
            "phases": phases}
