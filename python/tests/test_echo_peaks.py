"""The library's echoes of a part (vexo._core.find_echo_peaks) are those of the numpy steps
(support.reference_peaks, as the package took them before the library did): the same rows, and
the same values where both take the linear powers from the same pow (numpy's own may differ by
an ulp).

The thresholds are no whole number of amplitude steps (1.5 dB; the default 10 dB is none): at
one that is, a line whose antennas are all that many steps above those of the floor's line lies
exactly at the second floor's limit, and the last bit of pow decides it."""

from __future__ import annotations

import math
from pathlib import Path
from typing import Callable, Dict, Optional, Sequence

import numpy as np
import pytest

from support import reference_peaks as peaks
from vexo import _core
from vexo._directions.layout import Layout
from vexo._reading.index import FileIndex
from vexo._reading.parts import read_part

ROOT = Path(__file__).resolve().parents[2]
INTEGER_COLUMNS = ("row", "line", "lines", "side")
REAL_COLUMNS = ("ratio", "phase_noise", "share", "share_error", "floor", "decibel_sum", "phases")

Power = Callable[[np.ndarray], np.ndarray]


def numpy_power(decibels: np.ndarray) -> np.ndarray:
    """The linear powers as the numpy steps work them out."""
    return 10.0 ** (decibels.astype(np.float64) / 10.0)


def libm_power(decibels: np.ndarray) -> np.ndarray:
    """The same from the C library's pow, one value at a time (as the library takes them)."""
    values, where = np.unique(decibels.astype(np.float64), return_inverse=True)
    return np.array([math.pow(10.0, v / 10.0) for v in values])[where].reshape(decibels.shape)


def numpy_rows(decibels: np.ndarray, phases: np.ndarray, number: np.ndarray,
               used: Sequence[int], offsets: Sequence[float], threshold_db: float,
               power_of: Power = numpy_power) -> Dict[str, np.ndarray]:
    """The columns of the echoes by the numpy steps, in their order."""
    antennas = np.asarray(used)
    chosen = decibels[:, :, antennas]
    present = number >= 0
    power = np.ones(chosen.shape[:2] + chosen.shape[3:])
    power[present] = power_of(chosen[present]).mean(axis=1)
    threshold = 10.0 ** (threshold_db / 10.0)
    with np.errstate(invalid="ignore"):  # inf - inf where fewer than 2 lines are left
        floor = peaks.noise_floor(power, len(used), threshold)
    strong = (power >= (floor * threshold)[:, :, None]) & present[:, :, None]
    found = peaks.find_peaks(strong, power)
    r, w = np.divmod(found.row, number.shape[1])
    k = found.line
    ratio = power[r, w, k] / floor[r, w]
    with np.errstate(invalid="ignore"):  # NaN beside a peak: numpy's side is undefined
        side, share, share_error = peaks.refined(power, floor, found.row, k, len(used))
    side = np.where((side >= -1) & (side <= 1), side, 0)  # the library's 0 there
    at_peak = phases[r[:, None], w[:, None], antennas[None, :], k[:, None]]
    return {"row": found.row, "line": k, "lines": found.lines, "side": side, "ratio": ratio,
            "phase_noise": peaks.phase_noise(ratio), "share": share,
            "share_error": share_error, "floor": floor[r, w],
            "decibel_sum": chosen[r, w, :, k].sum(axis=1),
            "phases": at_peak - np.asarray(offsets, dtype=np.float64)}


def assert_same_rows(decibels: np.ndarray, phases: np.ndarray, number: np.ndarray,
                     used: Sequence[int], offsets: Sequence[float],
                     threshold_db: float) -> int:
    """The library's rows are numpy's: identical row sets and values within 1e-12 of numpy's
    own powers, and equal to the last bit with the C library's pow. Returns the rows."""
    got = _core.find_echo_peaks(decibels, phases, number, used=list(used),
                                offsets=list(offsets), threshold_db=threshold_db)
    for power_of, rtol in ((numpy_power, 1e-12), (libm_power, 0.0)):
        want = numpy_rows(decibels, phases, number, used, offsets, threshold_db, power_of)
        for name in INTEGER_COLUMNS:
            np.testing.assert_array_equal(got[name], want[name], err_msg=name)
        for name in REAL_COLUMNS:
            assert got[name].dtype == want[name].dtype, name
            if rtol:
                np.testing.assert_allclose(got[name], want[name], rtol=rtol, atol=0,
                                           err_msg=name)
            else:
                np.testing.assert_array_equal(got[name], want[name], err_msg=name)
    return len(got["row"])


def part_of(path: Path, shape: Optional[tuple] = None):
    """The part of the records of one shape of a file, read as the echoes read it."""
    index = FileIndex.of(path)
    entries = index.asked(shape, taking=True)
    return read_part(index, entries, kinds=("phase_degrees", "amplitude_db", "subblock_number"))


def test_constants_are_those_of_the_package() -> None:
    assert _core.echo_peak_constants == {
        "FLOOR_QUANTILE": peaks.FLOOR_QUANTILE, "FEWEST_LINES_LEFT": peaks.FEWEST_LINES_LEFT,
        "QUANTISATION_VARIANCE": peaks.QUANTISATION_VARIANCE,
        "UNIFORM_PHASE": peaks.UNIFORM_PHASE, "AMPLITUDE_ROUNDING": peaks.AMPLITUDE_ROUNDING,
        "UNIFORM_SHARE": 1 / math.sqrt(12)}
    for antennas in range(1, 10):
        assert _core.noise_floor_scale(antennas) == peaks.floor_scale(antennas)


