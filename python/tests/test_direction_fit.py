"""The direction fit on phases alone, without a file: the phases of plane waves of known
directions, worked out from the geometry of the antennas."""

from __future__ import annotations

import math

import numpy as np

import vexo
from vexo._directions.fit import DirectionFit

C = 299_792_458.0


def wavelength(khz: float) -> float:
    return C / (khz * 1000)


def direction(zenith: float, azimuth: float) -> tuple:
    """East and north direction cosines; azimuth clockwise from north."""
    z, a = math.radians(zenith), math.radians(azimuth)
    return math.sin(z) * math.sin(a), math.sin(z) * math.cos(a)


def phases(layout: vexo.Layout, east: float, north: float, lam: float, common: float
           ) -> np.ndarray:
    """Antenna j at r_j on the ground sees common + sign·360°·(r_j·u)/λ, in [0, 360)."""
    path = layout.east * east + layout.north * north
    return np.mod(common + layout.phase_sign * 360.0 * path / lam, 360.0)


def test_plane_waves_give_their_directions():
    # Baselines of up to 119 m: 1.3 wavelengths at 3200 kHz, 2.2 at 5600 kHz, so that the
    # phases alone leave whole turns open.
    positions = {1: (0.0, 0.0), 2: (70.0, 0.0), 3: (0.0, 55.0), 4: (-45.0, -30.0),
                 5: (30.0, 80.0)}
    cases = [(0.0, 0.0), (35.0, 60.0), (70.0, 210.0), (88.0, 300.0), (50.0, 135.0)]
    for sign in (1, -1):
        layout = vexo.Layout(positions, phase_sign=sign)
        rows, lams, want = [], [], []
        for i, (zenith, azimuth) in enumerate(cases):
            for khz in (3200, 5600):
                e, n = direction(zenith, azimuth)
                rows.append(phases(layout, e, n, wavelength(khz), common=40.0 * i + 7))
                lams.append(wavelength(khz))
                want.append((e, n))
        # a row without a wavelength tells no direction: its residual is the phases' spread
        # about their common phase (0 here): sqrt(4 · 10² / 5)
        rows.append(np.array([10.0, -10.0, 10.0, -10.0, 0.0]))
        lams.append(float("nan"))
        east, north, residual = DirectionFit(layout).fit(np.array(rows), np.array(lams))
        np.testing.assert_allclose(east[:-1], [w[0] for w in want], atol=1e-9)
        np.testing.assert_allclose(north[:-1], [w[1] for w in want], atol=1e-9)
        np.testing.assert_array_less(residual[:-1], 1e-6)
        assert math.isnan(east[-1]) and math.isnan(north[-1])
        assert math.isclose(residual[-1], math.sqrt(80.0), rel_tol=1e-12)


def test_of_directions_that_fit_alike_the_nearest_the_zenith():
    # A T of antennas: moving a direction north by λ/60 turns antenna 4 (60 m south) by a
    # whole turn and no other; east by λ/40 turns antennas 2 and 3 by whole turns.
    layout = vexo.Layout({1: (0.0, 0.0), 2: (40.0, 0.0), 3: (-40.0, 0.0), 4: (0.0, -60.0)})
    lam = wavelength(5600)
    truths = [(0.1, -0.6), (0.05, 0.2), (-0.3, 0.5), (0.0, -0.45)]
    expected = []
    for e, n in truths:
        alike = [(e + i * lam / 40, n + j * lam / 60) for i in range(-2, 3)
                 for j in range(-3, 4)]
        expected.append(min((a for a in alike if math.hypot(*a) <= 1),
                            key=lambda a: math.hypot(*a)))
    assert expected[0] != truths[0] and expected[1] == truths[1]  # both kinds are tried
    rows = np.array([phases(layout, e, n, lam, common=123.0) for e, n in truths])
    east, north, residual = DirectionFit(layout).fit(rows, np.full(len(rows), lam))
    np.testing.assert_allclose(east, [x[0] for x in expected], atol=1e-9)
    np.testing.assert_allclose(north, [x[1] for x in expected], atol=1e-9)
    np.testing.assert_array_less(residual, 1e-6)
