"""The echoes of a part of a file (records of one shape): its peaks above the noise floor,
their Doppler shifts and the directions fitted to their phases, as the columns of vexo.echoes.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, Optional

import numpy as np

from vexo._directions import peaks
from vexo._directions.fit import SPEED_OF_LIGHT, DirectionFit, Fitted
from vexo._directions.layout import Layout
from vexo._reading.index import FileIndex, record_values
from vexo._reading.parts import Part, Scratch, read_part

#: Directions within this of the horizon in sqrt(e² + n²) lie on it: the fit holds directions
#: there to a few roundings, where the zenith angle would turn by 1e-6 degrees and its error
#: from infinite to finite between one rounding and the next.
ON_THE_HORIZON = 1e-15


@dataclass(frozen=True)
class Settings:
    """What the echoes depend on besides the layout (checked by the caller)."""

    threshold_db: float
    significance: float
    residual_limit: Optional[float]
    prior: Optional[str]


def _angles(east: np.ndarray, north: np.ndarray, covariance: np.ndarray) -> Dict[str, Any]:
    """Zenith and azimuth (degrees) of directions and their standard errors to first order:
    dθ = dρ / cos θ for ρ = sin θ = |(e, n)|, dφ = (n de - e dn) / ρ². At the zenith the
    zenith angle's error is the RMS distance of the direction's error; the azimuth's error
    is at most 180° (where the zenith lies within the error, any azimuth is)."""
    rho = np.hypot(east, north)
    rho = np.where(rho > 1.0 - ON_THE_HORIZON, 1.0, rho)  # held there, to its rounding
    zenith = np.rad2deg(np.arcsin(rho))
    azimuth = np.mod(np.rad2deg(np.arctan2(east, north)), 360.0)
    azimuth[azimuth >= 360.0] = 0.0  # -0.0 and the least negative angles
    cee, cnn, cen = covariance[:, 0, 0], covariance[:, 1, 1], covariance[:, 0, 1]
    with np.errstate(invalid="ignore", divide="ignore"):
        along = (east * east * cee + north * north * cnn + 2 * east * north * cen) / rho ** 2
        along = np.where(rho > 0, along, cee + cnn)
        zenith_error = np.rad2deg(np.sqrt(along / np.maximum(1.0 - rho * rho, 0.0)))
        across = (north * north * cee + east * east * cnn - 2 * east * north * cen) / rho ** 4
        azimuth_error = np.rad2deg(np.sqrt(np.where(rho > 0, across, np.inf)))
    azimuth_error = np.where(np.isnan(azimuth_error), np.nan,
                             np.minimum(azimuth_error, 180.0))
    with np.errstate(invalid="ignore"):
        east_error, north_error = np.sqrt(cee), np.sqrt(cnn)
        correlation = cen / (east_error * north_error)
    return {"east_error": east_error, "north_error": north_error,
            "east_north_correlation": correlation, "zenith": zenith, "azimuth": azimuth,
            "zenith_error": zenith_error, "azimuth_error": azimuth_error}


def _directions(fitted: Fitted, fit: DirectionFit, wavelength: np.ndarray,
                settings: Settings) -> Dict[str, Any]:
    """The direction columns of fitted rows: given where the best direction passes the test
    (of ambiguous rows their best fit, or with the prior "zenith" the passing one nearest the
    zenith), NaN elsewhere."""
    with np.errstate(invalid="ignore"):
        passes = fitted.probability >= settings.significance
    chosen = fitted.ambiguous & (settings.prior == "zenith")
    east = np.where(chosen, fitted.zenith_choice_east, fitted.east)
    north = np.where(chosen, fitted.zenith_choice_north, fitted.north)
    east = np.where(passes, east, np.nan)
    north = np.where(passes, north, np.nan)
    covariance = np.where(passes[:, None, None], fitted.covariance, np.nan)
    resolved = passes & (~fitted.ambiguous | chosen) & fit.resolves(wavelength)
    if settings.residual_limit is not None:
        resolved &= fitted.residual < settings.residual_limit
    return {"east": east, "north": north, **_angles(east, north, covariance),
            "residual": fitted.residual, "chi2": fitted.chi2,
            "probability": fitted.probability,
            "candidates": fitted.candidates.astype(np.int16),
            "ambiguous": fitted.ambiguous.astype(np.bool_), "resolved": resolved}


#: The values of a part that its echoes are found from.
KINDS = ("phase_degrees", "amplitude_db", "subblock_number", "frequency", "height", "gain",
         "polarization")


def part_columns(index: FileIndex, entries: np.ndarray, layout: Layout, fit: DirectionFit,
                 reader: Any, settings: Settings, *, fit_threads: Optional[int] = None,
                 scratch: Optional[Scratch] = None) -> Dict[str, np.ndarray]:
    """The echoes of records of one shape (the columns of vexo.echoes); fit is that of the
    layout, run on fit_threads (None: its own); the part read into scratch when given."""
    part = read_part(index, entries, reader=reader, kinds=KINDS, scratch=scratch)
    used = [part.antennas.index(n) for n in layout.numbers]
    found = peaks.detect(part, used, layout.offsets, settings.threshold_db)
    return columns_of(part, entries, layout, fit, found, settings, fit_threads)


def columns_of(part: Part, entries: np.ndarray, layout: Layout, fit: Any,
               found: Dict[str, np.ndarray], settings: Settings,
               fit_threads: Optional[int] = None) -> Dict[str, np.ndarray]:
    """The columns of vexo.echoes from a part's peaks (peaks.detect) and their fit."""
    r, w = np.divmod(found["row"], part.width)
    k = found["line"]
    frequency = part.frequency[r, w]
    with np.errstate(divide="ignore"):  # subblocks at 0 kHz: no wavelength, no direction
        wavelength = SPEED_OF_LIGHT / (frequency.astype(np.float64) * 1000.0)
    sigma = found["phase_noise"]
    fitted = fit.fit_rows(found["phases"], wavelength, sigma, settings.significance,
                          threads=fit_threads)
    spacing = entries["line_spacing"].astype(np.float64)[r]
    side, share = found["side"], found["share"]
    at = peaks.line_dopplers(k, part.sample_count, spacing, layout.phase_sign)
    beside = peaks.line_dopplers(np.where(side != 0, k + side, k + 1), part.sample_count,
                                 spacing, layout.phase_sign)
    return {
        "record": entries["number"].astype(np.int64)[r],
        "time": record_values(entries, "time")[r],
        "subblock": part.subblock_number[r, w].astype(np.int16),
        "frequency": frequency.astype(np.float32),
        "height": part.height[r, w].astype(np.float32),
        "polarization": part.polarization[r, w].astype(np.int8),
        "gain": part.gain[r, w].astype(np.int8),
        "line": k.astype(np.int16),
        "lines": found["lines"].astype(np.int16),
        "doppler": at + share * (beside - at),
        "doppler_error": found["share_error"] * np.abs(beside - at),
        # Sums of steps of 1.5 dB, exact in 32 bits: the mean is the sum over the antennas.
        "amplitude": found["decibel_sum"].astype(np.float64) / len(layout.numbers),
        "snr": 10.0 * np.log10(found["ratio"]),
        "phase_noise": sigma,
        **_directions(fitted, fit, wavelength, settings),
    }


#: Where the phase noise comes from, for the docstrings and the dataset's attributes.
PHASE_NOISE_MODEL = (
    "phase noise of one antenna: sqrt((180/pi)^2 / (2 (P/N - 1)) + (360/256)^2 / 12) degrees "
    "for a peak of power P over the noise floor N, at most 360/sqrt(12)")
