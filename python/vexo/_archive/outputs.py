"""Output files of a conversion: their names, temporary files and their clean-up, what a
writer wrote, and the markers that say an input is done.
"""

from __future__ import annotations

import errno
import glob
import hashlib
import json
import os
import shutil
import socket
from dataclasses import dataclass
from typing import Any, Dict, List, Tuple

MARKERS = ".vexo-convert"  # the folder of OUTDIR that records what each input became

# The Parquet tables, each in a folder of OUTDIR of its own, so that a reader of one folder
# reads one table.
SAMPLES = "samples"  # the folder of OUTDIR that holds the samples' rows
ECHOES = "echoes"  # the folder of OUTDIR that holds the echo rows

#: The form of the outputs (their folders, names and column types), as every marker's settings
#: record it: markers of another form are not up to date, so a re-run converts their inputs
#: anew and removes the outputs of the form before. 1: the samples' partitions right under
#: OUTDIR, the echo rows' under OUTDIR/echoes, naive times, records without a time under
#: year=0/month=0/day=0. 2: the samples under OUTDIR/samples, times in UTC, the records
#: without a time in the default partition.
OUTPUT_FORM = 2

#: The partition value of a record without a time: what readers of Hive partitions take as null.
NO_VALUE = "__HIVE_DEFAULT_PARTITION__"


def partition(date: int) -> str:
    """The folder of a table's rows of one date (YYYYMMDD, 0 for rows without a time)."""
    if date == 0:
        return os.path.join(f"year={NO_VALUE}", f"month={NO_VALUE}", f"day={NO_VALUE}")
    return os.path.join(f"year={date // 10000}", f"month={date // 100 % 100}",
                        f"day={date % 100}")


#: The longest name an output's own name may take (in UTF-8 bytes), so that with the digest,
#: the longest ending (".9999.parquet", ".parquet.json") and the temporary suffix of any host
#: (".HOST.PID.tmp", HOST up to 64 bytes) the file system's limit of 255 bytes holds.
STEM_BYTES = 255 - len("-01234567") - 16 - len("..") - 64 - len(".4194304.tmp")


def _glob_safe(name: str) -> str:
    """A name that every query engine's glob takes: characters that are not printable (control
    characters, bytes that are not UTF-8) and path separators, backslash included, as `_`;
    at most STEM_BYTES of UTF-8. Ordinary names stay as they are."""
    safe = "".join("_" if not c.isprintable() or c in "\\/" else c for c in name)
    return safe.encode("utf-8")[:STEM_BYTES].decode("utf-8", "ignore")


def output_stem(path: str) -> str:
    """The name of a file's outputs: its own name and a digest of its full path, so that files
    of one name in different folders do not meet. Leading dots and underscores are left out
    (readers skip such files); the file's path as it is stays in the rows."""
    digest = hashlib.sha1(os.fsencode(os.path.realpath(path))).hexdigest()[:8]
    stem = _glob_safe(os.path.splitext(os.path.basename(os.fsdecode(path)))[0]).lstrip("._")
    return f"{stem}-{digest}" if stem else digest


HOST = socket.gethostname().replace(".", "_")


@dataclass(frozen=True)
class Written:
    """What the writers of one input wrote."""

    records: int = 0
    echoes: int = 0  # echo rows (with a layout)
    damage: str = ""  # what stopped the reading early (the good records are written)


def _temporary(final: str) -> str:
    folder, base = os.path.split(final)
    return os.path.join(folder, f".{base}.{HOST}.{os.getpid()}.tmp")


