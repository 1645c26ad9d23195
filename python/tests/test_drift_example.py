"""The bundled example of drifting echoes, examples/drift.dft: the file is what its generator
writes, its echoes give back the velocity they were written with, and the same echoes seen by
a T spaced by multiples of 40 m and 60 m come out ambiguous."""

from __future__ import annotations

import hashlib
import math
from pathlib import Path

import numpy as np

import vexo
from support import drift_example
from support.drift_example import T_LAYOUT, VELOCITY

ROOT = Path(__file__).resolve().parents[2]
DFT = ROOT / "examples" / "drift.dft"
LAYOUT = ROOT / "examples" / "drift-layout.toml"


def test_the_bundled_files_are_what_the_generator_writes(tmp_path):
    example = drift_example.write_drift_example(tmp_path / "drift.dft")
    written, bundled = (p.read_bytes() for p in (tmp_path / "drift.dft", DFT))
    assert hashlib.sha256(written).hexdigest() == hashlib.sha256(bundled).hexdigest(), \
        "examples/drift.dft differs from what support/drift_example.py writes: regenerate it"
    assert len(example.records) <= 100
    layout = vexo.Layout.read(LAYOUT)
    assert layout.positions == drift_example.LAYOUT
    assert (layout.phase_sign, layout.rotation) == (1, 0.0)


def test_the_echoes_give_back_the_velocity_they_were_written_with():
    example = drift_example.drift_example()
    truth = {(e.record, e.subblock, e.line): e for e in example.echoes}
    table = vexo.echoes(DFT, layout=LAYOUT)
    at = list(zip(table.record, table.subblock, table.line))
    # Echoes 15 dB and more over the noise, interference 25 dB: each found, nothing else (the
    # mean of six antennas' noise powers is ten times its mean with a chance of 1e-19).
    assert sorted(at) == sorted([*truth, *example.interference])
    echo = np.array([place in truth for place in at])
    # Fifteen baselines, none alike: no two directions fit alike at any frequency.
    assert not table.ambiguous.any()
    # Six random phases fit no plane wave; a true one fails the test at 0.01 one time in a
    # hundred: 4.8 of 480 expected, 15 more than four sigmas away.
    assert not table.resolved[~echo].any()
    assert (~table.resolved[echo]).sum() <= 15
    # The fitted directions lie within their stated errors as a normal variable does.
    rows = table[echo & table.resolved]
    written = [truth[place] for place in zip(rows.record, rows.subblock, rows.line)]
    for axis in ("east", "north"):
        off = (rows[axis] - [getattr(e, axis) for e in written]) / rows[f"{axis}_error"]
        assert (np.abs(off) <= 3).mean() >= 0.98, axis

    got = vexo.drift(table, window=60)  # the 24 records lie in one minute
    assert list(got.polarization) == [1, 2]
    assert list(zip(got.height_low, got.height_high)) == [(96, 104), (104, 112)]
    for row in got.itertuples():
        velocity = np.array([row.v_east, row.v_north, row.v_up])
        error = np.array([row.v_east_error, row.v_north_error, row.v_up_error])
        assert (np.abs(velocity - VELOCITY) <= 3 * error).all(), (velocity, error)
        resolved = rows[rows.polarization == row.polarization]
        assert row.echo_count + row.rejected_count == len(resolved)
    # Which polarization is the ordinary mode is the station's to say; the modes stay apart.
    named = vexo.drift(table, window=60, ordinary=2)
    mixed = vexo.drift(table, window=60, polarization="all", ordinary=2)
    assert list(named["magnetoionic_mode"]) == ["X", "O"]
    assert list(mixed["magnetoionic_mode"]) == [""]


def test_a_layout_spaced_by_multiples_leaves_the_same_echoes_ambiguous(tmp_path):
    # The T's phases are the same again where east moves by λ/40 m or north by λ/60 m: at
    # 5600 kHz (λ 53.5 m) by 1.34 or 0.89, so that every direction within 40° of the zenith
    # has another above the horizon that fits it as well.
    path = tmp_path / "t.dft"
    example = drift_example.write_drift_example(path, layout=T_LAYOUT, records=4)
    wavelength = drift_example.C / 5600e3
    shifts = [(a * wavelength / 40, b * wavelength / 60) for a in (-1, 0, 1) for b in (-1, 0, 1)
              if a or b]
    truth = {(e.record, e.subblock, e.line) for e in example.echoes if e.frequency == 5600
             and min(math.hypot(e.east + x, e.north + y) for x, y in shifts) < 0.95}
    assert len(truth) == 16  # every echo at 5600 kHz: two a subblock, two subblocks a record
    table = vexo.echoes(path, layout=T_LAYOUT, frequency=5600)
    rows = table[[place in truth for place in zip(table.record, table.subblock, table.line)]]
    assert len(rows) == 16 and not rows.resolved.any()
    # ambiguous, but where the true direction itself fails the test (once in a hundred)
    assert (rows.ambiguous | (rows.candidates == 0)).all() and rows.ambiguous.sum() >= 14
