"""The echo picture: height against time at one frequency, coloured by the strongest amplitude.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, List, Optional, Tuple

import numpy as np

from vexo._errors import warn_damaged
from vexo._reading.file import File
from vexo._reading.index import FileIndex, entry_times
from vexo._reading.parts import antenna_numbers, read_part
from vexo._reading.selection import Selection

if TYPE_CHECKING:
    import xarray as xr
    from matplotlib.figure import Figure
from vexo.plot._choices import (
    Antenna,
    ChoiceError,
    _antenna_text,
    _check_antenna,
    _choose,
    _ranges,
    _spectra,
)
from vexo.plot._figure import Size, _edges, _figure, _finish, _title, _when
from vexo.plot._sources import _base_name, _is_dataset, _is_single, _source_name


@dataclass
class _Strengths:
    """The strongest amplitude at each frequency, polarization and height of each record."""

    names: List[str] = field(default_factory=list)
    parts: List[Tuple[np.ndarray, ...]] = field(default_factory=list)  # time, f, p, h, dB
    antennas: set = field(default_factory=set)
    without_antenna: int = 0  # records left out: they lack the antenna asked for
    damage: List[Tuple[str, str]] = field(default_factory=list)  # (file, what stopped it)

    def add(self, time: np.ndarray, frequency: np.ndarray, polarization: np.ndarray,
            height: np.ndarray, strongest: np.ndarray) -> None:
        """Entries of one or more records (time per entry), keeping the strongest of each
        time, frequency, polarization and height."""
        if len(time) == 0:
            return
        t = time.astype("datetime64[s]").astype(np.int64)
        f, p, h = frequency.astype(np.float64), polarization.astype(np.int64), height
        order = np.lexsort((h, p, f, t))
        t, f, p, h, s = t[order], f[order], p[order], h[order], strongest[order]
        new = np.ones(len(t), dtype=bool)
        new[1:] = (t[1:] != t[:-1]) | (f[1:] != f[:-1]) | (p[1:] != p[:-1]) | (h[1:] != h[:-1])
        start = np.flatnonzero(new)
        self.parts.append((time.astype("datetime64[s]")[order][start], f[start], p[start],
                           h[start], np.maximum.reduceat(s.astype(np.float32), start)))

    def flat(self) -> Tuple[np.ndarray, ...]:
        return tuple(np.concatenate(column) for column in zip(*self.parts))


def _mode_for(antenna: Antenna, antenna_numbers: np.ndarray) -> Optional[Antenna]:
    """The antenna mode for records with these antennas; None when they cannot give it."""
    if antenna is None:
        return "every"
    if antenna == "mean":
        return "mean" if set(range(1, 5)) <= set(antenna_numbers.tolist()) else None
    return antenna if antenna in antenna_numbers else None


def _indexed_strengths(source: Any, antenna: Antenna, out: _Strengths,
                       selection: Optional[Selection]) -> None:
    """The strongest values of a path or file object, from its index and parts of up to
    4096 records of one shape."""
    index = FileIndex.of(source, selection)
    name = _source_name(source)
    out.names.append(name)
    entries = index.asked()
    reader = index.part_reader()
    for A in np.unique(entries["A"]).tolist():
        out.antennas.update(antenna_numbers(index.selection, A))
    shape = entries["N"].astype(np.int32) * 16 + entries["A"]
    cuts = np.flatnonzero(np.diff(shape)) + 1
    for run in np.split(entries, cuts) if len(entries) else []:
        numbers = np.asarray(antenna_numbers(index.selection, int(run["A"][0])))
        mode = _mode_for(antenna, numbers)
        if mode is None or len(numbers) == 0:
            out.without_antenna += len(run)
            continue
        run = run[run["taken_subblocks"] > 0]
        for start in range(0, len(run), 4096):
            block = run[start:start + 4096]
            part = read_part(index, block, reader=reader,
                             kinds=("amplitude_db", "subblock_number", "frequency", "height",
                                    "polarization"))
            present = part.subblock_number >= 0  # (record, place): not a place left over
            strongest = _spectra(part.amplitude_db[present], numbers,
                                 None if mode == "every" else mode).max(axis=1)
            times = np.broadcast_to(entry_times(block)[:, None], present.shape)[present]
            out.add(times, part.frequency[present], part.polarization[present],
                    part.height[present], strongest)
    if index.damage:
        out.damage.append((index.name, index.damage))


def _file_strengths(source: Any, antenna: Antenna, out: _Strengths,
                    selection: Optional[Selection]) -> None:
    if not isinstance(source, File):
        _indexed_strengths(source, antenna, out, selection)
        return
    # A File of vexo.open: the records it has left, as it hands them out.
    name = _source_name(source)
    out.names.append(name)
    for rec in source:
        numbers = np.arange(1, rec.antennas + 1)
        out.antennas.update(numbers.tolist())
        mode = _mode_for(antenna, numbers)
        if mode is None:
            out.without_antenna += 1
            continue
        if rec.subblocks == 0:
            continue
        d = rec.descriptors
        strongest = _spectra(rec.amplitude_db(), numbers,
                             None if mode == "every" else mode).max(axis=1)
        out.add(np.full(rec.subblocks, rec.time), d["frequency"], d["polarization"],
                d["height"], strongest)
    stop = source.stop
    if stop is not None and not stop.clean:
        out.damage.append((name, stop.message))


def _dataset_strengths(ds: "xr.Dataset", antenna: Antenna, out: _Strengths) -> None:
    if "amplitude_db" not in ds:
        raise ValueError("the dataset has no amplitude_db: read it with convert=True")
    out.names.append(_base_name(ds.attrs.get("source", "dataset")))
    numbers = ds.antenna.values.astype(int)
    out.antennas.update(numbers.tolist())
    mode = _mode_for(antenna, numbers)
    if mode is None:
        out.without_antenna += ds.sizes["record"]
        return
    if ds.sizes["record"] == 0:
        return
    present = ds.subblock_number.values >= 0  # (record, subblock)
    strongest = _spectra(ds.amplitude_db.values[present], numbers,
                         None if mode == "every" else mode).max(axis=1)
    times = np.broadcast_to(ds.time.values[:, None], present.shape)[present]
    out.add(times, ds.frequency.values[present], ds.polarization.values[present],
            ds.height.values[present], strongest)


def _cells(values: np.ndarray, most: int,
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


def echo(sources: Any, *, frequency: Optional[float] = None,
         polarization: Optional[int] = None, antenna: Antenna = None,
         selection: Optional[Selection] = None, name: Optional[str] = None,
         size: Size = (1200, 600)) -> "Figure":
    """The echo over the records of one or more files: height against time, coloured by the
    strongest amplitude (dB) of each subblock at one sounding frequency.

    Where several subblocks of a record share a height, the strongest counts. Records without
    a valid time are left out. Where there are more times or heights than the picture has
    pixels, they are put into equal bins (the strongest of each), so that every record shows.

    Parameters
    ----------
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
        a number: that antenna. Records without it are left out and counted in
        fig.vexo_choices.
    selection : vexo.Selection, optional
        What to read of each path or file object (records, heights, ...), before the
        choices above are made among it; datasets and Files are drawn as they are.
    name : str, optional
        The name in the title and messages. Default: the file's name without its folders,
        or "N files (FIRST to LAST)".
    size : (int, int), default (1200, 600)
        Width and height in pixels: 200 to 20000 wide, 150 to 20000 high.

    Returns
    -------
    matplotlib.figure.Figure
        fig.vexo_data is the image drawn, an xarray.DataArray (height, time) of the strongest
        amplitude in dB, NaN where no record is, whose attributes give the files, frequency,
        polarization and antenna; fig.vexo_choices says what was chosen for the caller.

    Raises
    ------
    ChoiceError
        When no record has a subblock (with the antenna asked for) or a valid time, or the
        records have no such frequency or polarization.
    TypeError
        When polarization or antenna is not a whole number.
    ValueError
        When no file is given, for an antenna that is neither a number nor "mean", a size
        out of range, or a dataset without amplitude_db.

    Warns
    -----
    DamagedFileWarning
        For each damaged file, whose good records are drawn.

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
    import xarray as xr
    from matplotlib import dates

    antenna = _check_antenna(antenna)
    sources = [sources] if _is_single(sources) else list(sources)
    if not sources:
        raise ValueError("echo: no file given")
    _figure(size)  # the size is checked before anything is read
    got = _Strengths()
    for source in sources:
        if _is_dataset(source):
            _dataset_strengths(source, antenna, got)
        else:
            _file_strengths(source, antenna, got, selection)
    for damaged_name, damage in got.damage:
        warn_damaged(damaged_name, damage, stacklevel=2)
    label = name or (got.names[0] if len(got.names) == 1 else
                     f"{len(got.names)} files ({got.names[0]} to {got.names[-1]})")
    choices: List[str] = ["the strongest of every antenna"] if antenna is None else []
    if got.without_antenna:
        choices.append(f"{got.without_antenna} record{'s' if got.without_antenna != 1 else ''}"
                       f" without {_antenna_text(antenna)} left out")
    damaged = bool(got.damage)
    if not got.parts:
        have = f"; the records have antennas {_ranges(got.antennas)}" if (
            got.without_antenna) else ""
        raise ChoiceError(f"{label}: no record with a subblock"
                          + (f" and {_antenna_text(antenna)}{have}" if have else ""), damaged)
    time, freq, pol, height, strongest = got.flat()
    dated = ~np.isnat(time)
    if not dated.all():
        choices.append("records without a valid time left out")
    if not dated.any():
        raise ChoiceError(f"{label}: no record has a valid time", damaged)
    time, freq, pol, height, strongest = (a[dated] for a in (time, freq, pol, height, strongest))
    take = _choose(label, "the records", freq, pol, strongest, frequency, polarization,
                   choices)
    chosen_frequency, chosen_polarization = float(freq[take][0]), int(pol[take][0])
    seconds = time[take].astype(np.int64).astype(np.float64)
    most_columns, most_rows = max(size[0] - 250, 50), max(size[1] - 150, 50)
    columns, column_of, binned_time = _cells(seconds, most_columns)
    if not binned_time and len(columns) > 1 and (
            np.diff(columns).min() < (columns[-1] - columns[0]) / most_columns):
        # a column per record would be narrower than a pixel somewhere: bins
        columns, column_of, binned_time = _cells(seconds, most_columns, always=True)
    rows, row_of, binned_height = _cells(height[take].astype(np.float64), most_rows)
    image = np.full((len(rows), len(columns)), np.nan, dtype=np.float32)
    np.fmax.at(image, (row_of, column_of), strongest[take].astype(np.float32))
    if binned_time:
        choices.append(f"times in {len(columns)} columns of "
                       f"{(columns[1] - columns[0]):.3g} s (the strongest of each)")
    if binned_height:
        choices.append(f"heights in {len(rows)} rows of {(rows[1] - rows[0]):.3g} km "
                       "(the strongest of each)")
    centres = (np.round(columns).astype(np.int64)).astype("datetime64[s]")

    data = xr.DataArray(
        image, dims=("height", "time"),
        coords={"height": ("height", rows.astype(np.float32), {"units": "km"}),
                "time": centres},
        name="strongest_amplitude_db",
        attrs={"units": "dB", "long_name": "strongest amplitude of the subblock",
               "file": label, "files": list(got.names), "frequency": chosen_frequency,
               "polarization": chosen_polarization, "antenna": _antenna_text(antenna)})

    fig, (ax,) = _figure(size)
    if binned_time:
        width = columns[1] - columns[0]
        x_edges = np.append(columns - width / 2, columns[-1] + width / 2)
        wide = image
    else:
        x_edges, wide = _record_columns(columns, image)
    y_edges = (np.append(rows - (rows[1] - rows[0]) / 2, rows[-1] + (rows[1] - rows[0]) / 2)
               if binned_height else _edges(rows, 10.0))
    epoch = dates.date2num(np.datetime64(0, "s"))
    mesh = ax.pcolormesh(epoch + x_edges / 86400.0, y_edges, wide, shading="flat",
                         cmap="viridis")
    locator = dates.AutoDateLocator()
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(dates.ConciseDateFormatter(locator))
    fig.colorbar(mesh, ax=ax, label="strongest amplitude (dB)")
    ax.set_xlabel("time")
    ax.set_ylabel("height (km)")
    ax.set_title(_title(f"{label}: {_when(centres[0])} to {_when(centres[-1])}\n"
                        f"{chosen_frequency:g} kHz, polarization {chosen_polarization}, "
                        f"{_antenna_text(antenna)}"))
    return _finish(fig, data, choices)


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
