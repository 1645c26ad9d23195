"""The echoes of a file: spectral peaks that stand out above their subblock's noise floor, with
the direction they come from, fitted to the antennas' phases and tested as a plane wave.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Dict, Optional, Tuple

import numpy as np

from vexo._directions.chunks import concatenated, echo_chunks
from vexo._directions.fit import DirectionFit
from vexo._directions.found import PHASE_NOISE_MODEL, Settings
from vexo._directions.layout import Layout, LayoutLike
from vexo._names import shown_name
from vexo._reading.file import Source, library_version
from vexo._reading.index import FileIndex
from vexo._reading.selection import Selection, Values

if TYPE_CHECKING:
    import pandas as pd
    import xarray as xr


#: The defaults of echoes, echoes_dataset and echo_columns, read by every caller that offers
#: them (the commands, their help texts, the archive's echo rows, the sky map).
THRESHOLD_DB = 10.0  # a peak is an echo this far above its subblock's noise floor, dB
SIGNIFICANCE = 0.01  # the test's probability of rejecting a true plane wave
RESIDUAL_LIMIT: Optional[float] = None  # degrees: resolved only below it; None: no limit
PRIOR: Optional[str] = None  # "zenith": of directions that fit alike, the nearest the zenith
PRIORS = (None, "zenith")


#: The columns of echo_columns (besides file), in order, with their types and attributes.
COLUMNS: Dict[str, Tuple[Any, str, Optional[str]]] = {
    "record": (np.int64, "record number (from 1)", None),
    "time": (np.dtype("datetime64[ns]"), "time of the record", None),
    "subblock": (np.int16, "number of the subblock in its record (from 0)", None),
    "frequency": (np.float32, "sounding frequency", "kHz"),
    "height": (np.float32, "height", "km"),
    "polarization": (np.int8, "polarization of the subblock (its descriptor's)", None),
    "gain": (np.int8, "receiver gain of the subblock (its descriptor's)", "dB"),
    "line": (np.int16, "peak line of the echo (sample index, from 0)", None),
    "lines": (np.int16, "adjacent lines above the threshold in the echo's peak", None),
    "doppler": (np.float64, "Doppler shift, refined between lines (positive: approaching)",
                "Hz"),
    "doppler_error": (np.float64, "standard error of the Doppler shift", "Hz"),
    "amplitude": (np.float64, "amplitude of the peak line, the mean over the antennas of the "
                  "layout", "dB"),
    "snr": (np.float64, "power of the peak line over the subblock's noise floor", "dB"),
    "phase_noise": (np.float64, "standard deviation of one antenna's phase, from snr",
                    "degree"),
    "east": (np.float64, "east direction cosine of the arrival direction", "1"),
    "north": (np.float64, "north direction cosine of the arrival direction", "1"),
    "east_error": (np.float64, "standard error of east", "1"),
    "north_error": (np.float64, "standard error of north", "1"),
    "east_north_correlation": (np.float64, "correlation of the errors of east and north",
                               "1"),
    "zenith": (np.float64, "zenith angle of the arrival direction", "degree"),
    "azimuth": (np.float64, "azimuth of the arrival direction, clockwise from north",
                "degree"),
    "zenith_error": (np.float64, "standard error of zenith", "degree"),
    "azimuth_error": (np.float64, "standard error of azimuth (at most 180)", "degree"),
    "residual": (np.float64, "RMS of the wrapped phase residuals of the fit", "degree"),
    "chi2": (np.float64, "sum of the squared wrapped phase residuals over phase_noise squared",
             "1"),
    "probability": (np.float64, "probability that a plane wave leaves a chi2 as large", "1"),
    "candidates": (np.int16, "distinct directions that pass the test", None),
    "ambiguous": (np.bool_, "more than one direction passes the test", None),
    "resolved": (np.bool_, "one direction passes the test (or the prior chose one) at a "
                 "wavelength the layout tells directions at", None),
}



def _number(name: str, value: Any, positive: bool) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name}: expected a number, not {value!r}")
    real = float(value)
    if not math.isfinite(real) or (positive and real <= 0):
        raise ValueError(f"{name}: {value!r} is not a {'positive ' if positive else ''}"
                         "finite number")
    return real


def settings(threshold_db: float = THRESHOLD_DB, significance: float = SIGNIFICANCE,
             residual_limit: Optional[float] = RESIDUAL_LIMIT,
             prior: Optional[str] = PRIOR) -> Settings:
    """The options of vexo.echoes, checked (TypeError or ValueError naming the option)."""
    significance = _number("significance", significance, positive=True)
    if not significance < 1:
        raise ValueError(f"significance: {significance!r} is not a probability between 0 "
                         "and 1")
    if prior not in PRIORS:
        raise ValueError(f"prior: {prior!r} is neither None nor 'zenith'")
    return Settings(
        _number("threshold_db", threshold_db, positive=False), significance,
        None if residual_limit is None else _number("residual_limit", residual_limit,
                                                    positive=True), prior)


def _empty(file: Optional[str]) -> Dict[str, np.ndarray]:
    out: Dict[str, np.ndarray] = {} if file is None else {"file": np.empty(0, dtype=object)}
    out.update({name: np.empty(0, dtype=kind) for name, (kind, _, _) in COLUMNS.items()})
    return out


def echo_columns(index: FileIndex, entries: np.ndarray, layout: LayoutLike, *,
                 threshold_db: float = THRESHOLD_DB, significance: float = SIGNIFICANCE,
                 residual_limit: Optional[float] = RESIDUAL_LIMIT,
                 prior: Optional[str] = PRIOR, file: Optional[str] = None, reader: Any = None,
                 fit: Optional[DirectionFit] = None, threads: Optional[int] = None
                 ) -> Dict[str, np.ndarray]:
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
    threshold_db, significance, residual_limit, prior
        As vexo.echoes takes them.
    file : str, optional
        When given, a first column "file" (object) of this name.
    reader : optional
        A part reader of the index (index.part_reader()) to read with.
    fit : DirectionFit, optional
        The fit of this layout to use (it keeps its search grids from call to call).
    threads : int, optional
        Chunks of records whose echoes are found at once, each on a thread of its own with a
        reader of its own (None: one a core; with `reader`, that one alone and the fit's own
        threads). The rows are the same whatever the number.

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
    chosen = settings(threshold_db, significance, residual_limit, prior)
    if fit is None or fit.layout != layout:
        fit = DirectionFit(layout)
    found = echo_chunks(index, entries, layout, chosen, fit, reader=reader, threads=threads)
    out = concatenated(found, tuple(COLUMNS), _empty(None))
    if file is not None:
        rows = len(out["record"])
        out = {"file": np.full(rows, shown_name(file), dtype=object), **out}
    return out


def opened(source: Source, layout: LayoutLike, selection: Optional[Selection],
           keywords: Dict[str, Any], stacklevel: int) -> Tuple[FileIndex, Layout]:
    """The index of a file as the echoes' selection takes it (its damage warned of at the
    caller's caller), and the layout checked."""
    selected = Selection.of(selection, **keywords)
    layout = Layout.of(layout)
    index = FileIndex.of(source, selected)
    index.warn_damage(stacklevel=stacklevel + 1)
    return index, layout


