"""The echoes of a file: spectral lines that stand out above a subblock's median, with the
direction they come from, fitted to the antennas' phases.
"""

from __future__ import annotations

import math
import warnings
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

import numpy as np

from vexo._directions.fit import SPEED_OF_LIGHT, BaselinesTooLong, DirectionFit
from vexo._directions.layout import Layout, LayoutLike
from vexo._errors import FileError
from vexo._names import shown_name
from vexo._reading.file import Source, library_version
from vexo._reading.index import ENTRY, FileIndex, record_values
from vexo._reading.parts import antenna_numbers, read_part
from vexo._reading.selection import Selection, Values

if TYPE_CHECKING:
    import pandas as pd
    import xarray as xr


CHUNK_RECORDS = 2048  # records read at a time: 32 MiB of converted values at the most

#: The defaults of echoes, echoes_dataset and echo_columns, read by every caller that offers
#: them (the commands, their help texts, the archive's echo rows, the sky map).
THRESHOLD_DB = 10.0  # a line is an echo this far above its subblock's median, dB
RESIDUAL_LIMIT = 20.0  # a direction is resolved when its phase residual is below this, degrees


#: The columns of echo_columns (besides file), in order, with their types and attributes.
COLUMNS: Dict[str, Tuple[Any, str, Optional[str]]] = {
    "record": (np.int64, "record number (from 1)", None),
    "time": (np.dtype("datetime64[ns]"), "time of the record", None),
    "subblock": (np.int16, "number of the subblock in its record (from 0)", None),
    "frequency": (np.float32, "sounding frequency", "kHz"),
    "height": (np.float32, "height", "km"),
    "line": (np.int16, "spectral line (sample index, from 0)", None),
    "doppler": (np.float64, "Doppler shift: (line - sample_count/2) times the line spacing",
                "Hz"),
    "amplitude": (np.float64, "amplitude, the mean over the antennas of the layout", "dB"),
    "east": (np.float64, "east direction cosine of the arrival direction", "1"),
    "north": (np.float64, "north direction cosine of the arrival direction", "1"),
    "zenith": (np.float64, "zenith angle of the arrival direction", "degree"),
    "azimuth": (np.float64, "azimuth of the arrival direction, clockwise from north",
                "degree"),
    "residual": (np.float64, "RMS of the wrapped phase residuals of the fit", "degree"),
    "resolved": (np.bool_, "a direction fits below the residual limit", None),
}


class LayoutMismatch(FileError):
    """Records of a file lack antennas of the layout."""


class BaselinesTooLongFor(FileError, BaselinesTooLong):
    """A layout whose baselines are too long for the sounding frequencies of a file."""


def check_layout(index: FileIndex, entries: np.ndarray, layout: Layout) -> None:
    """Raises LayoutMismatch when records of these entries lack antennas of the layout."""
    for A in np.unique(entries["A"]).tolist():
        have = antenna_numbers(index.selection, int(A))
        missing = [n for n in layout.numbers if n not in have]
        if missing:
            shape = entries[entries["A"] == A][0]
            some = "antenna" if len(missing) == 1 else "antennas"
            held = ", ".join(map(str, have)) or "none"
            raise LayoutMismatch(index.name, f"record {int(shape['number'])}: no {some} "
                f"{', '.join(map(str, missing))} of the layout (the records of shape "
                f"N={int(shape['N'])} A={int(A)} give antennas {held})")


def _number(name: str, value: Any, positive: bool) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name}: expected a number, not {value!r}")
    real = float(value)
    if not math.isfinite(real) or (positive and real <= 0):
        raise ValueError(f"{name}: {value!r} is not a {'positive ' if positive else ''}"
                         "finite number")
    return real


def _empty(file: Optional[str]) -> Dict[str, np.ndarray]:
    out: Dict[str, np.ndarray] = {} if file is None else {"file": np.empty(0, dtype=object)}
    out.update({name: np.empty(0, dtype=kind) for name, (kind, _, _) in COLUMNS.items()})
    return out


