"""The direction fit on phases alone, without a file: the phases of plane waves of known
directions, worked out from the geometry of the antennas."""

from __future__ import annotations

import math

import numpy as np
import vexo
from vexo._directions.fit import DirectionFit, chi2_probability

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


# Eight antennas at irregular spacings: no baseline a whole multiple of another.
EIGHT = {1: (29.5, 5.5), 2: (31.1, 45.4), 3: (-0.4, 42.0), 4: (-37.2, 48.3), 5: (-24.1, 6.6),
         6: (-36.2, -31.5), 7: (-2.0, -35.9), 8: (28.4, -50.5)}
T = {1: (0.0, 0.0), 2: (40.0, 0.0), 3: (-40.0, 0.0), 4: (0.0, -60.0)}  # examples/layout.toml


def noisy_waves(layout: vexo.Layout, rng: np.random.Generator, rows: int, khz: float,
                sigma: float) -> tuple:
    """Plane waves from zenith angles of 0-70° at any azimuth, common phases at random and
    Gaussian noise of sigma degrees on each antenna's phase."""
    z, a = np.deg2rad(rng.uniform(0, 70, rows)), rng.uniform(0, 2 * np.pi, rows)
    e, n = np.sin(z) * np.sin(a), np.sin(z) * np.cos(a)
    lam = wavelength(khz)
    path = np.outer(e, layout.east) + np.outer(n, layout.north)
    values = (360.0 * path / lam + rng.uniform(0, 360, (rows, 1))
              + rng.normal(0, sigma, path.shape))
    return np.mod(values, 360.0), np.full(rows, lam), e, n


def test_chi2_probability_of_known_values():
    # Table values: P(χ²_1 >= 3.8415) = P(χ²_5 >= 11.0705) = 0.05, P(χ²_1 >= 6.6349) =
    # P(χ²_5 >= 15.0863) = 0.01; from the closed forms: dof 2 e^(-x/2), dof 4 (1 + x/2)
    # e^(-x/2), dof 3 erfc(√(x/2)) + √(2x/π) e^(-x/2).
    np.testing.assert_allclose(chi2_probability(np.array([3.8415, 6.6349]), 1), [0.05, 0.01],
                               rtol=2e-4)
    np.testing.assert_allclose(chi2_probability(np.array([11.0705, 15.0863]), 5),
                               [0.05, 0.01], rtol=2e-4)
    x = np.array([0.0, 0.5, 3.0, 9.0, 40.0])
    np.testing.assert_allclose(chi2_probability(x, 2), np.exp(-x / 2), rtol=1e-12)
    np.testing.assert_allclose(chi2_probability(x, 4), (1 + x / 2) * np.exp(-x / 2),
                               rtol=1e-12)
    three = [math.erfc(math.sqrt(v / 2)) + math.sqrt(2 * v / math.pi) * math.exp(-v / 2)
             for v in x]
    np.testing.assert_allclose(chi2_probability(x, 3), three, rtol=1e-12)
    got = chi2_probability(np.array([np.inf, np.nan, 1e6, -1.0]), 7)
    assert got[0] == 0 and math.isnan(got[1]) and got[2] == 0 and got[3] == 1
    assert np.all(chi2_probability(np.array([0.0, 5.0]), 0) == 1)  # nothing to test


def test_exact_aliases_are_candidates_a_non_redundant_layout_has_one():
    # Antennas at 0, 40 and 80 m on a line and one off it at (20, 50): a shift (de, dn) of a
    # direction turns every baseline by whole turns when 40·de/λ = i and (20·de + 50·dn)/λ =
    # j for whole i, j; every such direction inside the horizon fits the phases alike.
    line = vexo.Layout({1: (0.0, 0.0), 2: (40.0, 0.0), 3: (80.0, 0.0), 4: (20.0, 50.0)})
    five = vexo.Layout({1: (0.0, 0.0), 2: (70.0, 0.0), 3: (0.0, 55.0), 4: (-45.0, -30.0),
                        5: (30.0, 80.0)})
    lam = wavelength(5000)
    truths = [(0.2, 0.5), (-0.35, -0.1), (0.45, -0.55), (0.0, 0.15)]
    rng = np.random.default_rng(5)
    for layout, redundant in ((line, True), (five, False)):
        rows = np.array([phases(layout, e, n, lam, common=17.0 * i)
                         for i, (e, n) in enumerate(truths)])
        rows += rng.normal(0, 3.0, rows.shape)
        got = DirectionFit(layout).fit_rows(rows, np.full(len(rows), lam), np.full(len(rows),
                                            3.0), 0.01)
        for i, (e, n) in enumerate(truths):
            alike = [(e, n)]
            if redundant:
                alike = [(e + a * lam / 40, n + (b * lam - 20 * a * lam / 40) / 50)
                         for a in range(-3, 4) for b in range(-4, 5)]
                alike = [d for d in alike if math.hypot(*d) < 1]
                assert all(abs(math.hypot(*d) - 1) > 0.05 for d in alike)  # clearly in
            assert got.candidates[i] == len(alike) and got.ambiguous[i] == (len(alike) > 1)
            nearest = min(alike, key=lambda d: math.hypot(*d))
            found = min(alike, key=lambda d: math.hypot(d[0] - got.east[i],
                                                         d[1] - got.north[i]))
            assert math.hypot(found[0] - got.east[i], found[1] - got.north[i]) < 0.03
            assert math.hypot(nearest[0] - got.zenith_choice_east[i],
                              nearest[1] - got.zenith_choice_north[i]) < 0.03
        assert got.dof == len(layout.east) - 3 and np.all(got.probability >= 0.01)


