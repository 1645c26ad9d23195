"""One input converted, with its marker; never raises for what the file, the disk or the data
do (the outcome says it).
"""

from __future__ import annotations

import os
import time as clock
from dataclasses import asdict
from typing import Optional

from vexo._archive.netcdf import _to_netcdf
from vexo._archive.outputs import (
    MARKERS,
    Outcome,
    _publish,
    _read_marker,
    _Staging,
    _up_to_date,
    output_stem,
)
from vexo._archive.parquet import _to_parquet
from vexo._archive.rows import CHUNK_RECORDS, Conversion
from vexo._names import shown_name


def convert_file(path: str, outdir: str, fmt: str, conversion: Conversion,
                 label: Optional[str] = None, chunk: int = CHUNK_RECORDS,
                 compression: str = "deflate") -> Outcome:
    """Converts one file into outdir as "parquet" or "netcdf" (compression "deflate" or
    "zstd"); never raises for what the file, the disk or the data do (the outcome says it).
    label is the file's name in the rows (default: path). A file that is as it was when its
    outputs were made with the same settings is skipped."""
    started = clock.perf_counter()
    outcome = Outcome(shown_name(path if label is None else label))
    try:
        stat = os.stat(path)
        outcome.bytes = stat.st_size
        source = {"size": stat.st_size, "mtime_ns": stat.st_mtime_ns}
        marker_path = os.path.join(outdir, MARKERS, f"{output_stem(path)}.{fmt}.json")
        marker = _read_marker(marker_path)
        settings = {"format": fmt, **asdict(conversion.selection),
                    "convert": conversion.convert, "correct": conversion.correct}
        if fmt == "netcdf":
            settings["compression"] = compression
        if conversion.layout is not None:
            if fmt != "parquet":
                raise ValueError("the echo rows are written as Parquet only")
            settings["echoes"] = conversion.echo_settings()
        if _up_to_date(marker, outdir, source, settings):
            outcome.skipped = True
            outcome.records = int(marker.get("records", 0))
            outcome.echoes = int(marker.get("echoes", 0))
            outcome.outputs = list(marker.get("outputs", []))
            outcome.damage = str(marker.get("damage", ""))
            return outcome
        with _Staging() as staging:
            if fmt == "parquet":
                _to_parquet(path, outcome.path, outdir, conversion, staging, outcome, chunk)
            else:
                _to_netcdf(path, outdir, conversion, staging, outcome, compression, chunk)
            _publish(outdir, marker_path, marker, staging.written,
                     {"source": source, "settings": settings}, outcome)
    except Exception as e:  # noqa: BLE001 - whatever it is, it is this file's failure
        outcome.failure = _reason(e)
        outcome.records = outcome.echoes = 0
    finally:
        outcome.seconds = clock.perf_counter() - started
    return outcome


def _reason(e: BaseException) -> str:
    if isinstance(e, OSError) and e.strerror:
        return e.strerror + (f": {shown_name(e.filename)}" if e.filename else "")
    if isinstance(e, MemoryError):
        return "out of memory"
    return f"{type(e).__name__}: {e}" if not isinstance(e, (ValueError, RuntimeError)) else str(e)