def alive(pid: int) -> bool:
    """A process of this machine that has not ended (a zombie has ended: on Linux its state
    in /proc is Z)."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rpartition(b")")[2].split()[:1] != [b"Z"]
    except FileNotFoundError:
        return not os.path.isdir("/proc/self")  # gone meanwhile, where /proc is there
    except OSError:
        return True


def _abandoned(name: str) -> bool:
    """A temporary file of a process of this machine that has ended."""
    parts_of_name = name.rsplit(".", 3)
    return (len(parts_of_name) == 4 and parts_of_name[3] == "tmp" and parts_of_name[1] == HOST
            and parts_of_name[2].isdigit() and not alive(int(parts_of_name[2])))


def _remove_abandoned(final: str) -> None:
    folder, base = os.path.split(final)
    for stale in glob.glob(os.path.join(glob.escape(folder), f".{glob.escape(base)}.*.tmp")):
        if _abandoned(os.path.basename(stale)):
            try:
                os.remove(stale)
            except OSError:
                pass


def remove_abandoned(outdir: str) -> int:
    """Removes the temporary files below outdir that ended processes of this machine left;
    returns how many."""
    removed = 0
    for here, _, files in os.walk(outdir):
        for name in files:
            if name.startswith(".") and name.endswith(".tmp") and _abandoned(name):
                try:
                    os.remove(os.path.join(here, name))
                    removed += 1
                except OSError:
                    pass
    return removed


class Staging:
    """The outputs of one input while they are written: removed again unless all of them are
    finished."""

    def __init__(self) -> None:
        self.written: List[Tuple[str, str]] = []  # (temporary, final)

    def claim(self, final: str) -> str:
        _remove_abandoned(final)
        temporary = _temporary(final)
        self.written.append((temporary, final))
        return temporary

    def __enter__(self) -> "Staging":
        return self

    def __exit__(self, kind: Any, error: Any, trace: Any) -> None:
        if kind is None:
            return
        full = [t for t, _ in self.written if _free(t) < FULL_BELOW]
        try:
            for temporary, _ in self.written:
                # Emptied first: a writer that failed (the NetCDF library on a full disk) may
                # keep its file open, and the space would stay taken until the process ends.
                for step in (lambda: os.truncate(temporary, 0), lambda: os.remove(temporary)):
                    try:
                        step()
                    except OSError:
                        pass
        finally:
            if full and not (isinstance(error, OSError) and error.errno == errno.ENOSPC):
                # some writers say only that they failed: the disk being full is the news
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC),
                              os.path.dirname(full[0])) from error


#: Free bytes below which a failed output is put down to a full file system.
FULL_BELOW = 1 << 20


def _free(path: str) -> int:
    try:
        return shutil.disk_usage(os.path.dirname(path) or ".").free
    except OSError:
        return FULL_BELOW


def _write_json(path: str, value: Dict[str, Any]) -> None:
    temporary = _temporary(path)
    with open(temporary, "w", encoding="utf-8") as f:
        json.dump(value, f)
    os.replace(temporary, path)


def read_marker(marker: str) -> Dict[str, Any]:
    try:
        with open(marker, encoding="utf-8") as f:
            value = json.load(f)
        return value if isinstance(value, dict) else {}
    except (OSError, ValueError):
        return {}


def up_to_date(marker: Dict[str, Any], outdir: str, source: Dict[str, int],
               settings: Dict[str, Any]) -> bool:
    """The input is as it was when its outputs were made, with these settings, and they are
    all there."""
    return (marker.get("status") == "done" and marker.get("source") == source
            and marker.get("settings") == json.loads(json.dumps(settings))
            and all(os.path.exists(os.path.join(outdir, o)) for o in marker.get("outputs", [])))


def _remove_empty_folders(outdir: str, folder: str) -> None:
    """Removes the folder (relative to outdir) and those above it below outdir, as long as
    they are empty: the partitions that removed outputs leave (a writer that finds its folder
    gone makes it again)."""
    while folder and not os.path.isabs(folder) and folder.split(os.sep)[0] not in (
            os.curdir, os.pardir):
        try:
            os.rmdir(os.path.join(outdir, folder))
        except OSError:  # not empty (or gone, or not ours to remove): the folders above stay
            return
        folder = os.path.dirname(folder)


def publish(outdir: str, marker_path: str, old: Dict[str, Any], staging: Staging, name: str,
            written: Written, done: Dict[str, Any]) -> List[str]:
    """Renames the finished temporary files of the input `name` to their names and records
    them, so that an interruption at any point leaves only whole files, and a later run can
    clean up. Returns the outputs, relative to outdir."""
    os.makedirs(os.path.dirname(marker_path), exist_ok=True)
    new = [os.path.relpath(final, outdir) for _, final in staging.written]
    before = [o for o in old.get("outputs", []) if o not in new]
    _write_json(marker_path, {"status": "pending", "input": name, "outputs": new + before})
    for temporary, final in staging.written:
        os.replace(temporary, final)
    for stale in before:
        try:
            os.remove(os.path.join(outdir, stale))
        except FileNotFoundError:
            pass
        _remove_empty_folders(outdir, os.path.dirname(stale))
    _write_json(marker_path, {**done, "status": "done", "input": name, "outputs": new,
                              "records": written.records, "echoes": written.echoes,
                              "damage": written.damage})
    return new
