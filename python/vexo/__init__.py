"""Phase and amplitude samples of DFT files as numpy arrays and xarray datasets.

    import vexo
    with vexo.open("day342.dft") as f:
        for rec in f:
            print(rec.number, rec.time, rec.phase_degrees().shape)
    ds = vexo.read("day342.dft", frequency=2500)
    ds = xarray.open_dataset("day342.dft", engine="vexo")   # the same, read lazily

Every converted value is the value the vexo listing program writes for the same file and
choices.
"""

from vexo._core import version as __version__
from vexo._dataset import read
from vexo._errors import DamagedFileWarning, ShapeError
from vexo._file import File, Record, Stop, open
from vexo._selection import Selection
from vexo._time import record_time, record_times

__all__ = [
    "DamagedFileWarning",
    "File",
    "Record",
    "Selection",
    "ShapeError",
    "Stop",
    "__version__",
    "open",
    "read",
    "record_time",
    "record_times",
]
