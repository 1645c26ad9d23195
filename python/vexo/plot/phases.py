"""The phases picture: the phase of each antenna against spectral line, with and without the
antenna correction.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, List, Optional

import numpy as np

if TYPE_CHECKING:
    from matplotlib.figure import Figure
from vexo.plot._choices import ChoiceError, _kilohertz, _whole
from vexo.plot._figure import Size, _figure, _finish, _title, _when
from vexo.plot._sources import _is_dataset, _snapshot


def _circular_spread(degrees: np.ndarray) -> float:
    """The mean over lines of the circular standard deviation (degrees) across antennas."""
    turns = np.exp(1j * np.deg2rad(degrees.astype(np.float64)))
    length = np.clip(np.abs(turns.mean(axis=0)), 1e-12, 1.0)
    return float(np.rad2deg(np.sqrt(-2 * np.log(length))).mean())


def phases(source: Any, *, record: Optional[int] = None, subblock: Optional[int] = None,
           frequency: Optional[float] = None, name: Optional[str] = None,
           size: Size = (1200, 550)) -> "Figure":
    """The phase (degrees) of each antenna against spectral line in one subblock, without and
    with the antenna correction side by side.

    Phases are drawn modulo 360 degrees; each panel's title gives the spread across antennas
    (the mean over lines of the circular standard deviation). Where the record cannot be
    corrected (no line spacing, or no rate known yet) the right panel says so.

    Parameters
    ----------
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
    size : (int, int), default (1200, 550)
        Width and height in pixels: 200 to 20000 wide, 150 to 20000 high.

    Returns
    -------
    matplotlib.figure.Figure
        fig.vexo_data is the phases drawn, an xarray.DataArray (correction, antenna, line) of
        degrees, correction False then True, whose attributes give the file, record, time,
        subblock, frequency, height, polarization, the two spreads and whether the correction
        was applied (corrected); fig.vexo_choices says what was chosen for the caller.

    Raises
    ------
    ChoiceError
        When the data has no such record or subblock, or the subblock is not at `frequency`.
    TypeError
        For a dataset, or a record or subblock that is not a whole number.
    ValueError
        For a size out of range, or a record other than the Record's own.

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
    import xarray as xr

    if _is_dataset(source):
        raise TypeError("phases needs the record itself (both corrections): pass a path, "
                        "a File or a Record of vexo.open")
    choices: List[str] = []
    snap = _snapshot(source, record, name, choices, need_record=True)
    rec = snap.record
    assert rec is not None
    if rec.subblocks == 0:
        raise ChoiceError(f"{snap.name}: record {snap.number} has no subblock")
    strength = rec.amplitude_db().max(axis=(1, 2))
    if subblock is None:
        candidates = np.arange(rec.subblocks)
        if frequency is not None:
            candidates = candidates[snap.frequency == frequency]
            if len(candidates) == 0:
                raise ChoiceError(
                    f"{snap.name}: no subblock at {frequency:g} kHz in record {snap.number}; "
                    f"it has {_kilohertz(snap.frequency)}")
        subblock = int(candidates[np.argmax(strength[candidates])])
        choices.append(f"subblock {subblock} (the strongest)")
    elif not 0 <= _whole("subblock", subblock, 0) < rec.subblocks:
        raise ChoiceError(f"{snap.name}: no subblock {subblock} in record {snap.number}; it has "
                          f"subblocks 0 to {rec.subblocks - 1}")
    elif frequency is not None and snap.frequency[subblock] != frequency:
        raise ChoiceError(f"{snap.name}: subblock {subblock} of record {snap.number} is at "
                          f"{snap.frequency[subblock]:g} kHz, not {frequency:g} kHz")
    values = np.stack([rec.phase_degrees(correct=False)[subblock],
                       rec.phase_degrees(correct=True)[subblock]])
    spreads = [_circular_spread(v) for v in values]
    lines = np.arange(rec.sample_count)
    corrected = rec.line_spacing is not None and rec.rate is not None
    if not corrected:
        why = "no line spacing" if rec.line_spacing is None else "no rate known yet"
        choices.append(f"no correction: the record has {why}")
    data = xr.DataArray(
        values, dims=("correction", "antenna", "line"),
        coords={"correction": [False, True], "antenna": snap.antenna_numbers, "line": lines},
        name="phase_degrees",
        attrs={"units": "degree", "long_name": "phase", "file": snap.name,
               "record": snap.number, "time": _when(snap.time), "subblock": subblock,
               "frequency": float(snap.frequency[subblock]),
               "height": float(snap.height[subblock]),
               "polarization": int(snap.polarization[subblock]),
               "spread": spreads, "corrected": int(corrected)})

    fig, axes = _figure(size, 2)
    titles = ["without the antenna correction",
              "with the antenna correction" if corrected else
              f"with the antenna correction: not applied, {choices[-1].split(': ')[1]}"]
    for ax, panel, spread, title in zip(axes, values, spreads, titles):
        for j, number in enumerate(snap.antenna_numbers):
            ax.plot(lines, np.mod(panel[j], 360.0), marker=".", linewidth=1,
                    label=f"antenna {number}")
        ax.set_title(f"{title} (spread {spread:.1f}°)", fontsize="medium")
        ax.set_xlabel("spectral line")
        ax.set_ylim(0, 360)
        ax.set_yticks(np.arange(0, 361, 45))
        ax.grid(True, alpha=0.3)
    axes[0].set_ylabel("phase (degrees, modulo 360)")
    axes[1].legend(loc="best", fontsize="small")
    fig.suptitle(_title(
        f"{snap.name}: record {snap.number}, {_when(snap.time)}, subblock {subblock}: "
        f"{snap.frequency[subblock]:g} kHz, {snap.height[subblock]:g} km, "
        f"polarization {int(snap.polarization[subblock])}"))
    return _finish(fig, data, choices)
