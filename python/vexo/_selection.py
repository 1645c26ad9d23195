"""The selection keywords of vexo.read, checked and put into the form the reader takes."""

from __future__ import annotations

import math
import numbers
from typing import Any, Iterable, List, Optional, Tuple, Union

Selection = Union[None, float, Iterable[float]]

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


def reals(name: str, value: Selection) -> List[float]:
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


def whole_numbers(name: str, value: Selection, low: int, high: int = _LARGEST) -> List[int]:
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
