"""Spectral peaks of subblocks: the echoes of a part found by the library
(vexo/echo_peaks.h), and the Doppler shift of each line."""

from __future__ import annotations

from typing import Dict, Sequence

import numpy as np

from vexo import _core
from vexo._reading.parts import Part


def detect(part: Part, used: Sequence[int], offsets: np.ndarray,
           threshold_db: float) -> Dict[str, np.ndarray]:
    """The echoes of a part (read with amplitude_db, phase_degrees and subblock_number).

    Parameters
    ----------
    part : Part
        The part.
    used : sequence of int
        The layout's antennas, as indexes of the part's, in the layout's order.
    offsets : numpy.ndarray
        The phase offset of each used antenna, degrees.
    threshold_db : float
        A line is strong at this many dB over its subblock's noise floor.

    Returns
    -------
    dict of str to numpy.ndarray
        One entry per echo, subblock by subblock, in line order: row (record * width +
        place), line (the peak), lines, side (-1, 0 or +1: the larger neighbour), ratio (the
        peak's power over the floor), phase_noise (degrees), share and share_error (lines
        toward side), floor, decibel_sum (float32, over the used antennas) and phases
        (echoes x used antennas, degrees, the offsets taken).
    """
    got = _core.find_echo_peaks(part.amplitude_db, part.phase_degrees, part.subblock_number,
                                used=[int(u) for u in used],
                                offsets=[float(o) for o in offsets],
                                threshold_db=float(threshold_db))
    return {name: np.asarray(values) for name, values in got.items()}


def line_offsets(lines: np.ndarray, sample_count: int) -> np.ndarray:
    """The line offset that the antenna correction gives line k of a spectrum of sample_count
    lines: k - sample_count // 2, one more from line 64 on (the listing's rule, which only
    spectra of 128 lines and more reach)."""
    lines = np.asarray(lines, dtype=np.int64)
    return lines - sample_count // 2 + (lines >= 64)
def line_dopplers(lines: np.ndarray, sample_count: int, spacing: np.ndarray,
                  phase_sign: int) -> np.ndarray:
    """The Doppler shift (Hz) of a signal on line k: -phase_sign × line offset × spacing.

    The sign follows from the antenna correction. It turns the phase of antenna index j at a
    line of offset m by +360° · j · m · spacing / rate (src/values.cpp: the term
    -256 · sign · m · spacing / rate is taken from the sample before the scale's own sign;
    the Python part reader applies the same). The antennas are sampled in turn, antenna j
    j / rate seconds after antenna 0, so a signal of frequency F (phase 360° · F · t) reaches
    antenna j's samples turned by +360° · F · j / rate; the correction takes exactly that
    away where F = -m · spacing: line offset m holds the frequency -m · spacing of the
    recorded phases. The recorded phases turn with the same sign s as the path to the echo
    (the layout's phase_sign: s = +1 where an antenna nearer the echo leads, the phase of a
    wave e^{+iωt}); an echo approaching at Doppler shift f turns them as s · 360° · f · t,
    so F = s · f and f = -s · m · spacing.
    """
    offsets = line_offsets(lines, sample_count).astype(np.float64)
    return -phase_sign * offsets * spacing
