"""Spark reads the Parquet folders of vexo-convert: each table's rows counted against pyarrow's
count, the type of `time` checked (TIMESTAMP, an instant), and the first instant compared with
the one pyarrow reads, in a Spark session whose zone is not UTC.

    python bench/spark_read.py OUTDIR

OUTDIR: an archive made with the echo rows, for instance
    vexo-convert examples/example.dft -o archive --echoes --layout examples/layout.toml
Needs pyspark (pip install pyspark) and Java. Exit status 1 when Spark reads otherwise.
"""

from __future__ import annotations

import os
import sys
from typing import Dict, List

TABLES = ("samples", "echoes")
ZONE = "America/New_York"  # Spark's session zone: instants must not move with it


def _pyarrow_view(folder: str) -> Dict[str, int]:
    """Rows and the first time (microseconds since 1970 UTC) as pyarrow reads the folder."""
    import pyarrow.compute as pc
    import pyarrow.dataset as ds

    table = ds.dataset(folder, partitioning="hive").to_table(columns=["time"])
    first = pc.min(table.column("time").cast("int64")).as_py()
    return {"rows": table.num_rows, "first_us": first}


def main(argv: List[str]) -> int:
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    outdir = argv[0]
    from pyspark.sql import SparkSession
    from pyspark.sql import functions as F
    from pyspark.sql.types import TimestampType

    spark = (SparkSession.builder.master("local[1]").appName("vexo-archive")
             .config("spark.sql.session.timeZone", ZONE)
             .config("spark.ui.enabled", "false").getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    faults = []
    try:
        for name in TABLES:
            folder = os.path.join(outdir, name)
            frame = spark.read.parquet(folder)
            kind = frame.schema["time"].dataType
            rows = frame.count()
            # seconds since 1970 UTC, whatever the session's zone; microseconds exactly
            first = frame.select(F.min(F.unix_micros("time")).alias("first")).first()["first"]
            want = _pyarrow_view(folder)
            print(f"{name:8} {rows:10} rows  time {kind.simpleString()}  first instant "
                  f"{first} us (pyarrow: {want['rows']} rows, {want['first_us']} us)")
            if not isinstance(kind, TimestampType):
                faults.append(f"{name}: time is {kind.simpleString()}, not timestamp")
            if rows != want["rows"] or first != want["first_us"]:
                faults.append(f"{name}: Spark and pyarrow read different rows or instants")
            partitions = {f.name for f in frame.schema.fields} & {"year", "month", "day"}
            if partitions != {"year", "month", "day"}:
                faults.append(f"{name}: the date partitions are not columns")
    finally:
        spark.stop()
    for fault in faults:
        print(fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
