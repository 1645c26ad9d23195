"""vexo-plot: quick-look pictures of DFT files as PNG, SVG or PDF."""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from typing import Any, List, Optional, Sequence

EXTENSIONS = (".png", ".svg", ".pdf")
DEFAULT_SIZES = {"spectrum": (1000, 600), "phases": (1200, 550), "echo": (1200, 600)}

DESCRIPTION = """\
Draws a quick-look picture of DFT files:
  spectrum  amplitude (dB) of one record at one frequency: height against spectral line
  phases    phase of each antenna against spectral line in one subblock, without and with the
            antenna correction
  echo      over all records of the files: height against time, coloured by the strongest
            amplitude (dB) of each subblock at one frequency
What is not given is chosen and said on standard error: the first record, the strongest
frequency (and polarization), the strongest subblock (phases), the mean of antennas 1 to 4
(spectrum) or the strongest antenna (echo). A FILE of - is standard input.
"""

EPILOG = """\
exit status: 0 the picture is written; 1 a file could not be read or was damaged (the picture
is still made from its good records), or the picture could not be written; 2 a usage error, or
a record, frequency, polarization, antenna or subblock the files do not have."""


def _size(text: str) -> tuple:
    try:
        width, height = (int(v) for v in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not WIDTHxHEIGHT in pixels") from None
    if not (50 <= width <= 20000 and 50 <= height <= 20000):
        raise argparse.ArgumentTypeError(f"{text!r}: width and height are 50 to 20000 pixels")
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
    p.add_argument("files", nargs="+", metavar="FILE.dft", help="DFT files (echo: several)")
    p.add_argument("-o", "--output", required=True, metavar="OUT.png",
                   help="the picture; PNG, SVG or PDF by the extension")
    p.add_argument("--kind", choices=("spectrum", "phases", "echo"), default="spectrum",
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
                   + ", ".join(f"{k} {w}x{h}" for k, (w, h) in DEFAULT_SIZES.items()) + ")")
    return p


def _draw(args: argparse.Namespace, sources: List[Any]) -> Any:
    from vexo import plot

    size = args.size or DEFAULT_SIZES[args.kind]
    if args.kind == "echo":
        return plot.echo(sources, frequency=args.frequency, polarization=args.polarization,
                         antenna=args.antenna, size=size)
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
        fig.savefig(temporary, format=os.path.splitext(output)[1][1:].lower())
        os.replace(temporary, output)
    except BaseException:
        if os.path.exists(temporary):
            os.remove(temporary)
        raise


def main(argv: Optional[Sequence[str]] = None, prog: str = "vexo-plot") -> int:
    parser = _parser(prog)
    args = parser.parse_args(argv)

    def fail(status: int, message: str) -> int:
        print(f"{prog}: {message}", file=sys.stderr)
        return status

    if args.kind != "echo" and len(args.files) > 1:
        parser.error(f"--kind {args.kind} draws one record: give one file "
                     f"({len(args.files)} given)")
    if args.kind != "phases" and args.subblock is not None:
        parser.error("--subblock is for --kind phases")
    if args.kind == "phases" and args.antenna is not None:
        parser.error("--kind phases draws every antenna: leave out --antenna")
    if args.kind == "echo" and args.record is not None:
        parser.error("--kind echo draws every record: leave out --record")
    if args.record is not None and args.record < 1:
        parser.error(f"--record {args.record}: records are numbered from 1")
    if os.path.splitext(args.output)[1].lower() not in EXTENSIONS:
        parser.error(f"-o {args.output}: the picture is PNG, SVG or PDF, by the extension "
                     "(.png, .svg, .pdf)")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return fail(2, "drawing needs matplotlib: pip install 'vexo[plot]'")

    from vexo import File
    from vexo.plot import ChoiceError

    sources: List[Any] = []
    for name in args.files:
        try:
            sources.append(File(sys.stdin.buffer) if name == "-" else File(name))
        except OSError as e:
            return fail(1, f"{e.filename or name}: {e.strerror or e}")
    damaged = False
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            fig = _draw(args, sources)
        except ChoiceError as e:
            return fail(2, str(e))
        except OSError as e:
            return fail(1, f"{e.filename or 'reading'}: {e.strerror or e}")
    for w in caught:
        print(f"{prog}: {w.message}", file=sys.stderr)
        damaged = True
    what = ", ".join(fig.vexo_choices)
    if what:
        print(f"{prog}: {fig.vexo_data.attrs['file']}: {what}", file=sys.stderr)
    try:
        _write(fig, args.output)
    except OSError as e:
        return fail(1, f"{args.output}: cannot write: {e.strerror or e}")
    return 1 if damaged else 0


if __name__ == "__main__":
    sys.exit(main())
