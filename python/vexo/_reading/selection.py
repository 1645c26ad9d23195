"""vexo.Selection: which records, subblocks and antennas are taken, checked when it is made.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Any, Iterable, List, Optional, Tuple, Union

import numpy as np

from vexo import _core

Values = Union[None, float, Iterable[float]]

_LARGEST = 2**31 - 1  # antennas and polarizations: far more than a record can have


def _number(name: str, v: Any) -> Any:
    if hasattr(v, "ndim") and getattr(v, "ndim") == 0 and hasattr(v, "item"):
        v = v.item()  # a numpy scalar or 0-d array
    if isinstance(v, bool) or not isinstance(v, numbers.Real):
        raise TypeError(f"{name}: expected a number, not {v!r}")
    return v


def _values(name: str, value: Any) -> List[Any]:
    if value is None:
        return []
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name}: expected a number or numbers, not {value!r}")
    if isinstance(value, numbers.Real) or getattr(value, "ndim", None) == 0:
        return [_number(name, value)]
    try:
        values = list(value)
    except TypeError:
        raise TypeError(f"{name}: expected a number or numbers, not {value!r}") from None
    if not values:
        raise ValueError(f"{name}: no value given (None selects every one)")
    return [_number(name, v) for v in values]


def reals(name: str, value: Values) -> List[float]:
    out = []
    for v in _values(name, value):
        try:
            real = float(v)
        except OverflowError:
            raise ValueError(f"{name}: {v!r} is too large") from None
        if math.isnan(real):
            raise ValueError(f"{name}: NaN matches no value")
        out.append(real)
    return out


def _whole(name: str, v: Any) -> int:
    v = _number(name, v)
    if isinstance(v, float) and not math.isfinite(v):
        raise ValueError(f"{name}: {v!r} is not a whole number")
    if int(v) != v:
        raise TypeError(f"{name}: expected whole numbers, not {v!r}")
    return int(v)


def whole_numbers(name: str, value: Values, low: int, high: int = _LARGEST) -> List[int]:
    out = []
    for v in _values(name, value):
        number = _whole(name, v)
        if not low <= number <= high:
            raise ValueError(f"{name}: {number} is not between {low} and {high}")
        out.append(number)
    return out


#: The last record number a selection names: a range that reaches further ends there.
LAST_RECORD = 2**62
#: The most records a stepped range may name (each is a range of its own).
STEPPED_RECORDS = 10**6


def record_ranges(value: Any) -> List[Tuple[int, int]]:
    """Record numbers as ranges (first, last), ascending and apart; [] for all."""
    if value is None:
        return []
    if isinstance(value, range):
        return _range_ranges(value)
    if isinstance(value, np.ndarray) and value.dtype.kind in "iu" and value.ndim == 1 \
            and value.size:
        numbers = np.unique(value)  # sorted, each once
        if numbers[0] < 1 or numbers[-1] > LAST_RECORD:
            bad = numbers[0] if numbers[0] < 1 else numbers[-1]
            raise ValueError(f"records: {int(bad)} is not between 1 and {LAST_RECORD}")
    else:
        numbers = np.array(sorted(set(whole_numbers("records", value, 1, LAST_RECORD))),
                           dtype=np.int64)
    # Runs of consecutive numbers, each one range.
    breaks = np.flatnonzero(np.diff(numbers) != 1) + 1
    firsts = numbers[np.concatenate(([0], breaks))].tolist()
    lasts = numbers[np.concatenate((breaks - 1, [len(numbers) - 1]))].tolist()
    return list(zip(firsts, lasts))


def _range_ranges(value: range) -> List[Tuple[int, int]]:
    """A range of step 1 (or -1) as its bounds, however far it reaches (to LAST_RECORD); a
    stepped one as its numbers, up to STEPPED_RECORDS of them."""
    if not value:  # not len(): a range beyond the machine's sizes has none
        raise ValueError("records: no value given (None selects every one)")
    first, last = sorted((value[0], value[-1]))
    if not 1 <= first <= LAST_RECORD:
        raise ValueError(f"records: {first} is not between 1 and {LAST_RECORD}")
    step = abs(value.step)
    last = first + (min(last, LAST_RECORD) - first) // step * step
    if step == 1:
        return [(first, last)]
    count = (last - first) // step + 1
    if count > STEPPED_RECORDS:
        raise ValueError(f"records: {value!r} names {count} records one by one, more than "
                         f"{STEPPED_RECORDS}: select bounds (a range of step 1) and thin out "
                         "what is read")
    return [(n, n) for n in range(first, last + 1, step)]


def shape(value: Optional[Tuple[int, int]]) -> Optional[Tuple[int, int]]:
    if value is None:
        return None
    if isinstance(value, (str, bytes)):
        raise TypeError(f"shape: expected (N, A), not {value!r}")
    try:
        n, a = whole_numbers("shape", list(value), 0, 9)
    except (TypeError, ValueError):
        raise TypeError(f"shape: expected (N, A), two digits 0 to 9, not {value!r}") from None
    return (n, a)


@dataclass(frozen=True, init=False)
class Selection:
    """The subblocks, antennas and records to take of a file, as the settings file's
    selections do.

    Parameters
    ----------
    frequency, height : float or sequence of float, optional
        A subblock is taken when its descriptor's frequency (kHz) and height (km) are one of
        the values given, compared exactly as reals. None takes every value.
    polarization : int or sequence of int, optional
        The same for the polarization.
    antenna : int or sequence of int, optional
        Antennas by number (from 1), in the order wanted, each once. None takes every one.
    records : int, sequence of int, range or tuple of (first, last), optional
        Record numbers (from 1). A range of step 1 is read as bounds, however far it reaches
        (to record 2**62); a stepped range names up to STEPPED_RECORDS records one by one.
        Whichever the form, a record is found among the ranges by a binary search.

    Raises
    ------
    TypeError, ValueError
        For a value that is not of the kind asked for, or out of range.

    Examples
    --------
    >>> import vexo
    >>> s = vexo.Selection(frequency=3200, antenna=[1, 2], records=range(1, 4))
    >>> s.frequency, s.antenna, s.records
    ((3200.0,), (1, 2), ((1, 3),))
    """

    frequency: Tuple[float, ...]
    height: Tuple[float, ...]
    polarization: Tuple[int, ...]
    antenna: Tuple[int, ...]
    records: Tuple[Tuple[int, int], ...]

    def __init__(self, *, frequency: Values = None, height: Values = None,
                 polarization: Values = None, antenna: Values = None,
                 records: Any = None) -> None:
        antennas = whole_numbers("antenna", antenna, 1)
        if len(set(antennas)) != len(antennas):
            raise ValueError(f"antenna: {antennas} names an antenna twice")
        if isinstance(records, tuple) and all(
                isinstance(r, tuple) and len(r) == 2 for r in records):
            ranges = _merged(records)  # already ranges (first, last): a selection's own
        else:
            ranges = record_ranges(records)
        set_ = object.__setattr__
        set_(self, "frequency", tuple(reals("frequency", frequency)))
        set_(self, "height", tuple(reals("height", height)))
        set_(self, "polarization", tuple(whole_numbers("polarization", polarization, 0)))
        set_(self, "antenna", tuple(antennas))
        set_(self, "records", tuple(ranges))

    @classmethod
    def of(cls, selection: Optional["Selection"] = None, **keywords: Any) -> "Selection":
        """The selection given, or one made of the keywords (not both)."""
        given = {k: v for k, v in keywords.items() if v is not None}
        if selection is None:
            return cls(**given)
        if not isinstance(selection, Selection):
            raise TypeError(f"selection: expected a vexo.Selection, not {selection!r}")
        if given:
            raise TypeError(f"selection given with {', '.join(sorted(given))}: give one of them")
        return selection

    def takes_record(self, numbers: Any) -> Any:
        """Whether each record number is asked for (a numpy array of bools)."""
        numbers = np.asarray(numbers)
        if not self.records:
            return np.ones(numbers.shape, dtype=bool)
        firsts, lasts = np.array(self.records, dtype=np.int64).T
        # The first range that does not end before each number: a binary search per number.
        at = np.minimum(np.searchsorted(lasts, numbers), len(lasts) - 1)
        return (firsts[at] <= numbers) & (numbers <= lasts[at])

    def core(self) -> Any:
        """The selection as the library takes it."""
        out = _core.Selection()
        out.frequencies = list(self.frequency)
        out.heights = list(self.height)
        out.polarizations = list(self.polarization)
        out.antennas = list(self.antenna)
        out.records = [(first, last) for first, last in self.records]
        return out

    def __repr__(self) -> str:
        shown = ", ".join(f"{k}={v!r}" for k, v in self._given())
        return f"vexo.Selection({shown})"

    def _given(self) -> List[Tuple[str, Any]]:
        return [(k, getattr(self, k)) for k in ("frequency", "height", "polarization",
                                                 "antenna", "records") if getattr(self, k)]


def _merged(ranges: Iterable[Tuple[int, int]]) -> List[Tuple[int, int]]:
    """Ranges (first, last) of numbers from 1, sorted and merged where they meet."""
    out: List[Tuple[int, int]] = []
    for a, b in sorted((_whole("records", a), _whole("records", b)) for a, b in ranges):
        if a < 1 or b < a:
            raise ValueError(f"records: ({a}, {b}) is not a range of numbers from 1")
        if a > LAST_RECORD:
            raise ValueError(f"records: {a} is not between 1 and {LAST_RECORD}")
        b = min(b, LAST_RECORD)
        if out and a <= out[-1][1] + 1:
            out[-1] = (out[-1][0], max(out[-1][1], b))
        else:
            out.append((a, b))
    return out
