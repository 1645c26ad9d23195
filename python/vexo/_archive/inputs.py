"""The inputs of a conversion: files named, folders searched and patterns expanded.

Folders are searched by one bounded walk: links to folders are followed, but a folder (by its
real path) is searched once at most, so links that lead back up end; a folder or an entry
that cannot be searched is reported, never skipped in silence.
"""

from __future__ import annotations

import fnmatch
import glob
import os
import stat
from typing import Callable, Iterator, List, NamedTuple, Optional, Sequence, Set, TypeVar

T = TypeVar("T")


class Found(NamedTuple):
    """What the inputs named: files in a stable order without repeats, the inputs that named
    nothing, and the folders or entries that could not be searched (OSError with filename)."""

    files: List[str]
    missing: List[str]
    unreadable: List[OSError]


def _entries(folder: str, unreadable: List[OSError]) -> List[os.DirEntry]:
    """The entries of a folder by name; none, reported, if it cannot be listed."""
    try:
        with os.scandir(folder) as it:
            return sorted(it, key=lambda e: e.name)
    except (FileNotFoundError, NotADirectoryError):
        return []
    except OSError as e:
        unreadable.append(OSError(e.errno, e.strerror, folder))
        return []


def _is_dir(entry: os.DirEntry) -> bool:
    try:
        return entry.is_dir()
    except OSError:
        return False


def _is_file(entry: os.DirEntry, unreadable: List[OSError]) -> bool:
    """A regular file (through links); a *.dft that is a link to nothing or cannot be looked
    at is reported."""
    try:
        if entry.is_file():
            return True
        if not entry.is_symlink() or not entry.name.lower().endswith(".dft"):
            return False
        os.stat(entry.path)
        return False  # a link to something else than a regular file
    except OSError as e:
        if entry.name.lower().endswith(".dft"):
            unreadable.append(OSError(e.errno, e.strerror, entry.path))
        return False


def _folders(top: str, unreadable: List[OSError], hidden: bool = False
             ) -> Iterator[List[os.DirEntry]]:
    """The entries of top and of every folder below it, through links to folders, each real
    folder once; hidden folders left out unless hidden."""
    seen: Set[str] = set()
    stack = [top]
    while stack:
        folder = stack.pop()
        real = os.path.realpath(folder)
        if real in seen:
            continue
        seen.add(real)
        entries = _entries(folder, unreadable)
        yield entries
        stack += reversed([e.path for e in entries
                           if (hidden or not e.name.startswith(".")) and _is_dir(e)])


def _search(folder: str, unreadable: List[OSError]) -> List[str]:
    """The regular files named *.dft (any case) below a folder, hidden folders left out."""
    return sorted(e.path for entries in _folders(folder, unreadable) for e in entries
                  if e.name.lower().endswith(".dft") and _is_file(e, unreadable))


def _matches(folder: str, part: str, last: bool, unreadable: List[OSError]) -> List[str]:
    """The paths below folder that one part of a pattern names (as glob: `*` and `?` do not
    match a leading dot unless the part starts with one; `**` is any depth of folders, and
    when last, everything below too)."""
    base = folder or os.curdir
    if part == "**":
        found = [os.path.join(folder, "") if folder else ""]
        for entries in _folders(base, unreadable):
            found += [os.path.relpath(e.path, base) if not folder else e.path for e in entries
                      if not e.name.startswith(".") and (last or _is_dir(e))]
        return found
    if not glob.has_magic(part):
        path = os.path.join(folder, part)
        return [path] if (os.path.lexists(path) if last else os.path.isdir(path)) else []
    return [os.path.join(folder, e.name) for e in _entries(base, unreadable)
            if fnmatch.fnmatch(e.name, part)
            and (part.startswith(".") or not e.name.startswith("."))
            and (last or _is_dir(e))]


def _expand(pattern: str, unreadable: List[OSError]) -> List[str]:
    """The paths a glob pattern matches, `**` included, each folder listed once per step."""
    drive, rest = os.path.splitdrive(pattern)
    if os.altsep:
        rest = rest.replace(os.altsep, os.sep)
    root = drive + os.sep * (len(rest) - len(rest.lstrip(os.sep)))
    parts = [p for p in rest.split(os.sep) if p]
    paths: List[str] = [root]
    for i, part in enumerate(parts):
        last = i == len(parts) - 1
        paths = [m for p in paths for m in _matches(p, part, last, unreadable)]
        paths = list(dict.fromkeys(paths))
    return paths if parts else []


def _looked_at(item: str, unreadable: List[OSError], links: bool = False
               ) -> Optional[os.stat_result]:
    """The status of a path through links; None if there is nothing, or if it cannot be looked
    at: then reported, except a link (to nothing, or in a loop) unless links."""
    try:
        return os.stat(item)
    except OSError as e:
        there = os.path.lexists(item)
        if (links and there) or not (there or isinstance(e, FileNotFoundError)):
            unreadable.append(OSError(e.errno, e.strerror, item))
        return None


def find_inputs(inputs: Sequence[str]) -> Found:
    """Files, directories (searched below for regular files *.dft in any case) and glob
    patterns (their folders searched the same way), as paths in a stable order without
    repeats; the inputs that named nothing; and what could not be searched. A file named as
    such is taken whatever it is (a named pipe too)."""
    found: List[str] = []
    missing: List[str] = []
    unreadable: List[OSError] = []
    for item in inputs:
        known = len(unreadable)
        status = _looked_at(item, unreadable)
        if len(unreadable) > known:
            continue
        if status is not None and stat.S_ISDIR(status.st_mode):
            found += _search(item, unreadable)
        elif status is not None or os.path.lexists(item):
            found.append(item)
        elif glob.has_magic(item):
            hits = []
            for path in sorted(_expand(item, unreadable)):
                if os.path.isdir(path):
                    hits += _search(path, unreadable)
                elif os.path.isfile(path):
                    hits.append(path)
                else:
                    _looked_at(path, unreadable, links=True)
            if hits:
                found += hits
            else:
                missing.append(item)
        else:
            missing.append(item)
    return Found(_unique(found, os.path.realpath), missing,
                 _unique(unreadable, lambda e: os.path.realpath(e.filename)))


def _unique(items: List[T], key: Callable[[T], str]) -> List[T]:
    """The items in their order without those whose key came before."""
    seen: Set[str] = set()
    unique = []
    for item in items:
        if key(item) not in seen:
            seen.add(key(item))
            unique.append(item)
    return unique