def _file_columns(source: Source, layout: LayoutLike, selection: Optional[Selection],
                  keywords: Dict[str, Any], chosen: Settings, stacklevel: int,
                  threads: Optional[int] = None
                  ) -> Tuple[FileIndex, Layout, Dict[str, np.ndarray]]:
    index, layout = opened(source, layout, selection, keywords, stacklevel + 1)
    columns = echo_columns(index, index.asked(taking=True), layout,
                           threshold_db=chosen.threshold_db, significance=chosen.significance,
                           residual_limit=chosen.residual_limit, prior=chosen.prior,
                           threads=threads)
    return index, layout, columns


def attributes(chosen: Settings) -> Dict[str, Any]:
    """The options as the table's and the dataset's attributes (None as "none")."""
    return {"threshold_db": chosen.threshold_db, "significance": chosen.significance,
            "residual_limit": ("none" if chosen.residual_limit is None
                               else chosen.residual_limit),
            "prior": "none" if chosen.prior is None else chosen.prior}


def echoes(
    source: Source,
    *,
    layout: LayoutLike,
    selection: Optional[Selection] = None,
    threshold_db: float = THRESHOLD_DB,
    significance: float = SIGNIFICANCE,
    residual_limit: Optional[float] = RESIDUAL_LIMIT,
    prior: Optional[str] = PRIOR,
    frequency: Values = None,
    height: Values = None,
    polarization: Values = None,
    antenna: Values = None,
    records: Any = None,
    threads: Optional[int] = None,
) -> "pd.DataFrame":
    """The echoes of a DFT file and the directions they come from, as a table.

    One row per echo: a run of adjacent spectral lines of a subblock whose power stands out
    of the subblock's noise floor (see threshold_db), in the file's order.

    Parameters
    ----------
    source : str, bytes, os.PathLike or binary file object
        The DFT file.
    layout : vexo.Layout, path of a TOML layout, or mapping
        Where the antennas stand, which way their phases turn, their phase offsets and the
        layout's rotation (see vexo.Layout). Only its antennas are used; the records must
        have all of them.
    selection : vexo.Selection, optional
        What to take of the file; or give its keywords instead.
    threshold_db : float, default 10
        A line belongs to an echo where its power (linear, the mean over the layout's
        antennas) is at least this many dB above the subblock's noise floor.
    significance : float, default 0.01
        The test of a plane wave rejects a true one with this probability: a direction passes
        where the probability of its χ² is at least this.
    residual_limit : float, optional
        Degrees: when given, an echo is resolved only where its RMS phase residual is below
        it as well. By default there is no such limit (the χ² test is the test).
    prior : {None, "zenith"}, default None
        "zenith": where several distinct directions pass the test, the one nearest the zenith
        is taken and the echo is resolved; by default such an echo is not resolved, and its
        direction is the one of least χ².
    frequency, height, polarization, antenna, records
        The keywords of vexo.Selection, as vexo.read takes them.
    threads : int, optional
        Blocks of 2048 records whose echoes are found at once, each on a thread of its own
        (None: one a core). The table is the same whatever the number.

    Returns
    -------
    pandas.DataFrame
        The columns of vexo.echo_columns' COLUMNS, in order: record (from 1), time
        (datetime64[ns], NaT where the header gives none), subblock (from 0), frequency
        (kHz), height (km), polarization and gain (the subblock's descriptor), line (the peak
        line, from 0), lines (adjacent lines above the threshold), doppler and doppler_error
        (Hz), amplitude (dB, the peak line's mean over the antennas), snr (dB, the peak
        line's power over the noise floor), phase_noise (degrees), east and north (direction
        cosines), east_error, north_error, east_north_correlation, zenith and azimuth
        (degrees; azimuth clockwise from north, 0 to 360), zenith_error, azimuth_error,
        residual (degrees), chi2, probability, candidates, ambiguous and resolved. Directions
        are NaN where no direction passes the test. Its attrs hold threshold_db,
        significance, residual_limit and prior ("none" for None).

    Raises
    ------
    ValueError
        Naming the file, when the records lack antennas of the layout; for a layout that is
        not one (see vexo.Layout), a threshold or limit that is not a finite number, a
        significance that is not between 0 and 1, or a prior other than None or "zenith".
    OSError
        When the file cannot be opened.

    Warns
    -----
    vexo.DamagedFileWarning
        When the file is damaged: the echoes of the records before the damage are given.

    Notes
    -----
    Detection: the noise floor of a subblock is the lower quartile of its lines' powers
    divided by the lower quartile of the mean of that many unit exponential powers (the
    power of complex Gaussian noise), then the same of the lines below the threshold alone
    (where at least four are), so that an echo over most of the lines does not raise it.
    Adjacent lines above the threshold are one echo; its line is the

    strongest. The Doppler shift of line k is -phase_sign × m × line spacing, m the line
    offset the antenna correction uses (k - lines/2, one more from line 64 on), positive for
    an echo approaching: the correction takes away the turn that a frequency of -m × spacing
    puts across antennas sampled one after another (antenna index j j/rate s after 0). It is
    refined toward the stronger neighbour line by the ratio of the lines' signal amplitudes
    (a tone between lines of an untapered transform); doppler_error carries the noise and
    the amplitudes' 1.5 dB steps.

    The direction is fitted to the peak line's corrected phases (phase_degrees) of the
    layout's antennas, less their offsets. A plane wave from the unit vector u = (east,
    north, sqrt(1 - east² - north²)) (geographic: the layout turned by its rotation) gives
    antenna j at r_j the phase φ0 + s·360°·(r_j·u)/λ, s the layout's phase_sign and
    λ = c / (frequency kHz × 1000), c = 299792458 m/s. phase_noise is each phase's standard
    deviation: for a signal in complex Gaussian noise σ² ≈ 1/(2·SNR) rad², SNR the peak's
    power over the floor less 1, plus the phase bytes' rounding, (360/256)²/12 degree². The
    fit tests χ² (the squared wrapped residuals over σ², antennas - 3 degrees of freedom);
    the errors are those of the fit from σ and the layout (first order for zenith and
    azimuth). An echo is resolved where exactly one distinct direction passes (or the prior
    chose one) and the layout tells directions at its wavelength. Records without the
    antenna correction in force (no line spacing, or no rate set yet) give no echo.

    Examples
    --------
    >>> import vexo
    >>> layout = vexo.Layout({1: (0, 0), 2: (40, 0), 3: (-40, 0), 4: (0, -60)})
    >>> table = vexo.echoes("examples/example.dft", layout=layout, frequency=3200)
    >>> list(table.columns[:4])
    ['record', 'time', 'subblock', 'frequency']
    """
    import pandas as pd

    chosen = settings(threshold_db, significance, residual_limit, prior)
    keywords = dict(frequency=frequency, height=height, polarization=polarization,
                    antenna=antenna, records=records)
    _, _, columns = _file_columns(source, layout, selection, keywords, chosen, stacklevel=2,
                                  threads=threads)
    table = pd.DataFrame(columns, copy=False)  # the columns as they are, not once more
    table.attrs.update(attributes(chosen))
    return table


