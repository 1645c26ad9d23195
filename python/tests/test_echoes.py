"""Echoes, their arrival directions and the drift, on records written with plane waves of
known directions and Doppler shifts."""

from __future__ import annotations

import math
import os
from typing import Any, Dict, List, Sequence, Tuple

import numpy as np
import pytest

import vexo

C = 299_792_458.0
STEP = 360.0 / 256  # degrees of one phase step
N, A = 5, 4
LINES = 1 << N  # 32 lines, 16 subblocks of 4 antennas
SUBBLOCKS = 2048 // (LINES * A)
SPACING = 1 / (0.01 * 32) / LINES  # Hz: 16*D2 + D1 = 32
RATE = 50 / 2  # R 0, X 1
# Antennas 1 to 3 less than half a wavelength apart along east and north up to 5600 kHz (so
# they alone tell one direction), and antenna 4 150 m from antenna 1: up to three wavelengths.
LAYOUT = {1: (0.0, 0.0), 2: (24.0, 0.0), 3: (0.0, 24.0), 4: (120.0, 90.0)}
POSITIONS = np.array(list(LAYOUT.values()))


def header(second: int, *, ff: int = 0x12, rate: bool = True,
           spacing: bool = True) -> Dict[str, int]:
    return {"year": 26, "day": 342, "hour": 12, "minute": 0, "second": second, "FF": ff,
            "FREQ": 3200, "l": 1, "A": A, "N": N, "D1": 0, "D2": 2 if spacing else 0,
            "X": 1, "R": 0 if rate else 1}


def direction(zenith: float, azimuth: float) -> Tuple[float, float]:
    z, a = math.radians(zenith), math.radians(azimuth)
    return math.sin(z) * math.sin(a), math.sin(z) * math.cos(a)


def wavelength(khz: float) -> float:
    return C / (khz * 1000)


