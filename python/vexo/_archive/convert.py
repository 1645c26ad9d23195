"""One input converted, with its marker; never raises for what the file, the disk or the data
do (the outcome says it).
"""

from __future__ import annotations

import os
import time as clock
from dataclasses import asdict, dataclass, field
from stat import S_ISREG
from typing import Any, Dict, List, Optional, Tuple

from vexo._archive.netcdf import COMPRESSIONS, KINDS, to_netcdf
from vexo._archive.outputs import (
    MARKERS,
    OUTPUT_FORM,
    Staging,
    Written,
    output_stem,
    publish,
    read_marker,
    up_to_date,
)
from vexo._archive.parquet import to_parquet
from vexo._archive.rows import CHUNK_RECORDS, Conversion
from vexo._errors import FileError
from vexo._names import shown_name


@dataclass(frozen=True)
class Outcome:
    """What became of one input."""

    path: str
    bytes: int = 0
    records: int = 0
    echoes: int = 0  # echo rows written (with a layout)
    outputs: List[str] = field(default_factory=list)
    skipped: bool = False
    damage: str = ""  # what stopped the reading early (the good records are converted)
    failure: str = ""  # why nothing could be converted
    seconds: float = 0.0


#: The output formats, the default first.
FORMATS = ("parquet", "netcdf")


def convert_file(path: str, outdir: str, fmt: str, conversion: Conversion,
                 label: Optional[str] = None, chunk: int = CHUNK_RECORDS,
                 compression: str = COMPRESSIONS[0], netcdf_kind: str = next(iter(KINDS))
                 ) -> Outcome:
    """Converts one file into outdir as "parquet" or "netcdf" (compression "deflate" or
    "zstd"); never raises for what the file, the disk or the data do (the outcome says it).
    label is the file's name in the rows (default: path). A file that is as it was when its
    outputs were made with the same settings is skipped."""
    started = clock.perf_counter()
    name = shown_name(path if label is None else label)
    size = 0
    try:
        stat = os.stat(path)
        size = stat.st_size
        written, outputs, skipped = _converted(path, name, outdir, fmt, conversion, stat,
                                               chunk, compression, netcdf_kind)
        failure = ""
    except Exception as e:  # noqa: BLE001 - whatever it is, it is this file's failure
        written, outputs, skipped, failure = Written(), [], False, _reason(e)
    return Outcome(name, bytes=size, records=written.records, echoes=written.echoes,
                   outputs=outputs, skipped=skipped, damage=written.damage, failure=failure,
                   seconds=clock.perf_counter() - started)


def _converted(path: str, name: str, outdir: str, fmt: str, conversion: Conversion,
               stat: os.stat_result, chunk: int, compression: str,
               netcdf_kind: str = next(iter(KINDS))) -> Tuple[Written, List[str], bool]:
    """What the outputs of one input hold, their names relative to outdir, and whether they
    were up to date already (else they are written now, from the file as `stat` found it: a
    file that changed while it was read is a ValueError, and nothing is published)."""
    source = {"size": stat.st_size, "mtime_ns": stat.st_mtime_ns}
    marker_path = os.path.join(outdir, MARKERS, f"{output_stem(path)}.{fmt}.json")
    marker = read_marker(marker_path)
    settings = _settings(fmt, conversion, compression, netcdf_kind)
    if up_to_date(marker, outdir, source, settings):
        written = Written(int(marker.get("records", 0)), int(marker.get("echoes", 0)),
                          str(marker.get("damage", "")))
        return written, list(marker.get("outputs", [])), True
    with Staging() as staging:
        if fmt == "parquet":
            written = to_parquet(path, name, outdir, conversion, staging, chunk)
        else:
            written = to_netcdf(path, outdir, conversion, staging, compression, chunk,
                                netcdf_kind)
        _unchanged_since(path, stat)
        outputs = publish(outdir, marker_path, marker, staging, name, written,
                          {"source": source, "settings": settings})
    return written, outputs, False


def _unchanged_since(path: str, before: os.stat_result) -> None:
    """A ValueError when the file at path is no longer the one `before` describes (a regular
    file: a pipe or device, read once into memory, is what was read)."""
    if not S_ISREG(before.st_mode):
        return
    now = os.stat(path)
    if any(getattr(now, k) != getattr(before, k) for k in _IDENTITY):
        raise ValueError("changed while it was read; nothing converted")


#: What tells that a file is the one it was: which file, its size and its times of change.
_IDENTITY = ("st_dev", "st_ino", "st_size", "st_mtime_ns", "st_ctime_ns")


def _settings(fmt: str, conversion: Conversion, compression: str,
              netcdf_kind: str = next(iter(KINDS))) -> Dict[str, Any]:
    """What the outputs depend on besides the input, as the marker records it (the form of
    the outputs too: markers of another form are not up to date)."""
    settings = {"format": fmt, "output_form": OUTPUT_FORM, **asdict(conversion.selection),
                "convert": conversion.convert, "correct": conversion.correct}
    if fmt == "netcdf":
        settings["compression"] = compression
        if netcdf_kind != next(iter(KINDS)):  # the default's markers are as they were
            settings["netcdf_kind"] = netcdf_kind
    if conversion.layout is not None:
        if fmt != "parquet":
            raise ValueError("the echo rows are written as Parquet only")
        settings["echoes"] = conversion.echo_settings()
    return settings


def _reason(e: BaseException) -> str:
    """Why a file failed, without its name (the report names it)."""
    if isinstance(e, FileError):
        return e.what
    if isinstance(e, OSError) and e.strerror:
        return e.strerror + (f": {shown_name(e.filename)}" if e.filename else "")
    if isinstance(e, MemoryError):
        return "out of memory"
    return f"{type(e).__name__}: {e}" if not isinstance(e, (ValueError, RuntimeError)) else str(e)
