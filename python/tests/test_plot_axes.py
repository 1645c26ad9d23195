"""The pictures' axes read at a glance: times in UTC to the second where the records are
seconds apart, the zenith angle named on the sky map's rings and its dots in time order."""

from __future__ import annotations

import numpy as np
import pytest

import vexo
from conftest import EXAMPLE

plot = pytest.importorskip("vexo.plot")
LAYOUT = EXAMPLE.with_name("layout.toml")


def drawn(fig):
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    FigureCanvasAgg(fig).draw()
    return fig


@pytest.mark.parametrize("step", [np.timedelta64(1, "s"), np.timedelta64(4800, "ms"),
                                  np.timedelta64(2, "h")])
def test_the_echo_time_axis_is_utc_and_its_ticks_tell_the_times_apart(step):
    import matplotlib

    ds = vexo.read(EXAMPLE)
    first = ds.time.values[0].astype("datetime64[ms]")
    ds["time"] = first + step * np.arange(ds.sizes["time"])  # spans of 5 s, 24 s and 10 h
    # a local zone asked of matplotlib does not move the times, which are UTC
    with matplotlib.rc_context({"timezone": "Asia/Tokyo"}):
        ax = drawn(plot.echo(ds)).axes[0]
        labels = [t.get_text() for t in ax.get_xticklabels()]
        day = ax.xaxis.get_major_formatter().get_offset()  # the date beside the ticks
    assert "UTC" in ax.get_xlabel()
    assert len(labels) >= 3 and len(set(labels)) == len(labels)
    assert day == str(first.astype("datetime64[D]"))
    ticks = np.array([np.datetime64(f"{day}T{label}") for label in labels])
    # every tick lies on the image, a column (at most a step) either side of the records
    last = first + step * (ds.sizes["time"] - 1)
    assert ((ticks >= first - step) & (ticks <= last + step)).all()
    if step < np.timedelta64(1, "m"):  # seconds apart: the seconds show
        assert all(label.count(":") == 2 for label in labels)


def test_the_skymap_names_its_rings_and_sizes_its_dots_by_time():
    # the example's echo at 3200 kHz comes from zenith 10 + 3 (n - 1) degrees in record n,
    # the records a second apart: the dots grow as the echo moves out
    fig = drawn(plot.skymap(EXAMPLE, layout=LAYOUT, record=3, window=60, frequency=3200))
    ax, data = fig.axes[0], fig.vexo_data
    assert [t.get_text() for t in ax.get_yticklabels()] == ["30°", "60°", "90°"]
    assert any(t.get_text() == "zenith angle" for t in ax.texts)

    (dots,) = ax.collections
    azimuth, zenith = dots.get_offsets().T
    # each dot drawn, matched to its echo by where it is
    at = [int(np.flatnonzero(np.isclose(data.zenith, z) & np.isclose(np.deg2rad(data.azimuth),
                                                                     a))[0])
          for a, z in zip(azimuth, zenith)]
    seconds = (data.time.values[at] - data.time.values.min()) / np.timedelta64(1, "s")
    areas = dots.get_sizes()
    np.testing.assert_array_equal(seconds, data.record.values[at] - 1)
    times = sorted(set(seconds))
    assert len(times) >= 4  # records 1 to 5 have their echo resolved
    for earlier, later in zip(times, times[1:]):
        assert areas[seconds == earlier].max() < areas[seconds == later].min()
    assert np.corrcoef(areas, data.zenith.values[at])[0, 1] > 0.9  # outward as it grows
    texts = [t.get_text() for legend in ax.findobj(lambda a: type(a).__name__ == "Legend")
             for t in legend.get_texts()]
    assert "echoes at 2026-12-08 12:00:00 UTC" in texts and "+4 s" in texts

    # one record: one time, one size
    (dots,) = drawn(plot.skymap(EXAMPLE, layout=LAYOUT, record=3)).axes[0].collections
    assert len(set(dots.get_sizes())) == 1
