"""Figures: the pictures' sizes and their limits (read by vexo-plot), what a picture is drawn
on (a figure of its own, or the Axes given), time axes, and finishing a picture (vexo_data,
vexo_choices).
"""

from __future__ import annotations

import math
from types import MappingProxyType
from typing import TYPE_CHECKING, Any, List, Mapping, Optional, Tuple

import numpy as np

from vexo.plot._choices import PictureData

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure


Size = Tuple[int, int]

DPI = 100

#: The size of each picture on a figure of its own, (width, height) in pixels (read-only).
SIZES: Mapping[str, Size] = MappingProxyType({
    "spectrum": (1000, 600), "phases": (1200, 550), "echo": (1200, 600), "skymap": (900, 800)})

#: The smallest and the largest picture, (width, height) in pixels.
SMALLEST_SIZE: Size = (200, 150)
LARGEST_SIZE: Size = (20000, 20000)


def size_fits(size: Any) -> bool:
    """True for a (width, height) of whole numbers from SMALLEST_SIZE to LARGEST_SIZE."""
    try:
        width, height = size
    except (TypeError, ValueError):
        return False
    return (isinstance(width, int) and isinstance(height, int)
            and SMALLEST_SIZE[0] <= width <= LARGEST_SIZE[0]
            and SMALLEST_SIZE[1] <= height <= LARGEST_SIZE[1])


def figure_size(picture: str, size: Optional[Size]) -> Size:
    """The size of a picture on a figure of its own: size, or the picture's default when None;
    a ValueError when it does not fit."""
    if size is None:
        return SIZES[picture]
    if not size_fits(size):
        raise ValueError(f"size: {size!r} is not a width of {SMALLEST_SIZE[0]} to "
                         f"{LARGEST_SIZE[0]} and a height of {SMALLEST_SIZE[1]} to "
                         f"{LARGEST_SIZE[1]} pixels")
    width, height = size
    return width, height


def canvas(picture: str, size: Optional[Size], ax: Any, panels: int = 1,
           polar: bool = False) -> Tuple["Figure", List["Axes"]]:
    """The figure and the Axes (panels of them, side by side) that a picture is drawn on: a new
    figure of `size` (see figure_size), or the Axes given (ax; then size must be None)."""
    if ax is None:
        return _new_figure(figure_size(picture, size), panels, polar)
    if size is not None:
        raise ValueError("size and ax: give one or the other (a picture drawn into ax takes "
                         "the place of its Axes)")
    axes = _given_axes(picture, ax, panels, polar)
    return _root(axes[0]), axes


def _new_figure(size: Size, panels: int, polar: bool) -> Tuple["Figure", List["Axes"]]:
    from matplotlib.figure import Figure

    width, height = size
    fig = Figure(figsize=(width / DPI, height / DPI), dpi=DPI, layout="constrained")
    if polar:
        return fig, [fig.add_subplot(projection="polar")]
    return fig, list(fig.subplots(1, panels, sharey=True, squeeze=False)[0])


def _given_axes(picture: str, ax: Any, panels: int, polar: bool) -> List["Axes"]:
    """ax as a list of `panels` Axes of one figure (polar ones with polar)."""
    from matplotlib.axes import Axes

    if panels == 1 and not isinstance(ax, Axes):
        raise TypeError(f"ax: expected a matplotlib Axes, not {type(ax).__name__}")
    try:
        axes = [ax] if isinstance(ax, Axes) else list(ax)
    except TypeError:
        axes = []
    if len(axes) != panels or not all(isinstance(a, Axes) for a in axes):
        raise ValueError(f"ax: {picture} draws {panels} panels side by side: give {panels} "
                         f"Axes, as fig.subplots(1, {panels}) gives them")
    if any(a.figure is not axes[0].figure for a in axes):
        raise ValueError(f"ax: the {panels} Axes are not of one figure")
    if polar and axes[0].name != "polar":
        raise ValueError(f"ax: {picture} draws on a polar Axes (projection=\"polar\"), not on "
                         f"a {axes[0].name} one")
    return axes


def _root(ax: "Axes") -> "Figure":
    """The figure an Axes is drawn on (the whole figure when the Axes is in a subfigure)."""
    from matplotlib.figure import Figure

    fig = ax.figure
    return fig if isinstance(fig, Figure) else fig.figure  # a subfigure's: the whole one


#: What a time axis says of its times: they are UTC.
TIME_LABEL = "time (UTC)"

# The tick labels of a time axis by what changes across its ticks (years, months, days, hours,
# minutes, seconds): a clock time always carries its minutes, and its seconds where the ticks
# are seconds apart (so that "12:00:05" is not read as five past noon); the date is beside
# the axis when the ticks do not give it.
_TICKS = ["%Y", "%b", "%d", "%H:%M", "%H:%M", "%H:%M:%S.%f"]
_FIRST_TICKS = ["", "%Y", "%b", "%Y-%m-%d", "%H:%M", "%H:%M:%S.%f"]
_DATES = ["", "%Y", "%Y-%m", "%Y-%m-%d", "%Y-%m-%d", "%Y-%m-%d"]


def time_axis(ax: "Axes") -> None:
    """Makes the x axis of ax, in days as matplotlib.dates counts them, a time axis in UTC:
    its label names the zone, its ticks are as many as fit and show the seconds where they
    are seconds apart, the date beside them."""
    from datetime import timezone

    from matplotlib import dates

    fit = max(3, min(11, int(ax.bbox.width // 80)))  # about 80 pixels a label
    locator = dates.AutoDateLocator(tz=timezone.utc, maxticks=fit)
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(dates.ConciseDateFormatter(
        locator, tz=timezone.utc, formats=_TICKS, zero_formats=_FIRST_TICKS,
        offset_formats=_DATES))
    ax.set_xlabel(TIME_LABEL)


def finish(fig: "Figure", picked: PictureData) -> "Figure":
    """fig, carrying what it shows as vexo_data and vexo_choices."""
    fig.vexo_data = picked.data  # type: ignore[attr-defined]
    fig.vexo_choices = picked.choices  # type: ignore[attr-defined]
    return fig


def title(text: str) -> str:
    """Text that matplotlib draws as it is (a $ would start mathematics)."""
    return text.replace("$", r"\$")


def edges(centres: np.ndarray, lone_width: float) -> np.ndarray:
    """Cell edges half-way between sorted centres; the outer cells as wide as their neighbour."""
    if len(centres) == 1:
        return np.array([centres[0] - lone_width / 2, centres[0] + lone_width / 2])
    middle = (centres[1:] + centres[:-1]) / 2
    return np.concatenate([[2 * centres[0] - middle[0]], middle, [2 * centres[-1] - middle[-1]]])


def when(time: np.datetime64) -> str:
    """A time to the second as the titles give it ("time unknown" for NaT)."""
    return "time unknown" if np.isnat(time) else str(time.astype("datetime64[s]")).replace("T", " ")


def nice_above(value: float) -> float:
    """The least of 1, 2 and 5 times a power of ten that is at least value."""
    power = 10.0 ** math.floor(math.log10(value))
    for step in (1.0, 2.0, 5.0, 10.0):
        if step * power >= value * (1 - 1e-12):
            return step * power
    return 10.0 * power  # pragma: no cover - the loop ends at ten
