"""vexo-plot: quick-look pictures of DFT files as PNG, SVG or PDF."""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from typing import Any, List, Optional, Sequence, Tuple

from vexo._commands.options import (
    LAST_RECORD,
    LayoutError,
    add_echo_options,
    add_options,
    add_version,
    from_options,
    positive,
    read_layout,
)
from vexo._directions.fit import BaselinesTooLong
from vexo._errors import DamagedFileWarning, install_hint
from vexo._names import shown_name
from vexo.plot import LARGEST_SIZE, SIZES, SMALLEST_SIZE, ChoiceError

ECHO_SELECTION = ("height", "records")

EXTENSIONS = (".png", ".svg", ".pdf")
SKYMAP_OPTIONS = ("layout", "window", "ordinary", "threshold_db", "significance",
                  "residual_limit", "prior")

DESCRIPTION = """\
Draws a quick-look picture of DFT files:
  spectrum  amplitude (dB) of one record at one frequency: height against spectral line
  phases    phase of each antenna against spectral line in one subblock, without and with the
            antenna correction
  echo      over all records of the files: height against time, coloured by the strongest
            amplitude (dB) of each subblock at one frequency
  skymap    where the echoes of one record (or of a --window of records) come from: zenith
            angle and azimuth (north up, east right), each resolved echo a dot coloured by
            its Doppler shift, and the horizontal drift as an arrow; needs --layout
What is not given is chosen and said on standard error: the first record (skymap: the first
with a resolved echo), the strongest frequency (and polarization; skymap: every frequency and
the lowest polarization, one map never mixing two),
the strongest subblock (phases), the mean of antennas 1 to 4 (spectrum) or the strongest
antenna (echo). A FILE of - is standard input.
"""

EPILOG = """\
exit status: 0 the picture is written; 1 a file could not be read or was damaged (the picture
is still made from its good records), or the picture could not be written; 2 a usage error, or
a record, frequency, polarization, antenna or subblock the files do not have, or a layout
file that cannot be read or is not one (or whose baselines are too long for the records)."""


def _size(text: str) -> tuple:
    try:
        width, height = (int(v) for v in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not WIDTHxHEIGHT in pixels") from None
    (least_width, least_height), (most_width, most_height) = SMALLEST_SIZE, LARGEST_SIZE
    if not (least_width <= width <= most_width and least_height <= height <= most_height):
        raise argparse.ArgumentTypeError(f"{text!r}: the width is {least_width} to "
                                         f"{most_width} pixels, the height {least_height} "
                                         f"to {most_height}")
    return width, height


def _antenna(text: str) -> Any:
    if text == "mean":
        return text
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is neither an antenna number nor mean") \
            from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text}: antennas are numbered from 1")
    return value


def _parser(prog: str) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=prog, description=DESCRIPTION, epilog=EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    add_version(p)
    p.add_argument("files", nargs="+", metavar="FILE.dft", help="DFT files (echo: several)")
    p.add_argument("-o", "--output", required=True, metavar="OUT.png",
                   help="the picture; PNG, SVG or PDF by the extension")
    p.add_argument("--kind", choices=("spectrum", "phases", "echo", "skymap"),
                   default="spectrum",
                   help="the picture (default: spectrum)")
    p.add_argument("--record", type=int, metavar="N", help="record number, from 1 (default: "
                   "the first)")
    p.add_argument("--frequency", type=float, metavar="KHZ",
                   help="sounding frequency in kHz (default: the strongest)")
    p.add_argument("--polarization", type=int, metavar="P",
                   help="polarization (default: the stronger at the frequency)")
    p.add_argument("--antenna", type=_antenna, metavar="N|mean",
                   help="an antenna number or mean (antennas 1 to 4)")
    p.add_argument("--subblock", type=int, metavar="I",
                   help="phases: subblock, from 0 (default: the strongest)")
    p.add_argument("--size", type=_size, metavar="WxH", help="pixels (default: "
                   + ", ".join(f"{k} {w}x{h}" for k, (w, h) in SIZES.items()) + ")")
    g = p.add_argument_group("echo: what to read of each file (as vexo.read; lists are "
                             "comma-separated)")
    add_options(g, ECHO_SELECTION)
    s = p.add_argument_group("skymap (as vexo.echoes and vexo.drift)")
    s.add_argument("--layout", metavar="FILE.toml",
                   help="the antennas' places (a TOML layout, see vexo.Layout); needed")
    s.add_argument("--window", type=_seconds, metavar="SECONDS",
                   help="draw the time window of this length that holds the record (windows "
                        "aligned on whole multiples of it since 1970; default: the record "
                        "alone)")
    add_echo_options(s)
    s.add_argument("--no-drift", action="store_true", help="leave out the drift's arrow")
    s.add_argument("--ordinary", type=int, metavar="P",
                   help="the polarization of the ordinary (O) mode here: the title names the "
                        "mode shown")
    return p


