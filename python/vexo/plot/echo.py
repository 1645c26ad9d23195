"""The echo picture: height against time at one frequency, coloured by the strongest amplitude.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, List, Optional, Tuple, cast

import numpy as np

from vexo._reading.selection import Selection
from vexo.plot._choices import (
    Antenna,
    ChoiceError,
    PictureData,
    antenna_text,
    check_antenna,
    choose,
    ranges,
)
from vexo.plot._docs import returns, shared, size_and_ax
from vexo.plot._figure import (
    SIZES,
    Size,
    canvas,
    edges,
    figure_size,
    finish,
    time_axis,
    title,
    when,
)
from vexo.plot._strengths import Strengths, strengths

if TYPE_CHECKING:
    import xarray as xr
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

Cells = Tuple[int, int]  # the most columns (times) and rows (heights) of the image

_PARAMETERS = """
sources : path, binary file object, vexo.File or xarray.Dataset, or an iterable of them
    One or an iterable of paths, file objects, Files or datasets of vexo.read (with
    amplitude_db), each read in turn.
frequency : float, optional
    The sounding frequency (kHz). Default: the frequency of the strongest amplitude of
    the records that have a time (of polarization `polarization` when given).
polarization : int, optional
    Default: the stronger at that frequency.
antenna : int or "mean", optional
    Default: the strongest of every antenna. "mean": the mean of antennas 1 to 4 first;
    a number: that antenna. Records without it are left out and counted in the choices.
selection : vexo.Selection, optional
    What to read of each path or file object (records, heights, ...), before the
    choices above are made among it; datasets and Files are drawn as they are.
name : str, optional
    The name in the title and messages. Default: the file's name without its folders,
    or "N files (FIRST to LAST)".
"""

_RAISES = """
ChoiceError
    When no record has a subblock (with the antenna asked for) or a valid time, or the
    records have no such frequency or polarization.
TypeError
    When polarization or antenna is not a whole number, or a source is none of the above.
ValueError
    When no file is given, for an antenna that is neither a number nor "mean", or a
    dataset without amplitude_db.
"""

_WARNS = """
DamagedFileWarning
    For each damaged file, whose good records are drawn.
