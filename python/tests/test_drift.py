"""The drift velocity and its errors, on echo tables made here from a known velocity: echoes
spread over the sky, their directions and Doppler shifts off by noise of known sigmas."""

from __future__ import annotations

from typing import Tuple

import numpy as np
import pandas as pd
import pytest
import vexo

C = 299_792_458.0
V = np.array([30.0, -20.0, 3.0])  # m/s, east, north, up
VELOCITY = ["v_east", "v_north", "v_up"]
ERRORS = [f"{c}_error" for c in VELOCITY]


def sky(rng: np.random.Generator, v: np.ndarray, n: int, *, record: int = 1,
        zenith: Tuple[float, float] = (0.0, 40.0), azimuth: Tuple[float, float] = (0, 360),
        khz: float = 3200.0,
        doppler_error: Tuple[float, float] = (0.02, 0.08),
        direction_error: Tuple[float, float] = (0.01, 0.05), rho: float = 0.3,
        polarization: int = 1) -> pd.DataFrame:
    """n echoes of reflectors moving with v, from directions uniform over the solid angle
    between two zenith angles and two azimuths (degrees); each echo's sigmas drawn from the
    ranges given, its Doppler shift and direction cosines off by normal noise of those sigmas."""
    wavelength = C / (khz * 1000)
    up = rng.uniform(*np.cos(np.radians(zenith[::-1])), n)
    toward = np.radians(rng.uniform(*azimuth, n))
    u = np.column_stack([np.sqrt(1 - up ** 2) * np.sin(toward),
                         np.sqrt(1 - up ** 2) * np.cos(toward), up])
    sd = rng.uniform(*doppler_error, n)
    se, sn = rng.uniform(*direction_error, n), rng.uniform(*direction_error, n)
    a, b = rng.standard_normal((2, n))
    return pd.DataFrame({
        "record": record, "time": pd.Timestamp("2026-12-08 12:00"), "frequency": khz,
        "height": 100.0, "polarization": np.int8(polarization),
        "doppler": -2 * u @ v / wavelength + sd * rng.standard_normal(n), "doppler_error": sd,
        "east": u[:, 0] + se * a, "north": u[:, 1] + sn * (rho * a + np.sqrt(1 - rho ** 2) * b),
        "east_error": se, "north_error": sn, "east_north_correlation": rho,
        "ambiguous": False, "resolved": True})


def interference(rng: np.random.Generator, n: int, record: int) -> pd.DataFrame:
    """Rows of something else: random Doppler shifts (±5 Hz) from random directions."""
    rows = sky(rng, np.zeros(3), n, record=record, zenith=(0.0, 60.0))
    rows["doppler"] = rng.uniform(-5, 5, n)
    return rows


def trials(seed: int, count: int, n: int, bad: int = 0, **kw) -> Tuple[pd.DataFrame, ...]:
    """The drift of `count` records of n echoes (and of the same with `bad` interfering rows
    among them)."""
    rng = np.random.default_rng(seed)
    clean = [sky(rng, V, n, record=r, **kw) for r in range(count)]
    if not bad:
        return (vexo.drift(pd.concat(clean)),)
    dirty = [pd.concat([t, interference(rng, bad, r)]) for r, t in enumerate(clean)]
    return vexo.drift(pd.concat(clean)), vexo.drift(pd.concat(dirty))


def coverage(got: pd.DataFrame, truth: np.ndarray = V) -> np.ndarray:
    """The share of estimates within their 1-sigma error of the truth, per component."""
    return (np.abs(got[VELOCITY].to_numpy() - truth) <= got[ERRORS].to_numpy()).mean(axis=0)


def test_errors_are_honest_and_interference_is_clipped():
    clean, dirty = trials(5, 200, 50, bad=10)
    for got in (clean, dirty):
        assert list(got.polarization) == [1] * 200
        # unbiased: the mean of 200 estimates off by far less than one estimate's error
        off = np.abs(got[VELOCITY].mean().to_numpy() - V)
        assert (off < 0.25 * got[ERRORS].mean().to_numpy()).all(), off
        assert ((0.55 <= coverage(got)) & (coverage(got) <= 0.8)).all(), coverage(got)
    assert (clean.echo_count + clean.rejected_count == 50).all()
    assert clean.rejected_count.mean() < 0.05 and clean.reduced_chi2.mean() == \
        pytest.approx(1, abs=0.1)
    # ten interfering rows among 50: nearly all clipped, the velocity barely moved (one that
    # falls near the fit by chance counts as an echo)
    assert dirty.rejected_count.mean() >= 9
    moved = np.abs(dirty[VELOCITY].to_numpy() - clean[VELOCITY].to_numpy())
    assert (moved < clean[ERRORS].to_numpy()).mean() >= 0.97


