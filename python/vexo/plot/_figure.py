"""Figures: sizes and their limits, a new figure, and finishing one (vexo_data, vexo_choices).
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, List, Tuple, Union

import numpy as np

if TYPE_CHECKING:
    import xarray as xr
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure


Size = Tuple[int, int]


DPI = 100


def _title(text: str) -> str:
    """Text that matplotlib draws as it is (a $ would start mathematics)."""
    return text.replace("$", r"\$")


def _check_size(size: Size) -> None:
    width: Any = None
    height: Any = None
    try:
        width, height = size
    except (TypeError, ValueError):
        pass
    if not (isinstance(width, int) and isinstance(height, int) and 200 <= width <= 20000
            and 150 <= height <= 20000):
        raise ValueError(f"size: {size!r} is not a width of 200 to 20000 and a height of 150 "
                         "to 20000 pixels")


def _figure(size: Size, columns: int = 1) -> Tuple["Figure", List["Axes"]]:
    from matplotlib.figure import Figure

    _check_size(size)
    width, height = size
    fig = Figure(figsize=(width / DPI, height / DPI), dpi=DPI, layout="constrained")
    axes = fig.subplots(1, columns, sharey=True, squeeze=False)[0]
    return fig, list(axes)


def _edges(centres: np.ndarray, lone_width: float) -> np.ndarray:
    """Cell edges half-way between sorted centres; the outer cells as wide as their neighbour."""
    if len(centres) == 1:
        return np.array([centres[0] - lone_width / 2, centres[0] + lone_width / 2])
    middle = (centres[1:] + centres[:-1]) / 2
    return np.concatenate([[2 * centres[0] - middle[0]], middle, [2 * centres[-1] - middle[-1]]])


def _when(time: np.datetime64) -> str:
    return "time unknown" if np.isnat(time) else str(time.astype("datetime64[s]")).replace("T", " ")


def _finish(fig: "Figure", data: Union["xr.DataArray", "xr.Dataset"],
            choices: List[str]) -> "Figure":
    fig.vexo_data = data  # type: ignore[attr-defined]
    fig.vexo_choices = choices  # type: ignore[attr-defined]
    return fig


def _nice_above(value: float) -> float:
    """The least of 1, 2 and 5 times a power of ten that is at least value."""
    power = 10.0 ** math.floor(math.log10(value))
    for step in (1.0, 2.0, 5.0, 10.0):
        if step * power >= value * (1 - 1e-12):
            return step * power
    return 10.0 * power  # pragma: no cover - the loop ends at ten
