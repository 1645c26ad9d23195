"""The phases picture: the phase of each antenna against spectral line, with and without the
antenna correction.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, List, Optional, Sequence, cast

import numpy as np

from vexo.plot._choices import ChoiceError, PictureData, kilohertz, whole
from vexo.plot._docs import returns, shared, size_and_ax
from vexo.plot._figure import Size, canvas, finish, title, when
from vexo.plot._sources import Kind, Snapshot, kind_of, snapshot, taken

if TYPE_CHECKING:
    import xarray as xr
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

SOURCES = (Kind.PATH, Kind.STREAM, Kind.FILE, Kind.RECORD)

NOT_CORRECTED = "no correction: "  # the choice that says why the correction is not applied

_PARAMETERS = """
source : vexo.Record, vexo.File, path or binary file object
    A Record, a File or anything vexo.open takes (its record `record`). Not a dataset:
    both corrections need the record itself.
record : int, optional
    The record's number (from 1). Default: the first that has a subblock.
subblock : int, optional
    The subblock, from 0, as the listing counts. Default: the strongest subblock, among
    those at `frequency` when it is given.
frequency : float, optional
    The sounding frequency (kHz) the subblock is at.
name : str, optional
    The name in the title and messages. Default: the file's name without its folders.
"""

_WARNS = """
DamagedFileWarning
    For a damaged file (a path or binary file object), read up to its damage.
"""

_RAISES = """
ChoiceError
    When the data has no such record or subblock, or the subblock is not at `frequency`.
TypeError
    For a dataset or another source than the above, or a record or subblock that is not a
    whole number.
ValueError
    For a record other than the Record's own.
