"""vexo-convert: DFT archives to Parquet or NetCDF.
"""

from __future__ import annotations

import argparse
import functools
import importlib
import os
import sys
from typing import Iterator, List, Optional, Sequence, Tuple

from vexo._archive.convert import FORMATS, Outcome, convert_file
from vexo._archive.inputs import find_inputs
from vexo._archive.netcdf import COMPRESSIONS, KINDS
from vexo._archive.outputs import remove_abandoned
from vexo._archive.rows import Conversion
from vexo._commands.options import (
    LayoutError,
    add_echo_options,
    add_options,
    add_version,
    echo_settings_of,
    from_options,
    read_layout,
)
from vexo._commands.progress import Report
from vexo._commands.run_files import StartError, Task, in_processes, on_cluster, one_by_one
from vexo._directions.layout import Layout
from vexo._errors import install_hint

DESCRIPTION = """\
Converts DFT files to a Parquet dataset (one row per file, record, subblock and antenna,
partitioned by the record's date: OUTDIR/samples/year=Y/month=M/day=D/NAME-DIGEST.parquet)
or to one NetCDF-4 file per input (OUTDIR/NAME-DIGEST.nc; a group per record shape when a
file has several). INPUT: files, directories (searched below for *.dft, any case) or glob
patterns.

Parquet columns: file (the input's path as found), record (from 1), time (timestamp in UTC;
null where the header gives no valid time, such records go to the partition
year=__HIVE_DEFAULT_PARTITION__/month=__HIVE_DEFAULT_PARTITION__/day=__HIVE_DEFAULT_PARTITION__,
which readers of Hive partitions take as null), subblock (from 0, as the listing counts),
frequency (kHz), height (km), gain (dB), polarization, antenna (from 1), sample_count, phase
and amplitude (lists of the sample bytes, uint8); with --convert also phase_degrees and
amplitude_db (lists of float32, the listing's values).

With --echoes --layout FILE.toml, the echo rows of each input as vexo.echoes finds them in
the records taken go in a folder beside the samples', as Parquet partitioned by date the same
way: OUTDIR/echoes/year=Y/month=M/day=D/NAME-DIGEST.parquet, one row per echo. Columns: file,
record, time (timestamp in UTC), subblock, frequency (kHz), height (km), line, doppler (Hz),
amplitude (dB, the mean over the layout's antennas), east and north (direction cosines),
zenith and azimuth (degrees; NaN where not resolved), residual (degrees) and resolved
(bool). --format netcdf refuses --echoes.

Outputs are written under temporary names and renamed when complete; a run skips the inputs
that are unchanged since their outputs were made with the same options, and removes the
temporary files that ended processes of this machine left. OUTDIR/.vexo-convert records what
each input was and became. A run over an archive of an earlier form (the samples right under
OUTDIR) converts each input into this form and removes its files of the earlier one.

Query with DuckDB, samples: read_parquet('OUTDIR/samples/**/*.parquet', hive_partitioning=true)
                  echoes:  read_parquet('OUTDIR/echoes/**/*.parquet', hive_partitioning=true)
"""


EPILOG = """\
exit status: 0 every file converted (or up to date); 1 a file could not be read or was
damaged (its good records are converted), a folder could not be searched, or an output could
not be written; 2 a usage error
(a layout file that cannot be read or is not one among them), or the run could not start
(scheduler unreachable)."""


NEEDS = {"parquet": ("pyarrow.parquet",), "netcdf": ("netCDF4", "xarray")}  # by --format


def _jobs(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text}: at least 1")
    return value


def _parser(prog: str) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=prog, description=DESCRIPTION, epilog=EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    add_version(p)
    p.add_argument("inputs", nargs="+", metavar="INPUT", help="files, directories, patterns")
    p.add_argument("-o", "--output", required=True, metavar="OUTDIR", help="output folder")
    p.add_argument("--format", choices=FORMATS, default=FORMATS[0],
                   help=f"{FORMATS[0]} (default) or {FORMATS[1]}")
    p.add_argument("--compression", choices=COMPRESSIONS,
                   help=f"NetCDF: {COMPRESSIONS[0]} (default; every NetCDF-4 reader reads it) or "
                        f"{COMPRESSIONS[1]} (faster; readers need netCDF-C 4.9 with its filter "
                        "plugins)")
    p.add_argument("--netcdf-kind", choices=KINDS, metavar="KIND",
                   help="NetCDF: netcdf4 (default), or for older tools classic (NetCDF-4 "
                        "classic) or netcdf3 (64-bit offset, not compressed); neither has "
                        "groups, so a file of several record shapes fails")
    p.add_argument("--jobs", type=_jobs, default=os.cpu_count() or 1, metavar="N",
                   help="processes on this machine (default: every core)")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="run as tasks on a Dask distributed cluster (tcp://HOST:PORT), one "
                        "task per file; the workers must see INPUT and OUTDIR at these paths")
    g = p.add_argument_group("selection (as vexo.read; lists are comma-separated)")
    add_options(g)
    g.add_argument("--convert", action="store_true",
                   help="add phase_degrees and amplitude_db")
    g.add_argument("--no-correction", action="store_true",
                   help="phase_degrees without the antenna correction (the echoes' "
                        "directions are fitted to corrected phases all the same)")
    e = p.add_argument_group("echo rows (Parquet only; as vexo.echoes)")
    e.add_argument("--echoes", action="store_true",
                   help="write the echo rows of each input under OUTDIR/echoes/ too (the "
                        "samples go under OUTDIR/samples/ either way)")
    e.add_argument("--layout", metavar="FILE.toml",
                   help="the antennas' places (a TOML layout, see vexo.Layout); needed with "
                        "--echoes")
    add_echo_options(e)
    return p


