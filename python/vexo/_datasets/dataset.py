"""A DFT file, or the records of one shape, as one xarray dataset: loaded (vexo.read) or lazy
(the xarray backend, engine="vexo"). Both are made here, from the file's index and parts, so
they have the same variables, coordinates, attributes and values."""

from __future__ import annotations

import numbers
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, Optional, Set, Tuple, Union

import numpy as np

from vexo._errors import ShapeError
from vexo._names import shown_name
from vexo._reading.file import Source, library_version
from vexo._reading.index import FileIndex, record_values, shapes_of
from vexo._reading.parts import PLACE_KINDS, SAMPLE_KINDS, antenna_numbers, read_part
from vexo._reading.selection import Selection, Values
from vexo._reading.selection import shape as checked_shape

if TYPE_CHECKING:
    import xarray as xr

# What a variable or coordinate that comes from the parts is made of: (kind, dims, attrs);
# the kind names the values of read_part.
Make = Callable[[str, Tuple[int, ...], Any], Any]


#: How a record's time is stored where it is stored as a number (the NetCDF outputs; xarray's
#: decode_times=False): whole seconds are exact in float64, NaN where there is no time.
TIME_ENCODING = {"units": "seconds since 1970-01-01 00:00:00", "calendar": "proleptic_gregorian"}

#: How the variables are stored in NetCDF (ds.to_netcdf and vexo-convert alike): in the types that
#: CF-1.8 and the classic formats have, every value exact. The sample bytes widened to short;
#: record numbers as int (2^31 records of 4096 bytes: 8 TiB); byte offsets as double (whole
#: numbers exact below 2^53); the file names as characters; time without a fill value, since
#: a coordinate may hold none (a record without a time is stored NaN).
STORED: Dict[str, Dict[str, Any]] = {
    "phase": {"dtype": "int16"},
    "amplitude": {"dtype": "int16"},
    "record": {"dtype": "int32"},
    "offset": {"dtype": "float64", "_FillValue": None},
    "file": {"dtype": "S1", "char_dim_name": "name_length"},
    "time": {**TIME_ENCODING, "dtype": "float64", "_FillValue": None},
}


def shapes_text(shapes: Iterable[Tuple[int, int, int]]) -> str:
    return ", ".join(
        f"N={n} A={a}: {count} record{'s' if count != 1 else ''}" for n, a, count in shapes
    )


def chosen_entries(index: FileIndex, shape: Optional[Tuple[int, int]]
                   ) -> Tuple[np.ndarray, Optional[Tuple[int, int]]]:
    """The entries of the dataset (records asked for, of its shape, with a subblock taken) and
    its shape (None when no record is asked for); ShapeError or ValueError when the records
    cannot be one dataset."""
    name = shown_name(index.name)
    shapes = shapes_of(index.asked())
    counts = {(n, a): c for n, a, c in shapes}
    if shape is None:
        if len(shapes) > 1:
            raise ShapeError(
                f"{name}: records of {len(shapes)} shapes cannot be one dataset: "
                f"{shapes_text(shapes)}; read one with shape=(N, A)")
        chosen = (shapes[0][0], shapes[0][1]) if shapes else None
    else:
        if shapes and tuple(shape) not in counts:
            raise ValueError(f"{name}: no record of shape N={shape[0]} A={shape[1]}; "
                             f"the file has {shapes_text(shapes)}")
        chosen = tuple(shape) if shapes else None  # type: ignore[assignment]
    if chosen is None:
        return index.entries[:0], None
    missing = [a for a in index.selection.antenna if a > chosen[1]]
    if missing:
        raise ValueError(f"{name}: antenna {missing[0]}: the records of shape N={chosen[0]} "
                         f"A={chosen[1]} have antennas 1 to {chosen[1]}")
    return index.asked(chosen, taking=True), chosen  # type: ignore[arg-type]


def flag(name: str, value: Any) -> bool:
    """An option that is True or False (a numpy bool, 0 or 1 as well); TypeError for anything
    else, "no" and "False" among them."""
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, numbers.Integral) and int(value) in (0, 1):
        return bool(value)
    raise TypeError(f"{name}: a bool is needed (True or False), not {value!r}")


def opened(source: Source, selection: Selection, shape: Any, stacklevel: int
           ) -> Tuple[FileIndex, np.ndarray, Optional[Tuple[int, int]], int]:
    """A file's index, the entries of its dataset, their shape and the dataset's subblock
    places (the most subblocks a record takes); a DamagedFileWarning for a damaged file."""
    index = FileIndex.of(source, selection)
    entries, got_shape = chosen_entries(index, checked_shape(shape))
    index.warn_damage(stacklevel=stacklevel + 1)
    width = int(entries["taken_subblocks"].max()) if len(entries) else 0
    return index, entries, got_shape, width


