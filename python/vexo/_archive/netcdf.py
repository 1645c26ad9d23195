"""NetCDF outputs: one file per input, written a block of records at a time.
"""

from __future__ import annotations

import os
from typing import Any, Dict, List, Optional

import numpy as np

from vexo._archive.outputs import Staging, Written, output_stem
from vexo._archive.rows import Conversion
from vexo._datasets.dataset import loaded, shapes_text
from vexo._names import shown_name
from vexo._reading.file import library_version
from vexo._reading.index import FileIndex, shapes_of

#: The kinds of NetCDF file vexo-convert writes (--netcdf-kind), the default first, and
#: xarray's names for them: NetCDF-4, and for older tools NetCDF-4 classic and 64-bit-offset
#: NetCDF-3, neither of which has groups (nor, NetCDF-3, compression).
KINDS = {"netcdf4": "NETCDF4", "classic": "NETCDF4_CLASSIC", "netcdf3": "NETCDF3_64BIT"}


def to_netcdf(path: str, outdir: str, conversion: Conversion, staging: Staging,
              compression: str, chunk: int, kind: str = "netcdf4") -> Written:
    """One NetCDF file of the given kind: the dataset of vexo.read, or a group of it per record
    shape when the records asked for have several (netcdf4 only: the other kinds refuse such a
    file, a ValueError), written a part at a time from one index. Returns what it wrote."""
    import netCDF4

    selection = conversion.selection
    index = FileIndex.of(path, selection)
    found = shapes_of(index.asked())
    shapes = [(n, a) for n, a, _ in found
              if not selection.antenna or min(selection.antenna) <= a]
    if len(shapes) > 1 and kind != "netcdf4":
        raise ValueError(f"records of {len(shapes)} shapes ({shapes_text(found)}) need a group "
                         f"each, which a {kind} file cannot hold: convert it with --netcdf-kind "
                         "netcdf4, or its records of one shape with --records")
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
            ds = _bytes_as_bytes(loaded(index, entries[start:start + chunk], shape, width,
                                        correct=conversion.correct, convert=conversion.convert))
            if start == 0:
                ds.to_netcdf(temporary, mode="a" if groups else "w", group=group,
                             format=KINDS[kind], engine="netcdf4", unlimited_dims=["time"],
                             encoding=encoding(ds, compression if kind != "netcdf3" else None,
                                               chunk))
                groups.append(group)
            else:
                _append(temporary, group, ds, start)
            records += ds.sizes["time"]
    # whole numbers as int: NetCDF-3 has no 64-bit attributes
    attributes = {"Conventions": "CF-1.8", "title": "DFT sounding records",
                  "source": shown_name(path), "vexo_version": library_version(),
                  "phase_correction": np.int32(conversion.correct), "stop": index.stop_text}
    made: Any = KINDS[kind]  # the file's kind, when no group made it
    with netCDF4.Dataset(temporary, "a" if groups else "w", format=made) as nc:
        nc.setncatts(attributes)  # the file's own, also when its groups hold the records
        for group in groups:
            if group is not None:
                nc.groups[group].setncattr("stop", index.stop_text)
    return Written(records, 0, index.damage or "")


def _bytes_as_bytes(ds: Any) -> Any:
    """ds with its sample bytes stored a byte each: as signed bytes marked _Unsigned, which
    xarray and netCDF4 read back as unsigned (the dataset's own encoding widens them to short,
    which every writer takes)."""
    ds = ds.copy()
    for name in ("phase", "amplitude"):
        if name in ds.variables:
            ds[name].attrs["_Unsigned"] = "true"
            ds[name].encoding["dtype"] = "int8"
    return ds


#: The compressions of the NetCDF outputs, the default first.
COMPRESSIONS = ("deflate", "zstd")


def encoding(ds: Any, compression: Optional[str], chunk: int) -> Dict[str, Dict[str, Any]]:
    """Each variable's own encoding (the stored types of the dataset) with, for a compression,
    deflate (level 1: what every NetCDF-4 reader reads) or zstd (level 1: faster; readers need
    netCDF-C 4.9 with its filter plugins) in parts of about 4 MiB along the records."""
    setting = ({"zlib": True, "complevel": 1} if compression == "deflate"
               else {"compression": "zstd", "complevel": 1})
    out: Dict[str, Dict[str, Any]] = {}
    for name, v in {**ds.data_vars, **ds.coords}.items():
        out[name] = dict(v.encoding)
        if compression is None or v.ndim == 0 or v.dtype.kind not in "uifbM":
            continue
        out[name].update(setting)
        if "time" in v.dims:
            per_record = max(1, v.dtype.itemsize * int(np.prod(v.shape[1:])))
            # no longer than the part: a chunk is stored whole, fill values compressed too
            records = min(chunk, max(1, v.shape[0]), (4 << 20) // per_record)
            out[name]["chunksizes"] = (max(1, records),
                                       *v.shape[1:])
    return out


def _append(path: str, group: Optional[str], ds: Any, start: int) -> None:
    """Writes the records of ds after the first `start` records of the group, encoded as the
    first part was."""
    import netCDF4
    import xarray as xr

    with netCDF4.Dataset(path, "a") as nc:
        target = nc if group is None else nc.groups[group]
        for name, v in ds.variables.items():
            if "time" not in v.dims:
                continue
            stored = xr.conventions.encode_cf_variable(v, name=name)
            variable = target.variables[name]
            variable.set_auto_maskandscale(False)  # the values are stored as they are
            variable.set_auto_chartostring(False)
            values = stored.values
            if variable.dtype == np.dtype("S1"):  # the file names, as UTF-8 characters
                names = [x.encode() if isinstance(x, str) else x for x in values.ravel()]
                values = netCDF4.stringtochar(np.array(names, f"S{variable.shape[-1]}"))
            variable[start:start + v.shape[0]] = values
