"""The synthetic sounding of the example and the tests, as ``make_dft`` of the C++ build writes it.

Record r (from 0) carries FREQ 2500, 3200 or 4100 kHz in turn and one second more than the one
before (from day 342, 12:00:00); its subblocks step through four sounding frequencies and four
heights. Amplitudes: a noise floor of codes 8 to 13 with an echo peak whose strength follows a
layer drifting between 105 and 310 km over ten records. Phases: one value per subblock with a
jitter of one step, tilted across antennas and lines as the antenna correction undoes it, plus
on the lines the echo raises the steps of the echo's direction at the antenna's place. The noise
is a fixed linear congruential sequence per record, so every byte is reproducible.
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, List, Tuple, Union

import numpy as np

from .records import (CHANNEL_NIBBLES, DESCRIPTOR_NIBBLES, HEADER_NIBBLES, RECORD_SIZE, SAMPLES,
                      descriptor_nibbles, encode_records, header_nibbles)

MODES = ("", "backwards", "varied", "uneven")
RANDOM_PROGRAMS = 1000

_FREQUENCIES = np.array([2500, 3200, 4100, 5600])  # subblock i sounds at i % 4
_HEIGHTS = np.array([105, 180, 240, 310])  # ... and at i // 4 % 4
_WEIGHTS = np.array([3, 4, 3, 2])  # echo weight of the four frequencies
_PROFILE = np.array([34, 30, 23, 15, 8, 3, 1])  # echo codes over the distance from the peak
# Antenna places in metres east and north of antenna 1 (a T: bar east-west, stem south).
_EAST = np.array([0, 40, -40, 0, 80, -80, 0, 40, -40], dtype=float)
_NORTH = np.array([0, 0, 0, -60, 0, 0, -120, -60, -60], dtype=float)
_LIGHT_SPEED = 299792458.0  # m/s
_CHUNK = 64  # records generated at once (their arrays stay in the cache)


@dataclass(frozen=True)
class Options:
    """The program of a record: shape and how it changes from record to record.

    Attributes
    ----------
    N, A : int
        2^N samples per antenna and subblock, A antennas (1..9).
    backwards : bool
        FF 0xFE: the phase scale runs backwards.
    varied : bool
        D1, D2, R, X (periods 7, 3, 4, 2 records) and FF (every fifth record) change.
    uneven : bool
        The last r % 3 subblocks of record r are sounded at 1000 kHz.
    random : bool
        D1, D2, R, X and FF are the ones given here (a program of `random_programs`).
    """

    N: int = 5
    A: int = 4
    backwards: bool = False
    varied: bool = False
    uneven: bool = False
    random: bool = False
    D1: int = 0
    D2: int = 2
    R: int = 0
    X: int = 1
    FF: int = 0x12


def subblock_count(A: int, N: int) -> int:
    """The subblocks of a record of 2^N lines and A antennas: trunc(4096 / (2^N * 2 * A)), 0
    without antennas."""
    return 4096 // ((1 << N) * 2 * A) if A > 0 and 0 <= N <= 12 else 0


class _Noise:
    """The fixed pseudo-random sequence, one draw at a time."""

    def __init__(self, state: int) -> None:
        self.state = state

    def next(self, range_: int) -> int:
        self.state = (self.state * 1103515245 + 12345) & 0xFFFFFFFF
        return (self.state >> 16) % range_


@functools.lru_cache(maxsize=None)
def _noise_steps(count: int) -> Tuple[np.ndarray, np.ndarray]:
    """uint32 m_t and c_t for t = 1..count: the sequence's state t draws after state s is
    m_t * s + c_t (mod 2^32)."""
    m, c = np.empty(count, np.uint32), np.empty(count, np.uint32)
    mt, ct = 1, 0
    for t in range(count):
        mt, ct = mt * 1103515245 & 0xFFFFFFFF, (ct * 1103515245 + 12345) & 0xFFFFFFFF
        m[t], c[t] = mt, ct
    return m, c


@functools.lru_cache(maxsize=None)
def random_programs() -> Tuple[Options, ...]:
    """The programs of the "random" mode.

    Returns
    -------
    tuple of Options
        A thousand different programs drawn from a fixed sequence (a shape N/A with
        2^N * A <= 2048, D1, D2, R 0..9, X 0..1, FF 0x12 or 0xFE), in an order shuffled from
        the same sequence; record r takes entry r % 1000.
    """
    noise = _Noise(20260342)
    programs: List[Options] = []
    seen = set()
    while len(programs) < RANDOM_PROGRAMS:
        N, A = noise.next(10), 1 + noise.next(9)
        while (1 << N) * A > 2048:
            N, A = noise.next(10), 1 + noise.next(9)
        D1, D2, R, X = noise.next(10), noise.next(10), noise.next(10), noise.next(2)
        FF = 0x12 if noise.next(2) == 0 else 0xFE
        if (N, A, D1, D2, R, X, FF) not in seen:  # a program already drawn is drawn again
            seen.add((N, A, D1, D2, R, X, FF))
            programs.append(Options(N=N, A=A, random=True, D1=D1, D2=D2, R=R, X=X, FF=FF))
    order = list(range(RANDOM_PROGRAMS))
    for i in range(RANDOM_PROGRAMS - 1, 0, -1):  # Fisher-Yates
        k = noise.next(i + 1)
        order[i], order[k] = order[k], order[i]
    return tuple(programs[i] for i in order)


@functools.lru_cache(maxsize=None)
def _directions() -> np.ndarray:
    """(east, north) of the echo's direction u for r % 40: zenith angle 10 degrees plus 3 a
    step of the layer, azimuth 9 degrees a record."""
    degree = math.pi / 180
    rows = []
    for r in range(40):
        step = r % 10
        zenith = (10 + 3 * (step if step <= 5 else 10 - step)) * degree
        azimuth = float(9 * r) * degree
        rows.append((math.sin(zenith) * math.sin(azimuth),
                     math.sin(zenith) * math.cos(azimuth)))
    return np.array(rows)


def _lround(x: np.ndarray) -> np.ndarray:
    """Rounded to the nearest whole number, halves away from zero."""
    whole = np.trunc(x)
    return (whole + np.copysign(np.abs(x - whole) >= 0.5, x)).astype(np.int64)


def record_header(r: np.ndarray, options: Options) -> Dict[str, np.ndarray]:
    """The header fields of records of one program.

    Parameters
    ----------
    r : numpy.ndarray
        int64 record numbers (from 0).
    options : Options
        Their program.

    Returns
    -------
    dict
        Field name -> values, one per record; the fields not given are 0.
    """
    t = 12 * 3600 + r  # seconds since the start of day 342
    ff = 0xFE if options.backwards else 0x12
    h = dict(year=26, day=342 + t // 86400 % 23, hour=t // 3600 % 24, minute=t // 60 % 60,
             second=t % 60, sp_s=1, FF=ff, J=1, FREQ=np.array([2500, 3200, 4100])[r % 3],
             DIFF_D=3, DIFF_FF=10, l=1, L=3, C=0xB, V=7, X=1, A=options.A, N=options.N,
             D1=0, D2=2, OO=12)
    if options.varied:
        h.update(D1=r % 7, D2=1 + r % 3, R=r % 4, X=r % 2,
                 FF=np.where(r % 5 == 4, 0x12 if options.backwards else 0xFE, ff))
    if options.random:
        h.update(D1=options.D1, D2=options.D2, R=options.R, X=options.X, FF=options.FF)
    return {name: np.broadcast_to(v, r.shape) for name, v in h.items()}


def sounding_records(r: np.ndarray, options: Options) -> np.ndarray:
    """Records of one program.

    Parameters
    ----------
    r : numpy.ndarray
        int64 record numbers (from 0).
    options : Options
        Their program.

    Returns
    -------
    numpy.ndarray
        uint8, shape ``(len(r), 4096)``.
    """
    h = record_header(r, options)
    lines, antennas = 1 << options.N, options.A
    subblocks = subblock_count(antennas, options.N)
    i, j, k = np.arange(subblocks), np.arange(antennas), np.arange(lines)
    rows = r[:, None]  # records along the first axis, then subblocks, antennas, lines

    frequency = np.broadcast_to(_FREQUENCIES[i % 4], (r.size, subblocks)).copy()
    if options.uneven:
        frequency[i >= subblocks - rows % 3] = 1000
    height = _HEIGHTS[i // 4 % 4]
    step = r % 10
    layer = 105 + 41 * np.where(step <= 5, step, 10 - step)
    apart = np.abs(height - layer[:, None])
    strength = np.where(apart < 90, 90 - apart, 0) * 34 * _WEIGHTS[i % 4] // 360  # (r, i)
    base = 50 + (37 * i + 11 * rows) % 156  # (r, i)

    # The direction's steps at each antenna, against the scale when it runs backwards.
    u = _directions()[r % 40]
    path = _EAST[:antennas] * u[:, :1] + _NORTH[:antennas] * u[:, 1:]  # (r, j)
    wavelength = _LIGHT_SPEED / (frequency * 1000.0)  # (r, i)
    scale = np.where(h["FF"] == 0xFE, -1, 1)
    arrival = scale[:, None, None] * _lround(
        (256.0 * path)[:, None, :] / wavelength[:, :, None])  # (r, i, j)

    peak = (lines // 4 + i % 4 * lines // 8) % lines
    distance = np.abs(k - peak[:, None])  # (i, k)
    near = distance < len(_PROFILE)
    echo = np.where(near, _PROFILE[np.minimum(distance, len(_PROFILE) - 1)]
                    * strength[:, :, None] // 34, 0)[:, :, None, :]  # (r, i, 1, k)

    # Three draws a sample in sample order: the floor code, the amplitude's low bit, the jitter.
    used = subblocks * antennas * lines
    m, c = _noise_steps(3 * SAMPLES)
    seed = (r.astype(np.uint32) * np.uint32(2654435761) + np.uint32(17))[:, None]
    draws = ((m[:3 * used] * seed + c[:3 * used]) >> 16).reshape(
        r.size, subblocks, antennas, lines, 3)
    floor, low_bit, jitter = (draws[..., n] % np.uint32(d) for n, d in enumerate((6, 2, 3)))

    code = 8 + floor + np.where(near[:, None, :], echo - j[:, None] % 3, 0)
    amplitude = np.zeros((r.size, SAMPLES), np.int64)
    amplitude[:, :used] = (4 * code + 2 * low_bit).reshape(r.size, used)

    sign = -1 if options.backwards else 1
    offset = k - lines // 2 + (k >= 64)
    tilt = _lround(sign * j[:, None] * offset * 32.0 / lines)  # (j, k)
    value = (base[:, :, None, None] + jitter - 1 - tilt
             + np.where(echo > 0, arrival[..., None], 0))
    phase = np.zeros((r.size, SAMPLES), np.int64)
    phase[:, :used] = value.reshape(r.size, used) & 0xFF

    fit = -(-(CHANNEL_NIBBLES - HEADER_NIBBLES) // DESCRIPTOR_NIBBLES)  # descriptors that fit
    descriptors = descriptor_nibbles(frequency[:, :fit], height[:fit], i[:fit] % 4 * 2,
                                     1 + i[:fit] % 2).reshape(r.size, -1)
    nibbles = np.concatenate([header_nibbles(h), descriptors], axis=1)
    return encode_records(nibbles, amplitude, phase)


def parse(shapes: str = "5/4", mode: str = "") -> List[Options]:
    """The programs that records take in turn, from make_dft's arguments.

    Parameters
    ----------
    shapes : str
        Comma-separated N/A shapes (N 0..9, A 1..9, 2^N * A <= 2048), or "random" (then
        `mode` must be empty) for the thousand programs of `random_programs`.
    mode : str
        "", "backwards", "varied" or "uneven".

    Returns
    -------
    list of Options
    """
    if shapes == "random" and not mode:
        return list(random_programs())
    if mode not in MODES:
        raise ValueError(f"unknown mode {mode!r}")
    programs = []
    for shape in shapes.split(","):
        N, _, A = shape.partition("/")
        if not (N.isdigit() and A.isdigit() and int(N) <= 9 and 1 <= int(A) <= 9
                and subblock_count(int(A), int(N)) > 0):
            raise ValueError(f"{shape!r} is not a shape N/A")
        programs.append(Options(N=int(N), A=int(A), backwards=mode == "backwards",
                                varied=mode == "varied", uneven=mode == "uneven"))
    return programs


def sounding_bytes(records: int, shapes: str = "5/4", mode: str = "") -> bytes:
    """The bytes of ``make_dft OUTPUT RECORDS SHAPES MODE``.

    Parameters
    ----------
    records : int
        How many records.
    shapes, mode : str
        As `parse` takes them.

    Returns
    -------
    bytes
        ``records * 4096`` bytes.
    """
    programs = parse(shapes, mode)
    out = np.empty((records, RECORD_SIZE), np.uint8)
    for slot, options in enumerate(programs[:records]):
        taking = np.arange(slot, records, len(programs), dtype=np.int64)
        for start in range(0, taking.size, _CHUNK):
            part = taking[start:start + _CHUNK]
            out[part] = sounding_records(part, options)
    return out.tobytes()


def write_sounding(path: Union[str, Path], records: int, shapes: str = "5/4",
                   mode: str = "") -> Path:
    """Writes `sounding_bytes` to a file.

    Parameters
    ----------
    path : str or Path
        The file to write.
    records : int
        How many records.
    shapes, mode : str
        As `parse` takes them.

    Returns
    -------
    Path
        `path`.
    """
    path = Path(path)
    path.write_bytes(sounding_bytes(records, shapes, mode))
    return path
