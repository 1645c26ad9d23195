"""What the quick-look pictures show of the bundled example, whose echo layer drifts up from
105 km by 41 km a record and is strongest at 3200 kHz (subblocks 1, 5, 9, 13: heights 105,
180, 240, 310 km), its peak at line 32/4 + 32/8 = 12."""

from __future__ import annotations

import os
import subprocess
import sys

import numpy as np
import pytest

import vexo
from conftest import EXAMPLE

plot = pytest.importorskip("vexo.plot")


def run_plot(*args: str, **kwargs):
    return subprocess.run([sys.executable, "-m", "vexo", "plot", *map(str, args)],
                          capture_output=True, text=True, **kwargs)


def test_spectrum_has_the_echo_at_the_layer_and_the_axes_in_units():
    fig = plot.spectrum(EXAMPLE)
    data = fig.vexo_data
    assert fig.vexo_choices == ["record 1 (the first)", "3200 kHz (the strongest frequency)",
                                "the mean of antennas 1 to 4"]
    assert list(data.height.values) == [105, 180, 240, 310]
    peak = np.unravel_index(np.argmax(data.values), data.shape)
    assert (data.height.values[peak[0]], data.line.values[peak[1]]) == (105, 12)
    with vexo.open(EXAMPLE) as f:
        first = next(f)
    np.testing.assert_array_equal(data.values, first.amplitude_mean_db()[[1, 5, 9, 13]])
    ax, bar = fig.axes[0], fig.axes[-1]
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("spectral line", "height (km)")
    assert bar.get_ylabel() == "amplitude (dB)"
    assert ax.get_ylim()[0] < 105 and ax.get_ylim()[1] > 310
    assert "example.dft" in ax.get_title() and "3200 kHz" in ax.get_title()
    assert "2026-12-08 12:00:00" in ax.get_title()  # day 342 of 2026
    # 1 / (0.01 * 32) / 32 Hz between lines; line 16 is the centre
    top = next(a for a in ax.child_axes if "Hz" in a.get_xlabel())
    assert "0.0976562" in top.get_xlabel()

    # record 4: the layer at 228 km, nearest the 240 km subblock; one antenna of a dataset
    fig = plot.spectrum(vexo.read(EXAMPLE), record=4, frequency=3200, antenna=2)
    data = fig.vexo_data
    assert data.height.values[np.argmax(data.values.max(axis=1))] == 240
    assert fig.vexo_choices == [] and data.attrs["antenna"] == "antenna 2"


def test_the_correction_flattens_the_phases_but_on_the_echos_lines():
    fig = plot.phases(EXAMPLE, record=3)
    data = fig.vexo_data
    assert data.attrs["subblock"] == 5  # the layer at 187 km: 3200 kHz, 180 km
    step = 360 / 256
    raw, corrected = data.sel(correction=False).values, data.sel(correction=True).values
    # the tilt: antenna 4 is 3 steps of 1.40625 degrees a line from the centre off antenna 1
    assert np.ptp(raw, axis=0).mean() > 20
    # corrected, away from the echo (its peak at line 12, six lines either side of it at most)
    # only the jitter of a step either way is left
    quiet = np.r_[0:6, 19:32]
    assert np.ptp(corrected[:, quiet], axis=0).max() <= 2 * step + 1e-4
    # at the peak the echo arrives from zenith angle 16 degrees, azimuth 18 (record 3), and
    # antennas 2, 3, 4 (40 m east, 40 m west, 60 m south of antenna 1) lead antenna 1 by
    # 360 degrees r.u / wavelength, give or take a step of jitter each and the rounding
    zenith, azimuth = np.radians(16), np.radians(18)
    u = np.sin(zenith) * np.array([np.sin(azimuth), np.cos(azimuth)])
    lead = 360 * np.array([[40, 0], [-40, 0], [0, -60]]) @ u / (299792458 / 3.2e6)
    got = corrected[1:, 12] - corrected[0, 12]
    np.testing.assert_array_less(np.abs((got - lead + 180) % 360 - 180), 2.5 * step + 1e-4)
    with vexo.open(EXAMPLE) as f:
        rec = [r for r in f][2]
    np.testing.assert_array_equal(data.sel(correction=False), rec.phase_degrees(correct=False)[5])
    left, right = fig.axes[:2]
    assert left.get_ylabel().startswith("phase (degrees")
    assert "without" in left.get_title() and "with the" in right.get_title()


