"""Archives of DFT files as Dask DataFrames, without converting them first.

    import vexo.dask
    df = vexo.dask.read_archive("archive/2026/", frequency=3200)
    df.groupby("height").record.count().compute()

The columns are those of vexo-convert's Parquet dataset (file, record, time, subblock,
frequency, height, gain, polarization, antenna, sample_count, phase, amplitude, and with
convert=True phase_degrees and amplitude_db), one row per record, subblock and antenna, one
partition per file.
"""

from __future__ import annotations

import warnings
from typing import Any, Sequence, Union

from vexo._archive import Selection, find_inputs, parts, schema
from vexo._errors import DamagedFileWarning

__all__ = ["read_archive"]


def _frame(path: str, selection: Selection) -> Any:
    import pyarrow as pa

    tables = []
    for rows, _, got in parts(path, path, selection):
        tables.append(rows)
        if got["done"] and got["read_to_end"] and got["stop"]["reason"] != "end_of_file":
            warnings.warn(f"{path}: {got['stop']['message']}", DamagedFileWarning, stacklevel=2)
    table = pa.concat_tables(tables) if tables else schema(selection.convert).empty_table()
    return _pandas(table)


def _pandas(table: Any) -> Any:
    import pandas as pd
    import pyarrow as pa

    table = table.set_column(0, "file", table.column("file").cast(pa.string()))
    return table.to_pandas(types_mapper=pd.ArrowDtype)


def read_archive(inputs: Union[str, Sequence[str]], frequency: Any = None, height: Any = None,
                 polarization: Any = None, antenna: Any = None, records: Any = None,
                 convert: bool = False, correct: bool = True) -> Any:
    """A Dask DataFrame of the DFT files that inputs name: files, directories (searched
    below for *.dft, any case) or glob patterns. The selection keywords are those of
    vexo.read; convert adds the converted values. A name that matches nothing raises
    FileNotFoundError; a damaged file gives its good records and a DamagedFileWarning when its
    partition is computed. A partition holds its file's rows in memory: about twice the
    file's size (ten times with convert)."""
    import dask.dataframe as dd

    files, missing = find_inputs([inputs] if isinstance(inputs, str) else list(inputs))
    if missing:
        raise FileNotFoundError(f"no such file, directory or match: {', '.join(missing)}")
    selection = Selection.of(frequency, height, polarization, antenna, records, convert,
                             correct)
    meta = _pandas(schema(selection.convert).empty_table())
    if not files:
        return dd.from_pandas(meta, npartitions=1)
    return dd.from_map(_frame, files, selection=selection, meta=meta, label="vexo-archive",
                       enforce_metadata=False)