def phase_bytes(degrees: np.ndarray, k: int, backwards: bool) -> np.ndarray:
    """The sample bytes whose corrected phases are `degrees` (per antenna) at line k: the
    correction adds 256·j·(k - LINES/2)·spacing/rate steps to antenna index j, forwards, and
    the backwards scale runs from 255 down."""
    j = np.arange(A)
    turn = 256 * j * (k - LINES // 2) * SPACING / RATE
    steps = 255 + turn - degrees / STEP if backwards else degrees / STEP - turn
    return np.mod(np.round(steps), 256).astype(np.uint8)


class Record:
    """One record of noise, into which echoes are put."""

    def __init__(self, head: Dict[str, int], descriptors: Sequence[Tuple[int, int]],
                 rng: np.random.Generator) -> None:
        self.head = head
        self.descriptors = [(f, h, 0, 1) for f, h in descriptors]
        self.amplitude = (4 * rng.integers(8, 14, 2048)).astype(np.uint8)  # 12 to 19.5 dB
        self.phase = rng.integers(0, 256, 2048).astype(np.uint8)

    def echo(self, subblock: int, k: int, east: float, north: float,
             positions: np.ndarray = POSITIONS) -> np.ndarray:
        """A 60 dB echo at line k from (east, north); the corrected phases it gives."""
        khz = self.descriptors[subblock][0]
        degrees = np.mod(77.0 + 360 * (positions @ [east, north]) / wavelength(khz), 360)
        at = (subblock * A + np.arange(A)) * LINES + k
        self.amplitude[at] = 4 * 40
        self.phase[at] = phase_bytes(degrees, k, self.head["FF"] == 0xFE)
        return degrees

    def written(self) -> Dict[str, Any]:
        return {"header": self.head, "descriptors": self.descriptors,
                "amplitude": self.amplitude, "phase": self.phase}


def bounds(khz: float, positions: np.ndarray = POSITIONS) -> Tuple[float, float]:
    """How far the fitted east and north can be off: each corrected phase is within half a
    step of the wave's, and the least squares turn phase errors δ into k·e errors M·δ."""
    solve = np.linalg.pinv(np.column_stack([np.ones(A), positions]))
    scale = (STEP / 2) * wavelength(khz) / 360
    return (scale * np.abs(solve[1]).sum() * 1.0001, scale * np.abs(solve[2]).sum() * 1.0001)


def test_directions_and_doppler_shifts_of_plane_waves(make_records, tmp_path):
    rng = np.random.default_rng(7)
    cases = [(0.0, 0.0), (30.0, 45.0), (80.0, 200.0), (50.0, 290.0)]  # zenith, azimuth
    # The long baseline sees more than half a wavelength of path in these: whole turns open.
    path = [abs(POSITIONS[3] @ direction(*c)) / wavelength(3200) for c in cases]
    assert max(path) > 0.5
    frequencies = (3200, 5600)
    descriptors = [(frequencies[i % 2], 100 + 10 * i) for i in range(SUBBLOCKS)]
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
    assert list(table.columns) == ["record", "time", "subblock", "frequency", "height", "line",
                                   "doppler", "amplitude", "east", "north", "zenith",
                                   "azimuth", "residual", "resolved"]
    # no rate yet in record 1, no line spacing in record 4, noise alone in subblocks 8 to 15
    wanted = [e for e in expected if e[0] in (2, 3)]
    assert list(zip(table.record, table.subblock, table.line)) == [e[:3] for e in wanted]
    assert (table.amplitude == 60.0).all()
    assert str(table.time.dtype) == "datetime64[ns]"
    assert table.time.iloc[-1] == np.datetime64("2026-12-08T12:00:02")
    np.testing.assert_allclose(table.doppler, (table.line - LINES // 2) * SPACING, rtol=1e-12)
    resolved = table[table.resolved]
    assert (resolved.residual <= STEP / 2).all()  # the fit leaves no more than the error
    # Beyond the horizon: antenna 2 is 166° ahead of antenna 1, where a direction above the
    # horizon gives 92° at the most; the 74° left over are shared by the two antennas at best,
    # (37² + 37²) / 4 antennas: 26° RMS less the steps' error.
    beyond = table[table.subblock == 8]
    assert not beyond.resolved.any() and (beyond.residual >= 25).all()
    assert beyond[["east", "north", "zenith", "azimuth"]].isna().all(axis=None)

    for (_, i, _, zenith, azimuth, _), row in zip(wanted, table.itertuples()):
        if zenith is None:
            continue
        e, n = direction(zenith, azimuth)
        de, dn = bounds(row.frequency)
        assert abs(row.east - e) <= de and abs(row.north - n) <= dn, (zenith, azimuth)
        # first order, with a tenth more for the second
        rho = math.hypot(e, n)
        assert abs(row.zenith - zenith) <= 1.1 * math.degrees(
            (de + dn) / math.cos(math.radians(zenith)) if rho else math.hypot(de, dn))
        if rho:
            off = abs((row.azimuth - azimuth + 180) % 360 - 180)
            assert off <= 1.1 * math.degrees((de + dn) / rho) and 0 <= row.azimuth < 360

    # the other phase sign: the phases fall toward the echo, so it lies the other way
    flipped = vexo.Layout(LAYOUT, phase_sign=-1)
    other = vexo.echoes(dft, layout=flipped, records=2)
    mine = resolved[resolved.record == 2]
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


def test_of_directions_that_fit_alike_the_one_nearest_the_zenith(make_records):
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
    table = vexo.echoes(make_records([rec.written()]), layout=layout)
    de, dn = bounds(5600, positions)
    np.testing.assert_array_less(np.abs(table.east - [direction(*c)[0] for c in cases]), de)
    np.testing.assert_array_less(np.abs(table.north - [direction(*c)[1] for c in cases]), dn)


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
            while len(lines) < 4:
                zenith, azimuth = rng.uniform(0, 40), rng.uniform(0, 360)
                u = np.array([*direction(zenith, azimuth), math.cos(math.radians(zenith))])
                k = int(round(-2 * v @ u / wavelength(khz) / SPACING)) + LINES // 2
                # turned toward or away from v until the shift is that of line k exactly
                c = -(k - LINES // 2) * SPACING * wavelength(khz) / (2 * np.linalg.norm(v))
                across = u - (u @ along) * along
                u = c * along + math.sqrt(1 - c * c) * across / np.linalg.norm(across)
                if k in lines or not 1 <= k < LINES or u[2] < math.cos(math.radians(45)):
                    continue
                lines.add(k)
                rec.echo(i, k, u[0], u[1])
                truth[km].append((u, wavelength(khz)))
        written.append(rec.written())
    table = vexo.echoes(make_records(written), layout=LAYOUT)
    assert table.resolved.all() and len(table) == 2 * SUBBLOCKS * 4

    got = vexo.drift(table, window=60.0, heights=[(50, 150), (150.0, 250.0)])
    assert list(got.columns) == ["start", "end", "time", "height_low", "height_high", "v_east",
                                 "v_north", "v_up", "residual", "echo_count"]
    assert list(got.echo_count) == [64, 64] and list(got.height_low) == [50, 150]
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
    assert list(per_record.record) == [1, 2] and list(per_record.echo_count) == [32, 32]
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
    files = {
        "two.toml": ("[antennas]\n1 = { east = 0, north = 0 }\n2 = { east = 9, north = 0 }\n",
                     "at least three"),
        "typo.toml": ("[antennas]\n1 = { east = 0, nort = 0 }\n", "unknown key 'nort'"),
        "text.toml": ("[antennas]\n1 = { east = 'x', north = 0 }\n", "expected a number"),
        "top.toml": ("sign = 1\n[antennas]\n", "unknown key 'sign'"),
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
