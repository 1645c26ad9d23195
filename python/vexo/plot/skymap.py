"""The sky map: where the echoes come from, a polar map of zenith angle and azimuth.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, List, Optional, cast

import numpy as np

from vexo._directions.echoes import (
    PRIOR,
    RESIDUAL_LIMIT,
    SIGNIFICANCE,
    THRESHOLD_DB,
    settings,
)
from vexo.plot._choices import ChoiceError, PictureData, whole
from vexo.plot._docs import returns, shared, size_and_ax
from vexo.plot._figure import Size, canvas, finish, nice_above, title, when
from vexo.plot._sizes import areas_by_time, seconds_of, time_legend
from vexo.plot._sources import Kind, taken
from vexo.plot._view import View, file_view, table_view, times_ns

if TYPE_CHECKING:
    import xarray as xr
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure
    from matplotlib.projections.polar import PolarAxes

SOURCES = (Kind.PATH, Kind.STREAM, Kind.TABLE)

_ABOUT = """
The colour map diverges from 0 Hz (blue: positive shifts, approaching; red: negative,
receding), its range the largest shift drawn either way. Where the dots are of several
times (a window), a dot's size grows with its time, the later ones beneath: the legend
below the map gives the first time (UTC) and sizes seconds after it. When vexo.drift
gives a velocity for the echoes in view, its horizontal part is an arrow from the centre
toward where the reflectors move, as long on the map's 90° of radius as its speed is on
a round scale (the legend gives the speed, the direction and the scale). Echoes that
are not resolved have no direction: they are counted in the title, not drawn.
"""


_PARAMETERS = """
source : path, binary file object or pandas.DataFrame
    A DFT file, whose echoes are found as vexo.echoes finds them (only the records in view
    are read, besides the file's index), or a table of vexo.echoes (or the echo rows of
    an archive, with their column file).
layout : vexo.Layout, path of a TOML layout, or mapping
    The antennas (see vexo.Layout). Needed for a file; not used for a table.
record : int, optional
    The record (from 1) drawn, or the record whose time window is drawn. Default: the
    first record with a resolved echo (at `frequency` when given), so that a file is read
    only as far as that record. In a table of several files, a record number that more
    than one file has needs a window.
window : float, numpy.timedelta64 or pandas.Timedelta, optional
    Draw the time window of this length (seconds when a number) that holds the record:
    windows are aligned on whole multiples of the length since 1970-01-01, as vexo.drift
    aligns them, and take every record (of every file of a table) whose time lies in it.
    Default: the record alone.
frequency : float, optional
    Only the echoes at this sounding frequency (kHz). Default: every frequency.
polarization : int, optional
    Only the echoes of this polarization (as the descriptors number it): the magneto-ionic
    modes reflect at different heights along different paths, so one map (and its drift)
    shows one. Default: the lowest polarization among the resolved echoes in view, said
    among the choices when the view holds several.
ordinary : int, optional
    The polarization number of the ordinary (O) mode at this station: the title and the
    data's attribute magnetoionic_mode name the mode shown ("O" or "X"; "" without it).
threshold_db, significance, residual_limit, prior : optional
    As vexo.echoes takes them, with its defaults (for a file; a table is drawn as it
    is). Echoes that are not resolved (ambiguous among them, unless a prior chose) are
    not drawn.
drift : bool, default True
    Draw the arrow of the drift; False leaves it out (and vexo.drift is not called).
name : str, optional
    The name in the title and messages. Default: the file's name without its folders.
"""

_RAISES = """
ChoiceError
    When the file has no such record, no record has a resolved echo (at the frequency),
    the echoes in view have no such frequency, a record lacks antennas of the layout, or
    a record asked for in a window has no valid time.
TypeError
    When record is not a whole number, window is not a time, or the source is none of the
    above.
OSError
    When the file or the layout cannot be read.
ValueError
    When a file is given without a layout; for a layout that is not one, a window that is
    not positive, or a table without the columns of vexo.echoes.
"""

_WARNS = """
DamagedFileWarning
    When the file is damaged: the records before the damage are drawn.