def dataset(index: FileIndex, entries: np.ndarray, shape: Optional[Tuple[int, int]],
            width: int, *, correct: bool, convert: bool, make: Make,
            per_record: Callable[[str], Any], drop_variables: Iterable[str] = ()
            ) -> "xr.Dataset":
    """The dataset of `entries` (of one shape) with `width` subblock places; make(kind, shape,
    None) gives the values of a variable or coordinate from the parts, per_record(kind) those
    of the entries (RECORD_KINDS), loaded or lazy."""
    import xarray as xr

    antennas = antenna_numbers(index.selection, shape[1]) if shape is not None else []
    lines = (1 << shape[0]) if shape is not None else 0
    dims4 = ("time", "subblock", "antenna", "line")
    shape4 = (len(entries), width, len(antennas), lines)
    pair = ("time", "subblock")
    drop = dropped(drop_variables)

    def samples(kind: str, attrs: Dict[str, Any]) -> Any:
        return (dims4, make(kind, shape4, None), attrs)

    def places(kind: str, attrs: Dict[str, Any]) -> Any:
        return (pair, make(kind, (len(entries), width), None), attrs)

    # Levels in dB have units "1" and say dB in their long_name: udunits (and so both CF
    # checkers) knows no dB, a level is a plain number, and no units would leave gain, a
    # coordinate, warned of.
    data_vars: Dict[str, Any] = {
        "phase": samples("phase", {
            "long_name": "phase sample", "units": "1",
            "comment": "the sample byte: 256 steps to a turn"}),
        "amplitude": samples("amplitude", {
            "long_name": "amplitude sample", "units": "1",
            "comment": "the sample byte: bits 7 to 2 count steps of 1.5 dB"}),
    }
    if convert:
        data_vars["phase_degrees"] = samples("phase_degrees", {
            "long_name": "phase", "units": "degree",
            "comment": "with the antenna correction where the record allows it" if correct
            else "without the antenna correction"})
        data_vars["amplitude_db"] = samples("amplitude_db", {
            "long_name": "amplitude in dB", "units": "1"})
    data_vars["record_frequency"] = ("time", per_record("record_frequency"), {
        "long_name": "frequency of the record's header (FREQ)", "units": "kHz"})
    data_vars["line_spacing"] = ("time", per_record("line_spacing"), {
        "long_name": "spacing of the spectral lines", "units": "Hz",
        "comment": "inf where the header gives none"})
    data_vars["rate"] = ("time", per_record("rate"), {
        "long_name": "rate that the phase correction divides by",
        "comment": "NaN while no record has set one"})
    coords: Dict[str, Any] = {
        # Time is the records' dimension coordinate, so that xarray combines files in time
        # order; the record numbers (from 1 in each file) are indexed too: sel(record=3).
        "time": ("time", per_record("time"), {
            "long_name": "time of the record", "standard_name": "time", "axis": "T"}),
        "record": ("time", entries["number"].copy(), {
            "long_name": "record number (from 1)", "units": "1"}),
        "file": ("time", np.full(len(entries), shown_name(index.name), dtype=object), {
            "long_name": "file the record was read from"}),
        "offset": ("time", per_record("offset"), {
            "long_name": "byte offset of the record in the file", "units": "byte"}),
        "antenna": ("antenna", np.asarray(antennas, dtype=np.int8), {
            "long_name": "antenna number (from 1)", "units": "1"}),
        "subblock_number": places("subblock_number", {
            "long_name": "number of the subblock in its record (from 0)", "units": "1",
            "comment": "-1 where the record has no subblock at this place"}),
        "frequency": places("frequency", {"long_name": "sounding frequency", "units": "kHz"}),
        "height": places("height", {"long_name": "height", "units": "km"}),
        "gain": places("gain", {"long_name": "gain in dB", "units": "1"}),
        "polarization": places("polarization", {"long_name": "polarization", "units": "1"}),
    }
    attrs: Dict[str, Any] = {
        "Conventions": "CF-1.8",
        "title": "DFT sounding records",
        "source": index.name,
        "vexo_version": library_version(),
        "phase_correction": int(correct),
        "stop": index.stop_text,
    }
    if shape is not None:
        attrs["N"], attrs["A"] = shape
    data_vars = {k: v for k, v in data_vars.items() if k not in drop}
    coords = {k: v for k, v in coords.items() if k not in drop}
    ds = xr.Dataset(data_vars, coords, attrs)
    if "record" in coords:
        ds = ds.set_xindex("record")
    for name, stored in STORED.items():
        if name in ds.variables:
            ds[name].encoding.update(stored)
    numbers = index.entries["number"]  # the file's: every block written of it alike
    if "record" in ds.variables and len(numbers) and int(numbers.max()) >= 1 << 31:
        ds["record"].encoding["dtype"] = "float64"  # beyond int: whole numbers below 2^53
    return ds


