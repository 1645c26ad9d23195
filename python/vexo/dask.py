"""Archives of DFT files as Dask DataFrames, without converting them first.

    import vexo.dask
    df = vexo.dask.read_archive("archive/2026/", frequency=3200)
    df.groupby("height").record.count().compute()

The columns are those of vexo-convert's Parquet samples (file, record, time, subblock,
frequency, height, gain, polarization, antenna, sample_count, phase, amplitude, and with
convert=True phase_degrees and amplitude_db; time an instant in UTC, timestamp[us, tz=UTC]),
one row per record, subblock and antenna, one partition per file. With table="echoes" and a
layout, the echo rows of vexo-convert --echoes instead (file, then the columns of
vexo.echoes, time in UTC as above), one row per echo:

    echoes = vexo.dask.read_archive("archive/2026/", table="echoes", layout="layout.toml")
"""

from __future__ import annotations

from typing import Any, Optional, Sequence, Union

from vexo._archive.inputs import find_inputs
from vexo._archive.rows import Conversion, echo_rows, echo_schema, parts, schema
from vexo._datasets.dataset import flag
from vexo._directions.echoes import PRIOR, RESIDUAL_LIMIT, SIGNIFICANCE, THRESHOLD_DB, settings
from vexo._directions.layout import Layout, LayoutLike
from vexo._reading.index import FileIndex
from vexo._reading.selection import Selection, Values

TABLES = ("samples", "echoes")

__all__ = ["read_archive"]


def _frame(path: str, conversion: Conversion) -> Any:
    import pyarrow as pa

    index = FileIndex.of(path, conversion.selection)
    tables = [rows for rows, _, _ in parts(index, path, convert=conversion.convert,
                                           correct=conversion.correct)]
    index.warn_damage(stacklevel=2)
    table = pa.concat_tables(tables) if tables else schema(conversion.convert).empty_table()
    return _pandas(table)


def _echo_frame(path: str, conversion: Conversion) -> Any:
    index = FileIndex.of(path, conversion.selection)
    table, _ = echo_rows(index, index.asked(taking=True), path, conversion)
    index.warn_damage(stacklevel=2)
    return _pandas(table)


def _pandas(table: Any) -> Any:
    import pandas as pd
    import pyarrow as pa

    table = table.set_column(0, "file", table.column("file").cast(pa.string()))
    return table.to_pandas(types_mapper=pd.ArrowDtype)


def read_archive(inputs: Union[str, Sequence[str]], *, selection: Optional[Selection] = None,
                 frequency: Values = None, height: Values = None,
                 polarization: Values = None, antenna: Values = None,
                 records: Any = None, convert: bool = False, correct: bool = True,
                 table: str = "samples", layout: Optional[LayoutLike] = None,
                 threshold_db: float = THRESHOLD_DB, significance: float = SIGNIFICANCE,
                 residual_limit: Optional[float] = RESIDUAL_LIMIT,
                 prior: Optional[str] = PRIOR) -> Any:
    """A Dask DataFrame of the DFT files that inputs name: their samples, or their echoes.

    Parameters
    ----------
    inputs : str or sequence of str
        Files, directories (searched below for *.dft, any case) or glob patterns.
    selection : vexo.Selection, optional
        What to take of each file; or give its keywords (frequency, height, polarization,
        antenna, records) here instead.
    convert : bool, default False
        Add phase_degrees and amplitude_db.
    correct : bool, default True
        The antenna correction of phase_degrees.
    table : {"samples", "echoes"}, default "samples"
        "echoes": the echo rows that vexo-convert --echoes writes (the columns file, then
        those of vexo.echoes, found in the records and subblocks taken), one row per echo.
    layout : vexo.Layout, path of a TOML layout, or mapping, optional
        The antennas; needed for the echoes (see vexo.Layout).
    threshold_db, significance, residual_limit, prior : optional
        For the echoes, as vexo.echoes takes them (and with its defaults).

    Returns
    -------
    dask.dataframe.DataFrame
        One row per record, subblock and antenna (or per echo), one partition per file. A
        partition holds its file's rows in memory: about twice the file's size (ten times
        with convert).

    Raises
    ------
    FileNotFoundError
        When a name matches nothing. A damaged file gives its good records and a
        DamagedFileWarning when its partition is computed.
    OSError
        When a folder (or a *.dft found in one) cannot be searched: unreadable, a path
        beyond the system's length, a link to nothing; its filename names it.
    ValueError
        For a table other than "samples" or "echoes", the echoes without a layout, or a
        layout given for the samples. When a partition is computed: for records that lack
        antennas of the layout, naming the file.

    Examples
    --------
    >>> import vexo.dask
    >>> df = vexo.dask.read_archive("examples/", frequency=3200)
    >>> df.groupby("file").record.nunique().compute().sort_index().to_dict()
    {'examples/drift.dft': 24, 'examples/example.dft': 6}
    >>> echoes = vexo.dask.read_archive("examples/", table="echoes",
    ...                                 layout="examples/layout.toml")
    >>> list(echoes.columns[:3])
    ['file', 'record', 'time']
    """
    import dask.dataframe as dd

    if table not in TABLES:
        raise ValueError(f"table: {table!r} is neither 'samples' nor 'echoes'")
    if table == "echoes" and layout is None:
        raise ValueError("table='echoes' needs the layout of the antennas (layout=...)")
    if table == "samples" and layout is not None:
        raise ValueError("layout is for table='echoes'")
    files, missing, unreadable = find_inputs([inputs] if isinstance(inputs, str)
                                             else list(inputs))
    if missing:
        raise FileNotFoundError(f"no such file, directory or match: {', '.join(missing)}")
    if unreadable:
        first = unreadable[0]
        more = f" (and {len(unreadable) - 1} more)" if len(unreadable) > 1 else ""
        raise OSError(first.errno, f"cannot be searched: {first.strerror}{more}",
                      first.filename)
    conversion = Conversion(
        Selection.of(selection, frequency=frequency, height=height, polarization=polarization,
                     antenna=antenna, records=records),
        flag("convert", convert), flag("correct", correct),
        None if layout is None else Layout.of(layout),
        settings(threshold_db, significance, residual_limit, prior))
    empty = schema(conversion.convert) if table == "samples" else echo_schema()
    meta = _pandas(empty.empty_table())
    if not files:
        return dd.from_pandas(meta, npartitions=1)
    return dd.from_map(_frame if table == "samples" else _echo_frame, files,
                       conversion=conversion, meta=meta, label=f"vexo-archive-{table}",
                       enforce_metadata=False)