"""

_DATA = """
An xarray.Dataset of the dots drawn, along the dimension echo: zenith and azimuth
(degrees) and doppler (Hz), with the coordinates record, time, subblock, frequency,
height and line of each (and file, for a table that has it). Its attributes give the
file, the records in view, time (the record's, or the window's start) and end (of the
window, else the same time), the frequency ("every" or kHz), the polarization (-1 for a
table without one), magnetoionic_mode ("O", "X" or ""), echoes (in view and of the
polarization, resolved or not), and drift_east, drift_north, drift_up, drift_speed
(horizontal, m/s) and drift_azimuth (degrees, where the horizontal drift points), NaN
where no velocity is drawn.
"""


def _velocity(echoes: Any, window: Any) -> np.ndarray:
    """The velocity (east, north, up; m/s) that vexo.drift gives for the echoes in view, NaN
    where it gives none."""
    from vexo._directions.drift import drift

    found = drift(echoes.drop(columns=["file"], errors="ignore"), window=window,
                  polarization="all")  # the view holds one polarization
    if len(found) == 1:
        return found[["v_east", "v_north", "v_up"]].to_numpy(dtype=np.float64)[0]
    return np.full(3, np.nan)


def _one_polarization(view: View, polarization: Optional[int], choices: List[str]) -> int:
    """Keeps the echoes of one polarization in view (see the parameter); returns it (-1 for a
    table without polarizations)."""
    table = view.echoes
    if "polarization" not in table.columns:
        if polarization is not None:
            raise ValueError("polarization: the table of echoes has no column polarization")
        return -1
    values = table["polarization"].to_numpy(dtype=np.int64)
    if polarization is None:
        resolved = np.unique(values[table["resolved"].to_numpy(dtype=bool)])
        present = resolved if len(resolved) else np.unique(values)
        if not len(present):
            return -1
        polarization = int(present[0])
        if len(present) > 1:
            others = ", ".join(str(int(p)) for p in present[1:])
            choices.append(f"polarization {polarization} (the lowest; also {others})")
    elif not np.any(values == polarization):
        have = ", ".join(str(int(p)) for p in np.unique(values)) or "none"
        raise ChoiceError(f"{view.name}: no echo of polarization {polarization} in view; "
                          f"its echoes are of polarization {have}")
    view.echoes = table[values == polarization]
    return polarization


def _dataset(view: View, frequency: Optional[float], polarization: int, mode: str,
             velocity: np.ndarray) -> "xr.Dataset":
    """The dots of the resolved echoes in view, with what the map says of them."""
    import xarray as xr

    table = view.echoes
    drawn = table[table["resolved"].to_numpy(dtype=bool)]
    speed = float(np.hypot(velocity[0], velocity[1]))
    heading = float(np.mod(np.rad2deg(np.arctan2(velocity[0], velocity[1])), 360.0))
    arrow = bool(np.isfinite(speed) and speed > 0)
    coords = {c: ("echo", drawn[c].to_numpy()) for c in
              ("file", "record", "time", "subblock", "frequency", "height", "line")
              if c in drawn.columns}
    if "time" in coords:
        coords["time"] = ("echo", times_ns(drawn["time"]))
    end = view.time if view.window is None else view.time + np.timedelta64(view.window, "ns")
    return xr.Dataset(
        {"zenith": ("echo", drawn["zenith"].to_numpy(dtype=np.float64),
                    {"units": "degree", "long_name": "zenith angle"}),
         "azimuth": ("echo", drawn["azimuth"].to_numpy(dtype=np.float64),
                     {"units": "degree", "long_name": "azimuth, clockwise from north"}),
         "doppler": ("echo", drawn["doppler"].to_numpy(dtype=np.float64),
                     {"units": "Hz", "long_name": "Doppler shift"})},
        coords=coords,
        attrs={"file": view.name, "records": list(view.records),
               "time": when(view.time), "end": when(end),
               "frequency": "every" if frequency is None else frequency,
               "polarization": polarization, "magnetoionic_mode": mode, "echoes": len(table),
               "drift_east": float(velocity[0]) if arrow else np.nan,
               "drift_north": float(velocity[1]) if arrow else np.nan,
               "drift_up": float(velocity[2]) if arrow else np.nan,
               "drift_speed": speed if arrow else np.nan,
               "drift_azimuth": heading if arrow else np.nan})


def _skymap(source: Any, layout: Any, record: Optional[int], window: Any,
            frequency: Optional[float], polarization: Optional[int], ordinary: Optional[int],
            echo: Any, drift: bool, name: Optional[str]) -> PictureData:
    """The data step of the sky map (for skymap and skymap_data alike, so that a damage
    warning points at their caller)."""
    from vexo._directions.drift import window_ns
    from vexo._reading.selection import reals

    kind = taken("skymap", source, SOURCES)
    if record is not None:
        record = whole("record", record, 1)
    width = window_ns(window)
    if frequency is not None:
        given = reals("frequency", frequency)
        if len(given) != 1:
            raise ValueError(f"frequency: {frequency!r} is not one frequency (kHz)")
        frequency = given[0]
    choices: List[str] = []
    if kind is Kind.TABLE:
        view = table_view(source, record, width, frequency, name, choices)
    elif layout is None:
        raise ValueError("skymap: a file needs the layout of its antennas (layout=...)")
    else:
        view = file_view(source, layout, record, width, frequency, echo, name, choices,
                         stacklevel=3)
    if polarization is not None:
        polarization = whole("polarization", polarization, 0)
    kept = _one_polarization(view, polarization, choices)
    if ordinary is not None:
        ordinary = whole("ordinary", ordinary, 0)
    mode = "" if ordinary is None or kept < 0 else ("O" if kept == ordinary else "X")
    resolved = view.echoes["resolved"].to_numpy(dtype=bool)
    velocity = (_velocity(view.echoes, window) if drift and resolved.any() else
                np.full(3, np.nan))
    return PictureData(_dataset(view, frequency, kept, mode, velocity), choices)


@shared(about=_ABOUT, parameters=_PARAMETERS, raises=_RAISES, warns=_WARNS, data=_DATA)
def skymap_data(source: Any, *, layout: Any = None, record: Optional[int] = None,
                window: Any = None, frequency: Optional[float] = None,
                polarization: Optional[int] = None, ordinary: Optional[int] = None,
                threshold_db: float = THRESHOLD_DB, significance: float = SIGNIFICANCE,
                residual_limit: Optional[float] = RESIDUAL_LIMIT,
                prior: Optional[str] = PRIOR, drift: bool = True,
                name: Optional[str] = None) -> PictureData:
    """What vexo.plot.skymap draws, without drawing: where the echoes of one record, or of a
    time window, come from (zenith angle and azimuth) and their Doppler shifts, with the
    drift that vexo.drift gives for them.

    Parameters
    ----------
    {parameters}

    Returns
    -------
    PictureData
        data is:
        {data}
        choices says what was chosen for the caller.

    Raises
    ------
    {raises}

    Warns
    -----
    {warns}

    Examples
    --------
    >>> import vexo.plot
    >>> data, choices = vexo.plot.skymap_data("examples/example.dft",
    ...                                       layout="examples/layout.toml", drift=False)
    >>> data.attrs["records"], choices
    ([1], ['record 1 (the first with a resolved echo)', 'polarization 1 (the lowest; also 2)'])
    """
    return _skymap(source, layout, record, window, frequency, polarization, ordinary,
                   settings(threshold_db, significance, residual_limit, prior), drift, name)


def _frequency_text(frequency: Any) -> str:
    return "every frequency" if frequency == "every" else f"{frequency:g} kHz"


#: Where the zenith angle is read along the map (azimuth, degrees).
_RING_LABELS = 22.5


def draw(ax: "PolarAxes", data: "xr.Dataset", windowed: bool) -> None:
    """Draws the data of skymap_data into a polar Axes, with the colour bar beside it;
    windowed: the data is of a time window (else of one record)."""
    from matplotlib.colors import CenteredNorm

    a, doppler = data.attrs, data.doppler.values
    ax.set_theta_zero_location("N")
    ax.set_theta_direction(-1)
    halfrange = float(np.max(np.abs(doppler))) if len(doppler) else 0.0
    seconds = seconds_of(data)
    areas = areas_by_time(seconds)
    order = np.argsort(-seconds, kind="stable")  # the later, larger dots beneath
    dots = ax.scatter(np.deg2rad(data.azimuth.values[order]), data.zenith.values[order],
                      c=doppler[order], s=areas[order], cmap="RdBu",
                      norm=CenteredNorm(0.0, halfrange or 1.0), edgecolors="black",
                      linewidths=0.3, zorder=3)
    _rings(ax)
    ax.set_thetagrids(np.arange(0, 360, 45), ["N", "45°", "E", "135°", "S", "225°", "W",
                                              "315°"])
    ax.grid(True, alpha=0.4)
    ax.figure.colorbar(dots, ax=ax, shrink=0.8, pad=0.08,
                       label="Doppler shift (Hz; positive: approaching)")
    if np.isfinite(a["drift_speed"]):
        _arrow(ax, a["drift_speed"], a["drift_azimuth"])
    if np.max(seconds, initial=0.0) > 0:
        time_legend(ax, seconds, data.time.values, np.isfinite(a["drift_speed"]))
    count = len(a["records"])
    span = (f"{a['time']} to {a['end']}, {count} record{'s' if count != 1 else ''}"
            if windowed else f"record {a['records'][0]}, {a['time']}")
    named = f" ({a['magnetoionic_mode']} mode)" if a["magnetoionic_mode"] else ""
    mode = f", polarization {a['polarization']}{named}" if a["polarization"] >= 0 else ""
    ax.set_title(title(f"{a['file']}: {span}\n{data.sizes['echo']} of {a['echoes']} echoes "
                       f"resolved, {_frequency_text(a['frequency'])}{mode}"), pad=24)


def _rings(ax: "PolarAxes") -> None:
    """The rings of zenith angle every 30°, their degrees along one radius, named there."""
    ax.set_rlim(0, 90)
    ax.set_rticks([30, 60, 90])
    ax.yaxis.set_major_formatter(lambda r, _: f"{r:g}°")
    ax.set_rlabel_position(_RING_LABELS)
    plate = {"boxstyle": "round,pad=0.15", "facecolor": "white", "edgecolor": "none",
             "alpha": 0.8}
    ax.yaxis.set_zorder(4)  # its degrees above the dots
    for label in ax.get_yticklabels():
        label.set_bbox(plate)
    ax.text(np.deg2rad(_RING_LABELS), 76.0, "zenith angle", rotation=90.0 - _RING_LABELS,
            rotation_mode="anchor", ha="center", va="center", fontsize="small", bbox=plate,
            zorder=5)


def _arrow(ax: "PolarAxes", speed: float, heading: float) -> None:
    """The horizontal drift as an arrow from the centre, on a round scale, and its legend."""
    from matplotlib.lines import Line2D

    scale = nice_above(speed * 1.25)
    ax.annotate("", xy=(np.deg2rad(heading), 90.0 * speed / scale), xytext=(0.0, 0.0),
                arrowprops={"arrowstyle": "-|>", "color": "black", "linewidth": 2,
                            "mutation_scale": 20}, zorder=4)
    ax.legend(handles=[Line2D([], [], color="black", linewidth=2, label=(
        f"drift {speed:.3g} m/s toward {heading:.0f}° (a radius of 90° is "
        f"{scale:g} m/s)"))], loc="upper center", bbox_to_anchor=(0.5, -0.06),
        frameon=False)


@shared(about=_ABOUT, parameters=_PARAMETERS, raises=_RAISES, warns=_WARNS,
        returns=returns("skymap", "an xarray.Dataset of the dots drawn (see skymap_data)"),
        size_and_ax=size_and_ax("skymap", """
            ax : matplotlib.projections.polar.PolarAxes, optional
                Draw into this polar Axes (projection="polar"), with the colour bar beside
                it, instead of on a figure of its own.
            """))
def skymap(source: Any, *, layout: Any = None, record: Optional[int] = None,
           window: Any = None, frequency: Optional[float] = None,
           polarization: Optional[int] = None, ordinary: Optional[int] = None,
           threshold_db: float = THRESHOLD_DB, significance: float = SIGNIFICANCE,
           residual_limit: Optional[float] = RESIDUAL_LIMIT,
           prior: Optional[str] = PRIOR, drift: bool = True, name: Optional[str] = None,
           size: Optional[Size] = None,
           ax: Optional["Axes"] = None) -> "Figure":
    """Where the echoes of one record, or of a time window, come from: a polar map of zenith
    angle (0 at the centre, 90° at the rim) and azimuth (clockwise from north: north up, east
    right), each resolved echo a dot coloured by its Doppler shift; the rings of zenith
    angle are 30° apart, their degrees and name along one radius.

    {about}

    Parameters
    ----------
    {parameters}
    {size_and_ax}

    Returns
    -------
    {returns}

    Raises
    ------
    {raises}
        Also for a size out of range or given with ax, or an ax that is not a polar Axes.

    Warns
    -----
    {warns}

    Examples
    --------
    >>> import vexo.plot
    >>> fig = vexo.plot.skymap("examples/example.dft", layout="examples/layout.toml",
    ...                        polarization=2)
    >>> fig.vexo_choices
    ['record 1 (the first with a resolved echo)']
    >>> fig = vexo.plot.skymap("examples/example.dft", layout="examples/layout.toml",
    ...                        record=3, window=60, frequency=3200)
    >>> fig.vexo_data.attrs["records"]
    [1, 2, 3, 4, 5, 6]
    """
    fig, (axes,) = canvas("skymap", size, ax, polar=True)
    picked = _skymap(source, layout, record, window, frequency, polarization, ordinary,
                     settings(threshold_db, significance, residual_limit, prior), drift, name)
    draw(cast("PolarAxes", axes), cast("xr.Dataset", picked.data), window is not None)
    return finish(fig, picked)