def _conversion(args: argparse.Namespace, layout: Optional[Layout]) -> Conversion:
    """What the options ask of each file; the echo options not given are those of
    Conversion (vexo.echoes' defaults)."""
    return Conversion(from_options(args), bool(args.convert), not args.no_correction, layout,
                      echo_settings_of(args))


def _layout(parser: argparse.ArgumentParser, args: argparse.Namespace) -> Optional[Layout]:
    """The layout of --layout, or None without --echoes; a usage error for options that do
    not go together. LayoutError for a layout file that cannot be read or is not one."""
    if not args.echoes:
        given = [o for o, v in (("--layout", args.layout), ("--threshold-db", args.threshold_db),
                                ("--significance", args.significance),
                                ("--residual-limit", args.residual_limit),
                                ("--prior", args.prior)) if v is not None]
        if given:
            parser.error(f"{given[0]} is for --echoes")
        return None
    if args.layout is None:
        parser.error("--echoes needs --layout FILE.toml (the antennas' places)")
    if args.format != "parquet":
        parser.error("--echoes writes its rows as Parquet: leave out --format netcdf (or "
                     "convert the echoes into an OUTDIR of their own)")
    layout = read_layout(args.layout)
    if args.antenna:
        lacking = [str(n) for n in layout.numbers if n not in args.antenna]
        if lacking:
            parser.error(f"--antenna {','.join(map(str, args.antenna))} leaves out antenna"
                         f"{'s' if len(lacking) > 1 else ''} {', '.join(lacking)} of the "
                         "layout, which the echoes need")
    return layout


def convert_labelled(path: str, label: str, outdir: str, fmt: str, selection: Conversion,
                     compression: str, netcdf_kind: str = next(iter(KINDS))) -> Outcome:
    return convert_file(path, outdir, fmt, selection, label, compression=compression,
                        netcdf_kind=netcdf_kind)


def _missing(*modules: str) -> Optional[str]:
    """The first of these modules that cannot be imported (the name its import gives), if
    any."""
    for module in modules:
        try:
            importlib.import_module(module)
        except ImportError as e:
            return str(e.name)
    return None


def _total_bytes(files: List[Tuple[str, str]]) -> int:
    total = 0
    for path, _ in files:
        try:
            total += os.stat(path).st_size
        except OSError:
            pass
    return total


def _runs(files: List[Tuple[str, str]], task: Task, args: argparse.Namespace
          ) -> Iterator[Outcome]:
    if args.scheduler:
        return on_cluster(files, task, args.scheduler)
    if args.jobs == 1 or len(files) <= 1:
        return one_by_one(files, task)
    return in_processes(files, task, args.jobs)


def main(argv: Optional[Sequence[str]] = None, prog: str = "vexo-convert") -> int:
    parser = _parser(prog)
    args = parser.parse_args(argv)
    if args.compression is not None and args.format != "netcdf":
        print(f"{prog}: --compression is for --format netcdf", file=sys.stderr)
        return 2
    if args.netcdf_kind is not None and args.format != "netcdf":
        print(f"{prog}: --netcdf-kind is for --format netcdf", file=sys.stderr)
        return 2
    if args.netcdf_kind == "netcdf3" and args.compression is not None:
        print(f"{prog}: --netcdf-kind netcdf3 is not compressed: leave out --compression",
              file=sys.stderr)
        return 2
    try:
        layout = _layout(parser, args)
    except LayoutError as e:
        print(f"{prog}: {e}", file=sys.stderr)
        return 2
    try:
        conversion = _conversion(args, layout)
    except (TypeError, ValueError) as e:
        parser.error(str(e))
    missing = _missing(*NEEDS[args.format])
    if missing:
        print(f"{prog}: --format {args.format} needs {missing}: {install_hint('archive')}",
              file=sys.stderr)
        return 2
    outdir = os.path.abspath(args.output)
    try:
        os.makedirs(outdir, exist_ok=True)
    except OSError as e:
        print(f"{prog}: {args.output}: cannot make the folder: {e.strerror}", file=sys.stderr)
        return 2
    paths, missing_inputs, unreadable = find_inputs(args.inputs)
    files = [(os.path.abspath(p), p) for p in paths]
    report = Report(prog, len(files), _total_bytes(files), sys.stderr,
                    with_echoes=layout is not None)
    for name in missing_inputs:
        report.missing(name)
    for error in unreadable:
        report.cannot_search(error)
    task = functools.partial(convert_labelled, outdir=outdir, fmt=args.format,
                             selection=conversion,
                             compression=args.compression or COMPRESSIONS[0],
                             netcdf_kind=args.netcdf_kind or next(iter(KINDS)))
    if args.scheduler and _missing("distributed"):
        print(f"{prog}: --scheduler needs dask.distributed: {install_hint('archive')}",
              file=sys.stderr)
        return 2
    runs = _runs(files, task, args)
    remove_abandoned(outdir)
    try:
        for outcome in runs:
            report.add(outcome)
    except StartError as e:
        report.line(str(e))
        sys.stderr.flush()
        os._exit(2)  # a connection attempt may still hang in a thread of its own
    except KeyboardInterrupt:
        report.line("interrupted: the files not finished are converted by the next run")
        return 130
    report.summary()
    return 1 if report.faults else 0


if __name__ == "__main__":
    sys.exit(main())
