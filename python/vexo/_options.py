"""Number types of the commands' options (argparse types): each says what is wrong with a
value in one line."""

from __future__ import annotations

import argparse
import math


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
