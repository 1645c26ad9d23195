"""The xarray backend: ``xr.open_dataset("day342.dft", engine="vexo")`` and
``xr.open_mfdataset(paths, engine="vexo")`` (files combined in time order).

The dataset is that of vexo.read, its variables and per-subblock coordinates lazily indexed
arrays over the file's index and parts: selecting records reads only those records, and
``chunks=`` gives dask arrays that pickle to distributed workers (``chunks={}``:
PREFERRED_RECORDS records a chunk).

The decoding keywords of xarray's netCDF backend are taken with their meaning there, applied
to time, the only value held encoded: ``decode_times=False`` gives it as the NetCDF outputs
store it (float seconds since 1970-01-01, NaN where a record has no time), ``use_cftime`` and
a ``CFDatetimeCoder`` as xarray decodes those. The other values are stored as what they are
(nothing is packed, no fill value stands for a missing one), so mask_and_scale,
concat_characters, decode_coords and decode_timedelta change nothing.
"""

from __future__ import annotations

import dataclasses
import os
import stat
from typing import Any, Iterable, Optional, Tuple, Union

import numpy as np
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

from vexo._datasets.dataset import TIME_ENCODING, dataset, dropped, flag, opened
from vexo._reading.index import RECORD_DTYPES, FileIndex, looks_like_dft, record_values
from vexo._reading.parts import DTYPES, read_part
from vexo._reading.selection import Selection, Values


class PartArray(BackendArray):
    """The values of one kind (a variable or per-subblock coordinate) of a dataset's records,
    read from the file when indexed."""

    def __init__(self, index: FileIndex, entries: np.ndarray,
                 record_shape: Optional[Tuple[int, int]],
                 width: int, kind: str, correct: bool, shape: Tuple[int, ...]) -> None:
        self.index, self.entries, self.width = index, entries, width
        self.record_shape = record_shape  # (N, A)
        self.kind, self.correct = kind, correct
        self.shape = shape
        self.dtype = np.dtype(DTYPES[kind])

    def __getitem__(self, key: indexing.ExplicitIndexer) -> np.ndarray:
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.OUTER, self._read)

    def _read(self, key: Tuple[Any, ...]) -> np.ndarray:
        positions = np.arange(self.shape[0])[key[0]]
        single = np.ndim(positions) == 0
        wanted, back = np.unique(np.atleast_1d(positions), return_inverse=True)
        part = read_part(self.index, self.entries[wanted], self.width, kinds=[self.kind],
                         correct=self.correct, shape=self.record_shape)
        values = part.arrays[self.kind]
        if not np.array_equal(back, np.arange(len(wanted))):
            values = values[back.reshape(-1)]
        # The other axes from the last, so that an axis an integer takes away shifts none
        # still to come.
        for axis in range(len(key) - 1, 0, -1):
            k = key[axis]
            if isinstance(k, slice):
                if k != slice(None):
                    values = values[(slice(None),) * axis + (k,)]
            else:
                values = np.take(values, k, axis=axis)
        return values[0] if single else values


class RecordArray(BackendArray):
    """A per-record value of a dataset's records (time, offset, ...), made from the index
    entries when indexed."""

    def __init__(self, entries: np.ndarray, kind: str) -> None:
        self.entries, self.kind = entries, kind
        self.shape = (len(entries),)
        self.dtype = RECORD_DTYPES[kind]

    def __getitem__(self, key: indexing.ExplicitIndexer) -> np.ndarray:
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.OUTER, self._read)

    def _read(self, key: Tuple[Any, ...]) -> np.ndarray:
        picked = self.entries[key[0]]
        if np.ndim(picked) == 0:
            return record_values(self.entries[[key[0]]], self.kind)[0]
        return record_values(picked, self.kind)