def _seconds(text: str) -> float:
    from vexo._directions.drift import WINDOWS, window_ns

    try:
        seconds = positive(text)
        window_ns(seconds)
        return seconds
    except (argparse.ArgumentTypeError, ValueError):
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds {WINDOWS}") \
            from None


def _draw(args: argparse.Namespace, sources: List[Any]) -> Any:
    from vexo import plot

    size = args.size  # None: the picture's own
    if args.kind == "skymap":
        limits = {k: getattr(args, k) for k in ("threshold_db", "significance",
                                                 "residual_limit", "prior")
                  if getattr(args, k) is not None}
        return plot.skymap(sources[0], layout=args.layout, record=args.record,
                           window=args.window, frequency=args.frequency,
                           polarization=args.polarization, ordinary=args.ordinary,
                           drift=not args.no_drift,
                           size=size, **limits)
    if args.kind == "echo":
        return plot.echo(sources, frequency=args.frequency, polarization=args.polarization,
                         antenna=args.antenna, selection=args.selection, size=size)
    if args.kind == "spectrum":
        return plot.spectrum(sources[0], record=args.record, frequency=args.frequency,
                             polarization=args.polarization, antenna=args.antenna, size=size)
    return plot.phases(sources[0], record=args.record, subblock=args.subblock,
                       frequency=args.frequency, size=size)


def _write(fig: Any, output: str) -> None:
    """Writes the picture under a temporary name and renames it, so that no half picture is
    ever left under the name asked for."""
    folder, base = os.path.split(os.path.abspath(output))
    temporary = os.path.join(folder, f".{base}.{os.getpid()}.tmp")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)  # the layout of very small pictures
            fig.savefig(temporary, format=os.path.splitext(output)[1][1:].lower())
        os.replace(temporary, output)
    except BaseException:
        if os.path.exists(temporary):
            os.remove(temporary)
        raise


