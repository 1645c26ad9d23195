"""What a file holds, in a few numbers: its records and their shapes, the time they span, the
subblocks' frequencies, heights and polarizations, the antennas, and where and why the reading
stopped. From the file's index and the place values of its records alone, read a bounded
number of records at a time, so that files of gigabytes are summarised quickly.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Set

import numpy as np

from vexo._names import shown_name
from vexo._reading.file import Source
from vexo._reading.index import FileIndex, entry_times
from vexo._reading.parts import antenna_numbers, read_part

#: Records whose place values are read at once.
CHUNK_RECORDS = 2048

_PLACE_KINDS = ("subblock_number", "frequency", "height", "polarization")


def _iso(t: np.datetime64) -> str:
    """A time as ISO 8601 in UTC, to the second: 2026-12-08T12:00:00Z."""
    return f"{np.datetime_as_string(t, unit='s')}Z"


def _number(value: float) -> Any:
    """A whole number as int, any other as float (frequencies are whole kHz, heights
    multiples of 0.25 km: exact either way)."""
    value = float(value)
    return int(value) if value.is_integer() else value


def summary(source: Source, chunk: int = CHUNK_RECORDS) -> Dict[str, Any]:
    """A summary of a DFT file, from its index and its records' subblock descriptions.

    Parameters
    ----------
    source : str, bytes, os.PathLike or binary file object
        The file (a file object is read once, from where it stands, into memory as far as
        its records go).
    chunk : int
        Records whose subblock descriptions are read at once (the memory used does not grow
        with the file).

    Returns
    -------
    dict
        ``file`` (the name as messages print it), ``records`` (how many were read),
        ``shapes`` (a list of ``{"N", "A", "records"}``, in the order first seen), ``first``
        and ``last`` (the earliest and latest record time, ISO 8601 in UTC ending in Z; None
        when no record has a time), ``records_without_time``, ``frequencies`` (kHz),
        ``heights`` (km), ``polarizations`` and ``antennas`` (from 1; each sorted, without
        repeats), ``damaged`` (True when the reading stopped before a clean end of the file),
        ``stop`` (why the reading ended, one line) and ``damage`` (the same when damaged,
        else None). Numbers are int where whole, so that the dict is ready for JSON.

    Raises
    ------
    OSError
        The file cannot be opened or read.
    ValueError
        The file changed while it was read (the message names it).

    Examples
    --------
    >>> from vexo._reading.summary import summary
    >>> s = summary("examples/example.dft")
    >>> s["records"], s["shapes"], s["first"], s["last"]
    (6, [{'N': 5, 'A': 4, 'records': 6}], '2026-12-08T12:00:00Z', '2026-12-08T12:00:05Z')
    >>> s["frequencies"], s["heights"], s["polarizations"], s["antennas"]
    ([2500, 3200, 4100, 5600], [105, 180, 240, 310], [1, 2], [1, 2, 3, 4])
    >>> s["damaged"], s["stop"]
    (False, 'end of file')
    """
    if chunk < 1:
        raise ValueError(f"chunk: at least 1 record, not {chunk}")
    index = FileIndex.of(source)
    entries = index.entries
    times = entry_times(entries)
    timed = times[~np.isnat(times)]
    frequencies: Set[float] = set()
    heights: Set[float] = set()
    polarizations: Set[int] = set()
    antennas: Set[int] = set()
    reader = index.part_reader()
    for N, A, _ in index.shapes:
        antennas.update(antenna_numbers(index.selection, A))
        taking = index.asked((N, A), taking=True)
        for start in range(0, len(taking), chunk):
            part = read_part(index, taking[start:start + chunk], kinds=_PLACE_KINDS,
                             reader=reader)
            present = part.subblock_number >= 0  # not a place left over
            frequencies.update(np.unique(part.frequency[present]).tolist())
            heights.update(np.unique(part.height[present]).tolist())
            polarizations.update(np.unique(part.polarization[present]).tolist())
    first: Optional[str] = _iso(timed.min()) if len(timed) else None
    last: Optional[str] = _iso(timed.max()) if len(timed) else None
    shapes: List[Dict[str, int]] = [{"N": int(N), "A": int(A), "records": int(count)}
                                    for N, A, count in index.shapes]
    return {
        "file": shown_name(index.name),
        "records": int(len(entries)),
        "shapes": shapes,
        "first": first,
        "last": last,
        "records_without_time": int(len(times) - len(timed)),
        "frequencies": [_number(v) for v in sorted(frequencies)],
        "heights": [_number(v) for v in sorted(heights)],
        "polarizations": sorted(int(p) for p in polarizations),
        "antennas": sorted(antennas),
        "damaged": index.damage is not None,
        "stop": index.stop_text,
        "damage": index.damage,
    }