def echoes_dataset(
    source: Source,
    *,
    layout: LayoutLike,
    selection: Optional[Selection] = None,
    threshold_db: float = THRESHOLD_DB,
    significance: float = SIGNIFICANCE,
    residual_limit: Optional[float] = RESIDUAL_LIMIT,
    prior: Optional[str] = PRIOR,
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
    source, layout, selection, threshold_db, significance, residual_limit, prior
        As vexo.echoes takes them.
    frequency, height, polarization, antenna, records
        The keywords of vexo.Selection, as vexo.echoes and vexo.read take them.

    Returns
    -------
    xarray.Dataset
        Dimension echo; the variables of vexo.echoes' columns; attributes source, layout,
        phase_sign, rotation, threshold_db, significance, residual_limit and prior ("none"
        for None), vexo_version and stop.

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

    chosen = settings(threshold_db, significance, residual_limit, prior)
    keywords = dict(frequency=frequency, height=height, polarization=polarization,
                    antenna=antenna, records=records)
    index, layout, columns = _file_columns(source, layout, selection, keywords, chosen,
                                           stacklevel=2)
    variables = {}
    for name, (_, long_name, units) in COLUMNS.items():
        described = {"long_name": long_name}
        if units is not None:
            described["units"] = units
        if name == "phase_noise":
            described["comment"] = PHASE_NOISE_MODEL
        variables[name] = ("echo", columns[name], described)
    attrs: Dict[str, Any] = {
        "title": "echoes and their arrival directions",
        "source": index.name,
        "vexo_version": library_version(),
        "layout": repr(layout),
        "phase_sign": layout.phase_sign,
        "rotation": layout.rotation,
        **attributes(chosen),
        "stop": index.stop_text,
        "comment": "phase of antenna j: phi0 + phase_sign * 360 * (r_j . u) / wavelength",
    }
    return xr.Dataset(variables, attrs=attrs)