def test_echo_follows_the_drifting_layer(make_dft):
    data = plot.echo(EXAMPLE).vexo_data
    # nearest subblock to the layer at 105, 146, 187, 228, 269, 310 km
    # (records 2 and 5 lie nearly half-way between two subblocks: either may win there)
    strongest = data.height.values[np.argmax(data.values, axis=0)]
    assert list(strongest[[0, 2, 3, 5]]) == [105, 180, 240, 310]
    # record 1 at 105 km: codes 8 to 13 of noise and 34 of echo, steps of 1.5 dB
    assert 63 <= data.values[0, 0] <= 70.5
    assert data.attrs["frequency"] == 3200 and data.sizes["time"] == 6

    # two files of two shapes, one after the other in time (record r is second r)
    one, two = make_dft(12, "5/4,4/4"), make_dft(3, "4/4")
    fig = plot.echo([one, two], frequency=2500, antenna="mean")
    data = fig.vexo_data
    assert data.sizes["time"] == 12  # the second file's 3 seconds are the first file's too
    assert np.argmax(data.values[:, 5]) == 3 and np.argmax(data.values[:, 10]) == 0
    assert fig.axes[0].get_ylabel() == "height (km)" and "12:00:00" in fig.axes[0].get_title()


@pytest.mark.parametrize("kind,extra", [("spectrum", []), ("phases", []),
                                        ("echo", [EXAMPLE])])
def test_every_kind_renders_a_picture_of_the_asked_size(tmp_path, kind, extra):
    from matplotlib.image import imread

    out = tmp_path / f"{kind}.png"
    done = run_plot(EXAMPLE, *extra, "-o", out, "--kind", kind, "--size", "640x480")
    assert done.returncode == 0, done.stderr
    assert done.stderr.startswith("python -m vexo plot: ") and "example.dft" in done.stderr
    pixels = imread(out)
    assert pixels.shape[:2] == (480, 640)
    assert len(np.unique(pixels.reshape(-1, pixels.shape[2]), axis=0)) > 50
    for suffix, start in ((".svg", b"<?xml"), (".pdf", b"%PDF")):
        assert run_plot(EXAMPLE, "-o", out.with_suffix(suffix)).returncode == 0
        assert out.with_suffix(suffix).read_bytes().startswith(start)


def test_bad_choices_name_what_the_file_has(tmp_path):
    out = tmp_path / "p.png"
    cases = [
        (["--frequency", "3000"], "no subblock at 3000 kHz in record 1; it has 2500, 3200, "
                                  "4100, 5600 kHz"),
        (["--record", "7"], "record 7 is beyond the end; the file has records 1 to 6"),
        (["--antenna", "5"], "no antenna 5; the record has antennas 1 to 4"),
        (["--kind", "phases", "--subblock", "16"], "no subblock 16 in record 1; it has "
                                                   "subblocks 0 to 15"),
    ]
    for args, message in cases:
        done = run_plot(EXAMPLE, "-o", out, *args)
        assert (done.returncode, done.stderr) == (2, f"python -m vexo plot: example.dft: "
                                                     f"{message}\n")
    assert run_plot(EXAMPLE, "-o", tmp_path / "p.jpg").returncode == 2
    assert run_plot(tmp_path / "none.dft", "-o", out).returncode == 1
    assert not list(tmp_path.iterdir())

    cut = tmp_path / "cut.dft"
    cut.write_bytes(EXAMPLE.read_bytes()[: 3 * 4096 + 10])
    done = run_plot(cut, "-o", out, "--kind", "echo")
    assert done.returncode == 1 and "record 4 at byte 12288: truncated record" in done.stderr
    assert out.exists()


def test_damage_and_other_warnings_are_said_and_a_record_past_2_to_the_62_is_one_line(
        tmp_path, monkeypatch, capsys):
    cut = tmp_path / "cut.dft"
    cut.write_bytes(EXAMPLE.read_bytes()[: 3 * 4096 + 10])
    for kind in ("spectrum", "phases"):  # the record chosen lies before the damage
        done = run_plot(cut, "-o", tmp_path / "c.png", "--kind", kind)
        assert done.returncode == 1 and "record 4 at byte 12288: truncated record" in \
            done.stderr, done.stderr
    done = run_plot(cut, "-o", tmp_path / "c.png", "--record", "5")  # the damage said once
    assert done.returncode == 1 and done.stderr.count("truncated record") == 1, done.stderr
    done = run_plot(EXAMPLE, "-o", tmp_path / "c.png", "--record", str(2**62 + 1))
    assert done.returncode == 2 and "Traceback" not in done.stderr
    assert done.stderr.splitlines()[-1].endswith("records are numbered from 1 (to 2^62)")

    import warnings

    from vexo._commands import plot as command
    from vexo._errors import warn_damaged

    def draw(args, sources):
        warnings.warn("a warning of its own", RuntimeWarning)
        warn_damaged("cut.dft", "record 4: truncated")
        return None

    monkeypatch.setattr(command, "_draw", draw)
    with pytest.warns(RuntimeWarning, match="a warning of its own"):  # passed on
        assert command._picture(None, [], "vexo-plot") == (1, None)
    assert capsys.readouterr().err == "vexo-plot: cut.dft: record 4: truncated\n"