@pytest.mark.parametrize("used, offsets", [
    ((0, 1, 2, 3, 4, 5), (0.0,) * 6),
    ((5, 0, 2), (10.0, -20.0, 3.5)),
])
def test_example_part(used: Sequence[int], offsets: Sequence[float]) -> None:
    """The bundled drift example with its layout's antennas, and three in another order."""
    part = part_of(ROOT / "examples" / "drift.dft")
    layout = Layout.read(ROOT / "examples" / "drift-layout.toml")
    assert [part.antennas[i] for i in range(6)] == list(layout.numbers)
    for threshold_db in (10.0, 5.0):
        rows = assert_same_rows(part.amplitude_db, part.phase_degrees, part.subblock_number,
                                used, offsets, threshold_db)
        assert rows > 0


def test_generated_parts(make_dft) -> None:
    """Parts of the synthetic sounding: 32 lines of 4 antennas, one line of 9 (summed in
    pairs across them), 16 of 8, 128 of 2."""
    path = make_dft(40, "5/4,0/9,4/8,7/2")
    for N, A in ((5, 4), (0, 9), (4, 8), (7, 2)):
        part = part_of(path, (N, A))
        used = list(range(A))[::-1]
        offsets = [7.5 * a for a in range(A)]
        for threshold_db in ((10.0, -2.0) if N == 0 else (10.0, 5.0)):
            assert_same_rows(part.amplitude_db, part.phase_degrees, part.subblock_number,
                             used, offsets, threshold_db)


def random_part(records: int, places: int, antennas: int, lines: int, steps: bool,
                seed: int) -> tuple:
    """Noise in amplitude steps (many ties) or any reals, tones and plateaus of equal lines,
    the first and last lines of some spectra strong, some places left over (NaN, as read):
    decibels, phases and subblock numbers."""
    rng = np.random.default_rng(seed)
    shape = (records, places, antennas, lines)
    if steps:
        decibels = (rng.integers(4, 14, shape) * 1.5).astype(np.float32)
    else:
        decibels = rng.uniform(0.0, 20.0, shape).astype(np.float32)
    for _ in range(records * places):
        r, w, k = rng.integers(records), rng.integers(places), rng.integers(lines)
        width = int(rng.integers(1, 4))
        level = (rng.integers(20, 60) * 1.5) if steps else rng.uniform(20.0, 90.0)
        decibels[r, w, :, k:k + width] = level  # equal lines: the first is the peak
    decibels[::2, :, :, 0] = decibels[::2, :, :, -1] = 60.0
    phases = rng.uniform(-180.0, 180.0, shape).astype(np.float32)
    number = np.tile(np.arange(places, dtype=np.int16), (records, 1))
    number[rng.random((records, places)) < 0.2] = -1
    decibels[number < 0] = np.nan
    phases[number < 0] = np.nan
    return decibels, phases, number


@pytest.mark.parametrize("steps", [True, False])
@pytest.mark.parametrize("records, places, antennas, lines, used, threshold_db", [
    (6, 5, 4, 32, (0, 1, 2, 3), 5.0),
    (4, 3, 3, 64, (2, 0), 2.0),
    (5, 4, 9, 16, (8, 7, 6, 5, 4, 3, 2, 1, 0), 10.0),
    (9, 4, 9, 1, (0, 1, 2, 3, 4, 5, 6, 7, 8), -2.0),
    (8, 3, 1, 2, (0,), -2.0),
])
def test_random_parts(records: int, places: int, antennas: int, lines: int,
                      used: Sequence[int], threshold_db: float, steps: bool) -> None:
    decibels, phases, number = random_part(records, places, antennas, lines, steps,
                                           records * 1000 + lines + steps)
    offsets = list(np.linspace(-30.0, 30.0, len(used)))
    assert assert_same_rows(decibels, phases, number, used, offsets, threshold_db) > 0


@pytest.mark.parametrize("lines", [32, 256])
def test_nan_amplitudes(lines: int) -> None:
    """NaN amplitudes in present subblocks: here and there, beside peaks, and in all but a
    few lines of a spectrum (its floor NaN)."""
    decibels, phases, number = random_part(6, 4, 2, lines, True, lines)
    rng = np.random.default_rng(lines + 1)
    decibels[rng.random(decibels.shape) < 0.05] = np.nan
    decibels[0, 0, 1, 2:] = np.nan
    assert assert_same_rows(decibels, phases, number, (1, 0), (0.0, 0.0), 5.0) > 0


def test_faults() -> None:
    decibels = np.zeros((2, 3, 4, 8), dtype=np.float32)
    phases = np.zeros_like(decibels)
    number = np.zeros((2, 3), dtype=np.int16)
    with pytest.raises(ValueError, match="antenna index 4"):
        _core.find_echo_peaks(decibels, phases, number, used=[0, 4], offsets=[0, 0],
                              threshold_db=6.0)
    with pytest.raises(ValueError, match="offsets"):
        _core.find_echo_peaks(decibels, phases, number, used=[0], offsets=[], threshold_db=6.0)
    with pytest.raises(ValueError, match="phases"):
        _core.find_echo_peaks(decibels, phases[:, :, :, :4].copy(), number, used=[0],
                              offsets=[0], threshold_db=6.0)
    with pytest.raises(ValueError, match="subblock_number"):
        _core.find_echo_peaks(decibels, phases, number[:1].copy(), used=[0], offsets=[0],
                              threshold_db=6.0)
    with pytest.raises(TypeError):  # never a converted copy
        _core.find_echo_peaks(decibels.astype(np.float64), phases, number, used=[0],
                              offsets=[0], threshold_db=6.0)
