"""The library's direction fit and echoes row for row against the numpy reference
(tests/support): the same directions, residuals, tests, candidates and errors, on rows of every
kind the echoes give (noisy plane waves, random phases, exact aliases, waves beyond the
horizon, rows without a wavelength or a noise), and the same echo rows of whole files on any
number of threads, whole or in blocks."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import vexo
from vexo._directions import chunks as chunks_module
from vexo._directions.chunks import chunks, shapes
from vexo._directions.echoes import settings
from vexo._directions.fit import DirectionFit
from vexo._directions.found import KINDS, columns_of
from vexo._reading.index import FileIndex
from vexo._reading.parts import read_part

from support import reference_peaks
from support.reference_fit import DirectionFit as ReferenceFit

ROOT = Path(__file__).resolve().parents[2]

C = 299_792_458.0
LAYOUTS = {
    "T": {1: (0.0, 0.0), 2: (40.0, 0.0), 3: (-40.0, 0.0), 4: (0.0, -60.0)},
    "eight": {1: (29.5, 5.5), 2: (31.1, 45.4), 3: (-0.4, 42.0), 4: (-37.2, 48.3),
              5: (-24.1, 6.6), 6: (-36.2, -31.5), 7: (-2.0, -35.9), 8: (28.4, -50.5)},
    "square": {1: (0.0, 0.0), 2: (40.0, 0.0), 3: (0.0, 40.0), 4: (40.0, 40.0),
               5: (80.0, 0.0)},  # repeated spacings: aliases at short wavelengths
}


def rows(layout: vexo.Layout, rng: np.random.Generator, count: int) -> tuple:
    """Plane waves of 2-40° noise from anywhere up to beyond the horizon's plane, a tenth of
    them random phases, at a few frequencies; some rows without wavelength or noise."""
    khz = rng.choice([2500.0, 3200.0, 5600.0, 9800.0], count)
    lam = C / (khz * 1000)
    size = np.sqrt(rng.uniform(0, 1.2, count))
    angle = rng.uniform(0, 2 * np.pi, count)
    path = np.outer(size * np.sin(angle), layout.east) + np.outer(size * np.cos(angle),
                                                                  layout.north)
    sigma = rng.uniform(2, 40, count)
    phases = (layout.phase_sign * 360 * path / lam[:, None] + rng.uniform(0, 360, (count, 1))
              + rng.normal(0, 1, path.shape) * sigma[:, None])
    phases[: count // 10] = rng.uniform(0, 360, (count // 10, len(layout.east)))
    lam[-3:] = [0.0, np.nan, -1.0]
    sigma[-6:-3] = [0.0, np.nan, np.inf]
    return np.mod(phases, 360), lam, sigma


@pytest.mark.parametrize("name", sorted(LAYOUTS))
def test_the_library_fits_as_the_reference_does(name):
    layout = vexo.Layout(LAYOUTS[name], phase_sign=-1 if name == "square" else 1)
    phases, lam, sigma = rows(layout, np.random.default_rng(7), 6000)
    got = DirectionFit(layout, threads=2).fit_rows(phases, lam, sigma, 0.01)
    want = ReferenceFit(layout).fit_rows(phases, lam, sigma, 0.01)
    # Grid points whose coherences differ by a rounding start two fits in the same valley:
    # they end where the other ends, to the rounding of the steps.
    for field in ("east", "north", "residual", "chi2", "probability", "zenith_choice_east",
                  "zenith_choice_north", "covariance"):
        np.testing.assert_allclose(getattr(got, field), getattr(want, field), rtol=1e-9,
                                   atol=1e-12, err_msg=field)
    np.testing.assert_array_equal(got.candidates, want.candidates)
    assert got.dof == want.dof and (got.candidates > 1).any() == (name != "eight")
    e, n, r = DirectionFit(layout, threads=1).fit(phases, lam)
    reference = ReferenceFit(layout).fit(phases, lam)
    for mine, theirs in zip((e, n, r), reference):
        np.testing.assert_allclose(mine, theirs, rtol=1e-9, atol=1e-12)


def reference_columns(path, layout: vexo.Layout, threshold_db: float = 10.0) -> dict:
    """The echo rows of a file from the numpy reference: its detection, its fit."""
    index = FileIndex.of(str(path))
    chosen = settings(threshold_db)
    entries = index.asked(taking=True)
    entries = entries[np.isfinite(entries["line_spacing"]) & np.isfinite(entries["rate"])]
    fit = ReferenceFit(layout)
    fit.fit_rows = lambda *args, threads=None, f=fit.fit_rows: f(*args)
    parts = []
    for run in (some for chunk in chunks(entries) for some in shapes(chunk)):
        part = read_part(index, run, kinds=KINDS)
        used = [part.antennas.index(n) for n in layout.numbers]
        found = reference_peaks.detect(part, used, layout.offsets, chosen.threshold_db)
        parts.append(columns_of(part, run, layout, fit, found, chosen))
    order = np.argsort(np.concatenate([p["record"] for p in parts]), kind="stable")
    return {name: np.concatenate([p[name] for p in parts])[order] for name in parts[0]}


@pytest.mark.parametrize("example", ["drift", "sounding"])
def test_the_echo_rows_are_those_of_the_reference_on_any_threads(example, make_dft,
                                                                 monkeypatch):
    # The bundled drift example, and the synthetic sounding in records of three shapes in turn
    # (16 to 128 lines: a chunk of each record) seen by the bundled T.
    if example == "drift":
        path, layout = ROOT / "examples/drift.dft", vexo.Layout.of(
            str(ROOT / "examples/drift-layout.toml"))
    else:
        path, layout = make_dft(90, "5/4,3/4,7/4"), vexo.Layout.of(
            str(ROOT / "examples/layout.toml"))
    want = reference_columns(path, layout)
    monkeypatch.setattr(chunks_module, "CHUNK_RECORDS", 4)  # chunks of 4, 2 at once
    got = vexo.echoes(path, layout=layout, threads=2)
    assert len(got) == len(want["record"]) > 100
    for name, values in want.items():
        if values.dtype.kind == "f":
            np.testing.assert_allclose(got[name].to_numpy(), values, rtol=1e-9, atol=1e-12,
                                       err_msg=name)
        else:
            np.testing.assert_array_equal(got[name].to_numpy(), values, err_msg=name)
    one = vexo.echoes(path, layout=layout, threads=1)
    blocks = list(vexo.echo_blocks(path, layout=layout, threads=2))
    assert len(blocks) > 1
    for table in (one, pd.concat(blocks, ignore_index=True)):
        pd.testing.assert_frame_equal(table, got)  # the same rows, bit for bit


@pytest.mark.parametrize("mapped", [True, False])
def test_tables_grow_past_many_steps_with_every_value_in_place(mapped, monkeypatch):
    # Parts of 0 to 999 rows past several steps of growth, in memory maps that are remapped
    # (or, where there are none, arrays numpy enlarges): the columns of np.concatenate.
    if not mapped:
        monkeypatch.setattr(chunks_module, "_PRIVATE", None)
    monkeypatch.setattr(chunks_module, "GROWTH_ROWS", 1000)
    rng = np.random.default_rng(3)
    parts = [{"a": rng.normal(size=n), "b": rng.integers(-9, 9, n).astype(np.int8),
              "t": rng.integers(0, 10**18, n).astype("datetime64[ns]")}
             for n in rng.integers(0, 1000, 40)]
    want = {k: np.concatenate([p[k] for p in parts]) for k in ("a", "b", "t")}
    empty = {k: np.empty(0, v.dtype) for k, v in want.items()}
    got = chunks_module.concatenated(iter([dict(p) for p in parts]), ("a", "b", "t"), empty)
    for k in want:
        np.testing.assert_array_equal(got[k], want[k])
        assert got[k].dtype == want[k].dtype
    assert all(len(v) == 0 for v in chunks_module.concatenated(iter([]), ("a",), empty).values())
