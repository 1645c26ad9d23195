"""Records of complex Gaussian noise into which plane waves of known directions and Doppler
shifts are written: the layout, the record's shape and the bytes that give chosen corrected
phases."""

from __future__ import annotations

import math
from typing import Any, Dict, Sequence, Tuple

import numpy as np

C = 299_792_458.0
STEP = 360.0 / 256  # degrees of one phase step
N, A = 5, 4
LINES = 1 << N  # 32 lines, 16 subblocks of 4 antennas
SUBBLOCKS = 2048 // (LINES * A)
SPACING = 1 / (0.01 * 32) / LINES  # Hz: 16*D2 + D1 = 32
RATE = 50 / 2  # R 0, X 1
NOISE_DB = 16.0  # mean noise power of each antenna and line
# Antennas 1 to 3 less than half a wavelength apart along east and north up to 5600 kHz (so
# they alone tell one direction), and antenna 4 150 m from antenna 1: up to three wavelengths.
LAYOUT = {1: (0.0, 0.0), 2: (24.0, 0.0), 3: (0.0, 24.0), 4: (120.0, 90.0)}
POSITIONS = np.array(list(LAYOUT.values()))


def header(second: int, *, ff: int = 0x12, rate: bool = True,
           spacing: bool = True) -> Dict[str, int]:
    return {"year": 26, "day": 342, "hour": 12, "minute": 0, "second": second, "FF": ff,
            "FREQ": 3200, "l": 1, "A": A, "N": N, "D1": 0, "D2": 2 if spacing else 0,
            "X": 1, "R": 0 if rate else 1}


def direction(zenith: float, azimuth: float) -> Tuple[float, float]:
    z, a = math.radians(zenith), math.radians(azimuth)
    return math.sin(z) * math.sin(a), math.sin(z) * math.cos(a)


def wavelength(khz: float) -> float:
    return C / (khz * 1000)


def phase_bytes(degrees: np.ndarray, k: int, backwards: bool) -> np.ndarray:
    """The sample bytes whose corrected phases are `degrees` (per antenna) at line k: the
    correction adds 256·j·(k - LINES/2)·spacing/rate steps to antenna index j, forwards, and
    the backwards scale runs from 255 down."""
    j = np.arange(A)
    turn = 256 * j * (k - LINES // 2) * SPACING / RATE
    steps = 255 + turn - degrees / STEP if backwards else degrees / STEP - turn
    return np.mod(np.round(steps), 256).astype(np.uint8)


def codes(db: Any) -> np.ndarray:
    """Amplitude bytes of dB values: steps of 1.5 dB in bits 7..2."""
    return (4 * np.clip(np.round(np.asarray(db) / 1.5), 0, 63)).astype(np.uint8)


class Record:
    """One record of noise, into which echoes are put: each antenna's power on each line is
    exponentially distributed about NOISE_DB (complex Gaussian noise), its phase uniform."""

    def __init__(self, head: Dict[str, int], descriptors: Sequence[Tuple[int, ...]],
                 rng: np.random.Generator) -> None:
        self.head = head
        self.descriptors = [tuple(d) + (0, 1)[len(d) - 2:] for d in descriptors]
        self.amplitude = codes(NOISE_DB + 10 * np.log10(rng.exponential(size=2048)))
        self.phase = rng.integers(0, 256, 2048).astype(np.uint8)

    def echo(self, subblock: int, k: int, east: float, north: float,
             positions: np.ndarray = POSITIONS, offsets: Any = 0.0) -> np.ndarray:
        """A 60 dB echo at line k from (east, north), each antenna's phase turned by its
        offset (degrees); the corrected phases it gives."""
        khz = self.descriptors[subblock][0]
        degrees = np.mod(77.0 + 360 * (positions @ [east, north]) / wavelength(khz)
                         + offsets, 360)
        at = (subblock * A + np.arange(A)) * LINES + k
        self.amplitude[at] = 4 * 40
        self.phase[at] = phase_bytes(degrees, k, self.head["FF"] == 0xFE)
        return degrees

    def power(self, subblock: int, k: int, db: float) -> None:
        """Line k of every antenna at this many dB."""
        self.amplitude[(subblock * A + np.arange(A)) * LINES + k] = codes(db)


    def written(self) -> Dict[str, Any]:
        return {"header": self.head, "descriptors": self.descriptors,
                "amplitude": self.amplitude, "phase": self.phase}


def bounds(khz: float, positions: np.ndarray = POSITIONS) -> Tuple[float, float]:
    """How far the fitted east and north can be off: each corrected phase is within half a
    step of the wave's, and the least squares turn phase errors δ into k·e errors M·δ."""
    solve = np.linalg.pinv(np.column_stack([np.ones(A), positions]))
    scale = (STEP / 2) * wavelength(khz) / 360
    return (scale * np.abs(solve[1]).sum() * 1.0001, scale * np.abs(solve[2]).sum() * 1.0001)
