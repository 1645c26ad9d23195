"""The dots of a map by their time: seconds from the first, a dot's area growing with them,
and the legend that reads the areas as times (UTC).
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    import xarray as xr
    from matplotlib.axes import Axes

#: The least and the most area of a dot (points squared): the first and the last time drawn.
DOT_AREAS = (10.0, 90.0)


def seconds_of(data: "xr.Dataset") -> np.ndarray:
    """Each dot's time in seconds from the first dot's (0 where the data has no time)."""
    if "time" not in data.coords or not data.sizes["echo"]:
        return np.zeros(data.sizes["echo"])
    ns = data.time.values.astype("datetime64[ns]")
    valid = ~np.isnat(ns)
    if not valid.any():
        return np.zeros(len(ns))
    seconds = (ns - ns[valid].min()).astype(np.int64) / 1e9
    return np.where(valid, seconds, 0.0)


def areas_by_time(seconds: np.ndarray) -> np.ndarray:
    """The area of each dot: growing with its time from the least to the most of DOT_AREAS;
    all the middle one when the dots are of one time."""
    least, most = DOT_AREAS
    span = float(np.max(seconds, initial=0.0))
    if span <= 0:
        return np.full(len(seconds), (least + most) / 2)
    return least + (most - least) * seconds / span


def time_legend(ax: "Axes", seconds: np.ndarray, times: np.ndarray, lower: bool) -> None:
    """The legend of the dots' sizes: the first time (UTC), then round numbers of seconds
    after it; one row below the map (lower: below the legend of the Axes, that of the
    drift, too), a legend of its own beside it."""
    from matplotlib.legend import Legend
    from matplotlib.lines import Line2D
    from matplotlib.ticker import MaxNLocator
    from matplotlib.transforms import ScaledTranslation

    span = float(seconds.max())
    steps = [t for t in MaxNLocator(nbins=3, steps=[1, 2, 2.5, 5, 10]).tick_values(0, span)
             if 0 <= t <= span * (1 + 1e-9)]
    ns = times.astype("datetime64[ns]")
    first = str(ns[~np.isnat(ns)].min().astype("datetime64[s]")).replace("T", " ")
    labels = [f"echoes at {first} UTC"] + [f"+{t:g} s" for t in steps[1:]]
    areas = areas_by_time(np.array(steps + [span]))[:-1]  # as the dots of those times
    handles = [Line2D([], [], linestyle="", marker="o", markersize=float(np.sqrt(area)),
                      markerfacecolor="lightgrey", markeredgecolor="black",
                      markeredgewidth=0.3) for area in areas]
    drift = ax.get_legend()
    size = float(drift.get_texts()[0].get_fontsize()) if lower and drift else 0.0
    row = 1.8 * size / 72  # inches
    down = ScaledTranslation(0.0, -row, ax.figure.dpi_scale_trans)
    legend = Legend(ax, handles, labels, loc="upper center", bbox_to_anchor=(0.5, -0.06),
                    bbox_transform=ax.transAxes + down, ncols=len(handles), frameon=False,
                    columnspacing=1.5)
    ax.add_artist(legend)
    legend.set_clip_on(False)  # below the map, not within its circle