def test_noisy_directions_do_not_shrink_the_horizontal_drift():
    # Directions off by 0.08 to 0.12 about each axis, echoes within 40° of the zenith
    # (⟨east²⟩ = (1 - mean cos² z) / 2 = 0.108): fitted as they are, the horizontal components
    # would come out times ⟨e²⟩ / (⟨e²⟩ + σ²), 8 % short.
    (got,) = trials(8, 200, 50, direction_error=(0.08, 0.12))
    mean_up2 = (1 - np.cos(np.radians(40)) ** 3) / (3 * (1 - np.cos(np.radians(40))))
    e2, s2 = (1 - mean_up2) / 2, np.mean(np.linspace(0.08, 0.12, 1001) ** 2)
    shrink = s2 / (e2 + s2)
    assert shrink > 0.08
    off = np.abs(got[VELOCITY].mean().to_numpy() - V)
    assert (off[:2] < shrink * np.abs(V[:2]) / 3).all(), off
    assert ((0.55 <= coverage(got)) & (coverage(got) <= 0.8)).all(), coverage(got)


def test_echoes_about_the_zenith_give_v_up_alone():
    (got,) = trials(4, 100, 40, zenith=(0.0, 2.0), direction_error=(0.005, 0.01))
    assert got[["v_east", "v_north", "v_east_error", "east_up_correlation"]].isna().all(axis=None)
    assert got.v_up.notna().all() and (got.echo_count == 40).all()
    assert 0.55 <= coverage(got)[2] <= 0.85
    # a narrow cone away from the zenith tells v·u there, not v_up
    (aside,) = trials(4, 5, 40, zenith=(20.0, 22.0), azimuth=(40.0, 46.0))
    assert aside[VELOCITY].isna().all(axis=None) and (aside.echo_count == 40).all()


def test_polarizations_are_never_mixed_unless_asked():
    rng = np.random.default_rng(2)
    other = np.array([-10.0, 5.0, 1.0])
    table = pd.concat([sky(rng, V, 50, polarization=2), sky(rng, other, 50, polarization=1)])
    got = vexo.drift(table)
    assert list(got.polarization) == [1, 2] and got.polarization.dtype == np.int8
    for row, truth in zip(got.itertuples(), (other, V)):
        off = np.array([row.v_east, row.v_north, row.v_up]) - truth
        assert (np.abs(off) < 4 * np.array([row.v_east_error, row.v_north_error,
                                            row.v_up_error])).all()
    one = vexo.drift(table, polarization=2)
    pd.testing.assert_frame_equal(one, got.iloc[[1]].reset_index(drop=True))
    mixed = vexo.drift(table, polarization="all")
    assert list(mixed.polarization) == [-1] and mixed.echo_count[0] + \
        mixed.rejected_count[0] == 100
    with pytest.raises(ValueError, match="no column polarization"):
        vexo.drift(table.drop(columns="polarization"), polarization=1)
    with pytest.raises(TypeError, match="polarization: expected"):
        vexo.drift(table, polarization="both")


def test_quality_limits_and_tables_without_errors():
    rng = np.random.default_rng(6)
    table = sky(rng, V, 60, zenith=(0.0, 50.0))
    zenith = np.degrees(np.arcsin(np.hypot(table.east, table.north)))
    # left out before the fit: shifts beyond max_doppler, directions beyond max_zenith,
    # ambiguous echoes no prior resolved (one a prior chose counts)
    table.loc[table.index[:3], ["ambiguous", "resolved"]] = True, False
    table.loc[table.index[3], "ambiguous"] = True
    got = vexo.drift(table, max_doppler=1.0, max_zenith=30.0, clip=None)
    taken = (np.abs(table.doppler) <= 1.0) & (zenith <= 30.0) & table.resolved
    assert 0 < taken.sum() < 57 and got.echo_count[0] == taken.sum()
    # Without the error columns (tables of before): plain least squares, nothing clipped,
    # the errors from the scatter: s² (XᵀX)⁻¹, s² the residuals' sum of squares over n - 3.
    old = table[table.resolved].drop(columns=["doppler_error", "east_error", "north_error",
                                              "east_north_correlation", "polarization"])
    old.loc[old.index[5], "doppler"] += 50  # an outlier, kept
    got = vexo.drift(old)
    up = np.sqrt(1 - old.east ** 2 - old.north ** 2)
    x = -2 * np.column_stack([old.east, old.north, up]) / (C / 3.2e6)
    v, rss, *_ = np.linalg.lstsq(x, old.doppler, rcond=None)
    np.testing.assert_allclose(got[VELOCITY].to_numpy()[0], v, rtol=1e-9)
    covariance = rss[0] / (len(old) - 3) * np.linalg.inv(x.T @ x)
    np.testing.assert_allclose(got[ERRORS].to_numpy()[0], np.sqrt(np.diag(covariance)),
                               rtol=1e-9)
    assert got.east_up_correlation[0] == pytest.approx(
        covariance[0, 2] / np.sqrt(covariance[0, 0] * covariance[2, 2]))
    assert np.isnan(got.reduced_chi2[0]) and got.polarization[0] == -1
    for keyword, value, error in (("max_doppler", 0, ValueError), ("max_zenith", 91, ValueError),
                                  ("clip", "3", TypeError), ("max_zenith", True, TypeError)):
        with pytest.raises(error, match=keyword):
            vexo.drift(table, **{keyword: value})
