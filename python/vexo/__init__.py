"""Phase and amplitude samples of DFT files as numpy arrays and xarray datasets.

    import vexo
    with vexo.open("day342.dft") as f:
        for rec in f:
            print(rec.number, rec.time, rec.phase_degrees().shape)
    ds = vexo.read("day342.dft", frequency=2500)
    ds = xarray.open_dataset("day342.dft", engine="vexo")   # the same, read lazily
    table = vexo.echoes("day342.dft", layout="layout.toml")  # echoes and their directions
    velocities = vexo.drift(table)                            # drift, record by record

Every converted value is the value the vexo listing program writes for the same file and
choices.
"""

from vexo._core import version as __version__
from vexo._datasets.dataset import read
from vexo._directions.blocks import echo_blocks
from vexo._directions.drift import drift
from vexo._directions.echoes import echo_columns, echoes, echoes_dataset
from vexo._directions.layout import Layout
from vexo._errors import DamagedFileWarning, ShapeError
from vexo._reading.file import File, Record, Stop, open
from vexo._reading.selection import Selection
from vexo._reading.times import record_time, record_times

__all__ = [
    "DamagedFileWarning",
    "File",
    "Layout",
    "Record",
    "Selection",
    "ShapeError",
    "Stop",
    "__version__",
    "drift",
    "echo_blocks",
    "echo_columns",
    "echoes",
    "echoes_dataset",
    "open",
    "read",
    "record_time",
    "record_times",
]
