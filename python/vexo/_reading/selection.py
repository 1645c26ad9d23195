"""vexo.Selection: which records, subblocks and antennas are taken, checked when it is made.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Any, Iterable, List, Optional, Tuple, Union

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


def whole_numbers(name: str, value: Values, low: int, high: int = _LARGEST) -> List[int]:
    out = []
    for v in _values(name, value):
        if isinstance(v, float) and not math.isfinite(v):
            raise ValueError(f"{name}: {v!r} is not a whole number")
        if int(v) != v:
            raise TypeError(f"{name}: expected whole numbers, not {v!r}")
        if not low <= int(v) <= high:
            raise ValueError(f"{name}: {int(v)} is not between {low} and {high}")
        out.append(int(v))
    return out


def record_ranges(value: Any) -> List[Tuple[int, int]]:
    """Record numbers as ranges (first, last), ascending and apart; [] for all."""
    if isinstance(value, range) and value.step == 1:
        if len(value) == 0:
            raise ValueError("records: no value given (None selects every one)")
        if value.start < 1:
            raise ValueError(f"records: {value.start} is not between 1 and {2**62}")
        return [(value.start, min(value.stop - 1, 2**62))]
    ranges: List[Tuple[int, int]] = []
    for number in sorted(set(whole_numbers("records", value, 1, 2**62))):
        if ranges and ranges[-1][1] + 1 == number:
            ranges[-1] = (ranges[-1][0], number)
        else:
            ranges.append((number, number))
    return ranges


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
    records : int, sequence of int or range, optional
        Record numbers (from 1). A range is read as bounds, however far it reaches.

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
        import numpy as np

        numbers = np.asarray(numbers)
        if not self.records:
            return np.ones(numbers.shape, dtype=bool)
        taken = np.zeros(numbers.shape, dtype=bool)
        for first, last in self.records:
            taken |= (numbers >= first) & (numbers <= last)
        return taken

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
    for a, b in sorted((int(a), int(b)) for a, b in ranges):
        if a < 1 or b < a:
            raise ValueError(f"records: ({a}, {b}) is not a range of numbers from 1")
        if out and a <= out[-1][1] + 1:
            out[-1] = (out[-1][0], max(out[-1][1], b))
        else:
            out.append((a, b))
    return out