def test_random_phases_fail_the_test_plane_waves_pass_it():
    # With a T one combination of phases is free of the direction: φ2 + φ3 - 2 φ1 (the bar's
    # antennas about its middle), and the χ² of the best fit is its wrapped value squared
    # over 6 σ². Random phases pass at significance 0.01 (χ² <= 6.635) when that value lies
    # within ±√(6 · 6.635) σ of 0: 3.5% of them at σ = 1° (7.0% at 2°; fewer where the
    # horizon leaves some unwrappings out). Eight antennas leave five degrees of freedom:
    # random phases hardly ever pass. Plane waves pass 99% of the time.
    rng = np.random.default_rng(11)
    rows = 600
    for positions, sigma, most in ((T, 1.0, 0.05), (EIGHT, 2.0, 0.01)):
        layout = vexo.Layout(positions)
        fit = DirectionFit(layout)
        for khz in (3000, 7000):
            noise = rng.uniform(0, 360, (rows, len(positions)))
            got = fit.fit_rows(noise, np.full(rows, wavelength(khz)), np.full(rows, sigma), 0.01)
            assert np.mean(got.candidates > 0) <= most
            waves, lams, _, _ = noisy_waves(layout, rng, rows, khz, sigma)
            got = fit.fit_rows(waves, lams, np.full(rows, sigma), 0.01)
            assert np.mean(got.probability >= 0.01) >= 0.95
            assert np.array_equal(got.candidates > 0, got.probability >= 0.01)


def test_the_stated_errors_cover_the_truth():
    # Each direction cosine within its 1-sigma error of the truth 68% of the time (400 rows:
    # ±2.3% by chance), and a covariance that tells how the errors lean.
    layout = vexo.Layout(EIGHT)
    rng = np.random.default_rng(7)
    waves, lams, e, n = noisy_waves(layout, rng, 400, 5000, 10.0)
    got = DirectionFit(layout).fit_rows(waves, lams, np.full(len(e), 10.0), 0.01)
    off = np.stack([got.east - e, got.north - n], axis=1)
    for i in (0, 1):
        assert 0.60 <= np.mean(np.abs(off[:, i]) <= np.sqrt(got.covariance[:, i, i])) <= 0.76
    # (off)ᵀ C⁻¹ (off) is χ² with 2 degrees of freedom: below 2.30 68% of the time
    inside = np.einsum("ri,rij,rj->r", off, np.linalg.inv(got.covariance), off) <= 2.30
    assert 0.60 <= np.mean(inside) <= 0.76


def test_near_the_horizon_the_fit_is_held_to_it():
    # Phases of a direction beyond the horizon, as noise makes them near it: the fit is the
    # direction on the horizon of least squared residuals (found here by trying angles all
    # round), not the nearest one: the layout is long east-west and short north-south.
    layout = vexo.Layout({1: (0.0, 0.0), 2: (100.0, 0.0), 3: (50.0, 12.0), 4: (20.0, -8.0)})
    lam = wavelength(2000)  # 150 m, longer than any baseline: no aliases, no wrapping
    beyond = np.array([0.9, 0.7])
    rows = np.array([phases(layout, *beyond, lam, common=30.0)] * 3)
    got = DirectionFit(layout).fit_rows(rows, np.array([lam, np.nan, lam]),
                                        np.array([2.0, 2.0, 0.0]), 0.01)
    angle = np.linspace(0, 2 * np.pi, 400_001)
    u = np.stack([np.sin(angle), np.cos(angle)], axis=1)
    positions = np.stack([layout.east, layout.north], axis=1)
    off = 360.0 * (positions @ (beyond[:, None] - u.T)) / lam  # antennas x angles
    squares = ((off - off.mean(axis=0)) ** 2).sum(axis=0)
    best = u[np.argmin(squares)]
    assert np.hypot(*(best - beyond / np.hypot(*beyond))) > 0.05  # not the nearest
    np.testing.assert_allclose([got.east[0], got.north[0]], best, atol=1e-4)
    assert math.isclose(math.hypot(got.east[0], got.north[0]), 1.0, rel_tol=1e-12)
    assert math.isclose(got.chi2[0], squares.min() / 2.0 ** 2, rel_tol=1e-6)
    # no wavelength: no direction; no sigma: no test
    assert np.isnan([got.east[1], got.chi2[1], got.probability[1]]).all()
    assert np.isnan([got.chi2[2], got.probability[2], got.covariance[2, 0, 0]]).all()
    assert list(got.candidates[1:]) == [0, 0] and not got.ambiguous.any()
