"""The spectrum picture: amplitude against height and spectral line, of one record."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, List, Optional, cast

import numpy as np

from vexo.plot._choices import (
    Antenna,
    PictureData,
    antenna_mode,
    antenna_text,
    check_antenna,
    choose,
    spectra,
)
from vexo.plot._docs import returns, shared, size_and_ax
from vexo.plot._figure import Size, canvas, edges, finish, title, when
from vexo.plot._sources import Kind, snapshot, taken

if TYPE_CHECKING:
    import xarray as xr
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

SOURCES = (Kind.RECORD, Kind.FILE, Kind.PATH, Kind.STREAM, Kind.DATASET)

_PARAMETERS = """
source : vexo.Record, vexo.File, path, binary file object or xarray.Dataset
    A Record, a File or anything vexo.open takes (its record `record`), or a dataset of
    vexo.read (its record `record`; it needs amplitude_db).
record : int, optional
    The record's number (from 1). Default: the first that has a subblock (of a dataset,
    its first record).
frequency : float, optional
    The sounding frequency (kHz). Default: the strongest in the record (of polarization
    `polarization` when given).
polarization : int, optional
    Default: the stronger at that frequency.
antenna : int or "mean", optional
    An antenna's number, or "mean" for the mean of antennas 1 to 4. Default: the mean,
    or the first antenna when antennas 1 to 4 are not all there.
name : str, optional
    The name in the title and messages. Default: the file's name without its folders.
"""

_WARNS = """
DamagedFileWarning
    For a damaged file (a path or binary file object), read up to its damage.
"""

_RAISES = """
ChoiceError
    When the data has no such record, frequency, polarization or antenna.
TypeError
    When record, polarization or antenna is not a whole number, or the source is none of
    the above.
ValueError
    For an antenna that is neither a number nor "mean", a record other than the Record's
    own, or a dataset without amplitude_db.
"""


@shared(parameters=_PARAMETERS, raises=_RAISES, warns=_WARNS)
def spectrum_data(source: Any, *, record: Optional[int] = None,
                  frequency: Optional[float] = None, polarization: Optional[int] = None,
                  antenna: Antenna = None, name: Optional[str] = None) -> PictureData:
    """What vexo.plot.spectrum draws, without drawing: the amplitude (dB) of one record at one
    sounding frequency, of height against spectral line (subblocks of one height averaged).

    Parameters
    ----------
    {parameters}

    Returns
    -------
    PictureData
        data is an xarray.DataArray (height, line) of dB whose attributes give the file,
        record, time, frequency, polarization, antenna and line spacing (Hz, NaN where the
        record gives none); choices says what was chosen for the caller.

    Raises
    ------
    {raises}

    Warns
    -----
    {warns}

    Examples
    --------
    >>> import vexo.plot
    >>> data, choices = vexo.plot.spectrum_data("examples/example.dft", record=4)
    >>> data.sizes["height"], data.attrs["frequency"], choices
    (4, 3200.0, ['3200 kHz (the strongest frequency)', 'the mean of antennas 1 to 4'])
    """
    import xarray as xr

    kind = taken("spectrum", source, SOURCES)
    antenna = check_antenna(antenna)
    choices: List[str] = []
    snap = snapshot(source, kind, record, name, choices, stacklevel=2)
    strength = snap.amplitude_db.max(axis=(1, 2)) if snap.amplitude_db.size else np.array([])
    take = choose(snap.name, f"record {snap.number}", snap.frequency, snap.polarization,
                  strength, frequency, polarization, choices)
    mode = antenna_mode(snap.name, antenna, snap.antenna_numbers, choices)
    values = spectra(snap.amplitude_db[take], snap.antenna_numbers, mode)
    heights = snap.height[take]
    rows = np.unique(heights)
    image = np.stack([values[heights == h].mean(axis=0) for h in rows])
    data = xr.DataArray(
        image, dims=("height", "line"),
        coords={"height": ("height", rows, {"units": "km"}), "line": np.arange(image.shape[1])},
        name="amplitude_db",
        attrs={"units": "dB", "long_name": "amplitude", "file": snap.name,
               "record": snap.number, "time": when(snap.time),
               "frequency": float(snap.frequency[take][0]),
               "polarization": int(snap.polarization[take][0]), "antenna": antenna_text(mode),
               "line_spacing": snap.line_spacing if snap.line_spacing is not None else np.nan})
    return PictureData(data, choices)


def draw(ax: "Axes", data: "xr.DataArray") -> None:
    """Draws the data of spectrum_data into ax, with a colour bar beside it."""
    a = data.attrs
    lines, rows = data.line.values, data.height.values
    mesh = ax.pcolormesh(edges(lines.astype(float), 1.0), edges(rows.astype(float), 10.0),
                         data.values, shading="flat", cmap="viridis")
    ax.figure.colorbar(mesh, ax=ax, label="amplitude (dB)")
    ax.set_xlabel("spectral line")
    ax.set_ylabel("height (km)")
    ax.set_title(title(f"{a['file']}: record {a['record']}, {a['time']}\n"
                       f"{a['frequency']:g} kHz, polarization {a['polarization']}, "
                       f"{a['antenna']}"))
    step, centre = a["line_spacing"], len(lines) // 2
    if step > 0:  # not NaN
        top = ax.secondary_xaxis("top", functions=(
            lambda k: (np.asarray(k) - centre) * step, lambda f: np.asarray(f) / step + centre))
        top.set_xlabel(f"frequency offset (Hz; lines {step:.6g} Hz apart)")


@shared(parameters=_PARAMETERS, raises=_RAISES, warns=_WARNS,
        returns=returns("spectrum", "an xarray.DataArray (height, line) of dB"),
        size_and_ax=size_and_ax("spectrum", """
            ax : matplotlib.axes.Axes, optional
                Draw into this Axes (with the colour bar beside it) instead of on a figure of
                its own.
            """))
def spectrum(source: Any, *, record: Optional[int] = None, frequency: Optional[float] = None,
             polarization: Optional[int] = None, antenna: Antenna = None,
             name: Optional[str] = None, size: Optional[Size] = None,
             ax: Optional["Axes"] = None) -> "Figure":
    """Amplitude (dB) of one record at one sounding frequency as an image of height against
    spectral line.

    Where the record gives a line spacing, a top axis shows line k at (k - lines/2) times it
    (Hz). Subblocks of one height are averaged.

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
        Also for a size out of range or given with ax.

    Warns
    -----
    {warns}

    Examples
    --------
    >>> import vexo.plot
    >>> fig = vexo.plot.spectrum("examples/example.dft")
    >>> fig.vexo_choices[0]
    'record 1 (the first)'
    >>> fig = vexo.plot.spectrum("examples/example.dft", record=4, frequency=3200, antenna=2)
    >>> fig.vexo_data.dims, fig.vexo_data.attrs["antenna"]
    (('height', 'line'), 'antenna 2')
    """
    picked = spectrum_data(source, record=record, frequency=frequency,
                           polarization=polarization, antenna=antenna, name=name)
    fig, (axes,) = canvas("spectrum", size, ax)
    draw(axes, cast("xr.DataArray", picked.data))
    return finish(fig, picked)