def dropped(drop_variables: Union[None, str, Iterable[str]]) -> Set[str]:
    """The names of drop_variables: one name or several, as xarray takes them."""
    if drop_variables is None:
        return set()
    return {drop_variables} if isinstance(drop_variables, str) else set(drop_variables)


def loaded(index: FileIndex, entries: np.ndarray, shape: Optional[Tuple[int, int]],
           width: int, *, correct: bool, convert: bool, drop_variables: Iterable[str] = (),
           threads: Optional[int] = None) -> "xr.Dataset":
    """The dataset with every value read, in one pass over the records (shared among
    `threads` threads, default: one a core for parts of many records)."""
    kinds = [k for k in SAMPLE_KINDS + PLACE_KINDS
             if k not in dropped(drop_variables) and (convert or k in ("phase", "amplitude")
                                                       or k in PLACE_KINDS)]
    part = read_part(index, entries, width, kinds=kinds, correct=correct, shape=shape,
                     threads=threads)
    return dataset(index, entries, shape, width, correct=correct, convert=convert,
                   make=lambda kind, dims, _: part.arrays[kind],
                   per_record=lambda kind: record_values(entries, kind),
                   drop_variables=drop_variables)


def read(
    source: Source,
    *,
    selection: Optional[Selection] = None,
    frequency: Values = None,
    height: Values = None,
    polarization: Values = None,
    antenna: Values = None,
    records: Any = None,
    shape: Optional[Tuple[int, int]] = None,
    correct: bool = True,
    convert: bool = True,
) -> "xr.Dataset":
    """Reads a DFT file into an xarray.Dataset, every value loaded.

    The same dataset as ``xr.open_dataset(path, engine="vexo")`` gives lazily.

    Parameters
    ----------
    source : str, bytes, os.PathLike or binary file object
        The file.
    selection : vexo.Selection, optional
        What to take; or give its keywords here instead.
    frequency, height, polarization, antenna, records
        The keywords of vexo.Selection: a subblock is taken when its descriptor has one of
        the values given (None: any); antenna picks antennas by number (from 1), records
        picks records by number (from 1; a range is read as bounds).
    shape : (N, A), optional
        Read the records of this shape; needed when the file has records of several.
    correct : bool, default True
        The antenna correction of phase_degrees, where the record allows it.
    convert : bool, default True
        phase_degrees and amplitude_db besides the raw bytes.

    Returns
    -------
    xarray.Dataset
        Dimensions time (the records, in the file's order), subblock (places), antenna and
        line (positions from 0); variables phase and amplitude (uint8), phase_degrees and
        amplitude_db (float32), record_frequency, line_spacing and rate; coordinates time
        (NaT where the header gives none), record (from 1, indexed: ``ds.sel(record=3)``),
        file, offset, antenna (from 1), and per record and subblock frequency (kHz), height
        (km), gain (dB), polarization and subblock_number (in its record, from 0). The time
        index makes ``xr.open_mfdataset`` combine files in time order, every record of each;
        files whose records are not in time order, or whose shapes or subblock places
        differ, are refused by it. A record none of whose subblocks is taken is left out; where
        records take fewer subblocks than the most, the places left over have
        subblock_number -1, frequency and height NaN, gain and polarization -1, samples 0 and
        converted values NaN. The four-antenna mean of the listing is
        ``ds.amplitude_db.sel(antenna=[1, 2, 3, 4]).mean("antenna")``, exactly.

    Raises
    ------
    vexo.ShapeError
        When the records asked for have several shapes and no shape is given.
    TypeError
        When correct or convert is not a bool.
    OSError
        When the file cannot be opened.

    Warns
    -----
    vexo.DamagedFileWarning
        When the file is damaged: the records before the damage are read.

    Examples
    --------
    >>> import vexo
    >>> ds = vexo.read("examples/example.dft", frequency=3200, antenna=[1, 2])
    >>> ds.phase_degrees.dims
    ('time', 'subblock', 'antenna', 'line')
    >>> int(ds.sel(record=3).record), str(ds.sel(record=3).time.values)[:19]
    (3, '2026-12-08T12:00:02')
    """
    correct, convert = flag("correct", correct), flag("convert", convert)
    chosen = Selection.of(selection, frequency=frequency, height=height,
                          polarization=polarization, antenna=antenna, records=records)
    index, entries, got_shape, width = opened(source, chosen, shape, stacklevel=2)
    return loaded(index, entries, got_shape, width, correct=correct, convert=convert)
