"""A whole DFT file, or the records of one shape, as one xarray dataset."""

from __future__ import annotations

import warnings
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

import numpy as np

from vexo import _core, _selection
from vexo._errors import DamagedFileWarning, ShapeError
from vexo._file import Source
from vexo._time import record_times

if TYPE_CHECKING:
    import xarray as xr


def _shapes_text(shapes: Any) -> str:
    return ", ".join(
        f"N={n} A={a}: {count} record{'s' if count != 1 else ''}" for n, a, count in shapes
    )


def _padded(flat: np.ndarray, counts: np.ndarray, width: int, tail: Tuple[int, ...],
            fill: Any) -> np.ndarray:
    """Per-subblock values, taken subblocks after each other, as (records, width, *tail)."""
    records = len(counts)
    flat = flat.reshape((int(counts.sum()),) + tail)
    if records == 0 or np.all(counts == width):
        return flat.reshape((records, width) + tail)
    out = np.full((records, width) + tail, fill, dtype=flat.dtype)
    which = np.repeat(np.arange(records), counts)
    slot = np.arange(len(flat)) - np.repeat(np.cumsum(counts) - counts, counts)
    out[which, slot] = flat
    return out


def read(
    source: Source,
    frequency: _selection.Selection = None,
    height: _selection.Selection = None,
    polarization: _selection.Selection = None,
    antenna: _selection.Selection = None,
    records: _selection.Selection = None,
    correct: bool = True,
    shape: Optional[Tuple[int, int]] = None,
    convert: bool = True,
) -> "xr.Dataset":
    """Reads a DFT file (a path or a binary file object) into an xarray.Dataset.

    Dimensions record, subblock, antenna and line; variables phase and amplitude (uint8),
    phase_degrees and amplitude_db (float32; not with convert=False). The four-antenna mean of
    the listing is ds.amplitude_db.sel(antenna=[1, 2, 3, 4]).mean("antenna"), exactly (the dB
    values are multiples of 1.5). Coordinates: record
    (the record number, from 1), time, offset, antenna (from 1), line, and per record and
    subblock frequency (kHz), height (km), gain (dB), polarization and subblock_number (the
    subblock's number in its record, from 0).

    frequency, height and polarization take a subblock when its descriptor has one of the
    values given (None: any); antenna picks antennas by number; records picks records by
    number. A record none of whose subblocks is taken is left out. When the records taken have
    different numbers of subblocks, the subblock dimension is as long as the most, and the
    places left over have subblock_number -1, frequency and height NaN, gain and polarization
    -1, samples 0 and converted values NaN.

    The records must have one shape (N, A): otherwise ShapeError names the shapes, and
    shape=(N, A) reads the records of one. A damaged file gives its records before the damage
    and a DamagedFileWarning that says what stopped the reading.
    """
    antennas = _selection.whole_numbers("antenna", antenna, 1)
    if len(set(antennas)) != len(antennas):
        raise ValueError(f"antenna: {antennas} names an antenna twice")
    return read_checked(
        source, _selection.shape(shape), _selection.reals("frequency", frequency),
        _selection.reals("height", height),
        _selection.whole_numbers("polarization", polarization, 0), antennas,
        _selection.record_ranges(records), bool(convert), bool(correct), stacklevel=3)


def read_checked(source: Source, chosen_shape: Optional[Tuple[int, int]],
                 frequencies: List[float], heights: List[float], polarizations: List[int],
                 antennas: List[int], wanted_records: List[Tuple[int, int]], convert: bool,
                 correct: bool, stacklevel: int = 2) -> "xr.Dataset":
    """read, its selection already checked: lists of values (empty: all), record ranges
    (first, last)."""
    got = _core.read_bulk(source, chosen_shape, frequencies, heights, polarizations, antennas,
                          wanted_records, convert, correct)
    name = got["name"]  # str, as the file system gives it
    if got["missing_antenna"]:
        n, a = got["shape"]
        raise ValueError(
            f"{name}: antenna {got['missing_antenna']}: the records of shape N={n} A={a} have "
            f"antennas 1 to {a}"
        )
    if got["mixed_shapes"]:
        raise ShapeError(
            f"{name}: records of {len(got['shapes'])} shapes cannot be one dataset: "
            f"{_shapes_text(got['shapes'])}; read one with shape=(N, A)"
        )
    if chosen_shape is not None and got["shape"] is None and got["shapes"]:
        raise ValueError(
            f"{name}: no record of shape N={chosen_shape[0]} A={chosen_shape[1]}; "
            f"the file has {_shapes_text(got['shapes'])}"
        )
    stop = got["stop"]
    if got["read_to_end"] and stop["reason"] != "end_of_file":
        warnings.warn(f"{name}: {stop['message']}", DamagedFileWarning, stacklevel=stacklevel)
    return _dataset(got, chosen_shape, antennas, correct)


