"""The inputs of a conversion: files named, folders searched and patterns expanded.
"""

from __future__ import annotations

import glob
import os
from typing import List, Sequence, Tuple


def _search(folder: str) -> List[str]:
    """The regular files named *.dft (any case) below a folder, hidden folders left out."""
    hits = []
    for here, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        hits += [os.path.join(here, f) for f in files
                 if f.lower().endswith(".dft") and os.path.isfile(os.path.join(here, f))]
    return sorted(hits)


def find_inputs(inputs: Sequence[str]) -> Tuple[List[str], List[str]]:
    """Files, directories (searched below for regular files *.dft in any case) and glob
    patterns (their folders searched the same way), as paths in a stable order without
    repeats; and the inputs that named nothing. A file named as such is taken whatever it is
    (a named pipe too)."""
    found: List[str] = []
    missing: List[str] = []
    for item in inputs:
        if os.path.isdir(item):
            found += _search(item)
        elif os.path.lexists(item):
            found.append(item)
        elif glob.has_magic(item):
            hits = []
            for path in sorted(glob.glob(item, recursive=True)):
                if os.path.isdir(path):
                    hits += _search(path)
                elif os.path.isfile(path):
                    hits.append(path)
            if hits:
                found += hits
            else:
                missing.append(item)
        else:
            missing.append(item)
    seen = set()
    unique = []
    for path in found:
        key = os.path.realpath(path)
        if key not in seen:
            seen.add(key)
            unique.append(path)
    return unique, missing
