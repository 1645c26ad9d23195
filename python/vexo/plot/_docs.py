"""Docstrings written once: the parts that a picture and its data step share, and the picture
options size and ax, whose text is made from the sizes of plot/_figure.py.
"""

from __future__ import annotations

import re
import textwrap
from typing import Callable, TypeVar

from vexo.plot._figure import LARGEST_SIZE, SIZES, SMALLEST_SIZE

Function = TypeVar("Function", bound=Callable[..., object])


def shared(**parts: str) -> Callable[[Function], Function]:
    """A decorator that writes each part into the function's docstring where the docstring
    names it, {name}: on a line of its own, the part's lines indented as that line."""

    def fill(function: Function) -> Function:
        doc = function.__doc__
        if doc is None:  # python -OO
            return function
        for name, text in parts.items():
            body = textwrap.dedent(text).strip("\n")
            doc = re.sub(r"^( *)\{" + name + r"\}$",
                         lambda found: textwrap.indent(body, found.group(1)), doc, flags=re.M)
            doc = doc.replace("{" + name + "}", body)
        function.__doc__ = doc
        return function

    return fill


def size_and_ax(picture: str, ax: str) -> str:
    """The parameters size and ax of a picture; `ax` is the text of ax, its type line first."""
    (width, height), low, high = SIZES[picture], SMALLEST_SIZE, LARGEST_SIZE
    size = (f"Width and height in pixels of a figure of its own: {low[0]} to {high[0]} wide, "
            f"{low[1]} to {high[1]} high. Default: ({width}, {height}). Not with ax.")
    ax = textwrap.dedent(ax).strip("\n")
    return "size : (int, int), optional\n" + _described(size) + "\n" + ax


def returns(picture: str, data: str) -> str:
    """The Returns section of a picture; `data` says what fig.vexo_data is."""
    return "matplotlib.figure.Figure\n" + _described(
        f"A figure of its own, or that of ax (the whole figure when ax is in a subfigure). "
        f"It carries what {picture}_data gives: fig.vexo_data, {data}, and fig.vexo_choices, "
        f"what was chosen for the caller (a figure drawn into again carries those of the last "
        f"picture).")


def _described(text: str) -> str:
    return textwrap.fill(text, 88, initial_indent="    ", subsequent_indent="    ")
