"""vexo-info: what DFT files hold, one screen each."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Dict, List, Optional, Sequence, TextIO

from vexo._commands.options import add_version
from vexo._names import shown_name
from vexo._reading.summary import summary

DESCRIPTION = """\
Summarises DFT files, each from its record headers and subblock descriptions (quick on files
of gigabytes): the records and their shapes (N/A: 2^N spectral lines, A antennas; how many
records of each), the earliest and latest record time (UTC), the subblocks' frequencies (kHz),
heights (km) and polarizations, the antennas, and how the reading ended: at the end of the
file, or at damage (where and why), in which case the records before it are summarised.

--json prints a list of one object per FILE, in the order given: file, records, shapes (a list
of {"N", "A", "records"}), first and last (ISO 8601 in UTC ending in Z, or null when no record
has a time), records_without_time, frequencies, heights, polarizations and antennas (lists of
numbers, sorted), damaged (true or false), stop (why the reading ended) and damage (the same
when damaged, else null). A FILE that cannot be read is an object of file and error.
"""

EPILOG = """\
exit status: 0 every file read to its clean end; 1 a file could not be read or was damaged
(the others, and the good records of a damaged one, are summarised all the same); 2 a usage
error."""

#: Values listed one by one in the text form; more are given as how many, lowest to highest.
LISTED = 12


def _parser(prog: str) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=prog, description=DESCRIPTION, epilog=EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    add_version(p)
    p.add_argument("files", nargs="+", metavar="FILE", help="DFT files")
    p.add_argument("--json", action="store_true",
                   help="print the summaries as JSON (a list of one object per FILE)")
    return p


def _values(values: List[Any], unit: str = "") -> str:
    """1, 2, 3 kHz; more than LISTED values as how many and their range."""
    if not values:
        return "none"
    suffix = f" {unit}" if unit else ""
    if len(values) > LISTED:
        return f"{len(values)} values, {values[0]} to {values[-1]}{suffix}"
    return ", ".join(str(v) for v in values) + suffix


def text(s: Dict[str, Any]) -> str:
    """The text form of one file's summary: a line naming the file, then a line per item."""
    shapes = "; ".join(f"{x['N']}/{x['A']}: {x['records']} record"
                       f"{'' if x['records'] == 1 else 's'}" for x in s["shapes"])
    if s["first"] is None:
        span = "none"
    else:
        span = s["first"] if s["first"] == s["last"] else f"{s['first']} to {s['last']}"
    if s["records_without_time"]:
        span += f" ({s['records_without_time']} records without a time)"
    end = f"damaged: {s['damage']}" if s["damaged"] else s["stop"]
    rows = [("records", str(s["records"])), ("shapes (N/A)", shapes or "none"),
            ("time (UTC)", span), ("frequencies", _values(s["frequencies"], "kHz")),
            ("heights", _values(s["heights"], "km")),
            ("polarizations", _values(s["polarizations"])),
            ("antennas", _values(s["antennas"])), ("end", end)]
    return f"{s['file']}\n" + "".join(f"  {label + ':':15}{value}\n" for label, value in rows)


def _say(stream: TextIO, line: str) -> None:
    stream.write(line)
    stream.flush()  # standard output and standard error in the order they happen


def _summarise(files: Sequence[str], as_json: bool, prog: str) -> int:
    """Summarises the files one after another; the exit status."""
    status, shown = 0, False
    found: List[Dict[str, Any]] = []
    try:
        for name in files:
            try:
                s = summary(name)
            except OSError as e:
                what = f"{shown_name(name)}: {e.strerror or e}"
            except ValueError as e:  # the file changed while it was read; names the file
                what = str(e)
            else:
                found.append(s)
                if not as_json:
                    _say(sys.stdout, ("\n" if shown else "") + text(s))
                    shown = True
                if s["damaged"]:
                    status = max(status, 1)
                    _say(sys.stderr, f"{prog}: {s['file']}: {s['damage']}\n")
                continue
            status = max(status, 1)
            found.append({"file": shown_name(name), "error": what})
            _say(sys.stderr, f"{prog}: {what}\n")
    except KeyboardInterrupt:
        status = 130
    if as_json:
        _say(sys.stdout, "[\n" + ",\n".join(json.dumps(o) for o in found) + "\n]\n")
    return status


def main(argv: Optional[Sequence[str]] = None, prog: str = "vexo-info") -> int:
    args = _parser(prog).parse_args(argv)
    try:
        return _summarise(args.files, args.json, prog)
    except BrokenPipeError:  # standard output closed early (vexo-info ... | head): quietly
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())  # so that the flush at the exit does not fail
        return 1


if __name__ == "__main__":
    sys.exit(main())
