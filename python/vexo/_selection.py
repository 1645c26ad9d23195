"""The selection keywords of vexo.read, checked and put into the form the reader takes."""

from __future__ import annotations

import numbers
from typing import Any, Iterable, List, Optional, Tuple, Union

Selection = Union[None, float, Iterable[float]]


def _values(name: str, value: Any) -> List[Any]:
    if value is None:
        return []
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name}: expected a number or numbers, not {value!r}")
    if isinstance(value, numbers.Real):
        return [value]
    try:
        values = list(value)
    except TypeError:
        raise TypeError(f"{name}: expected a number or numbers, not {value!r}") from None
    if not values:
        raise ValueError(f"{name}: no value given (None selects every one)")
    for v in values:
        if not isinstance(v, numbers.Real) or isinstance(v, bool):
            raise TypeError(f"{name}: expected numbers, not {v!r}")
    return values


def reals(name: str, value: Selection) -> List[float]:
    return [float(v) for v in _values(name, value)]


def whole_numbers(name: str, value: Selection, low: int) -> List[int]:
    out = []
    for v in _values(name, value):
        if isinstance(v, bool) or int(v) != v:
            raise TypeError(f"{name}: expected whole numbers, not {v!r}")
        if int(v) < low:
            raise ValueError(f"{name}: {int(v)} is below {low}")
        if int(v) > 2**62:
            raise ValueError(f"{name}: {int(v)} is too large")
        out.append(int(v))
    return out


def shape(value: Optional[Tuple[int, int]]) -> Optional[Tuple[int, int]]:
    if value is None:
        return None
    try:
        n, a = (int(v) for v in value)
    except (TypeError, ValueError):
        raise TypeError(f"shape: expected (N, A), not {value!r}") from None
    if not 0 <= n <= 9 or not 0 <= a <= 9:
        raise ValueError(f"shape: N and A are digits 0 to 9, not {value!r}")
    return (n, a)