def _check(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Refuses options that do not go together, or do not go with the kind (parser.error,
    status 2); sets args.selection."""
    if args.kind != "echo" and len(args.files) > 1:
        what = "reads one file" if args.kind == "skymap" else "draws one record"
        parser.error(f"--kind {args.kind} {what}: give one file ({len(args.files)} given)")
    if args.kind != "phases" and args.subblock is not None:
        parser.error("--subblock is for --kind phases")
    for option in ("antenna", "polarization"):
        if args.kind == "phases" and getattr(args, option) is not None:
            parser.error(f"--kind phases draws every antenna of one subblock: leave out "
                         f"--{option} (--subblock or --frequency choose the subblock)")
    if args.files.count("-") > 1:
        parser.error("standard input (-) can be read once")
    if args.kind == "echo" and args.record is not None:
        parser.error("--kind echo draws every record: leave out --record (--records takes "
                     "some of them)")
    if args.kind == "skymap":
        if args.antenna is not None:
            parser.error("--kind skymap draws the echoes of the layout's antennas: leave out "
                         "--antenna")
        if args.layout is None:
            parser.error("--kind skymap needs --layout FILE.toml (the antennas' places)")
    else:
        given = [n for n in SKYMAP_OPTIONS if getattr(args, n) is not None] + (
            ["no_drift"] if args.no_drift else [])
        if given:
            parser.error(f"--{given[0].replace('_', '-')} is for --kind skymap")
    if args.kind != "echo" and any(getattr(args, n) is not None for n in ECHO_SELECTION):
        parser.error(f"--height and --records are for --kind echo (--record names the record "
                     f"of --kind {args.kind})")
    try:
        args.selection = from_options(args, ECHO_SELECTION)
    except (TypeError, ValueError) as e:
        parser.error(str(e))
    if args.record is not None and not 1 <= args.record <= LAST_RECORD:
        parser.error(f"--record {args.record}: records are numbered from 1 (to 2^62)")
    if os.path.splitext(args.output)[1].lower() not in EXTENSIONS:
        parser.error(f"-o {args.output}: the picture is PNG, SVG or PDF, by the extension "
                     "(.png, .svg, .pdf)")


def _fail(prog: str, status: int, message: str) -> int:
    print(f"{prog}: {message}", file=sys.stderr)
    return status


def _picture(args: argparse.Namespace, sources: List[Any], prog: str) -> Tuple[int, Any]:
    """The status so far and the figure drawn (None when none is): a choice the files do
    not have is status 2 (1 when a damaged file cut it short), and so is a layout whose
    baselines are too long for the records' wavelengths; a file that cannot be read or a
    damaged one status 1."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", DamagedFileWarning)
        status, fig, said = 0, None, ""
        try:
            fig = _draw(args, sources)
        except ChoiceError as e:
            status, said = _fail(prog, 1 if e.damaged else 2, str(e)), str(e)
        except BaselinesTooLong as e:  # the layout, for the records' frequencies
            status = _fail(prog, 2, str(e))
        except OSError as e:
            name = shown_name(e.filename) if e.filename else "reading"
            status = _fail(prog, 1, f"{name}: {e.strerror or e}")
    for w in caught:
        if issubclass(w.category, DamagedFileWarning):
            damage = getattr(w.message, "damage", "")
            if not (said and damage and damage in said):  # said once
                print(f"{prog}: {w.message}", file=sys.stderr)
            status = status or 1
        else:  # as Python shows it: the filters have passed it already
            warnings.showwarning(w.message, w.category, w.filename, w.lineno, w.file, w.line)
    return status, fig


def main(argv: Optional[Sequence[str]] = None, prog: str = "vexo-plot") -> int:
    parser = _parser(prog)
    args = parser.parse_args(argv)
    _check(parser, args)
    os.environ["MPLBACKEND"] = "Agg"  # pictures only, never a screen
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return _fail(prog, 2, f"drawing needs matplotlib: {install_hint('plot')}")
    if args.kind == "skymap":
        try:
            args.layout = read_layout(args.layout)
        except LayoutError as e:
            return _fail(prog, 2, str(e))

    sources: List[Any] = []
    for name in args.files:
        if name != "-":
            sources.append(name)  # opened when it is read
        elif sys.stdin is None:
            return _fail(prog, 1, "-: standard input is closed")
        else:
            sources.append(sys.stdin.buffer)
    status, fig = _picture(args, sources, prog)
    if fig is None:
        return status
    what = ", ".join(fig.vexo_choices)
    if what:
        print(f"{prog}: {fig.vexo_data.attrs['file']}: {what}", file=sys.stderr)
    try:
        _write(fig, args.output)
    except OSError as e:
        return _fail(prog, 1, f"{shown_name(args.output)}: cannot write: {e.strerror or e}")
    return status


if __name__ == "__main__":
    sys.exit(main())