"""


@dataclass
class Grid:
    """The cells of the echo's image as drawn: the edges of its columns (seconds since 1970)
    and rows (km), and the image with a column left empty in each gap between records."""

    x_edges: np.ndarray
    y_edges: np.ndarray
    image: np.ndarray


def cells_for(size: Size) -> Cells:
    """The most columns and rows of the image of a picture of this size: about its pixels."""
    return max(size[0] - 250, 50), max(size[1] - 150, 50)


def _binned(values: np.ndarray, most: int,
            always: bool = False) -> Tuple[np.ndarray, np.ndarray, bool]:
    """Sorted distinct values as cells (their centres, each value's cell), or, past `most` of
    them (or always), `most` equal bins over their range."""
    distinct, index = np.unique(values, return_inverse=True)
    if len(distinct) <= most and not (always and len(distinct) > 1):
        return distinct, index.reshape(-1), False
    low, high = float(distinct[0]), float(distinct[-1])
    width = (high - low) / most
    index = np.minimum(((values - low) / width).astype(np.int64), most - 1)
    return low + width * (np.arange(most) + 0.5), index, True


def _record_columns(times: np.ndarray, image: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Column edges (seconds) for records at sorted times, each a column as wide as the usual
    spacing at most, the gaps between them columns of their own left empty; and the image
    with the gap columns."""
    steps = np.diff(times)
    usual = float(np.median(steps)) if len(steps) else 1.0
    before = np.minimum(np.concatenate([[usual], steps]), usual) / 2
    after = np.minimum(np.concatenate([steps, [usual]]), usual) / 2
    edges = np.empty(2 * len(times))
    edges[0::2], edges[1::2] = times - before, times + after
    wide = np.full((image.shape[0], len(edges) - 1), np.nan, dtype=np.float32)
    wide[:, 0::2] = image
    return edges, wide


def _entries(got: Strengths, label: str, antenna: Antenna,
             choices: List[str]) -> Tuple[np.ndarray, ...]:
    """time, frequency, polarization, height and strongest dB of the entries that have a
    time; the first choices (the antenna, records left out)."""
    if antenna is None:
        choices.append("the strongest of every antenna")
    if got.without_antenna:
        choices.append(f"{got.without_antenna} record{'s' if got.without_antenna != 1 else ''}"
                       f" without {antenna_text(antenna)} left out")
    damaged = bool(got.damage)
    if not got.parts:
        have = f"; the records have antennas {ranges(got.antennas)}" if (
            got.without_antenna) else ""
        raise ChoiceError(f"{label}: no record with a subblock"
                          + (f" and {antenna_text(antenna)}{have}" if have else ""), damaged)
    columns = got.flat()
    dated = ~np.isnat(columns[0])
    if not dated.all():
        choices.append("records without a valid time left out")
    if not dated.any():
        raise ChoiceError(f"{label}: no record has a valid time", damaged)
    return tuple(a[dated] for a in columns)


def _image(seconds: np.ndarray, height: np.ndarray, strongest: np.ndarray, cells: Cells,
           choices: List[str]) -> Tuple[np.ndarray, np.ndarray, np.ndarray, Grid]:
    """The image (height, time) of the strongest values, its column centres (seconds) and
    row centres (km), and its grid."""
    most_columns, most_rows = cells
    columns, column_of, binned_time = _binned(seconds, most_columns)
    if not binned_time and len(columns) > 1 and (
            np.diff(columns).min() < (columns[-1] - columns[0]) / most_columns):
        # a column per record would be narrower than a pixel somewhere: bins
        columns, column_of, binned_time = _binned(seconds, most_columns, always=True)
    rows, row_of, binned_height = _binned(height, most_rows)
    image = np.full((len(rows), len(columns)), np.nan, dtype=np.float32)
    np.fmax.at(image, (row_of, column_of), strongest.astype(np.float32))
    if binned_time:
        width = columns[1] - columns[0]
        choices.append(f"times in {len(columns)} columns of {width:.3g} s (the strongest of "
                       "each)")
        x_edges, wide = np.append(columns - width / 2, columns[-1] + width / 2), image
    else:
        x_edges, wide = _record_columns(columns, image)
    if binned_height:
        step = rows[1] - rows[0]
        choices.append(f"heights in {len(rows)} rows of {step:.3g} km (the strongest of each)")
        y_edges = np.append(rows - step / 2, rows[-1] + step / 2)
    else:
        y_edges = edges(rows, 10.0)
    return image, columns, rows, Grid(x_edges, y_edges, wide)


def _echo(sources: Any, frequency: Optional[float], polarization: Optional[int],
          antenna: Antenna, selection: Optional[Selection], name: Optional[str],
          cells: Any) -> Tuple[PictureData, Grid]:
    """The data step of the echo, with the grid its picture is drawn on."""
    import xarray as xr

    antenna = check_antenna(antenna)
    cells = _checked_cells(cells)
    got = strengths(sources, antenna, selection, stacklevel=3)
    label = name or (got.names[0] if len(got.names) == 1 else
                     f"{len(got.names)} files ({got.names[0]} to {got.names[-1]})")
    choices: List[str] = []
    time, freq, pol, height, strongest = _entries(got, label, antenna, choices)
    take = choose(label, "the records", freq, pol, strongest, frequency, polarization,
                  choices)
    image, columns, rows, grid = _image(time[take].astype(np.int64).astype(np.float64),
                                        height[take].astype(np.float64), strongest[take],
                                        cells, choices)
    data = xr.DataArray(
        image, dims=("height", "time"),
        coords={"height": ("height", rows.astype(np.float32), {"units": "km"}),
                "time": np.round(columns).astype(np.int64).astype("datetime64[s]")},
        name="strongest_amplitude_db",
        attrs={"units": "dB", "long_name": "strongest amplitude of the subblock",
               "file": label, "files": list(got.names), "frequency": float(freq[take][0]),
               "polarization": int(pol[take][0]), "antenna": antenna_text(antenna)})
    return PictureData(data, choices), grid


def _checked_cells(cells: Any) -> Cells:
    """cells as two ints, each at least 1; by default those of the default size."""
    if cells is None:
        return cells_for(SIZES["echo"])
    try:
        columns, rows = (int(n) if isinstance(n, (int, np.integer)) and
                         not isinstance(n, (bool, np.bool_)) and n >= 1 else None
                         for n in cells)
    except (TypeError, ValueError):
        columns = rows = None
    if columns is None or rows is None:
        raise ValueError(f"cells: {cells!r} is not a number of columns and one of rows, each "
                         "at least 1")
    return columns, rows


@shared(parameters=_PARAMETERS, raises=_RAISES, warns=_WARNS)
def echo_data(sources: Any, *, frequency: Optional[float] = None,
              polarization: Optional[int] = None, antenna: Antenna = None,
              selection: Optional[Selection] = None, name: Optional[str] = None,
              cells: Optional[Cells] = None) -> PictureData:
    """What vexo.plot.echo draws, without drawing: over the records of one or more files, the
    strongest amplitude (dB) of each subblock at one sounding frequency, of height against
    time.

    Where several subblocks of a record share a height, the strongest counts. Records without
    a valid time are left out. Where there are more times or heights than `cells`, they are
    put into that many equal bins, the strongest of each (so that every record shows).

    Parameters
    ----------
    {parameters}
    cells : (int, int), optional
        The most columns (times) and rows (heights) of the image. Default: those of the
        picture of the default size. vexo.plot.echo makes them about the pixels it draws on.

    Returns
    -------
    PictureData
        data is an xarray.DataArray (height, time) of the strongest amplitude in dB, NaN
        where no record is, whose attributes give the files, frequency, polarization and
        antenna; choices says what was chosen for the caller.

    Raises
    ------
    {raises}
        Also for cells that are not two whole numbers from 1.

    Warns
    -----
    {warns}

    Examples
    --------
    >>> import vexo.plot
    >>> data, choices = vexo.plot.echo_data("examples/example.dft", cells=(3, 50))
    >>> data.sizes["time"], choices[-1]
    (3, 'times in 3 columns of 1.67 s (the strongest of each)')
    """
    return _echo(sources, frequency, polarization, antenna, selection, name, cells)[0]


def draw(ax: "Axes", data: "xr.DataArray", grid: Grid) -> None:
    """Draws the data of the echo on its grid into ax, with a colour bar beside it."""
    from matplotlib import dates

    a, times = data.attrs, data.time.values
    epoch = dates.date2num(np.datetime64(0, "s"))
    mesh = ax.pcolormesh(epoch + grid.x_edges / 86400.0, grid.y_edges, grid.image,
                         shading="flat", cmap="viridis")
    time_axis(ax)
    ax.figure.colorbar(mesh, ax=ax, label="strongest amplitude (dB)")
    ax.set_ylabel("height (km)")
    ax.set_title(title(f"{a['file']}: {when(times[0])} to {when(times[-1])}\n"
                       f"{a['frequency']:g} kHz, polarization {a['polarization']}, "
                       f"{a['antenna']}"))


@shared(parameters=_PARAMETERS, raises=_RAISES, warns=_WARNS,
        returns=returns("echo", "an xarray.DataArray (height, time) of dB"),
        size_and_ax=size_and_ax("echo", """
            ax : matplotlib.axes.Axes, optional
                Draw into this Axes (with the colour bar beside it) instead of on a figure of
                its own; times and heights are binned to its pixels.
            """))
def echo(sources: Any, *, frequency: Optional[float] = None,
         polarization: Optional[int] = None, antenna: Antenna = None,
         selection: Optional[Selection] = None, name: Optional[str] = None,
         size: Optional[Size] = None, ax: Optional["Axes"] = None) -> "Figure":
    """The echo over the records of one or more files: height against time (UTC, to the
    second where the records are seconds apart), coloured by the strongest amplitude (dB) of
    each subblock at one sounding frequency.

    Where several subblocks of a record share a height, the strongest counts. Records without
    a valid time are left out. Where there are more times or heights than the picture has
    pixels, they are put into equal bins (the strongest of each), so that every record shows.

    Parameters
    ----------
    {parameters}
    {size_and_ax}

    Returns
    -------
    {returns}

    Raises
    ------
    {raises}
        Also for a size out of range or given with ax.

    Warns
    -----
    {warns}

    Examples
    --------
    >>> import vexo.plot
    >>> fig = vexo.plot.echo("examples/example.dft", frequency=3200)
    >>> fig.vexo_data.dims, fig.vexo_data.attrs["frequency"]
    (('height', 'time'), 3200.0)
    >>> fig = vexo.plot.echo(["examples/example.dft", vexo.read("examples/example.dft")],
    ...                      antenna="mean")
    >>> fig.vexo_data.attrs["files"]
    ['example.dft', 'example.dft']
    """
    fig, (axes,) = canvas("echo", size, ax)
    cells = (cells_for(figure_size("echo", size)) if ax is None else
             (max(int(axes.bbox.width), 50), max(int(axes.bbox.height), 50)))
    picked, grid = _echo(sources, frequency, polarization, antenna, selection, name, cells)
    draw(axes, cast("xr.DataArray", picked.data), grid)
    return finish(fig, picked)
