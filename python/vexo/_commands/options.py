"""What the commands share: number types of their options (each says what is wrong with a value
in one line), --version, the selection options, the echo options and reading --layout.
"""

from __future__ import annotations

import argparse
import math
import re
from typing import Any, Callable, List, Sequence, Tuple

from vexo._directions.echoes import RESIDUAL_LIMIT, THRESHOLD_DB, Settings, settings
from vexo._directions.layout import Layout
from vexo._names import shown_name
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


def add_version(parser: argparse.ArgumentParser) -> None:
    """--version on a parser: prints the program's name and the package's version, and exits
    with status 0."""
    from vexo import __version__

    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}",
                        help="print the version of vexo and exit")


LAST_RECORD = 2**62  # records are numbered from 1 to this


def _record_list(text: str) -> List[Tuple[int, int]]:
    """"1-100,205" -> [(1, 100), (205, 205)]."""
    out = []
    for part in text.split(","):
        got = re.fullmatch(r"([0-9]+)(?:-([0-9]+))?", part.strip())
        if got is None:
            raise argparse.ArgumentTypeError(f"{part!r} is not N or FIRST-LAST")
        a, b = int(got.group(1)), int(got.group(2) or got.group(1))
        if not 1 <= a <= b <= LAST_RECORD:
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


def add_echo_options(group: Any) -> None:
    """--threshold-db, --significance, --residual-limit and --prior (as vexo.echoes takes
    them; None when not given) on an argparse parser or group; the help texts give the
    defaults of vexo.echoes."""
    from vexo._directions.echoes import PRIOR, PRIORS, SIGNIFICANCE

    def probability(text: str) -> float:
        value = finite(text)
        if not 0 < value < 1:
            raise argparse.ArgumentTypeError(f"{text}: a probability between 0 and 1 is "
                                             "needed")
        return value

    group.add_argument("--threshold-db", type=finite, metavar="DB",
                       help="an echo stands this far above its subblock's noise floor "
                            f"(default {THRESHOLD_DB:g})")
    group.add_argument("--significance", type=probability, metavar="P",
                       help="the plane-wave test rejects a true one with this probability "
                            f"(default {SIGNIFICANCE:g})")
    limit = "none" if RESIDUAL_LIMIT is None else f"{RESIDUAL_LIMIT:g}"
    group.add_argument("--residual-limit", type=positive, metavar="DEGREES",
                       help="resolved only below this RMS phase residual as well (default "
                            f"{limit})")
    group.add_argument("--prior", choices=[p for p in PRIORS if p is not None],
                       help="zenith: of directions that fit alike, take the one nearest "
                            f"the zenith (default {PRIOR or 'none'}: not resolved)")



def echo_settings_of(args: Any) -> Settings:
    """The echo options given (add_echo_options), the others vexo.echoes' defaults."""
    given = {name: getattr(args, name) for name in ("threshold_db", "significance",
                                                     "residual_limit", "prior")
             if getattr(args, name, None) is not None}
    return settings(**given)


class LayoutError(Exception):
    """A --layout file that cannot be read or is not a layout; the message is one line that
    names the file (the commands exit with status 2)."""


def read_layout(path: str) -> Layout:
    """The layout of --layout FILE.toml, or LayoutError."""
    try:
        return Layout.read(path)
    except OSError as e:
        raise LayoutError(f"{shown_name(path)}: {e.strerror or e}") from None
    except ValueError as e:
        raise LayoutError(str(e)) from None  # the message names the file
