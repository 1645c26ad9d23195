"""What vexo raises and warns."""

from __future__ import annotations

import warnings
from typing import Any

from vexo._names import shown_name

#: The name of this package on the package index (it is imported as vexo): every hint that
#: installs something of ours names it, never the index's other "vexo".
DISTRIBUTION = "vexo-dft"


def install_hint(extra: str) -> str:
    """The command that installs this package with one of its extras."""
    return f"pip install '{DISTRIBUTION}[{extra}]'"


class ShapeError(ValueError):
    """The records of a file have more than one shape (N, A), so they are not one dataset.

    Raised by vexo.read and xr.open_dataset(..., engine="vexo") when the records asked for
    have several shapes and no shape is given; the message is one line naming each shape and
    its number of records. Pass shape=(N, A) to read the records of one shape.

    Examples
    --------
    >>> import vexo
    >>> issubclass(vexo.ShapeError, ValueError)
    True
    >>> ds = vexo.read("examples/example.dft", shape=(5, 4))  # the records of one shape
    >>> ds.sizes["time"]
    6
    """


class DamagedFileWarning(UserWarning):
    """Reading stopped before the end of the file: the records before the damage are read.

    The message names the file and what stopped the reading. vexo.read, xr.open_dataset(...,
    engine="vexo"), vexo.plot.echo and vexo.dask.read_archive warn so; a vexo.File says the
    same in its stop.

    Examples
    --------
    >>> import io
    >>> import pathlib
    >>> import warnings
    >>> import vexo
    >>> data = pathlib.Path("examples/example.dft").read_bytes()
    >>> with warnings.catch_warnings(record=True) as caught:
    ...     warnings.simplefilter("always")
    ...     ds = vexo.read(io.BytesIO(data[:2 * 4096 + 100]))  # cut inside record 3
    >>> ds.sizes["time"], caught[0].category is vexo.DamagedFileWarning
    (2, True)
    """

    damage: str = ""  # what stopped the reading (the message without the file's name)


class FileError(ValueError):
    """What is wrong with a file: the message names the file; `what` says the same without
    its name, for callers that name the file themselves."""

    def __init__(self, name: Any, what: str) -> None:
        super().__init__(f"{shown_name(name)}: {what}")
        self.what = what


def warn_damaged(name: Any, damage: str, *, stacklevel: int = 1) -> None:
    """Warns DamagedFileWarning: the file `name` (spelled as every message of vexo spells a
    file's name) and what stopped the reading. `stacklevel` counts from the caller."""
    warning = DamagedFileWarning(f"{shown_name(name)}: {damage}")
    warning.damage = damage  # what stopped the reading, for callers that say it their way
    warnings.warn(warning, stacklevel=stacklevel + 1)
