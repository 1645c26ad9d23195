"""The echoes of a file a block at a time: vexo.echo_blocks, for files whose table of echoes is
larger than the memory it may take."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Iterator, Optional

from vexo._directions.chunks import echo_chunks
from vexo._directions.echoes import (
    COLUMNS,
    PRIOR,
    RESIDUAL_LIMIT,
    SIGNIFICANCE,
    THRESHOLD_DB,
    attributes,
    opened,
    settings,
)
from vexo._directions.fit import DirectionFit
from vexo._directions.layout import LayoutLike
from vexo._reading.file import Source
from vexo._reading.selection import Selection, Values

if TYPE_CHECKING:
    import pandas as pd


def echo_blocks(
    source: Source,
    *,
    layout: LayoutLike,
    selection: Optional[Selection] = None,
    threshold_db: float = THRESHOLD_DB,
    significance: float = SIGNIFICANCE,
    residual_limit: Optional[float] = RESIDUAL_LIMIT,
    prior: Optional[str] = PRIOR,
    frequency: Values = None,
    height: Values = None,
    polarization: Values = None,
    antenna: Values = None,
    records: Any = None,
    threads: Optional[int] = None,
) -> Iterator["pd.DataFrame"]:
    """The echoes of a DFT file as vexo.echoes finds them, a block of rows at a time.

    Each block is a pandas.DataFrame of vexo.echoes' columns (and attrs): the echoes of up to
    2048 records, in the file's order; one after another they are vexo.echoes' table, row for
    row. However large the file, no more than threads + 1 blocks are held at once: write each
    where it goes (a Parquet file, a database) before taking the next.

    Parameters
    ----------
    source, layout, selection, threshold_db, significance, residual_limit, prior
        As vexo.echoes takes them.
    frequency, height, polarization, antenna, records
        The keywords of vexo.Selection, as vexo.echoes takes them.
    threads : int, optional
        As vexo.echoes takes it.

    Returns
    -------
    iterator of pandas.DataFrame
        Blocks with at least one row each. The file is opened, the options checked and the
        damage warned of when it is called; the echoes are found as the blocks are taken.

    Raises
    ------
    ValueError, OSError
        As vexo.echoes raises them (those about the records while the blocks are taken).

    Examples
    --------
    >>> import vexo
    >>> path, layout = "examples/drift.dft", "examples/drift-layout.toml"
    >>> rows = sum(len(block) for block in vexo.echo_blocks(path, layout=layout))
    >>> rows == len(vexo.echoes(path, layout=layout))
    True
    """
    import pandas as pd

    chosen = settings(threshold_db, significance, residual_limit, prior)
    keywords = dict(frequency=frequency, height=height, polarization=polarization,
                    antenna=antenna, records=records)
    index, layout = opened(source, layout, selection, keywords, stacklevel=2)
    fit = DirectionFit(layout)
    found = echo_chunks(index, index.asked(taking=True), layout, chosen, fit, threads=threads)

    def blocks() -> Iterator[pd.DataFrame]:
        for columns in found:
            table = pd.DataFrame({name: columns[name] for name in COLUMNS}, copy=False)
            table.attrs.update(attributes(chosen))
            yield table

    return blocks()
