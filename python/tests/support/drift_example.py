"""The bundled example of echoes and their drift, examples/drift.dft, as this module writes it.

A field of reflectors moving with VELOCITY seen by six antennas (LAYOUT, as
examples/drift-layout.toml has it: no two baselines alike, so that every sounding frequency of
the example tells one direction). Each record holds ten subblocks: five sounding frequencies
in polarization 1 and the same five in polarization 2, the second mode a few kilometres
higher. Each subblock carries ECHOES_PER_SUBBLOCK echoes from directions drawn uniformly over
the sky within MOST_ZENITH of the zenith, each turned toward or away from the velocity until
its Doppler shift, -2 v·u / λ, is that of a spectral line exactly; every antenna and line
holds complex Gaussian noise of NOISE_DB, to which each echo adds a plane wave of its own
signal-to-noise ratio (so that its phases are as noisy as that ratio makes them), written
through the antenna correction as its inverse. A few lines of interference, of random phase
on every antenna, come on top. The noise comes from a generator of fixed seed: the file is
the same to the byte every time.

Regenerate the bundled file from the repository's root with::

    PYTHONPATH=python/tests build/venv/bin/python -m support.drift_example examples/drift.dft
"""

from __future__ import annotations

import argparse
import math
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from .records import SAMPLES, write_records

C = 299_792_458.0  # m/s
SEED = 2026
RECORDS = 24  # one a second from 12:00:00, all in one minute
N, A = 5, 6
LINES = 1 << N  # 32 lines
SUBBLOCKS = 4096 // (LINES * 2 * A)  # 10
D1, D2 = 0, 2  # 16·D2 + D1 = 32
SPACING = 1 / (0.01 * (16 * D2 + D1)) / LINES  # Hz between lines
RATE = 50 / 2  # R 0, X 1
STEP = 360.0 / 256  # degrees of one phase step

#: The reflectors' velocity, m/s east, north and up.
VELOCITY = (40.0, -25.0, 5.0)
#: Antenna number to (east, north) in metres: 15 baselines, no two alike in length and
#: direction, from 21.8 m (less than half a wavelength at 5600 kHz) to 101.5 m.
LAYOUT: Dict[int, Tuple[float, float]] = {
    1: (0.0, 0.0), 2: (23.0, 4.0), 3: (-6.0, 21.0), 4: (51.0, -33.0), 5: (-41.0, -29.0),
    6: (13.0, 57.0)}
#: A redundant layout of six antennas: the T of examples/layout.toml, its bar lengthened to
#: 160 m; every spacing is a multiple of 40 m east or 60 m north.
T_LAYOUT: Dict[int, Tuple[float, float]] = {
    1: (0.0, 0.0), 2: (40.0, 0.0), 3: (-40.0, 0.0), 4: (0.0, -60.0), 5: (80.0, 0.0),
    6: (-80.0, 0.0)}

FREQUENCIES = (2500, 3200, 4100, 4800, 5600)  # kHz of subblocks i and i + 5
HEIGHTS = {1: (96, 98, 100, 102, 104), 2: (104, 106, 108, 110, 112)}  # km, by polarization
GAIN = 3  # dB, every subblock
NOISE_DB = 16.0  # mean noise power of each antenna and line
SNR_DB = (15.0, 35.0)  # the echoes' signal over the noise, drawn uniformly between these
MOST_ZENITH = 40.0  # degrees
ECHOES_PER_SUBBLOCK = 2
INTERFERENCE = 6  # lines of interference in the whole file
INTERFERENCE_SNR_DB = 25.0


@dataclass(frozen=True)
class Echo:
    """An echo written into the file: where, from which direction, how strong."""

    record: int  # from 1
    subblock: int  # from 0
    line: int
    east: float
    north: float
    up: float
    frequency: int  # kHz
    height: int  # km
    polarization: int
    snr_db: float


@dataclass(frozen=True)
class Example:
    """The records of the example and what they hold."""

    records: List[Dict[str, Any]]  # as write_records takes them
    echoes: List[Echo]
    interference: List[Tuple[int, int, int]]  # record (from 1), subblock, line


