"""Parquet outputs: the samples' rows and echo rows of one input, each table in a folder of
OUTDIR of its own (OUTDIR/samples, OUTDIR/echoes), written into date-partitioned files.
"""

from __future__ import annotations

import os
from collections import OrderedDict
from typing import Any, Dict, Optional, Sequence

import numpy as np

from vexo._archive.outputs import ECHOES, SAMPLES, Staging, Written, output_stem, partition
from vexo._archive.rows import SAMPLE_COLUMNS, Conversion, block_rows, blocks, echo_rows
from vexo._directions.fit import DirectionFit
from vexo._reading.index import FileIndex

#: Parquet files open at once per input and table (one per date in hand). Each open writer
#: holds some 15 to 50 MB of pyarrow's buffers, so a file whose records span many dates takes
#: what one of two dates takes; records in time order need one at a time.
OPEN_WRITERS = 2


def parquet_options(schema: Any, sample_columns: Sequence[str] = SAMPLE_COLUMNS
                    ) -> Dict[str, Any]:
    """How the rows are written (pyarrow.parquet.ParquetWriter's options).

    The sample bytes are stored as Parquet's 32-bit integers, DELTA_BINARY_PACKED, then
    compressed with zstd at level 1. The delta packing alone keeps them at about a byte a
    value, no smaller than the DFT files (a phase's deltas take nine bits); zstd over the
    packed pages brings the samples to about 0.82 of the input (generated soundings), for
    about 5 % of the writer's time and a few percent of the conversion's, which the writer
    dominates (bench/convert_speed.py --compare runs both in turns). Faster zstd levels,
    LZ4 and snappy cost the same pass and save less; a dictionary, or zstd over plain values,
    write slower; byte streams of integers are beyond older readers. The converted values
    are split into byte streams and compressed with zstd (level 1). The other columns keep
    the defaults (a dictionary, snappy, statistics). Every reader of Parquet 2.x reads these.

    sample_columns: the columns that hold lists of samples (the echo rows have none)."""
    import pyarrow as pa

    samples = [n for n in schema.names if n in sample_columns]
    others = [n for n in schema.names if n not in sample_columns]
    elements = {n: f"{n}.list.element" for n in samples}
    integers = [n for n in samples if not pa.types.is_floating(schema.field(n).type.value_type)]
    return {
        "use_dictionary": others,
        "write_statistics": others,
        "compression": {**{n: "snappy" for n in others},
                        **{elements[n]: "zstd" for n in samples}},
        "compression_level": {elements[n]: 1 for n in samples},
        "column_encoding": {elements[n]: "DELTA_BINARY_PACKED" if n in integers
                            else "BYTE_STREAM_SPLIT" for n in samples},
    }


def _writer(folder: str, path: str, schema: Any, options: Dict[str, Any]) -> Any:
    """A Parquet writer of a new file in folder, which is made if need be: also when another
    run removes it (emptied of the outputs of another form) between its making and the file's
    opening."""
    import pyarrow.parquet as pq

    for attempt in range(3):
        os.makedirs(folder, exist_ok=True)
        try:
            return pq.ParquetWriter(path, schema, **options)
        except FileNotFoundError:
            if attempt == 2:
                raise
    raise AssertionError("unreachable")


class _DateFiles:
    """The Parquet files of one input in the folder of a table, one per date (or more, when a
    date comes back after its file was closed to keep at most OPEN_WRITERS open)."""

    def __init__(self, root: str, stem: str, staging: Staging,
                 sample_columns: Sequence[str] = SAMPLE_COLUMNS) -> None:
        self.root, self.stem, self.staging = root, stem, staging
        self.sample_columns = sample_columns
        self.open: "OrderedDict[int, Any]" = OrderedDict()
        self.made: Dict[int, int] = {}

    def write(self, date: int, rows: Any) -> None:
        writer = self.open.get(date)
        if writer is None:
            if len(self.open) >= OPEN_WRITERS:
                self.open.popitem(last=False)[1].close()
            count = self.made.get(date, 0)
            self.made[date] = count + 1
            folder = os.path.join(self.root, partition(date))
            final = os.path.join(folder, self.stem + (f".{count}" if count else "") + ".parquet")
            writer = _writer(folder, self.staging.claim(final), rows.schema,
                             parquet_options(rows.schema, self.sample_columns))
            self.open[date] = writer
        else:
            self.open.move_to_end(date)
        writer.write_table(rows)

    def close(self) -> None:
        while self.open:
            self.open.popitem(last=False)[1].close()


def _write_dated(files: _DateFiles, rows: Any, dates: np.ndarray) -> None:
    """Rows into the files of their dates, in their order within each date."""
    if rows.num_rows == 0:
        return
    if dates[0] == dates[-1] and np.all(dates == dates[0]):
        files.write(int(dates[0]), rows)
        return
    order = np.argsort(dates, kind="stable")
    rows, dates = rows.take(order), dates[order]
    starts = np.flatnonzero(np.r_[True, dates[1:] != dates[:-1]])
    ends = np.r_[starts[1:], len(dates)]
    for a, b in zip(starts, ends):
        files.write(int(dates[a]), rows.slice(a, b - a))


def to_parquet(path: str, label: str, outdir: str, conversion: Conversion, staging: Staging,
               chunk: int) -> Written:
    """The samples (under outdir/samples) and, with a layout, the echo rows (under
    outdir/echoes) of one index, a block of records at a time: the echoes of a block are found
    right after its samples are read, through the same reader of the file. Returns what it
    wrote."""
    stem = output_stem(path)
    files = _DateFiles(os.path.join(outdir, SAMPLES), stem, staging)
    index = FileIndex.of(path, conversion.selection)
    echoes = None if conversion.layout is None else _DateFiles(
        os.path.join(outdir, ECHOES), stem, staging, sample_columns=())
    # The directions need the corrected phases: the samples' reader serves the echoes too
    # unless it writes phase_degrees without the correction.
    shared = conversion.correct or not conversion.convert
    reader = index.part_reader(shared)
    echo_reader: Any = reader
    fit: Optional[DirectionFit] = None
    if conversion.layout is not None:
        fit = DirectionFit(conversion.layout)
        echo_reader = reader if shared else index.part_reader(True)
    records = echo_count = 0
    try:
        for block in blocks(index, chunk):
            rows, dates = block_rows(index, block, label, convert=conversion.convert,
                                     correct=conversion.correct, reader=reader)
            records += len(block)
            _write_dated(files, rows, dates)
            if echoes is not None:
                rows, dates = echo_rows(index, block, label, conversion, reader=echo_reader,
                                        fit=fit)
                echo_count += rows.num_rows
                _write_dated(echoes, rows, dates)
        return Written(records, echo_count, index.damage or "")
    finally:
        files.close()
        if echoes is not None:
            echoes.close()