def test_odd_names_damage_and_partial_choices(tmp_path):
    data = EXAMPLE.read_bytes()
    for name in ("x$_1$y.dft", os.fsdecode(b"n\xffx.dft")):
        path = tmp_path / name
        path.write_bytes(data)
        fig = plot.spectrum(path)
        assert fig.axes[0].get_title().startswith(name.replace("$", r"\$").replace(
            "\udcff", r"\xff") + ":")
        done = run_plot(path, "-o", tmp_path / "n.png", "--kind", "echo")
        assert done.returncode == 0, done.stderr
    (tmp_path / "t.dft").write_bytes(data[:100])
    for kind in ("spectrum", "echo"):
        done = run_plot(tmp_path / "t.dft", "-o", tmp_path / "t.png", "--kind", kind)
        assert done.returncode == 1 and "truncated record, 100 of 4096 bytes" in done.stderr
    # polarization 1 alone: the strongest frequency among its subblocks (2500 and 4100 kHz)
    fig = plot.spectrum(EXAMPLE, polarization=1)
    assert fig.vexo_data.attrs["frequency"] == 2500
    assert run_plot(EXAMPLE, "-o", tmp_path / "p.png", "--kind", "phases",
                    "--polarization", "1").returncode == 2


def test_echo_shows_bursts_of_records_hours_apart():
    ds = vexo.read(EXAMPLE)
    bursts = []
    for hour in range(8):  # six records a second apart, every hour
        part = ds.copy()
        part["time"] = part.time + np.timedelta64(hour, "h")
        bursts.append(part)
    data = plot.echo(bursts, size=(1200, 600)).vexo_data
    assert data.sizes["time"] <= 1200  # not a column a second: bins of the picture's width
    filled = data.time.values[~np.isnan(data.values).all(axis=0)]
    minutes = (filled - ds.time.values[0]).astype("timedelta64[m]").astype(int)
    assert sorted(set((minutes + 30) // 60)) == list(range(8))  # a bin holds a burst's start


def test_echo_of_a_selection(tmp_path):
    # Records 2 to 4 (12:00:01 to 12:00:03) at two of the example's four heights.
    chosen = vexo.Selection(records=range(2, 5), height=[180, 240])
    data = plot.echo(EXAMPLE, selection=chosen).vexo_data
    assert data.height.values.tolist() == [180, 240]
    assert [str(t)[11:19] for t in data.time.values] == ["12:00:01", "12:00:02", "12:00:03"]
    out = tmp_path / "echo.png"
    done = subprocess.run([sys.executable, "-m", "vexo", "plot", str(EXAMPLE), "-o", str(out),
                           "--kind", "echo", "--records", "2-4", "--height", "180,240"],
                          capture_output=True, text=True)
    assert done.returncode == 0 and out.exists(), done.stderr
    refused = subprocess.run([sys.executable, "-m", "vexo", "plot", str(EXAMPLE), "-o",
                              str(out), "--records", "2"], capture_output=True, text=True)
    assert refused.returncode == 2 and "--kind echo" in refused.stderr


# The sky map. The example's echo comes, in record n, from zenith 10 + 3 (n - 1) degrees and
# azimuth 9 (n - 1) degrees (examples/layout.toml): record 3 from 16 degrees, azimuth 18.
LAYOUT = EXAMPLE.with_name("layout.toml")


def arrows(fig):
    return [t for t in fig.axes[0].texts if getattr(t, "arrow_patch", None) is not None]


def test_skymap_draws_the_resolved_echoes_where_they_come_from():
    table = vexo.echoes(EXAMPLE, layout=LAYOUT)
    fig = plot.skymap(EXAMPLE, layout=LAYOUT)
    # the example's subblocks alternate polarizations 1 and 2: one map shows one of them
    assert fig.vexo_choices == ["record 1 (the first with a resolved echo)",
                                "polarization 1 (the lowest; also 2)"]
    assert fig.vexo_data.attrs["polarization"] == 1
    two = plot.skymap_data(EXAMPLE, layout=LAYOUT, polarization=2, ordinary=1).data
    assert two.attrs["magnetoionic_mode"] == "X"
    assert fig.vexo_data.attrs["magnetoionic_mode"] == ""
    assert two.sizes["echo"] == int((table.resolved & (table.record == 1)
                                     & (table.polarization == 2)).sum()) > 0
    ax = fig.axes[0]
    assert ax.name == "polar" and ax.get_theta_direction() == -1  # clockwise
    assert ax.get_theta_offset() == pytest.approx(np.pi / 2)  # north up
    assert ax.get_ylim() == (0, 90) and "Hz" in fig.axes[-1].get_ylabel()

    fig = plot.skymap(EXAMPLE, layout=LAYOUT, record=3, polarization=1)
    data = fig.vexo_data
    mine = table[(table.record == 3) & table.resolved & (table.polarization == 1)]
    assert data.sizes["echo"] == len(mine) > 0 and fig.vexo_choices == []
    for column in ("zenith", "azimuth", "doppler", "line", "frequency", "height"):
        np.testing.assert_array_equal(data[column].values, mine[column].to_numpy())
    assert np.median(data.zenith) == pytest.approx(16, abs=1.5)
    assert np.median(data.azimuth) == pytest.approx(18, abs=3)
    (dots,) = fig.axes[0].collections
    assert dots.norm.vcenter == 0 and dots.norm.halfrange == np.abs(mine.doppler).max()
    np.testing.assert_allclose(dots.get_offsets()[:, 0], np.deg2rad(mine.azimuth))

    # a minute holds all six records; their echoes come from a cone of about a degree (one
    # direction at a time, moving 15° in all), too narrow to give all three components of
    # a drift: no arrow rather than one of hundreds of m/s
    fig = plot.skymap(EXAMPLE, layout=LAYOUT, record=3, window=60, frequency=3200)
    data = fig.vexo_data
    at = table[(table.frequency == 3200)]
    assert data.attrs["records"] == [1, 2, 3, 4, 5, 6]
    assert data.attrs["end"] == "2026-12-08 12:01:00"
    np.testing.assert_array_equal(data.record.values, at.record[at.resolved].to_numpy())
    assert np.isnan(vexo.drift(at, window=60).v_east).all()
    assert not arrows(fig) and np.isnan(data.attrs["drift_speed"])


def test_skymap_of_a_table_points_the_arrow_where_the_drift_goes():
    pd = pytest.importorskip("pandas")
    # v = (-6, -8, 2) m/s: 10 m/s horizontally toward azimuth 180 + atan(6/8) = 216.87 degrees
    v = np.array([-6.0, -8.0, 2.0])
    east = np.array([0.0, 0.3, 0.0, -0.2, 0.1])
    north = np.array([0.0, 0.0, 0.3, -0.2, 0.25])
    up = np.sqrt(1 - east ** 2 - north ** 2)
    wavelength = 299792458 / 3.2e6
    table = pd.DataFrame({
        "file": "a.dft", "record": 7, "time": pd.Timestamp("2026-12-08 12:00"),
        "subblock": 0, "frequency": 3200.0, "height": 100.0, "line": np.arange(5),
        "doppler": -2 * (np.stack([east, north, up], axis=1) @ v) / wavelength,
        "east": east, "north": north, "zenith": np.degrees(np.arcsin(np.hypot(east, north))),
        "azimuth": np.degrees(np.arctan2(east, north)) % 360, "resolved": True})
    fig = plot.skymap(table)
    data = fig.vexo_data
    assert data.attrs["file"] == "a.dft" and data.attrs["records"] == [7]
    assert data.attrs["drift_speed"] == pytest.approx(10)
    assert data.attrs["drift_azimuth"] == pytest.approx(216.8699, abs=1e-4)
    (arrow,) = arrows(fig)
    # 10 m/s on a round scale of 20 m/s to the rim (the least above 1.25 times the speed)
    assert arrow.xy == pytest.approx((np.radians(216.8699), 45.0), abs=1e-4)
    legend = fig.axes[0].get_legend().get_texts()[0].get_text()
    assert "10 m/s toward 217°" in legend and "20 m/s" in legend

    assert not arrows(plot.skymap(table.head(3)))  # three echoes tell no velocity
    with pytest.raises(plot.ChoiceError, match="no echo of record 8 in the table; it has "
                                               "records 7"):
        plot.skymap(table, record=8)


def test_skymap_command_and_its_errors(tmp_path):
    out = tmp_path / "sky.png"
    done = run_plot(EXAMPLE, "-o", out, "--kind", "skymap", "--layout", LAYOUT,
                    "--window", "60", "--threshold-db", "12", "--size", "640x600")
    assert done.returncode == 0, done.stderr
    assert done.stderr == ("python -m vexo plot: example.dft: record 1 (the first with a "
                           "resolved echo), polarization 1 (the lowest; also 2)\n")
    from matplotlib.image import imread

    assert imread(out).shape[:2] == (600, 640)

    (tmp_path / "bad.toml").write_text("[antennas\n")
    for name, east in (("huge.toml", "1e300"), ("wide.toml", "1e5")):
        text = LAYOUT.read_text().replace("east = 40.0", f"east = {east}")
        (tmp_path / name).write_text(text)
    (tmp_path / "five.toml").write_text(LAYOUT.read_text().replace(
        "[antennas]", "[antennas]\n5 = { east = 80.0, north = 0.0 }"))
    cases = [
        (["--layout", tmp_path / "none.toml"], f"{tmp_path}/none.toml: No such file or "
                                               "directory"),
        (["--layout", tmp_path / "bad.toml"], f"{tmp_path}/bad.toml: not a TOML file"),
        (["--layout", tmp_path / "huge.toml"], f"{tmp_path}/huge.toml: antenna 2: east: "
                                               "1e+300 m is not a place on the ground"),
        (["--layout", tmp_path / "wide.toml"], f"{EXAMPLE}: layout {tmp_path}/wide.toml: a "
                                               "baseline of 100040 m is"),
        (["--layout", tmp_path / "five.toml"], "example.dft: record 1: no antenna 5 of the "
                                               "layout"),
        (["--layout", LAYOUT, "--frequency", "3000"],
         "example.dft: no record has a resolved echo at 3000 kHz (records 1 to 6); the "
         "echoes are at 2500, 3200, 4100, 5600 kHz"),
        (["--layout", LAYOUT, "--record", "7"], "example.dft: record 7 is beyond the end"),
    ]
    for args, message in cases:
        done = run_plot(EXAMPLE, "-o", out, "--kind", "skymap", *args)
        assert done.returncode == 2 and done.stderr.startswith(
            f"python -m vexo plot: {message}") and done.stderr.count("\n") == 1, done.stderr
    for args in (["--kind", "skymap"], ["--kind", "skymap", "--layout", LAYOUT, "--antenna",
                                        "1"], ["--window", "60"], ["--layout", LAYOUT],
                 ["--kind", "skymap", "--layout", LAYOUT, "--window", "-1"]):
        done = run_plot(EXAMPLE, "-o", out, *args)
        assert done.returncode == 2 and "usage:" in done.stderr, args


# The data steps and drawing into given Axes.

def test_the_data_steps_need_no_matplotlib():
    table = vexo.echoes(EXAMPLE, layout=LAYOUT)
    dots = int((table.resolved & (table.record == 1) & (table.polarization == 1)).sum())
    code = (f"import sys\nsys.modules['matplotlib'] = None  # importing it fails\n"
            f"import vexo.plot as plot\nexample, layout = {str(EXAMPLE)!r}, {str(LAYOUT)!r}\n"
            "for data, _ in (plot.spectrum_data(example), plot.phases_data(example),\n"
            "                plot.echo_data(example), plot.skymap_data(example, layout=layout)):\n"
            "    print(dict(data.sizes))\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "{'height': 4, 'line': 32}", "{'correction': 2, 'antenna': 4, 'line': 32}",
        "{'height': 4, 'time': 6}", f"{{'echo': {dots}}}"]


def test_the_data_steps_give_the_values_of_the_records():
    ds = vexo.read(EXAMPLE)
    # record 4 at 3200 kHz, antenna 2: one subblock a height, so the rows are those subblocks
    data, choices = plot.spectrum_data(EXAMPLE, record=4, frequency=3200, antenna=2)
    one = ds.sel(record=4)
    at = np.flatnonzero(one.frequency.values == 3200)
    at = at[np.argsort(one.height.values[at])]
    np.testing.assert_array_equal(data.values, one.amplitude_db.values[at, 1])
    assert choices == [] and data.attrs["line_spacing"] == one.line_spacing

    # two columns and two rows: each cell the strongest of its records (1 to 3, 4 to 6;
    # seconds 0 to 5 in bins of 2.5) and heights (105 and 180, 240 and 310 km; bins of
    # 102.5 km from 105), the strongest of a subblock over antennas and lines
    data, choices = plot.echo_data(EXAMPLE, frequency=3200, cells=(2, 2))
    strongest = ds.amplitude_db.max(("antenna", "line")).values
    want = np.full((2, 2), -np.inf)
    for r, s in zip(*np.nonzero(ds.frequency.values == 3200)):
        cell = (int(ds.height.values[r, s] > 200), r // 3)
        want[cell] = max(want[cell], strongest[r, s])
    np.testing.assert_array_equal(data.values, want)
    assert data.height.values.tolist() == [156.25, 258.75]
    assert [str(t)[11:19] for t in data.time.values] == ["12:00:01", "12:00:04"]
    assert choices[-2:] == ["times in 2 columns of 2.5 s (the strongest of each)",
                            "heights in 2 rows of 102 km (the strongest of each)"]


def test_every_kind_of_source_goes_the_one_way():
    ds = vexo.read(EXAMPLE)
    with vexo.open(EXAMPLE) as f:
        third = [r for r in f][2]
    want = plot.spectrum_data(EXAMPLE, record=3).data
    turns = plot.phases_data(EXAMPLE, record=3).data
    image = plot.echo_data(EXAMPLE).data
    # the path's phases come from the index and a part of the record: both as the record's
    np.testing.assert_array_equal(turns.values, np.stack(
        [third.phase_degrees(correct=c)[turns.attrs["subblock"]] for c in (False, True)]))
    assert plot.phases_data(third, name="example.dft").data.identical(turns)
    with open(EXAMPLE, "rb") as stream, vexo.open(EXAMPLE) as f:
        for source in (os.fsencode(EXAMPLE), stream, f, third, ds):
            assert plot.spectrum_data(source, record=3, name="example.dft").data.identical(want)
    with open(EXAMPLE, "rb") as stream, vexo.open(EXAMPLE) as f:
        for sources in (stream, f, ds, [EXAMPLE]):
            np.testing.assert_array_equal(plot.echo_data(sources).data, image)
    dots = plot.skymap_data(EXAMPLE, layout=LAYOUT, record=3, drift=False).data
    table = plot.skymap_data(vexo.echoes(EXAMPLE, layout=LAYOUT), record=3, drift=False).data
    for name in ("zenith", "azimuth", "doppler", "line"):
        np.testing.assert_array_equal(dots[name], table[name])
    refused = [(plot.echo_data, third, "not a vexo.Record"),
               (plot.skymap_data, ds, "not a dataset of vexo.read"),
               (plot.spectrum_data, vexo.echoes(EXAMPLE, layout=LAYOUT), "not a table of echoes"),
               (plot.phases_data, 3, "expected a path, .* not int")]
    for data_step, source, message in refused:
        with pytest.raises(TypeError, match=message):
            data_step(source)


def test_pictures_draw_into_the_axes_given():
    from matplotlib.figure import Figure

    fig = Figure()
    left, right = fig.subplots(1, 2)
    assert plot.spectrum(EXAMPLE, ax=left) is fig and fig.vexo_data.identical(
        plot.spectrum_data(EXAMPLE).data)
    (mesh,) = left.collections
    np.testing.assert_array_equal(mesh.get_array().reshape(4, 32), fig.vexo_data.values)
    assert plot.echo(EXAMPLE, ax=right) is fig and right.get_ylabel() == "height (km)"
    assert len(fig.axes) == 4  # and a colour bar beside each

    panels = Figure().subfigures(1, 2)[1].subplots(1, 2)
    fig = plot.phases(EXAMPLE, ax=panels)  # the whole figure; the title over the subfigure
    assert fig is panels[0].figure.figure and [len(ax.lines) for ax in panels] == [4, 4]
    assert panels[0].figure.get_suptitle().startswith("example.dft: record 1")
    polar = Figure().add_subplot(projection="polar")
    assert plot.skymap(EXAMPLE, layout=LAYOUT, ax=polar) is polar.figure
    assert len(polar.collections) == 1
    with pytest.raises(ValueError, match="polar Axes"):
        plot.skymap(EXAMPLE, layout=LAYOUT, ax=left)
    with pytest.raises(ValueError, match="give 2 Axes"):
        plot.phases(EXAMPLE, ax=left)
    with pytest.raises(ValueError, match="size and ax"):
        plot.spectrum(EXAMPLE, ax=left, size=(640, 480))