def _dataset(got: Dict[str, Any], chosen_shape: Any, antennas: Any, correct: bool,
             width: Optional[int] = None) -> "xr.Dataset":
    """The dataset of what a bulk read took; width: the length of the subblock dimension
    (default: the most subblocks taken from a record)."""
    import xarray as xr  # here: reading record by record needs only numpy

    counts = got["taken_subblocks"].astype(np.int64)
    if width is None:
        width = int(counts.max()) if len(counts) else 0
    n = got["sample_count"]
    if got["shape"] is not None:
        antenna_numbers = antennas or list(range(1, got["shape"][1] + 1))
    else:
        antenna_numbers = []
    tail = (len(antenna_numbers), n)

    def per_subblock(key: str, fill: Any) -> np.ndarray:
        return _padded(got[key], counts, width, (), fill)

    def samples(key: str, fill: Any) -> np.ndarray:
        return _padded(got[key], counts, width, tail, fill)

    dims4 = ("record", "subblock", "antenna", "line")
    data_vars: Dict[str, Any] = {
        "phase": (dims4, samples("phase", 0), {
            "long_name": "phase sample", "units": "1",
            "comment": "the sample byte: 256 steps to a turn"}),
        "amplitude": (dims4, samples("amplitude", 0), {
            "long_name": "amplitude sample", "units": "1",
            "comment": "the sample byte: bits 7 to 2 count steps of 1.5 dB"}),
    }
    if "phase_degrees" in got:
        data_vars["phase_degrees"] = (dims4, samples("phase_degrees", np.nan), {
            "long_name": "phase", "units": "degree",
            "comment": "with the antenna correction where the record allows it" if correct
            else "without the antenna correction"})
        data_vars["amplitude_db"] = (dims4, samples("amplitude_db", np.nan), {
            "long_name": "amplitude", "units": "dB"})
    data_vars["record_frequency"] = ("record", got["record_frequency"], {
        "long_name": "frequency of the record's header (FREQ)", "units": "kHz"})
    data_vars["line_spacing"] = ("record", got["line_spacing"], {
        "long_name": "spacing of the spectral lines", "units": "Hz",
        "comment": "inf where the header gives none"})
    data_vars["rate"] = ("record", got["rate"], {
        "long_name": "rate that the phase correction divides by",
        "comment": "NaN while no record has set one"})

    pair = ("record", "subblock")
    coords: Dict[str, Any] = {
        "record": ("record", got["number"], {"long_name": "record number (from 1)"}),
        "time": ("record", record_times(got["clock"]).astype("datetime64[ns]"), {
            "long_name": "time of the record", "standard_name": "time"}),
        "offset": ("record", got["offset"], {
            "long_name": "byte offset of the record in the file", "units": "byte"}),
        "subblock": ("subblock", np.arange(width, dtype=np.int16), {
            "long_name": "place among the subblocks taken from the record"}),
        "antenna": ("antenna", np.asarray(antenna_numbers, dtype=np.int8), {
            "long_name": "antenna number (from 1)"}),
        "line": ("line", np.arange(n, dtype=np.int16), {
            "long_name": "spectral line (sample index, from 0)"}),
        "subblock_number": (pair, per_subblock("subblock", -1), {
            "long_name": "number of the subblock in its record (from 0)",
            "comment": "-1 where the record has no subblock at this place"}),
        "frequency": (pair, per_subblock("frequency", np.nan), {
            "long_name": "sounding frequency", "units": "kHz"}),
        "height": (pair, per_subblock("height", np.nan), {
            "long_name": "height", "units": "km"}),
        "gain": (pair, per_subblock("gain", -1), {"long_name": "gain", "units": "dB"}),
        "polarization": (pair, per_subblock("polarization", -1), {
            "long_name": "polarization"}),
    }
    attrs = {
        "Conventions": "CF-1.8",
        "title": "DFT sounding records",
        "source": got["name"],
        "vexo_version": _core.version,
        "phase_correction": int(correct),
        "stop": got["stop"]["message"] if got["read_to_end"]
        else "after the last record asked for",
    }
    if got["shape"] is not None:
        attrs["N"], attrs["A"] = got["shape"]
    return xr.Dataset(data_vars, coords, attrs)
