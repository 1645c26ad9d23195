"""The spectrum picture: amplitude against height and spectral line, of one record.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, List, Optional

import numpy as np

if TYPE_CHECKING:
    from matplotlib.figure import Figure
from vexo.plot._choices import (
    Antenna,
    _antenna_mode,
    _antenna_text,
    _check_antenna,
    _choose,
    _spectra,
)
from vexo.plot._figure import Size, _edges, _figure, _finish, _title, _when
from vexo.plot._sources import _snapshot


def spectrum(source: Any, *, record: Optional[int] = None, frequency: Optional[float] = None,
             polarization: Optional[int] = None, antenna: Antenna = None,
             name: Optional[str] = None, size: Size = (1000, 600)) -> "Figure":
    """Amplitude (dB) of one record at one sounding frequency as an image of height against
    spectral line.

    Where the record gives a line spacing, a top axis shows line k at (k - lines/2) times it
    (Hz). Subblocks of one height are averaged.

    Parameters
    ----------
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
    size : (int, int), default (1000, 600)
        Width and height in pixels: 200 to 20000 wide, 150 to 20000 high.

    Returns
    -------
    matplotlib.figure.Figure
        fig.vexo_data is the image drawn, an xarray.DataArray (height, line) of dB whose
        attributes give the file, record, time, frequency, polarization, antenna and line
        spacing; fig.vexo_choices says what was chosen for the caller.

    Raises
    ------
    ChoiceError
        When the data has no such record, frequency, polarization or antenna.
    TypeError
        When record, polarization or antenna is not a whole number.
    ValueError
        For an antenna that is neither a number nor "mean", a size out of range, a record
        other than the Record's own, or a dataset without amplitude_db.

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
    import xarray as xr

    antenna = _check_antenna(antenna)
    choices: List[str] = []
    snap = _snapshot(source, record, name, choices)
    strength = snap.amplitude_db.max(axis=(1, 2)) if snap.amplitude_db.size else np.array([])
    take = _choose(snap.name, f"record {snap.number}", snap.frequency, snap.polarization,
                   strength, frequency, polarization, choices)
    mode = _antenna_mode(snap.name, antenna, snap.antenna_numbers, choices)
    chosen_frequency = float(snap.frequency[take][0])
    chosen_polarization = int(snap.polarization[take][0])
    values = _spectra(snap.amplitude_db[take], snap.antenna_numbers, mode)
    heights = snap.height[take]
    rows = np.unique(heights)
    image = np.stack([values[heights == h].mean(axis=0) for h in rows])
    lines = np.arange(image.shape[1])

    data = xr.DataArray(
        image, dims=("height", "line"),
        coords={"height": ("height", rows, {"units": "km"}), "line": lines},
        name="amplitude_db",
        attrs={"units": "dB", "long_name": "amplitude", "file": snap.name,
               "record": snap.number, "time": _when(snap.time),
               "frequency": chosen_frequency, "polarization": chosen_polarization,
               "antenna": _antenna_text(mode),
               "line_spacing": snap.line_spacing if snap.line_spacing is not None else np.nan})

    fig, (ax,) = _figure(size)
    mesh = ax.pcolormesh(_edges(lines.astype(float), 1.0), _edges(rows.astype(float), 10.0),
                         image, shading="flat", cmap="viridis")
    fig.colorbar(mesh, ax=ax, label="amplitude (dB)")
    ax.set_xlabel("spectral line")
    ax.set_ylabel("height (km)")
    ax.set_title(_title(f"{snap.name}: record {snap.number}, {_when(snap.time)}\n"
                        f"{chosen_frequency:g} kHz, polarization {chosen_polarization}, "
                        f"{_antenna_text(mode)}"))
    if snap.line_spacing is not None and snap.line_spacing > 0:
        step, centre = snap.line_spacing, len(lines) // 2
        top = ax.secondary_xaxis("top", functions=(
            lambda k: (np.asarray(k) - centre) * step, lambda f: np.asarray(f) / step + centre))
        top.set_xlabel(f"frequency offset (Hz; lines {step:.6g} Hz apart)")
    return _finish(fig, data, choices)