"""


def circular_spread(degrees: np.ndarray) -> float:
    """The mean over lines of the circular standard deviation (degrees) across antennas."""
    turns = np.exp(1j * np.deg2rad(degrees.astype(np.float64)))
    length = np.clip(np.abs(turns.mean(axis=0)), 1e-12, 1.0)
    return float(np.rad2deg(np.sqrt(-2 * np.log(length))).mean())


def _subblock(snap: Snapshot, subblock: Optional[int], frequency: Optional[float],
              choices: List[str]) -> int:
    """The subblock asked for, checked; by default the strongest (at the frequency)."""
    count = len(snap.frequency)
    if count == 0:
        raise ChoiceError(f"{snap.name}: record {snap.number} has no subblock")
    if subblock is None:
        candidates = np.arange(count)
        if frequency is not None:
            candidates = candidates[snap.frequency == frequency]
            if len(candidates) == 0:
                raise ChoiceError(
                    f"{snap.name}: no subblock at {frequency:g} kHz in record {snap.number}; "
                    f"it has {kilohertz(snap.frequency)}")
        strength = snap.amplitude_db.max(axis=(1, 2))
        subblock = int(candidates[np.argmax(strength[candidates])])
        choices.append(f"subblock {subblock} (the strongest)")
    elif not 0 <= whole("subblock", subblock, 0) < count:
        raise ChoiceError(f"{snap.name}: no subblock {subblock} in record {snap.number}; it has "
                          f"subblocks 0 to {count - 1}")
    elif frequency is not None and snap.frequency[subblock] != frequency:
        raise ChoiceError(f"{snap.name}: subblock {subblock} of record {snap.number} is at "
                          f"{snap.frequency[subblock]:g} kHz, not {frequency:g} kHz")
    return subblock


@shared(parameters=_PARAMETERS, raises=_RAISES, warns=_WARNS)
def phases_data(source: Any, *, record: Optional[int] = None, subblock: Optional[int] = None,
                frequency: Optional[float] = None, name: Optional[str] = None) -> PictureData:
    """What vexo.plot.phases draws, without drawing: the phase (degrees) of each antenna against
    spectral line in one subblock, without and with the antenna correction.

    Parameters
    ----------
    {parameters}

    Returns
    -------
    PictureData
        data is an xarray.DataArray (correction, antenna, line) of degrees, correction False
        then True, whose attributes give the file, record, time, subblock, frequency, height,
        polarization, the two spreads and whether the correction was applied (corrected);
        choices says what was chosen for the caller, and why the correction was not applied
        where it was not ("no correction: the record has no line spacing").

    Raises
    ------
    {raises}

    Warns
    -----
    {warns}

    Examples
    --------
    >>> import vexo.plot
    >>> data, choices = vexo.plot.phases_data("examples/example.dft", record=3)
    >>> data.sizes["antenna"], data.attrs["subblock"], data.attrs["corrected"], choices
    (4, 5, 1, ['subblock 5 (the strongest)'])
    """
    import xarray as xr

    if kind_of(source) is Kind.DATASET:
        raise TypeError("phases needs the record itself (both corrections): pass a path, "
                        "a File or a Record of vexo.open")
    kind = taken("phases", source, SOURCES)
    choices: List[str] = []
    snap = snapshot(source, kind, record, name, choices, phases=True, stacklevel=2)
    subblock = _subblock(snap, subblock, frequency, choices)
    assert snap.phase_degrees is not None
    values = snap.phase_degrees[:, subblock]
    corrected = snap.line_spacing is not None and snap.rate is not None
    if not corrected:
        why = "no line spacing" if snap.line_spacing is None else "no rate known yet"
        choices.append(f"{NOT_CORRECTED}the record has {why}")
    data = xr.DataArray(
        values, dims=("correction", "antenna", "line"),
        coords={"correction": [False, True], "antenna": snap.antenna_numbers,
                "line": np.arange(values.shape[-1])},
        name="phase_degrees",
        attrs={"units": "degree", "long_name": "phase", "file": snap.name,
               "record": snap.number, "time": when(snap.time), "subblock": subblock,
               "frequency": float(snap.frequency[subblock]),
               "height": float(snap.height[subblock]),
               "polarization": int(snap.polarization[subblock]),
               "spread": [circular_spread(v) for v in values], "corrected": int(corrected)})
    return PictureData(data, choices)


def draw(axes: Sequence["Axes"], picked: PictureData) -> None:
    """Draws the data of phases_data into two Axes (without, with the correction), and the
    record's title over them as their figure's."""
    data, a = cast("xr.DataArray", picked.data), picked.data.attrs
    why = [c[len(NOT_CORRECTED):] for c in picked.choices if c.startswith(NOT_CORRECTED)]
    titles = ["without the antenna correction",
              f"with the antenna correction: not applied, {why[0]}" if why else
              "with the antenna correction"]
    lines = data.line.values
    for ax, panel, spread, text in zip(axes, data.values, a["spread"], titles):
        for j, number in enumerate(data.antenna.values):
            ax.plot(lines, np.mod(panel[j], 360.0), marker=".", linewidth=1,
                    label=f"antenna {number}")
        ax.set_title(f"{text} (spread {spread:.1f}°)", fontsize="medium")
        ax.set_xlabel("spectral line")
        ax.set_ylim(0, 360)
        ax.set_yticks(np.arange(0, 361, 45))
        ax.grid(True, alpha=0.3)
    axes[0].set_ylabel("phase (degrees, modulo 360)")
    axes[1].legend(loc="best", fontsize="small")
    axes[0].figure.suptitle(title(
        f"{a['file']}: record {a['record']}, {a['time']}, subblock {a['subblock']}: "
        f"{a['frequency']:g} kHz, {a['height']:g} km, polarization {a['polarization']}"))


@shared(parameters=_PARAMETERS, raises=_RAISES, warns=_WARNS,
        returns=returns("phases", "an xarray.DataArray (correction, antenna, line) of degrees"),
        size_and_ax=size_and_ax("phases", """
            ax : two matplotlib.axes.Axes, optional
                Draw the two panels into these Axes of one figure (as fig.subplots(1, 2) gives
                them), and the record's title over them as their figure's (or subfigure's)
                suptitle, instead of on a figure of its own.
            """))
def phases(source: Any, *, record: Optional[int] = None, subblock: Optional[int] = None,
           frequency: Optional[float] = None, name: Optional[str] = None,
           size: Optional[Size] = None, ax: Optional[Sequence["Axes"]] = None) -> "Figure":
    """The phase (degrees) of each antenna against spectral line in one subblock, without and
    with the antenna correction side by side.

    Phases are drawn modulo 360 degrees; each panel's title gives the spread across antennas
    (the mean over lines of the circular standard deviation). Where the record cannot be
    corrected (no line spacing, or no rate known yet) the right panel says so.

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
        Also for a size out of range or given with ax, or an ax that is not two Axes of one
        figure.

    Warns
    -----
    {warns}

    Examples
    --------
    >>> import vexo.plot
    >>> fig = vexo.plot.phases("examples/example.dft", record=3)
    >>> fig.vexo_data.dims
    ('correction', 'antenna', 'line')
    >>> fig = vexo.plot.phases("examples/example.dft", subblock=5)
    >>> fig.vexo_data.attrs["subblock"]
    5
    """
    picked = phases_data(source, record=record, subblock=subblock, frequency=frequency,
                         name=name)
    fig, axes = canvas("phases", size, ax, panels=2)
    draw(axes, picked)
    return finish(fig, picked)
