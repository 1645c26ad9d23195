"""NetCDF-4 outputs: one file per input, written a block of records at a time.
"""

from __future__ import annotations

import os
from typing import Any, Dict, List, Optional

import numpy as np

from vexo._archive.outputs import Staging, Written, output_stem
from vexo._archive.rows import Conversion
from vexo._datasets.dataset import TIME_ENCODING, loaded
from vexo._names import shown_name
from vexo._reading.file import library_version
from vexo._reading.index import FileIndex, shapes_of


def to_netcdf(path: str, outdir: str, conversion: Conversion, staging: Staging,
              compression: str, chunk: int) -> Written:
    """One NetCDF-4 file: the dataset of vexo.read, or a group of it per record shape when
    the records asked for have several, written a part at a time from one index. Returns
    what it wrote."""
    import netCDF4

    selection = conversion.selection
    index = FileIndex.of(path, selection)
    shapes = [(n, a) for n, a, _ in shapes_of(index.asked())
              if not selection.antenna or min(selection.antenna) <= a]
    os.makedirs(outdir, exist_ok=True)
    temporary = staging.claim(os.path.join(outdir, output_stem(path) + ".nc"))
    groups: List[Optional[str]] = []
    records = 0
    for shape in shapes:
        entries = index.asked(shape, taking=True)
        # the subblock dimension is as long as the most subblocks taken from a record
        width = int(entries["taken_subblocks"].max()) if len(entries) else 0
        group = None if len(shapes) == 1 else f"N{shape[0]}_A{shape[1]}"
        for start in range(0, len(entries), chunk):
            ds = loaded(index, entries[start:start + chunk], shape, width,
                        correct=conversion.correct, convert=conversion.convert)
            if start == 0:
                ds.to_netcdf(temporary, mode="a" if groups else "w", group=group,
                             engine="netcdf4", unlimited_dims=["time"],
                             encoding=encoding(ds, compression, chunk))
                groups.append(group)
            else:
                _append(temporary, group, ds, start)
            records += ds.sizes["time"]
    attributes = {"Conventions": "CF-1.8", "title": "DFT sounding records",
                  "source": shown_name(path), "vexo_version": library_version(),
                  "phase_correction": int(conversion.correct), "stop": index.stop_text}
    with netCDF4.Dataset(temporary, "a" if groups else "w") as nc:
        nc.setncatts(attributes)  # the file's own, also when its groups hold the records
        for group in groups:
            if group is not None:
                nc.groups[group].setncattr("stop", index.stop_text)
    return Written(records, 0, index.damage or "")


#: The compressions of the NetCDF outputs, the default first.
COMPRESSIONS = ("deflate", "zstd")


def encoding(ds: Any, compression: str, chunk: int) -> Dict[str, Dict[str, Any]]:
    """deflate (level 1: what every NetCDF-4 reader reads) or zstd (level 1: faster; readers
    need netCDF-C 4.9 with its filter plugins); parts of about 4 MiB along the records."""
    setting = ({"zlib": True, "complevel": 1} if compression == "deflate"
               else {"compression": "zstd", "complevel": 1})
    out: Dict[str, Dict[str, Any]] = {
        "time": {**TIME_ENCODING, "dtype": "float64", "_FillValue": np.nan}}
    for name, v in {**ds.data_vars, **ds.coords}.items():
        if v.ndim == 0 or v.dtype.kind not in "uifbM":
            continue
        out.setdefault(name, {}).update(setting)
        if "time" in v.dims:
            per_record = max(1, v.dtype.itemsize * int(np.prod(v.shape[1:])))
            # no longer than the part: a chunk is stored whole, fill values compressed too
            records = min(chunk, max(1, v.shape[0]), (4 << 20) // per_record)
            out[name]["chunksizes"] = (max(1, records),
                                       *v.shape[1:])
    return out


def _append(path: str, group: Optional[str], ds: Any, start: int) -> None:
    """Writes the records of ds after the first `start` records of the group."""
    import netCDF4

    with netCDF4.Dataset(path, "a") as nc:
        target = nc if group is None else nc.groups[group]
        for name, v in ds.variables.items():
            if "time" not in v.dims:
                continue
            values = v.values
            if name == "time":
                seconds = values.astype("datetime64[s]")
                values = np.where(np.isnat(seconds), np.nan, seconds.astype(np.int64).astype(
                    np.float64))
            target.variables[name][start:start + len(values)] = values