def descriptors() -> List[Tuple[int, int, int, int]]:
    """(kHz, km, dB, polarization) of the subblocks of every record."""
    return [(FREQUENCIES[i % 5], HEIGHTS[1 + i // 5][i % 5], GAIN, 1 + i // 5)
            for i in range(SUBBLOCKS)]


def header(second: int) -> Dict[str, int]:
    """The header fields of the record at 12:00:second on 8 December 2026."""
    return {"year": 26, "day": 342, "hour": 12, "minute": 0, "second": second, "FF": 0x12,
            "FREQ": FREQUENCIES[0], "l": 1, "A": A, "N": N, "D1": D1, "D2": D2, "X": 1,
            "R": 0}


def line_shift(k: int) -> float:
    """The Doppler shift (Hz) of line k for a layout of phase_sign +1: -(k - LINES/2)
    spacings (the antenna correction takes away the turn a frequency of -(k - LINES/2)
    spacings puts across antennas sampled one after another)."""
    return -(k - LINES // 2) * SPACING


def _samples_of_record() -> Tuple[np.ndarray, np.ndarray]:
    """Antenna index j and line k of each of a record's 2048 samples (subblock after
    subblock, antenna after antenna, line after line)."""
    at = np.arange(SAMPLES)
    return at // LINES % A, at % LINES


def phase_bytes(degrees: np.ndarray) -> np.ndarray:
    """The phase bytes of a record whose corrected phases are `degrees` (one per sample):
    the correction adds 256·j·(k - LINES/2)·spacing/rate steps to antenna index j at line k,
    so it is taken off here (forward scale, FF 0x12)."""
    j, k = _samples_of_record()
    turn = 256 * j * (k - LINES // 2) * SPACING / RATE
    return np.mod(np.round(degrees / STEP - turn), 256).astype(np.uint8)


def _direction(rng: np.random.Generator) -> np.ndarray:
    """A unit vector toward the sky, uniform over the solid angle within MOST_ZENITH."""
    up = rng.uniform(math.cos(math.radians(MOST_ZENITH)), 1.0)
    azimuth = rng.uniform(0.0, 2 * math.pi)
    across = math.sqrt(1 - up * up)
    return np.array([across * math.sin(azimuth), across * math.cos(azimuth), up])


def _on_a_line(u: np.ndarray, wavelength: float) -> Tuple[int, np.ndarray]:
    """The line nearest u's Doppler shift, and u turned toward or away from the velocity
    until its shift is that line's exactly (its component across the velocity kept in
    direction)."""
    v = np.array(VELOCITY)
    speed = float(np.linalg.norm(v))
    along = v / speed
    k = round(2 * float(v @ u) / wavelength / SPACING) + LINES // 2
    # -2 v·u / λ = line_shift(k): the cosine between u and v
    c = -line_shift(k) * wavelength / (2 * speed)
    across = u - float(u @ along) * along
    return k, c * along + math.sqrt(max(0.0, 1 - c * c)) * across / np.linalg.norm(across)


def drift_example(layout: Mapping[int, Tuple[float, float]] = LAYOUT,
                  records: int = RECORDS, seed: int = SEED) -> Example:
    """The records of the example.

    Parameters
    ----------
    layout : mapping of int to (float, float)
        Antenna number (1 to A) to its (east, north) place in metres: where the waves are
        received. The echoes and the noise are the same whatever it is.
    records : int
        How many records (one a second).
    seed : int
        Of the noise generator.

    Returns
    -------
    Example
        The records, the echoes written into them and the lines of interference.
    """
    if sorted(layout) != list(range(1, A + 1)):
        raise ValueError(f"layout: antennas 1 to {A}, not {sorted(layout)}")
    rng = np.random.default_rng(seed)
    places = np.array([layout[n] for n in range(1, A + 1)], dtype=np.float64)
    table = descriptors()
    noise_power = 10 ** (NOISE_DB / 10)
    chosen = rng.choice(records * SUBBLOCKS, INTERFERENCE, replace=False)
    interfered = {(int(c) // SUBBLOCKS + 1, int(c) % SUBBLOCKS) for c in chosen}
    written: List[Dict[str, Any]] = []
    echoes: List[Echo] = []
    interference: List[Tuple[int, int, int]] = []
    for record in range(1, records + 1):
        field = math.sqrt(noise_power / 2) * (rng.standard_normal(SAMPLES)
                                              + 1j * rng.standard_normal(SAMPLES))
        for subblock, (khz, km, _, polarization) in enumerate(table):
            wavelength = C / (khz * 1000.0)
            taken: List[int] = []
            while len(taken) < ECHOES_PER_SUBBLOCK:
                k, u = _on_a_line(_direction(rng), wavelength)
                phase0, snr = rng.uniform(0.0, 360.0), rng.uniform(*SNR_DB)
                # apart from the other echoes (adjacent lines would be one), inside the
                # spectrum and the zenith angles of the example
                if (any(abs(k - other) <= 2 for other in taken) or not 1 <= k < LINES
                        or u[2] < math.cos(math.radians(MOST_ZENITH))):
                    continue
                taken.append(k)
                degrees = phase0 + 360 * (places @ u[:2]) / wavelength
                at = (subblock * A + np.arange(A)) * LINES + k
                field[at] += math.sqrt(noise_power * 10 ** (snr / 10)) * np.exp(
                    1j * np.radians(degrees))
                east, north, up = (float(c) for c in u)
                echoes.append(Echo(record, subblock, k, east, north, up, khz, km,
                                   polarization, snr))
            if (record, subblock) in interfered:
                free = [k for k in range(1, LINES) if all(abs(k - t) > 2 for t in taken)]
                k = int(rng.choice(free))
                at = (subblock * A + np.arange(A)) * LINES + k
                field[at] += math.sqrt(noise_power * 10 ** (INTERFERENCE_SNR_DB / 10)) * \
                    np.exp(1j * rng.uniform(0.0, 2 * math.pi, A))
                interference.append((record, subblock, k))
        db = 10 * np.log10(np.maximum(np.abs(field) ** 2, 1e-30))
        amplitude = (4 * np.clip(np.round(db / 1.5), 0, 63)).astype(np.uint8)  # 1.5 dB steps
        written.append({"header": header(record - 1), "descriptors": table,
                        "amplitude": amplitude,
                        "phase": phase_bytes(np.degrees(np.angle(field)))})
    return Example(written, echoes, interference)


def write_drift_example(path: Union[str, Path],
                        layout: Mapping[int, Tuple[float, float]] = LAYOUT,
                        records: int = RECORDS) -> Example:
    """Writes the example's records to `path` (see drift_example) and returns what they
    hold."""
    example = drift_example(layout, records)
    write_records(path, example.records)
    return example


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Writes examples/drift.dft (or the file named)."""
    parser = argparse.ArgumentParser(
        prog="python -m support.drift_example",
        description="Writes the bundled example of echoes that drift.")
    parser.add_argument("path", nargs="?", type=Path,
                        default=Path(__file__).resolve().parents[3] / "examples" / "drift.dft",
                        help="the file to write (default: the repository's examples/drift.dft)")
    path = parser.parse_args(argv).path
    example = write_drift_example(path)
    print(f"{path}: {len(example.records)} records, {len(example.echoes)} echoes, "
          f"{len(example.interference)} lines of interference")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