def _part_columns(index: FileIndex, entries: np.ndarray, layout: Layout, fit: DirectionFit,
                  reader: Any, threshold_db: float, residual_limit: float
                  ) -> Dict[str, np.ndarray]:
    """The echoes of records of one shape; fit is that of the layout."""
    part = read_part(index, entries, reader=reader,
                     kinds=("phase_degrees", "amplitude_db", "subblock_number", "frequency",
                            "height"))
    used = np.array([part.antennas.index(n) for n in layout.numbers])
    every = len(used) == len(part.antennas) and bool(np.all(used == np.arange(len(used))))
    decibels = part.amplitude_db if every else part.amplitude_db[:, :, used]
    # Sums of steps of 1.5 dB, exact in 32 bits; the mean over the antennas is a sum / len(used).
    total = decibels.sum(axis=2)  # record, place, line
    present = part.subblock_number >= 0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # places left over are NaN
        floor = np.median(total, axis=2)
    strong = (total >= (floor + threshold_db * len(used))[:, :, None]) & present[:, :, None]
    r, w, k = np.nonzero(strong)
    phases = part.phase_degrees[r[:, None], w[:, None], used[None, :], k[:, None]]
    frequency = part.frequency[r, w]
    with np.errstate(divide="ignore"):  # subblocks at 0 kHz: no wavelength, no direction
        wavelength = SPEED_OF_LIGHT / (frequency.astype(np.float64) * 1000.0)
    east, north, residual = fit.fit(phases, wavelength)
    resolved = np.isfinite(east) & (residual < residual_limit) & fit.resolves(wavelength)
    east = np.where(resolved, east, np.nan)
    north = np.where(resolved, north, np.nan)
    zenith = np.rad2deg(np.arcsin(np.minimum(1.0, np.hypot(east, north))))
    azimuth = np.mod(np.rad2deg(np.arctan2(east, north)), 360.0)
    azimuth[azimuth >= 360.0] = 0.0  # -0.0 and the least negative angles
    spacing = entries["line_spacing"].astype(np.float64)
    return {
        "record": entries["number"].astype(np.int64)[r],
        "time": record_values(entries, "time")[r],
        "subblock": part.subblock_number[r, w].astype(np.int16),
        "frequency": frequency.astype(np.float32),
        "height": part.height[r, w].astype(np.float32),
        "line": k.astype(np.int16),
        "doppler": (k - part.sample_count // 2) * spacing[r],
        "amplitude": total[r, w, k].astype(np.float64) / len(used),
        "east": east,
        "north": north,
        "zenith": zenith,
        "azimuth": azimuth,
        "residual": residual,
        "resolved": resolved,
    }


def echo_columns(index: FileIndex, entries: np.ndarray, layout: LayoutLike, *,
                 threshold_db: float = THRESHOLD_DB, residual_limit: float = RESIDUAL_LIMIT,
                 file: Optional[str] = None, reader: Any = None,
                 fit: Optional[DirectionFit] = None) -> Dict[str, np.ndarray]:
    """The echoes of some records of a file, as columns (the work of vexo.echoes on a part).

    Parameters
    ----------
    index : FileIndex
        The file's index.
    entries : numpy.ndarray
        Entries of the index (any shapes, in the file's order); they are read CHUNK_RECORDS
        at a time. Records that take no subblock, or without the antenna correction in force
        (no line spacing, or no rate set yet), give no echo.
    layout : Layout, path or mapping
        The antennas (see vexo.Layout); only these are used.
    threshold_db : float, optional
        A spectral line is an echo where its amplitude (dB, the mean over the layout's
        antennas) is at least this much above the median over the subblock's lines.
    residual_limit : float, optional
        Degrees: a direction whose RMS phase residual is not below it is not resolved.
    file : str, optional
        When given, a first column "file" (object) of this name.
    reader : optional
        A part reader of the index (index.part_reader()) to read with.
    fit : DirectionFit, optional
        The fit of this layout to use (it keeps its search grids from call to call).

    Returns
    -------
    dict of str to numpy.ndarray
        The columns of vexo.echoes, in its order, one row per echo.

    Raises
    ------
    ValueError
        Naming the file, when records lack antennas of the layout, or when the file's bytes
        are no longer what its index says.
    """
    layout = Layout.of(layout)
    threshold_db = _number("threshold_db", threshold_db, positive=False)
    residual_limit = _number("residual_limit", residual_limit, positive=True)
    if fit is None or fit.layout != layout:
        fit = DirectionFit(layout)
    entries = np.ascontiguousarray(entries, dtype=ENTRY)
    entries = entries[entries["taken_subblocks"] > 0]
    check_layout(index, entries, layout)
    entries = entries[np.isfinite(entries["line_spacing"]) & np.isfinite(entries["rate"])]
    if reader is None:
        reader = index.part_reader(True)
    got: List[Dict[str, np.ndarray]] = []
    for start in range(0, len(entries), CHUNK_RECORDS):
        block = entries[start:start + CHUNK_RECORDS]
        shape = block["N"].astype(np.int32) * 16 + block["A"]
        for run in np.split(block, np.flatnonzero(np.diff(shape)) + 1):
            try:
                columns = _part_columns(index, run, layout, fit, reader, threshold_db,
                                        residual_limit)
            except BaselinesTooLong as e:
                raise BaselinesTooLongFor(index.name, str(e)) from None
            if len(columns["record"]):
                got.append(columns)
    out = _empty(None)
    if got:
        for name in COLUMNS:  # a column at a time, the parts' arrays of it let go of at once
            out[name] = np.concatenate([c.pop(name) for c in got])
    if file is not None:
        rows = len(out["record"])
        out = {"file": np.full(rows, shown_name(file), dtype=object), **out}
    return out


def _file_columns(source: Source, layout: LayoutLike, selection: Optional[Selection],
                  keywords: Dict[str, Any], threshold_db: float, residual_limit: float,
                  stacklevel: int) -> Tuple[FileIndex, Layout, Dict[str, np.ndarray]]:
    chosen = Selection.of(selection, **keywords)
    layout = Layout.of(layout)
    index = FileIndex.of(source, chosen)
    index.warn_damage(stacklevel=stacklevel + 1)
    columns = echo_columns(index, index.asked(taking=True), layout, threshold_db=threshold_db,
                           residual_limit=residual_limit)
    return index, layout, columns


def echoes(
    source: Source,
    *,
    layout: LayoutLike,
    selection: Optional[Selection] = None,
    threshold_db: float = THRESHOLD_DB,
    residual_limit: float = RESIDUAL_LIMIT,
    frequency: Values = None,
    height: Values = None,
    polarization: Values = None,
    antenna: Values = None,
    records: Any = None,
) -> "pd.DataFrame":
    """The echoes of a DFT file and the directions they come from, as a table.

    One row per record, subblock and spectral line whose amplitude stands out of its subblock
    (see threshold_db), in the file's order.

    Parameters
    ----------
    source : str, bytes, os.PathLike or binary file object
        The DFT file.
    layout : vexo.Layout, path of a TOML layout, or mapping
        Where the antennas stand and which way their phases turn (see vexo.Layout). Only its
        antennas are used; the records must have all of them.
    selection : vexo.Selection, optional
        What to take of the file; or give its keywords instead.
    threshold_db : float, optional
        A spectral line is an echo where its amplitude (dB, the mean over the layout's
        antennas) is at least this much above the subblock's median (over its lines) of that
        mean.
    residual_limit : float, optional
        Degrees. Where no direction fits with an RMS phase residual below it, the echo is not
        resolved: its direction is NaN and its residual the best one found.
    frequency, height, polarization, antenna, records
        The keywords of vexo.Selection, as vexo.read takes them.

    Returns
    -------
    pandas.DataFrame
        Columns record (from 1), time (datetime64[ns], NaT where the header gives none),
        subblock (in its record, from 0), frequency (kHz), height (km), line (from 0),
        doppler (Hz), amplitude (dB), east and north (direction cosines), zenith and azimuth
        (degrees; azimuth clockwise from north, 0 to 360), residual (degrees, RMS of the
        wrapped phase residuals of the fit) and resolved (False where no direction fits below
        residual_limit: east to azimuth are NaN there).

    Raises
    ------
    ValueError
        Naming the file, when the records lack antennas of the layout; for a layout that is
        not one (see vexo.Layout), or a threshold or limit that is not a finite number.
    OSError
        When the file cannot be opened.

    Warns
    -----
    vexo.DamagedFileWarning
        When the file is damaged: the echoes of the records before the damage are given.

    Notes
    -----
    The direction is fitted to the corrected phases (phase_degrees) of the layout's antennas.
    A plane wave from the unit vector u = (east, north, sqrt(1 - east² - north²)) gives
    antenna j at r_j = (east_j, north_j, 0) m the phase φ0 + s·360°·(r_j·u)/λ, with s the
    layout's phase_sign (+1: an antenna further toward the echo has the larger phase) and
    λ = c / (frequency kHz × 1000), c = 299792458 m/s. Whole turns left open by baselines
    longer than half a wavelength are settled by a search of the directions above the
    horizon, then the fit is a least-squares one; a fit that would lie beyond the horizon is
    put on it. Where several directions fit equally well (antennas spaced by whole multiples
    of one another can leave that open), the one nearest the zenith is taken. Records without
    the antenna correction in force (no line spacing, or no rate set yet) give no echo: their
    phases do not tell directions. The Doppler shift is that of the line,
    (line - sample_count // 2) × line spacing, as on the top axis of vexo.plot.spectrum.

    Examples
    --------
    >>> import vexo
    >>> layout = vexo.Layout({1: (0, 0), 2: (40, 0), 3: (-40, 0), 4: (0, -60)})
    >>> table = vexo.echoes("examples/example.dft", layout=layout, frequency=3200)
    >>> list(table.columns[:4])
    ['record', 'time', 'subblock', 'frequency']
    """
    import pandas as pd

    keywords = dict(frequency=frequency, height=height, polarization=polarization,
                    antenna=antenna, records=records)
    _, _, columns = _file_columns(source, layout, selection, keywords, threshold_db,
                                  residual_limit, stacklevel=2)
    return pd.DataFrame(columns, copy=False)  # the columns as they are, not once more


def echoes_dataset(
    source: Source,
    *,
    layout: LayoutLike,
    selection: Optional[Selection] = None,
    threshold_db: float = THRESHOLD_DB,
    residual_limit: float = RESIDUAL_LIMIT,
    frequency: Values = None,
    height: Values = None,
    polarization: Values = None,
    antenna: Values = None,
    records: Any = None,
) -> "xr.Dataset":
    """The echoes of a DFT file and the directions they come from, as a dataset: the columns
    of vexo.echoes as variables along the dimension echo, each with its long_name and units.

    Parameters
    ----------
    source, layout, selection, threshold_db, residual_limit
        As vexo.echoes takes them.
    frequency, height, polarization, antenna, records
        The keywords of vexo.Selection, as vexo.echoes and vexo.read take them.

    Returns
    -------
    xarray.Dataset
        Dimension echo; the variables of vexo.echoes' columns; attributes source, layout,
        phase_sign, threshold_db, residual_limit, vexo_version and stop.

    Raises
    ------
    ValueError, OSError
        As vexo.echoes raises them; it also warns as vexo.echoes does, and its Notes tell the
        model.

    See Also
    --------
    echoes : the same rows as a pandas.DataFrame.

    Examples
    --------
    >>> import vexo
    >>> ds = vexo.echoes_dataset("examples/example.dft", layout="examples/layout.toml")
    >>> ds.zenith.attrs["units"]
    'degree'
    """
    import xarray as xr

    keywords = dict(frequency=frequency, height=height, polarization=polarization,
                    antenna=antenna, records=records)
    index, layout, columns = _file_columns(source, layout, selection, keywords,
                                           threshold_db, residual_limit, stacklevel=2)
    variables = {}
    for name, (_, long_name, units) in COLUMNS.items():
        described = {"long_name": long_name}
        if units is not None:
            described["units"] = units
        if name == "resolved":
            described["comment"] = (f"False where no direction fits with an RMS phase "
                                    f"residual below {residual_limit:g} degrees")
        variables[name] = ("echo", columns[name], described)
    attrs: Dict[str, Any] = {
        "title": "echoes and their arrival directions",
        "source": index.name,
        "vexo_version": library_version(),
        "layout": repr(layout),
        "phase_sign": layout.phase_sign,
        "threshold_db": float(threshold_db),
        "residual_limit": float(residual_limit),
        "stop": index.stop_text,
        "comment": "phase of antenna j: phi0 + phase_sign * 360 * (r_j . u) / wavelength",
    }
    return xr.Dataset(variables, attrs=attrs)