def _head(source: Any) -> Optional[bytes]:
    """The first record's bytes of a regular file (by its path) or a seekable file object (put
    back where it was); None for anything else. A named pipe or a device is not even opened
    for reading: the guess must neither wait for a writer nor take bytes from a stream."""
    try:
        if isinstance(source, (str, os.PathLike)):
            if not stat.S_ISREG(os.stat(source).st_mode):
                return None
            fd = os.open(source, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
            with os.fdopen(fd, "rb") as f:  # it may have been replaced since
                return f.read(4096) if stat.S_ISREG(os.fstat(fd).st_mode) else None
        if hasattr(source, "seek") and hasattr(source, "read") and source.seekable():
            at = source.tell()
            try:
                return bytes(source.read(4096) or b"")
            finally:
                source.seek(at)
    except (OSError, ValueError, TypeError):
        return None
    return None


#: Records in a chunk of ``chunks={}``: 16 MiB of the file, at most 32 MiB of converted values.
PREFERRED_RECORDS = 4096

def _time_decoded(ds: Any, decode_times: Any, use_cftime: Optional[bool],
                  decode_timedelta: Any) -> Any:
    """ds with its time decoded as xarray's netCDF backend decodes the stored time."""
    if "time" not in ds.variables or (decode_times in (None, True) and not use_cftime):
        return ds
    import xarray as xr

    time = ds["time"]
    seconds = time.values.astype("datetime64[s]")
    stored = np.where(np.isnat(seconds), np.nan, seconds.astype(np.int64).astype(np.float64))
    encoded = xr.Variable("time", stored, {**time.attrs, **TIME_ENCODING})
    decoded = xr.conventions.decode_cf_variable(
        "time", encoded, decode_times=decode_times if decode_times is not None else True,
        use_cftime=use_cftime, decode_timedelta=decode_timedelta)
    return ds.assign_coords(time=decoded)


def _nothing_to_close() -> None:
    return None


class VexoBackendEntrypoint(BackendEntrypoint):
    """Opens DFT files for xarray (engine="vexo")."""

    description = "DFT files of phase and amplitude samples, read with vexo"
    # No documentation is published at an address of its own yet: an address that leads
    # nowhere would be worse than none.
    url = ""
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "mask_and_scale",
                               "decode_times", "concat_characters", "decode_coords",
                               "use_cftime", "decode_timedelta", "selection", "frequency",
                               "height", "polarization", "antenna", "records", "shape",
                               "correct", "convert")

    def open_dataset(  # type: ignore[override]
        self,
        filename_or_obj: Any,
        *,
        drop_variables: Union[None, str, Iterable[str]] = None,
        mask_and_scale: Any = True,
        decode_times: Any = True,
        concat_characters: Any = True,
        decode_coords: Any = True,
        use_cftime: Optional[bool] = None,
        decode_timedelta: Any = None,
        selection: Optional[Selection] = None,
        frequency: Values = None,
        height: Values = None,
        polarization: Values = None,
        antenna: Values = None,
        records: Any = None,
        shape: Optional[Tuple[int, int]] = None,
        correct: bool = True,
        convert: bool = True,
    ) -> Any:
        """The dataset of vexo.read, read lazily: the keywords are those of vexo.read, and
        xarray's decoding keywords (see the module's documentation).

        Examples
        --------
        >>> import xarray as xr
        >>> ds = xr.open_dataset("examples/example.dft", engine="vexo", frequency=3200)
        >>> ds.amplitude_db.isel(time=[0, 2]).values.shape
        (2, 4, 4, 32)
        >>> ds.phase.encoding["preferred_chunks"]
        {'time': 4096}
        >>> raw = xr.open_dataset("examples/example.dft", engine="vexo", decode_times=False)
        >>> float(raw.time[0]), raw.time.units
        (1796731200.0, 'seconds since 1970-01-01 00:00:00')
        """
        correct, convert = flag("correct", correct), flag("convert", convert)
        chosen = Selection.of(selection, frequency=frequency, height=height,
                              polarization=polarization, antenna=antenna, records=records)
        index, entries, got_shape, width = opened(filename_or_obj, chosen, shape, stacklevel=3)

        # The lazy arrays carry the file's name and place, not its whole index: they are
        # pickled into every task of a dask graph.
        source = dataclasses.replace(index, entries=index.entries[:0])

        def make(kind: str, shape_of: Tuple[int, ...], _: Any) -> Any:
            return indexing.LazilyIndexedArray(
                PartArray(source, entries, got_shape, width, kind, correct, shape_of))

        def per_record(kind: str) -> Any:
            return indexing.LazilyIndexedArray(RecordArray(entries, kind))

        ds = dataset(index, entries, got_shape, width, correct=correct, convert=convert,
                     make=make, per_record=per_record, drop_variables=dropped(drop_variables))
        for variable in ds.variables.values():
            if "time" in variable.dims and variable.ndim > 1:
                variable.encoding["preferred_chunks"] = {"time": PREFERRED_RECORDS}
        ds = _time_decoded(ds, decode_times, use_cftime, decode_timedelta)
        # Nothing stays open between reads (each read opens the file): the closer has
        # nothing to release, but xarray's close() and `with` call it.
        ds.set_close(_nothing_to_close)
        return ds

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        """A DFT file: its first record starts with the record marker and passes the check,
        or its name ends in .dft (any case) and it is no named pipe, device or folder (those
        are not read to guess: open them with engine="vexo")."""
        if looks_like_dft(_head(filename_or_obj)):
            return True
        if isinstance(filename_or_obj, (str, os.PathLike)):
            try:
                if not stat.S_ISREG(os.stat(filename_or_obj).st_mode):
                    return False
            except (OSError, ValueError):
                pass  # opening it says what is wrong
            return os.fspath(filename_or_obj).lower().endswith(".dft")
        return False
