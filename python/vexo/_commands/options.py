"""What the commands share: number types of their options (each says what is wrong with a value
in one line) and the selection options.
"""

from __future__ import annotations

import argparse
import math
from typing import Any, Callable, List, Sequence, Tuple

from vexo._reading.selection import Selection


def finite(text: str) -> float:
    """A finite real number."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
    return value


def positive(text: str) -> float:
    """A finite real number above 0."""
    value = finite(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{text}: a positive number is needed")
    return value


def _listed(kind: Callable[[str], Any]) -> Callable[[str], List[Any]]:
    def parse(text: str) -> List[Any]:
        try:
            return [kind(v) for v in text.split(",")]
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a comma-separated list") from None
    return parse


def _record_list(text: str) -> List[Tuple[int, int]]:
    """"1-100,205" -> [(1, 100), (205, 205)]."""
    out = []
    for part in text.split(","):
        first, _, last = part.partition("-")
        try:
            a, b = int(first), int(last or first)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{part!r} is not N or FIRST-LAST") from None
        if not 1 <= a <= b <= 2**62:
            raise argparse.ArgumentTypeError(f"{part!r}: records are numbered from 1 (to "
                                             "2^62), FIRST to LAST")
        out.append((a, b))
    return out


OPTIONS = ("frequency", "height", "polarization", "antenna", "records")


def add_options(group: Any, names: Sequence[str] = OPTIONS) -> None:
    """The selection's options (lists comma-separated) on an argparse parser or group."""
    helps = {
        "frequency": (_listed(float), "KHZ", "subblock frequency"),
        "height": (_listed(float), "KM", "subblock height"),
        "polarization": (_listed(int), "P", "subblock polarization"),
        "antenna": (_listed(int), "N", "antennas, from 1"),
        "records": (_record_list, "N|FIRST-LAST", "record numbers, from 1"),
    }
    for name in names:
        kind, metavar, text = helps[name]
        group.add_argument(f"--{name}", type=kind, metavar=metavar, help=text)


def from_options(args: argparse.Namespace, names: Sequence[str] = OPTIONS) -> Selection:
    """The selection of parsed options (TypeError or ValueError when it is not sound)."""
    given = {name: getattr(args, name) for name in names}
    if given.get("records") is not None:
        given["records"] = tuple(tuple(r) for r in given["records"])
    return Selection(**given)
