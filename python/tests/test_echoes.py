"""Echoes, their arrival directions and the drift, on records written with plane waves of
known directions and Doppler shifts in complex Gaussian noise."""

from __future__ import annotations

import math
import os
from typing import Dict, List, Tuple

import numpy as np
import pytest

import vexo
from support.planewaves import (A, LAYOUT, LINES, NOISE_DB, POSITIONS, RATE, SPACING, STEP,
                                SUBBLOCKS, Record, bounds, direction, header, wavelength)


def test_directions_and_doppler_shifts_of_plane_waves(make_records, tmp_path):
    rng = np.random.default_rng(7)
    cases = [(0.0, 0.0), (30.0, 45.0), (80.0, 200.0), (50.0, 290.0)]  # zenith, azimuth
    # The long baseline sees more than half a wavelength of path in these: whole turns open.
    path = [abs(POSITIONS[3] @ direction(*c)) / wavelength(3200) for c in cases]
    assert max(path) > 0.5
    frequencies = (3200, 5600)
    descriptors = [(frequencies[i % 2], 100 + 10 * i, i % 10, 1 + i % 3)
                   for i in range(SUBBLOCKS)]
    written: List[Record] = []
    expected = []  # record, subblock, k, zenith, azimuth, corrected phases
    for number, head in enumerate([header(0, rate=False), header(1), header(2, ff=0xFE),
                                   header(3, spacing=False)], start=1):
        rec = Record(head, descriptors, rng)
        for i, (zenith, azimuth) in enumerate(cases * 2):
            k = 2 + 3 * i
            degrees = rec.echo(i, k, *direction(zenith, azimuth))
            expected.append((number, i, k, zenith, azimuth, degrees))
        # subblock 8: a wave from beyond the horizon (east 1.8); 9 to 15: noise alone
        expected.append((number, 8, 26, None, None, rec.echo(8, 26, 1.8, 0.0)))
        written.append(rec)
    dft = make_records([r.written() for r in written])

    # the records carry the corrected phases asked for (the writer inverts the correction)
    ds = vexo.read(dft, records=[2, 3])
    for number, i, k, _, _, degrees in expected:
        if number in (2, 3):
            got = ds.phase_degrees.values[number - 2, i, :, k]
            np.testing.assert_array_less(np.abs(np.mod(got - degrees + 180, 360) - 180),
                                         STEP / 2 + 1e-4)

    table = vexo.echoes(dft, layout=LAYOUT)
    assert list(table.columns) == [
        "record", "time", "subblock", "frequency", "height", "polarization", "gain", "line",
        "lines", "doppler", "doppler_error", "amplitude", "snr", "phase_noise", "east",
        "north", "east_error", "north_error", "east_north_correlation", "zenith", "azimuth",
        "zenith_error", "azimuth_error", "residual", "chi2", "probability", "candidates",
        "ambiguous", "resolved"]
    # no rate yet in record 1, no line spacing in record 4, noise alone in subblocks 8 to 15
    wanted = [e for e in expected if e[0] in (2, 3)]
    assert list(zip(table.record, table.subblock, table.line)) == [e[:3] for e in wanted]
    assert (table.lines == 1).all() and (table.amplitude == 60.0).all()
    assert [tuple(descriptors[s][2:]) for s in table.subblock] == \
        list(zip(table.gain, table.polarization))
    # 60 dB over noise of mean power NOISE_DB, the floor estimated from 32 lines
    np.testing.assert_allclose(table.snr, 60 - NOISE_DB, atol=1.5)
    # At 44 dB the noise turns a phase by 1/sqrt(2 * 10^4.4) rad, 0.26°; the bytes' steps
    # by 1.41°/sqrt(12), 0.41°.
    np.testing.assert_allclose(table.phase_noise, math.hypot(0.26, STEP / math.sqrt(12)),
                               atol=0.03)
    assert str(table.time.dtype) == "datetime64[ns]"
    assert table.time.iloc[-1] == np.datetime64("2026-12-08T12:00:02")
    # A line's Doppler shift falls as its line rises (see the sign's test); the neighbours
    # hold noise alone, which moves the refined shift by its error at the most.
    line_shift = -(table.line - LINES // 2) * SPACING
    assert (np.abs(table.doppler - line_shift) <= 3 * table.doppler_error).all()
    assert (table.doppler_error < 0.05 * SPACING).all()
    resolved = table[table.resolved]
    assert (resolved.residual <= STEP / 2).all()  # the fit leaves no more than the error
    assert (resolved.candidates == 1).all() and (resolved.probability >= 0.01).all()
    # Beyond the horizon: antenna 2 is 166° ahead of antenna 1, where a direction above the
    # horizon gives 92° at the most; the 74° left over are shared by the two antennas at best,
    # (37² + 37²) / 4 antennas: 26° RMS less the steps' error.
    beyond = table[table.subblock == 8]
    assert not beyond.resolved.any() and (beyond.residual >= 25).all()
    assert (beyond.candidates == 0).all() and (beyond.probability < 0.01).all()
    assert beyond[["east", "north", "zenith", "azimuth", "east_error"]].isna().all(axis=None)

    for (_, i, _, zenith, azimuth, _), row in zip(wanted, table.itertuples()):
        if zenith is None:
            continue
        e, n = direction(zenith, azimuth)
        de, dn = bounds(row.frequency)
        assert abs(row.east - e) <= de and abs(row.north - n) <= dn, (zenith, azimuth)
        assert abs(row.east - e) <= 3 * row.east_error
        assert abs(row.north - n) <= 3 * row.north_error
        # first order, with a tenth more for the second
        rho = math.hypot(e, n)
        assert abs(row.zenith - zenith) <= 1.1 * math.degrees(
            (de + dn) / math.cos(math.radians(zenith)) if rho else math.hypot(de, dn))
        if rho:
            off = abs((row.azimuth - azimuth + 180) % 360 - 180)
            assert off <= 1.1 * math.degrees((de + dn) / rho) and 0 <= row.azimuth < 360

    # the other phase sign: the phases fall toward the echo, so it lies the other way, and
    # the lines' frequencies are turned the same way
    flipped = vexo.Layout(LAYOUT, phase_sign=-1)
    other = vexo.echoes(dft, layout=flipped, records=2)
    mine = resolved[resolved.record == 2]
    np.testing.assert_allclose(other.doppler, -table[table.record == 2].doppler, atol=1e-12)
    other = other[other.resolved]
    np.testing.assert_allclose(other.east, -mine.east, atol=1e-9)
    np.testing.assert_allclose(other.north, -mine.north, atol=1e-9)


    # a file of the layout gives the same; the dataset has the same values and units
    toml = tmp_path / "layout.toml"
    toml.write_text("phase_sign = 1\n[antennas]\n" + "".join(
        f"{n} = {{ east = {e}, north = {no} }}\n" for n, (e, no) in LAYOUT.items()))
    ds = vexo.echoes_dataset(dft, layout=str(toml))
    np.testing.assert_array_equal(ds.east.values, table.east.to_numpy())
    assert ds.sizes["echo"] == len(table) and ds.azimuth.attrs["units"] == "degree"


def test_directions_that_fit_alike_are_ambiguous_unless_a_prior_chooses(make_records):
    # A T of antennas 40 m apart east-west and 60 m north-south: at 5600 kHz a direction
    # north (or east) by a wavelength over 60 m (over 40 m) turns every antenna by whole turns.
    layout = {1: (0.0, 0.0), 2: (40.0, 0.0), 3: (-40.0, 0.0), 4: (0.0, -60.0)}
    positions = np.array(list(layout.values()))
    rec = Record(header(1), [(5600, 100)] * SUBBLOCKS, np.random.default_rng(3))
    cases = [(10.0, 0.0), (10.0, 90.0), (20.0, 200.0), (15.0, 300.0)]
    for i, case in enumerate(cases):
        rec.echo(i, 8, *direction(*case), positions=positions)
        e, n = direction(*case)
        turn = wavelength(5600) / 60
        assert min(math.hypot(e, n - turn), math.hypot(e, n + turn)) < 1  # another fit
    dft = make_records([rec.written()])
    table = vexo.echoes(dft, layout=layout)
    assert table.ambiguous.all() and (table.candidates >= 2).all()
    assert not table.resolved.any() and table.east.notna().all()  # the best fit is given
    assert table.attrs["prior"] == "none"
    chosen = vexo.echoes(dft, layout=layout, prior="zenith")
    assert chosen.resolved.all() and chosen.attrs["prior"] == "zenith"
    de, dn = bounds(5600, positions)
    np.testing.assert_array_less(np.abs(chosen.east - [direction(*c)[0] for c in cases]), de)
    np.testing.assert_array_less(np.abs(chosen.north - [direction(*c)[1] for c in cases]), dn)
    with pytest.raises(ValueError, match="prior: 'north' is neither"):
        vexo.echoes(dft, layout=layout, prior="north")
    with pytest.raises(ValueError, match="significance: 1.5 is not a probability"):
        vexo.echoes(dft, layout=layout, significance=1.5)



def test_drift_of_a_field_of_echoes(make_records):
    rng = np.random.default_rng(11)
    velocities = {100: np.array([25.0, -15.0, 2.0]), 200: np.array([-10.0, 20.0, -1.0])}
    frequencies = (2500, 3200, 4100, 5600)
    descriptors = [(frequencies[i % 4], 100 if i < 8 else 200) for i in range(SUBBLOCKS)]
    truth: Dict[int, List[Tuple[np.ndarray, float]]] = {100: [], 200: []}  # u, wavelength
    written = []
    for second in range(2):
        rec = Record(header(second), descriptors, rng)
        for i, (khz, km) in enumerate(descriptors):
            lines: set = set()
            v = velocities[km]
            along = v / np.linalg.norm(v)
            while len(lines) < 2:  # lines apart: the shifts reach five lines at least
                zenith, azimuth = rng.uniform(0, 40), rng.uniform(0, 360)
                u = np.array([*direction(zenith, azimuth), math.cos(math.radians(zenith))])
                # line k's shift is -(k - LINES/2) spacings (see the sign's test)
                k = int(round(2 * v @ u / wavelength(khz) / SPACING)) + LINES // 2
                # turned toward or away from v until the shift is that of line k exactly
                c = (k - LINES // 2) * SPACING * wavelength(khz) / (2 * np.linalg.norm(v))

                across = u - (u @ along) * along
                u = c * along + math.sqrt(1 - c * c) * across / np.linalg.norm(across)
                near = {k - 1, k, k + 1} & lines  # adjacent lines would be one echo
                if near or not 1 <= k < LINES or u[2] < math.cos(math.radians(45)):

                    continue
                lines.add(k)
                rec.echo(i, k, u[0], u[1])
                truth[km].append((u, wavelength(khz)))
        written.append(rec.written())
    table = vexo.echoes(make_records(written), layout=LAYOUT)
    assert table.resolved.all() and len(table) == 2 * SUBBLOCKS * 2

    got = vexo.drift(table, window=60.0, heights=[(50, 150), (150.0, 250.0)])
    assert {"start", "end", "time", "height_low", "height_high", "polarization", "v_east",
            "v_north", "v_up", "residual", "echo_count"} <= set(got.columns)

    assert list(got.echo_count) == [32, 32] and list(got.height_low) == [50, 150]
    assert got.start[0] == np.datetime64("2026-12-08T12:00:00")
    assert got.time[0] == np.datetime64("2026-12-08T12:00:00.500")
    worst_e, worst_n = bounds(min(frequencies))
    for row, km in zip(got.itertuples(), (100, 200)):
        # The shifts are exact; the fitted directions are off by (de + dn)(1 + tan 45°) at
        # most, which changes a shift by 2|v| times that over λ; least squares carry it over.
        u = np.array([t[0] for t in truth[km]])
        lam = np.array([t[1] for t in truth[km]])
        solve = np.linalg.pinv(-2 * u / lam[:, None])
        error = 2 * np.linalg.norm(velocities[km]) * 2 * (worst_e + worst_n) / lam
        allowed = np.abs(solve) @ error
        off = np.array([row.v_east, row.v_north, row.v_up]) - velocities[km]
        assert (np.abs(off) <= allowed).all(), (off, allowed)
        assert row.residual <= error.max()  # what least squares leave of the errors

    per_record = vexo.drift(table[table.height == 100])
    assert list(per_record.record) == [1, 2] and list(per_record.echo_count) == [16, 16]
    few = vexo.drift(table.head(3))
    assert few.v_east.isna().all() and list(few.echo_count) == [3]
    # Without a wavelength (frequency 0 or NaN) an echo tells no velocity: it is left out.
    unknown = table.copy()
    second = unknown.record == 2
    unknown.loc[second, "frequency"] = np.resize([0.0, np.nan], int(second.sum()))
    assert list(vexo.drift(unknown[unknown.height == 100]).record) == [1]
    with pytest.raises(TypeError, match="echoes: expected a pandas.DataFrame.*not list"):
        vexo.drift(table.to_dict("records"))
    for window in (1e-12, 1e12):  # 0 ns once rounded; more than 64 bits of nanoseconds
        with pytest.raises(ValueError, match="1 ns to a hundred years"):
            vexo.drift(table, window=window)
    with pytest.raises(ValueError, match="'60' has no unit"):  # not 60 ns
        vexo.drift(table, window="60")
    # Tables that cannot be echoes: a resolved echo without a direction, flags that are text.
    for column, value, error in (("east", np.nan, ValueError), ("north", 1.5, ValueError),
                                 ("resolved", "no", TypeError)):
        bad = table.copy()
        bad[column] = bad[column].astype(object) if column == "resolved" else bad[column]
        bad.loc[bad.index[3], column] = value
        with pytest.raises(error, match="row 3 is resolved|column resolved holds"):
            vexo.drift(bad)


def test_layouts_that_cannot_tell_a_direction(tmp_path, make_dft):
    with pytest.raises(ValueError, match="at least three"):
        vexo.Layout({1: (0, 0), 2: (60, 0)})
    with pytest.raises(ValueError, match="one line"):
        vexo.Layout({1: (0, 0), 2: (30, 30), 3: (60, 60), 4: (-10, -10)})
    with pytest.raises(ValueError, match="phase_sign"):
        vexo.Layout(LAYOUT, phase_sign=0)
    with pytest.raises(ValueError, match="numbered 1 to 9"):
        vexo.Layout({0: (0, 0), 1: (60, 0), 2: (0, 60)})
    with pytest.raises(ValueError, match="finite"):
        vexo.Layout({1: (0, 0), 2: (float("nan"), 0), 3: (0, 60)})
    # Not places on the ground: overflowing, or underflowing, every distance between them.
    with pytest.raises(ValueError, match="antenna 2: east: 1e\\+300 m is not a place"):
        vexo.Layout({1: (0, 0), 2: (1e300, 0), 3: (0, 1e300)})
    with pytest.raises(ValueError, match="antennas 1 and 2 are 1e-300 m apart"):
        vexo.Layout({1: (0, 0), 2: (1e-300, 0), 3: (0, 1e-300)})
    with pytest.raises(ValueError, match="antennas 2 and 3 are 0 m apart"):
        vexo.Layout({1: (0, 0), 2: (60, 0), 3: (60, 0), 4: (0, 60)})
    # a calibration that is none
    with pytest.raises(ValueError, match="rotation: nan is not a finite number of degrees"):
        vexo.Layout(LAYOUT, rotation=float("nan"))
    with pytest.raises(ValueError, match="offset of antenna 5: the layout has no antenna 5"):
        vexo.Layout(LAYOUT, offsets={5: 10.0})
    files = {
        "two.toml": ("[antennas]\n1 = { east = 0, north = 0 }\n2 = { east = 9, north = 0 }\n",
                     "at least three"),
        "typo.toml": ("[antennas]\n1 = { east = 0, nort = 0 }\n", "unknown key 'nort'"),
        "text.toml": ("[antennas]\n1 = { east = 'x', north = 0 }\n", "expected a number"),
        "top.toml": ("sign = 1\n[antennas]\n", "unknown key 'sign'"),
        "turned.toml": ("rotation = 'east'\n[antennas]\n1 = { east = 0, north = 0 }\n"
                        "2 = { east = 9, north = 0 }\n3 = { east = 0, north = 9 }\n",
                        "rotation: expected a number of degrees, not 'east'"),
        "offset.toml": ("[antennas]\n1 = { east = 0, north = 0, offset = inf }\n"
                        "2 = { east = 9, north = 0 }\n3 = { east = 0, north = 9 }\n",

                        "antenna 1: offset: inf is not a finite number of degrees"),

        "twice.toml": ("[antennas]\n1 = { east = 0, north = 0 }\n01 = { east = 5, north = 0 }\n",
                       "antenna 1 is given twice"),
    }
    files["latin.toml"] = (b"# \xe9\n[antennas]\n", "not a TOML file: byte 2 is not UTF-8")
    files["large.toml"] = (b"#" * (1 << 20) + b"\n", "larger than 1 MiB")
    for name, (text, message) in files.items():
        data = text if isinstance(text, bytes) else text.encode()
        (tmp_path / name).write_bytes(data)
        with pytest.raises(ValueError, match=f"{name}: .*{message}"):
            vexo.Layout.read(tmp_path / name)
    os.mkfifo(tmp_path / "pipe.toml")  # never opened for reading: no writer to wait for
    for endless in (tmp_path / "pipe.toml", "/dev/zero"):
        with pytest.raises(ValueError, match="not a regular file"):
            vexo.Layout.of(endless)
    # a layout antenna the records lack
    dft = make_dft(2)
    # Antennas centimetres apart turn no phase by a step: nothing is resolved. Baselines of
    # 8 km are 150 wavelengths at 5600 kHz, beyond the search.
    tiny = vexo.echoes(dft, layout={n: (e * 1e-3, n_ * 1e-3) for n, (e, n_) in LAYOUT.items()})
    assert len(tiny) and not tiny.resolved.any()
    with pytest.raises(ValueError, match=rf"{dft.name}: layout: a baseline of 8000 m"):
        vexo.echoes(dft, layout={1: (0, 0), 2: (4000, 0), 3: (-4000, 0), 4: (0, -6000)})
    with pytest.raises(ValueError, match=rf"{dft.name}: record 1: no antenna 5 of the layout"):
        vexo.echoes(dft, layout={**LAYOUT, 5: (10.0, -30.0)})


def test_peaks_over_many_lines_and_between_lines(make_records):
    rec = Record(header(1), [(3200, 100)] * SUBBLOCKS, np.random.default_rng(5))
    # Subblock 0: an echo over 17 of the 32 lines, 50 dB, its peak 54 dB at line 12 (the
    # median of the subblock is 50 dB: 54 does not stand out of it).
    e, n = direction(20.0, 60.0)
    rec.echo(0, 12, e, n)
    for k in range(4, 21):
        rec.power(0, k, 54.0 if k == 12 else 50.0)
    # Subblock 1: a tone d of a line above line 20 in an untapered transform gives line 20 + j
    # the amplitude |sinc(j - d)|: 6 dB less at line 21 is d / (1 - d) = 10^(-6/20), and
    # line 19 is d / (1 + d) of the peak, 12 dB less (47.97, written as 48).
    ratio = 10 ** (-6 / 20)
    d = ratio / (1 + ratio)
    assert abs(20 * math.log10(d / (1 + d)) + 12) < 0.05
    rec.echo(1, 20, e, n)
    rec.power(1, 19, 48.0)
    rec.power(1, 21, 54.0)
    table = vexo.echoes(make_records([rec.written()]), layout=LAYOUT)
    assert list(zip(table.subblock, table.line, table.lines)) == [(0, 12, 17), (1, 20, 3)]
    np.testing.assert_allclose(table.snr, [54 - NOISE_DB, 60 - NOISE_DB], atol=1.5)
    assert table.resolved.all()
    tone = -(20 + d - LINES // 2) * SPACING  # line k's shift is -(k - LINES/2) spacings
    got = table.iloc[1]
    assert 0 < got.doppler_error < 0.05 * SPACING
    assert abs(got.doppler - tone) <= got.doppler_error


def test_phase_offsets_and_rotation_of_the_layout(make_records, tmp_path):
    rec = Record(header(1), [(3200, 100)] * SUBBLOCKS, np.random.default_rng(9))
    cases = [(25.0, 30.0), (40.0, 250.0)]
    # Subblocks 0 and 1: antenna 2's receiver turns its phases by 10°.
    offsets = np.array([0.0, 10.0, 0.0, 0.0])
    for i, case in enumerate(cases):
        rec.echo(i, 8, *direction(*case), offsets=offsets)
    # Subblocks 2 and 3: a layout whose north axis points east (rotation 90°): an antenna the
    # layout puts at (x, y) stands y m east and x m south.
    turned = np.column_stack([POSITIONS[:, 1], -POSITIONS[:, 0]])
    for i, case in enumerate(cases):
        rec.echo(2 + i, 8, *direction(*case), positions=turned)
    dft = make_records([rec.written()])
    de, dn = bounds(3200)
    truth = np.array([direction(*c) for c in cases])

    plain = vexo.echoes(dft, layout=LAYOUT)
    undone = vexo.echoes(dft, layout=vexo.Layout(LAYOUT, offsets={2: 10.0}))
    for table, tilted in ((plain, True), (undone, False)):  # tilted, or no plane wave at all
        off = np.abs(table[["east", "north"]].to_numpy()[:2] - truth)
        within = (off <= [de, dn]).all(axis=1)
        assert not within.any() if tilted else within.all()
    assert undone.resolved[:2].all()


    toml = tmp_path / "turned.toml"
    toml.write_text("rotation = 90.0\n[antennas]\n" + "".join(
        f"{n} = {{ east = {e}, north = {no}, offset = 0 }}\n" for n, (e, no) in LAYOUT.items()))
    for layout in (vexo.Layout(LAYOUT, rotation=90.0), str(toml)):
        table = vexo.echoes(dft, layout=layout)
        # turned by 90°, (e, n) of the layout's axes is (n, -e) of the geographic ones: the
        # bounds of east are those of north
        np.testing.assert_array_less(np.abs(table.east[2:] - truth[:, 0]), dn * 1.0001)
        np.testing.assert_array_less(np.abs(table.north[2:] - truth[:, 1]), de * 1.0001)
    azimuth = np.mod(table.azimuth[2:].to_numpy() - plain.azimuth[2:].to_numpy(), 360)
    np.testing.assert_allclose(azimuth, 90.0, atol=1e-9)
    np.testing.assert_allclose(table.zenith[2:], plain.zenith[2:], atol=1e-9)
    assert "rotation=90" in vexo.echoes_dataset(dft, layout=str(toml)).attrs["layout"]


def physical_phases(rec: Record, subblock: int, k: int, u: Tuple[float, float],
                    shift: float, sign: int) -> None:
    """The raw phase bytes (no correction undone) that a wave from u of Doppler shift `shift`
    (Hz, positive approaching) gives line k, the antennas sampled in turn, antenna index j
    1/RATE s after index j - 1: the phase of e^{+i(ω + 2π shift)t} arriving earlier at an
    antenna nearer the echo, or (sign -1) of its conjugate."""
    khz = rec.descriptors[subblock][0]
    j = np.arange(A)
    degrees = 40.0 + 360 * (POSITIONS @ u) / wavelength(khz) + 360 * shift * j / RATE
    at = (subblock * A + j) * LINES + k
    rec.amplitude[at] = 4 * 40
    rec.phase[at] = np.mod(np.round(sign * degrees / STEP), 256).astype(np.uint8)


def test_the_doppler_shift_agrees_with_the_antenna_correction(make_records):
    # The same wave, approaching at 12 spacings, written on line 16 - 12 and 16 + 12: only
    # on the line whose correction takes away the turn across antennas does a plane wave fit.
    shift = 12 * SPACING
    u = direction(30.0, 120.0)
    for sign in (1, -1):
        rec = Record(header(1), [(3200, 100)] * SUBBLOCKS, np.random.default_rng(4))
        for subblock, k in enumerate((LINES // 2 - 12, LINES // 2 + 12)):
            physical_phases(rec, subblock, k, u, shift, sign)
        table = vexo.echoes(make_records([rec.written()]),
                            layout=vexo.Layout(LAYOUT, phase_sign=sign))
        (fits,) = np.flatnonzero(table.probability >= 0.01)
        assert table.resolved[fits] and table.line[fits] == LINES // 2 - 12 * sign
        assert abs(table.doppler[fits] - shift) <= 3 * table.doppler_error[fits]
        de, dn = bounds(3200)
        assert abs(table.east[fits] - u[0]) <= de and abs(table.north[fits] - u[1]) <= dn

    # From 128 lines on, the correction counts the line offset one more from line 64 on:
    # the Doppler shifts count it so too. The offset of each line is read back from the
    # correction itself, (corrected - raw phase) of antenna index 1 = 360° m spacing/rate.
    head = {**header(1), "N": 7}
    lines, spacing = 128, 1 / (0.01 * 32) / 128
    places = {0: (10, 63, 100), 1: (64, 127), 2: (65,), 3: (0,)}
    rec = Record(head, [(3200, 100)] * 4, np.random.default_rng(8))
    for subblock, ks in places.items():
        for k in ks:
            rec.amplitude[(subblock * A + np.arange(A)) * lines + k] = 4 * 40
    dft = make_records([rec.written()])
    table = vexo.echoes(dft, layout=LAYOUT)
    assert list(zip(table.subblock, table.line)) == [(s, k) for s, ks in places.items()
                                                     for k in ks]
    raw = vexo.read(dft, correct=False).phase_degrees.values[0, :, 1]
    turned = vexo.read(dft).phase_degrees.values[0, :, 1]
    m = np.mod(turned - raw + 180, 360) - 180
    m = m[table.subblock, table.line] * RATE / (360 * spacing)
    np.testing.assert_allclose(m, np.round(m), atol=1e-3)
    assert set(np.round(m[table.line >= 64] - (table.line[table.line >= 64] - 64))) == {1}
    assert (np.abs(table.doppler + np.round(m) * spacing) <= 3 * table.doppler_error).all()
