"""Every value the package gives is the value the listing writes for the same file and
choices: formatted as the listing formats it, it is the same text."""

from __future__ import annotations

from typing import Iterable, List

import numpy as np
import pytest

import vexo
from conftest import EXAMPLE


def fields(values: Iterable[np.ndarray], form: str) -> List[str]:
    return [form % v for array in values for v in np.ravel(array)]


def records(path) -> List[vexo.Record]:
    with vexo.open(path) as f:
        got = list(f)
        assert f.stop.clean
    return got


FILES = [
    ("example", None),
    ("backwards, 2 antennas", (6, "7/2", "backwards")),
    ("8 antennas, 16 lines", (5, "4/8", "")),
    ("program changes every record", (12, "5/4,3/4,6/1,2/8,5/4", "varied")),
]


@pytest.fixture(params=FILES, ids=[name for name, _ in FILES])
def dft(request, make_dft):
    recipe = request.param[1]
    return EXAMPLE if recipe is None else make_dft(*recipe)


def test_records_as_the_listing_writes_them(dft, listing):
    recs = records(dft)
    assert recs, "no records"
    for correction in (0, 1):
        degrees = (r.phase_degrees(correct=bool(correction)) for r in recs)
        assert fields(degrees, "%.0f") == listing(dft, correction=correction)
    assert fields((r.amplitude_db() for r in recs), "%.1f") == listing(dft, phase=False)
    assert fields((r.amplitude_ratio() for r in recs), "%.1f") == listing(
        dft, phase=False, scale=1)
    four = [r for r in recs if r.antennas >= 4]
    assert fields((r.amplitude_mean_db() for r in four), "%.1f") == listing(
        dft, phase=False, antenna=0)
    assert fields((r.amplitude_mean_ratio() for r in four), "%.1f") == listing(
        dft, phase=False, antenna=0, scale=1)
    assert fields((r.phase for r in recs), "%d") == listing(dft, convert=0)
    assert fields((r.amplitude for r in recs), "%d") == listing(dft, phase=False, convert=0)


@pytest.mark.parametrize("correct", [True, False])
def test_dataset_holds_the_records_values(dft, correct):
    recs = records(dft)
    shapes = sorted({(r.header["N"], r.header["A"]) for r in recs})
    for shape in shapes:
        ds = vexo.read(dft, shape=shape, correct=correct)
        mine = [r for r in recs if (r.header["N"], r.header["A"]) == shape]
        assert list(ds.record.values) == [r.number for r in mine]
        for i, r in enumerate(mine):
            np.testing.assert_array_equal(ds.phase.values[i], r.phase)
            np.testing.assert_array_equal(ds.amplitude.values[i], r.amplitude)
            np.testing.assert_array_equal(ds.phase_degrees.values[i],
                                          r.phase_degrees(correct=correct))
            np.testing.assert_array_equal(ds.amplitude_db.values[i], r.amplitude_db())
            if r.antennas >= 4:
                mean = ds.amplitude_db[i].sel(antenna=[1, 2, 3, 4]).mean("antenna")
                np.testing.assert_array_equal(mean.values, r.amplitude_mean_db())
            np.testing.assert_array_equal(ds.frequency.values[i], r.descriptors["frequency"])
            assert ds.time.values[i] == r.time


def test_selection_as_the_listing_selects(listing):
    ds = vexo.read(EXAMPLE, frequency=3200, antenna=2)
    assert set(ds.frequency.values.ravel()) == {3200}
    assert list(ds.antenna.values) == [2]
    assert fields([ds.phase_degrees.values], "%.0f") == listing(
        EXAMPLE, correction=1, frequency=3200, antenna=2)
    ds = vexo.read(EXAMPLE, height=180, polarization=2, correct=False)
    assert fields([ds.amplitude_db.values], "%.1f") == listing(
        EXAMPLE, phase=False, height=180, polarization=2)
    # Several values: the subblocks of any of them, in their record's order.
    whole = vexo.read(EXAMPLE)
    ds = vexo.read(EXAMPLE, height=[180, 105], records=[2, 5])
    for i, number in enumerate([2, 5]):
        keep = np.isin(whole.height.sel(record=number).values, [105, 180])
        np.testing.assert_array_equal(ds.subblock_number.values[i],
                                      np.flatnonzero(keep))
        np.testing.assert_array_equal(ds.phase_degrees.values[i],
                                      whole.phase_degrees.sel(record=number).values[keep])


def test_programs_that_come_and_go(make_dft):
    # Dozens of phase programs in turn, more than are kept at once: the dataset's phases are
    # each record's own.
    path = make_dft(400, "5/4", "varied")
    ds = vexo.read(path)
    assert len(set(zip(ds.line_spacing.values, ds.rate.values))) > 8
    for i, r in enumerate(records(path)):
        np.testing.assert_array_equal(ds.phase_degrees.values[i], r.phase_degrees())
