"""Peak memory of converting one file to Parquet whose records span many dates.

    build/venv/bin/python bench/dates_memory.py [DATES...]   (default: 1 17)

Generates a file of 16384 records (64 MiB) with build/make_dft (or $MAKE_DFT) and converts it
in a process of its own for each number of dates, the records spread over that many days in
their order (the dates given to the rows, as the clock of a long recording would give them).
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
MAKE_DFT = os.environ.get("MAKE_DFT", str(ROOT / "build" / "make_dft"))
RECORDS = 16384

CONVERT = """
import resource, sys, tempfile
from vexo._archive import parquet
from vexo._archive.convert import convert_file
from vexo._archive.rows import Conversion
path, days = sys.argv[1], int(sys.argv[2])
real = parquet.block_rows
def dated(*args, **kwargs):
    table, _ = real(*args, **kwargs)
    return table, 20260101 + table.column("record").to_numpy() * days // (%d + 1)
parquet.block_rows = dated
with tempfile.TemporaryDirectory() as out:
    outcome = convert_file(path, out, "parquet", Conversion())
assert not outcome.failure, outcome.failure
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024)
""" % RECORDS


def main() -> None:
    dates = [int(a) for a in sys.argv[1:]] or [1, 17]
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "dates.dft")
        subprocess.run([MAKE_DFT, path, str(RECORDS)], check=True, stdout=subprocess.DEVNULL)
        for days in dates:
            got = subprocess.run([sys.executable, "-c", CONVERT, path, str(days)], check=True,
                                 capture_output=True, text=True)
            print(f"{days:3d} dates: peak {float(got.stdout):6.0f} MiB")


if __name__ == "__main__":
    main()
