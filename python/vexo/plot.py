"""Quick-look pictures of a sounding: a spectrum against height, the phases of the antennas
with and without the antenna correction, the echo over time, and the sky map of where the
echoes come from.

    import vexo, vexo.plot
    fig = vexo.plot.spectrum("day342.dft")                 # first record, strongest frequency
    fig = vexo.plot.phases("day342.dft", record=3)
    fig = vexo.plot.echo(["day342.dft", "day343.dft"], frequency=3200)
    fig = vexo.plot.skymap("day342.dft", layout="layout.toml", window=300)
    fig.savefig("echo.png")

Each function draws on a matplotlib Figure of its own (no screen, no pyplot state) and
returns it. The figure carries what it shows: `fig.vexo_data`, an xarray.DataArray of the
values drawn, with coordinates and units, and `fig.vexo_choices`, one phrase for each choice
made for the caller ("3200 kHz (the strongest frequency)"). A choice the data cannot meet
raises ChoiceError, whose message names what the data has.
"""

from __future__ import annotations

import math
import os
import warnings
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Iterable, List, Optional, Tuple, Union, cast

import numpy as np

from vexo._errors import DamagedFileWarning
from vexo._file import File, Record
from vexo._file import open as open_file
from vexo._index import FileIndex, antenna_numbers, entry_times, read_part
from vexo._names import shown_name
from vexo._selection import Selection

if TYPE_CHECKING:
    import xarray as xr
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure
    from matplotlib.projections.polar import PolarAxes

Antenna = Union[int, str, None]
Size = Tuple[int, int]
DPI = 100

__all__ = ["ChoiceError", "echo", "phases", "skymap", "spectrum"]


class ChoiceError(ValueError):
    """A record, frequency, polarization, antenna or subblock that the data does not have.

    The message names what the data has. A ValueError.

    Parameters
    ----------
    message : str
        The one line that says so.
    damaged : bool, default False
        The data ends early because the file is damaged.

    Attributes
    ----------
    damaged : bool
        True when the data ends early because the file is damaged.

    Examples
    --------
    >>> import vexo.plot
    >>> try:
    ...     vexo.plot.spectrum("examples/example.dft", frequency=3000)
    ... except vexo.plot.ChoiceError as error:
    ...     problem = error
    >>> print(problem)
    example.dft: no subblock at 3000 kHz in record 1; it has 2500, 3200, 4100, 5600 kHz
    >>> problem.damaged
    False
    """

    def __init__(self, message: str, damaged: bool = False) -> None:
        super().__init__(message)
        self.damaged = damaged


# ---------------------------------------------------------------------------------------------
# Names


def _base_name(name: Any) -> str:
    text = shown_name(name)
    return os.path.basename(text) or text


def _title(text: str) -> str:
    """Text that matplotlib draws as it is (a $ would start mathematics)."""
    return text.replace("$", r"\$")


def _source_name(source: Any) -> str:
    if isinstance(source, File):
        return _base_name(source.name)
    if isinstance(source, (str, bytes, os.PathLike)):
        return _base_name(source)
    return _base_name(getattr(source, "name", "file object"))


def _is_dataset(source: Any) -> bool:
    return hasattr(source, "data_vars") and "record" in getattr(source, "dims", {})


def _is_single(source: Any) -> bool:
    return (isinstance(source, (str, bytes, os.PathLike, File, Record)) or _is_dataset(source)
            or hasattr(source, "read"))


def _whole(name: str, value: Any, low: int) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name}: expected a whole number, not {value!r}")
    if value < low:
        raise ChoiceError(f"{name}: {value}: numbered from {low}")
    return int(value)


# ---------------------------------------------------------------------------------------------
# One record, from a Record, a File, a path or file object, or a dataset of vexo.read


@dataclass
class _Snapshot:
    """What the pictures need of one record."""

    name: str
    number: int
    time: np.datetime64
    frequency: np.ndarray  # per subblock, kHz
    height: np.ndarray  # per subblock, km
    polarization: np.ndarray  # per subblock
    subblock_number: np.ndarray  # per subblock, from 0
    antenna_numbers: np.ndarray  # from 1
    amplitude_db: np.ndarray  # (subblocks, antennas, lines)
    line_spacing: Optional[float]
    record: Optional[Record] = None  # for the phases


def _from_record(rec: Record, name: str) -> _Snapshot:
    d = rec.descriptors
    return _Snapshot(
        name, rec.number, rec.time, d["frequency"], d["height"], d["polarization"],
        np.arange(rec.subblocks), np.arange(1, rec.antennas + 1), rec.amplitude_db(),
        rec.line_spacing, rec)


def _from_dataset(ds: "xr.Dataset", number: Optional[int], name: Optional[str],
                  choices: List[str]) -> _Snapshot:
    if "amplitude_db" not in ds:
        raise ValueError("the dataset has no amplitude_db: read it with convert=True")
    name = name or _base_name(ds.attrs.get("source", "dataset"))
    numbers = ds.record.values
    if len(numbers) == 0:
        raise ChoiceError(f"{name}: the dataset has no record")
    if number is None:
        number = int(numbers[0])
        choices.append(f"record {number} (the first)")
    elif number not in numbers:
        raise ChoiceError(f"{name}: no record {number} in the dataset; it has records "
                          f"{_ranges(numbers)}")
    one = ds.sel(record=number)
    present = one.subblock_number.values >= 0
    spacing = float(one.line_spacing)
    return _Snapshot(
        name, number, one.time.values.astype("datetime64[s]"),
        one.frequency.values[present], one.height.values[present],
        one.polarization.values[present], one.subblock_number.values[present],
        one.antenna.values.astype(int), one.amplitude_db.values[present],
        spacing if np.isfinite(spacing) else None)


def _ranges(numbers: Iterable[int]) -> str:
    """1, 2, 3, 5 -> "1 to 3, 5"."""
    out: List[str] = []
    values = sorted(int(n) for n in numbers)
    start = prev = values[0]
    for n in values[1:] + [None]:  # type: ignore[list-item]
        if n is not None and n == prev + 1:
            prev = n
            continue
        out.append(f"{start}" if start == prev else f"{start} to {prev}")
        if n is not None:
            start = prev = n
    return ", ".join(out)


def _first_text(number: int) -> str:
    return f"record {number} (the first" + (")" if number == 1 else " with a subblock)")


def _from_index(source: Any, record: Optional[int], name: Optional[str],
                choices: List[str]) -> _Snapshot:
    """The record from the file's index and a part of that one record."""
    index = FileIndex.of(source, None if record is None else Selection(records=record))
    name = name or _source_name(source)
    entries = index.entries
    damage = f" ({index.stop.message})" if index.damage else ""
    if record is None:
        with_subblocks = np.flatnonzero(entries["subblock_count"] > 0)
        if len(with_subblocks) == 0:
            if len(entries) == 0:
                raise ChoiceError(f"{name}: the file has no record{damage}", bool(damage))
            raise ChoiceError(f"{name}: no record has a subblock (records 1 to "
                              f"{len(entries)}){damage}", bool(damage))
        at = int(with_subblocks[0])
        choices.append(_first_text(int(entries["number"][at])))
    else:
        if record > len(entries):
            if len(entries) == 0:
                raise ChoiceError(f"{name}: the file has no record{damage}", bool(damage))
            raise ChoiceError(f"{name}: record {record} is beyond the end; the file has "
                              f"records 1 to {len(entries)}{damage}", bool(damage))
        at = record - 1  # the index holds every record from the first on
    one = entries[at:at + 1]
    part = read_part(index, one, int(one["subblock_count"][0]),
                     kinds=("amplitude_db", "subblock_number", "frequency", "height",
                            "polarization"))
    spacing = float(one["line_spacing"][0])
    return _Snapshot(
        name, int(one["number"][0]), entry_times(one)[0], part.frequency[0], part.height[0],
        part.polarization[0], part.subblock_number[0], np.asarray(part.antennas),
        part.amplitude_db[0], spacing if np.isfinite(spacing) else None)


def _snapshot(source: Any, record: Optional[int], name: Optional[str],
              choices: List[str], need_record: bool = False) -> _Snapshot:
    """The record asked for; by default the first record that has a subblock. need_record:
    the snapshot holds the Record itself (for both corrections of the phases)."""
    if record is not None:
        record = _whole("record", record, 1)
    if isinstance(source, Record):
        if record is not None and record != source.number:
            raise ValueError(f"record={record} given with record {source.number}")
        return _from_record(source, name or "record")
    if _is_dataset(source):
        return _from_dataset(source, record, name, choices)
    if not need_record and not isinstance(source, File):
        return _from_index(source, record, name, choices)
    own = not isinstance(source, File)
    f = open_file(source) if own else source
    name = name or _source_name(f)
    try:
        first = last = 0
        for rec in f:
            first, last = first or rec.number, rec.number
            if record is None and rec.subblocks > 0:
                choices.append(_first_text(rec.number))
                return _from_record(rec, name)
            if record is not None and rec.number >= record:
                if rec.number == record:
                    return _from_record(rec, name)
                break
        stop = f.stop
        damaged = stop is not None and not stop.clean
        damage = f" ({stop.message})" if stop is not None and damaged else ""
        if record is not None and first > record:
            raise ChoiceError(f"{name}: record {record} was read from the file before; "
                              f"records {first} to {last} were left")
        if last == 0:
            raise ChoiceError(f"{name}: the file has no record{damage}", damaged)
        if record is None:
            raise ChoiceError(f"{name}: no record has a subblock (records 1 to "
                              f"{last}){damage}", damaged)
        raise ChoiceError(f"{name}: record {record} is beyond the end; the file has records "
                          f"{first} to {last}{damage}", damaged)
    finally:
        if own:
            f.close()


# ---------------------------------------------------------------------------------------------
# Choices


def _kilohertz(values: Iterable[float]) -> str:
    return ", ".join(f"{v:g}" for v in sorted(set(float(x) for x in values))) + " kHz"


def _listed(values: Iterable[Any]) -> str:
    return ", ".join(str(v) for v in sorted(set(int(x) for x in values)))


def _choose(name: str, where: str, frequency: np.ndarray, polarization: np.ndarray,
            strength: np.ndarray, want_frequency: Optional[float],
            want_polarization: Optional[int], choices: List[str]) -> np.ndarray:
    """The subblocks of the frequency and polarization asked for, or of the strongest among
    those asked for; appends what was chosen to choices."""
    known = np.isfinite(frequency)
    if not known.any():
        raise ChoiceError(f"{name}: {where} has no subblock")
    if want_polarization is not None:
        want_polarization = _whole("polarization", want_polarization, 0)
        if not np.any(polarization[known] == want_polarization):
            raise ChoiceError(f"{name}: no subblock with polarization {want_polarization} in "
                              f"{where}; it has polarization {_listed(polarization[known])}")
    if want_frequency is None:
        pool = known if want_polarization is None else known & (polarization == want_polarization)
        top = np.max(strength[pool])
        want_frequency = float(np.min(frequency[pool & (strength == top)]))
        choices.append(f"{want_frequency:g} kHz (the strongest frequency)")
    elif not np.any(frequency == want_frequency):
        raise ChoiceError(f"{name}: no subblock at {want_frequency:g} kHz in {where}; it has "
                          f"{_kilohertz(frequency[known])}")
    at = frequency == want_frequency
    if want_polarization is None:
        pols = np.unique(polarization[at])
        if len(pols) > 1:
            top = np.max(strength[at])
            want_polarization = int(np.min(polarization[at & (strength == top)]))
            choices.append(f"polarization {want_polarization} (the stronger)")
        else:
            want_polarization = int(pols[0])
    elif not np.any(at & (polarization == want_polarization)):
        raise ChoiceError(
            f"{name}: no subblock at {want_frequency:g} kHz with polarization "
            f"{want_polarization} in {where}; it has polarization "
            f"{_listed(polarization[at])} there")
    return at & (polarization == want_polarization)


def _check_antenna(antenna: Antenna) -> Antenna:
    if antenna is None or antenna == "mean":
        return antenna
    if isinstance(antenna, str):
        raise ValueError(f"antenna: {antenna!r} is neither an antenna number nor 'mean'")
    return _whole("antenna", antenna, 1)


def _antenna_mode(name: str, antenna: Antenna, antenna_numbers: np.ndarray,
                  choices: List[str]) -> Antenna:
    """"mean" (antennas 1 to 4) or an antenna number; by default the mean where antennas 1
    to 4 are there, else the first antenna."""
    have = f"antennas {_ranges(antenna_numbers)}" if len(antenna_numbers) else "no antenna"
    four = set(range(1, 5)) <= set(antenna_numbers.tolist())
    if antenna is None:
        if four:
            choices.append("the mean of antennas 1 to 4")
            return "mean"
        choices.append(f"antenna {antenna_numbers[0]} (the record has {have})")
        return int(antenna_numbers[0])
    if antenna == "mean":
        if not four:
            raise ChoiceError(f"{name}: the mean takes antennas 1 to 4; the record has {have}")
        return "mean"
    if antenna not in antenna_numbers:
        raise ChoiceError(f"{name}: no antenna {antenna}; the record has {have}")
    return antenna


def _antenna_text(mode: Antenna) -> str:
    if mode is None:
        return "strongest antenna"
    return "mean of antennas 1 to 4" if mode == "mean" else f"antenna {mode}"


def _spectra(amplitude_db: np.ndarray, antenna_numbers: np.ndarray, mode: Antenna) -> np.ndarray:
    """(subblocks, lines) of dB for the antenna mode."""
    if mode == "mean":
        return amplitude_db[:, np.isin(antenna_numbers, [1, 2, 3, 4])].mean(axis=1)
    if mode is None:
        return amplitude_db.max(axis=1)
    return amplitude_db[:, list(antenna_numbers).index(mode)]


# ---------------------------------------------------------------------------------------------
# Drawing


def _check_size(size: Size) -> None:
    width: Any = None
    height: Any = None
    try:
        width, height = size
    except (TypeError, ValueError):
        pass
    if not (isinstance(width, int) and isinstance(height, int) and 200 <= width <= 20000
            and 150 <= height <= 20000):
        raise ValueError(f"size: {size!r} is not a width of 200 to 20000 and a height of 150 "
                         "to 20000 pixels")


def _figure(size: Size, columns: int = 1) -> Tuple["Figure", List["Axes"]]:
    from matplotlib.figure import Figure

    _check_size(size)
    width, height = size
    fig = Figure(figsize=(width / DPI, height / DPI), dpi=DPI, layout="constrained")
    axes = fig.subplots(1, columns, sharey=True, squeeze=False)[0]
    return fig, list(axes)


def _edges(centres: np.ndarray, lone_width: float) -> np.ndarray:
    """Cell edges half-way between sorted centres; the outer cells as wide as their neighbour."""
    if len(centres) == 1:
        return np.array([centres[0] - lone_width / 2, centres[0] + lone_width / 2])
    middle = (centres[1:] + centres[:-1]) / 2
    return np.concatenate([[2 * centres[0] - middle[0]], middle, [2 * centres[-1] - middle[-1]]])


def _when(time: np.datetime64) -> str:
    return "time unknown" if np.isnat(time) else str(time.astype("datetime64[s]")).replace("T", " ")


def _finish(fig: "Figure", data: Union["xr.DataArray", "xr.Dataset"],
            choices: List[str]) -> "Figure":
    fig.vexo_data = data  # type: ignore[attr-defined]
    fig.vexo_choices = choices  # type: ignore[attr-defined]
    return fig


# ---------------------------------------------------------------------------------------------
# The pictures


def spectrum(source: Any, *, record: Optional[int] = None, frequency: Optional[float] = None,
             polarization: Optional[int] = None, antenna: Antenna = None,
             name: Optional[str] = None, size: Size = (1000, 600)) -> "Figure":
    """Amplitude (dB) of one record at one sounding frequency as an image of height against
    spectral line.

    Where the record gives a line spacing, a top axis shows line k at (k - lines/2) times it
    (Hz). Subblocks of one height are averaged.

    Parameters
    ----------
    source : vexo.Record, vexo.File, path, binary file object or xarray.Dataset
        A Record, a File or anything vexo.open takes (its record `record`), or a dataset of
        vexo.read (its record `record`; it needs amplitude_db).
    record : int, optional
        The record's number (from 1). Default: the first that has a subblock (of a dataset,
        its first record).
    frequency : float, optional
        The sounding frequency (kHz). Default: the strongest in the record (of polarization
        `polarization` when given).
    polarization : int, optional
        Default: the stronger at that frequency.
    antenna : int or "mean", optional
        An antenna's number, or "mean" for the mean of antennas 1 to 4. Default: the mean,
        or the first antenna when antennas 1 to 4 are not all there.
    name : str, optional
        The name in the title and messages. Default: the file's name without its folders.
    size : (int, int), default (1000, 600)
        Width and height in pixels: 200 to 20000 wide, 150 to 20000 high.

    Returns
    -------
    matplotlib.figure.Figure
        fig.vexo_data is the image drawn, an xarray.DataArray (height, line) of dB whose
        attributes give the file, record, time, frequency, polarization, antenna and line
        spacing; fig.vexo_choices says what was chosen for the caller.

    Raises
    ------
    ChoiceError
        When the data has no such record, frequency, polarization or antenna.
    TypeError
        When record, polarization or antenna is not a whole number.
    ValueError
        For an antenna that is neither a number nor "mean", a size out of range, a record
        other than the Record's own, or a dataset without amplitude_db.

    Examples
    --------
    >>> import vexo.plot
    >>> fig = vexo.plot.spectrum("examples/example.dft")
    >>> fig.vexo_choices[0]
    'record 1 (the first)'
    >>> fig = vexo.plot.spectrum("examples/example.dft", record=4, frequency=3200, antenna=2)
    >>> fig.vexo_data.dims, fig.vexo_data.attrs["antenna"]
    (('height', 'line'), 'antenna 2')
    """
    import xarray as xr

    antenna = _check_antenna(antenna)
    choices: List[str] = []
    snap = _snapshot(source, record, name, choices)
    strength = snap.amplitude_db.max(axis=(1, 2)) if snap.amplitude_db.size else np.array([])
    take = _choose(snap.name, f"record {snap.number}", snap.frequency, snap.polarization,
                   strength, frequency, polarization, choices)
    mode = _antenna_mode(snap.name, antenna, snap.antenna_numbers, choices)
    chosen_frequency = float(snap.frequency[take][0])
    chosen_polarization = int(snap.polarization[take][0])
    values = _spectra(snap.amplitude_db[take], snap.antenna_numbers, mode)
    heights = snap.height[take]
    rows = np.unique(heights)
    image = np.stack([values[heights == h].mean(axis=0) for h in rows])
    lines = np.arange(image.shape[1])

    data = xr.DataArray(
        image, dims=("height", "line"),
        coords={"height": ("height", rows, {"units": "km"}), "line": lines},
        name="amplitude_db",
        attrs={"units": "dB", "long_name": "amplitude", "file": snap.name,
               "record": snap.number, "time": _when(snap.time),
               "frequency": chosen_frequency, "polarization": chosen_polarization,
               "antenna": _antenna_text(mode),
               "line_spacing": snap.line_spacing if snap.line_spacing is not None else np.nan})

    fig, (ax,) = _figure(size)
    mesh = ax.pcolormesh(_edges(lines.astype(float), 1.0), _edges(rows.astype(float), 10.0),
                         image, shading="flat", cmap="viridis")
    fig.colorbar(mesh, ax=ax, label="amplitude (dB)")
    ax.set_xlabel("spectral line")
    ax.set_ylabel("height (km)")
    ax.set_title(_title(f"{snap.name}: record {snap.number}, {_when(snap.time)}\n"
                        f"{chosen_frequency:g} kHz, polarization {chosen_polarization}, "
                        f"{_antenna_text(mode)}"))
    if snap.line_spacing is not None and snap.line_spacing > 0:
        step, centre = snap.line_spacing, len(lines) // 2
        top = ax.secondary_xaxis("top", functions=(
            lambda k: (np.asarray(k) - centre) * step, lambda f: np.asarray(f) / step + centre))
        top.set_xlabel(f"frequency offset (Hz; lines {step:.6g} Hz apart)")
    return _finish(fig, data, choices)


def _circular_spread(degrees: np.ndarray) -> float:
    """The mean over lines of the circular standard deviation (degrees) across antennas."""
    turns = np.exp(1j * np.deg2rad(degrees.astype(np.float64)))
    length = np.clip(np.abs(turns.mean(axis=0)), 1e-12, 1.0)
    return float(np.rad2deg(np.sqrt(-2 * np.log(length))).mean())


def phases(source: Any, *, record: Optional[int] = None, subblock: Optional[int] = None,
           frequency: Optional[float] = None, name: Optional[str] = None,
           size: Size = (1200, 550)) -> "Figure":
    """The phase (degrees) of each antenna against spectral line in one subblock, without and
    with the antenna correction side by side.

    Phases are drawn modulo 360 degrees; each panel's title gives the spread across antennas
    (the mean over lines of the circular standard deviation). Where the record cannot be
    corrected (no line spacing, or no rate known yet) the right panel says so.

    Parameters
    ----------
    source : vexo.Record, vexo.File, path or binary file object
        A Record, a File or anything vexo.open takes (its record `record`). Not a dataset:
        both corrections need the record itself.
    record : int, optional
        The record's number (from 1). Default: the first that has a subblock.
    subblock : int, optional
        The subblock, from 0, as the listing counts. Default: the strongest subblock, among
        those at `frequency` when it is given.
    frequency : float, optional
        The sounding frequency (kHz) the subblock is at.
    name : str, optional
        The name in the title and messages. Default: the file's name without its folders.
    size : (int, int), default (1200, 550)
        Width and height in pixels: 200 to 20000 wide, 150 to 20000 high.

    Returns
    -------
    matplotlib.figure.Figure
        fig.vexo_data is the phases drawn, an xarray.DataArray (correction, antenna, line) of
        degrees, correction False then True, whose attributes give the file, record, time,
        subblock, frequency, height, polarization, the two spreads and whether the correction
        was applied (corrected); fig.vexo_choices says what was chosen for the caller.

    Raises
    ------
    ChoiceError
        When the data has no such record or subblock, or the subblock is not at `frequency`.
    TypeError
        For a dataset, or a record or subblock that is not a whole number.
    ValueError
        For a size out of range, or a record other than the Record's own.

    Examples
    --------
    >>> import vexo.plot
    >>> fig = vexo.plot.phases("examples/example.dft", record=3)
    >>> fig.vexo_data.dims
    ('correction', 'antenna', 'line')
    >>> fig = vexo.plot.phases("examples/example.dft", subblock=5)
    >>> fig.vexo_data.attrs["subblock"]
    5
    """
    import xarray as xr

    if _is_dataset(source):
        raise TypeError("phases needs the record itself (both corrections): pass a path, "
                        "a File or a Record of vexo.open")
    choices: List[str] = []
    snap = _snapshot(source, record, name, choices, need_record=True)
    rec = snap.record
    assert rec is not None
    if rec.subblocks == 0:
        raise ChoiceError(f"{snap.name}: record {snap.number} has no subblock")
    strength = rec.amplitude_db().max(axis=(1, 2))
    if subblock is None:
        candidates = np.arange(rec.subblocks)
        if frequency is not None:
            candidates = candidates[snap.frequency == frequency]
            if len(candidates) == 0:
                raise ChoiceError(
                    f"{snap.name}: no subblock at {frequency:g} kHz in record {snap.number}; "
                    f"it has {_kilohertz(snap.frequency)}")
        subblock = int(candidates[np.argmax(strength[candidates])])
        choices.append(f"subblock {subblock} (the strongest)")
    elif not 0 <= _whole("subblock", subblock, 0) < rec.subblocks:
        raise ChoiceError(f"{snap.name}: no subblock {subblock} in record {snap.number}; it has "
                          f"subblocks 0 to {rec.subblocks - 1}")
    elif frequency is not None and snap.frequency[subblock] != frequency:
        raise ChoiceError(f"{snap.name}: subblock {subblock} of record {snap.number} is at "
                          f"{snap.frequency[subblock]:g} kHz, not {frequency:g} kHz")
    values = np.stack([rec.phase_degrees(correct=False)[subblock],
                       rec.phase_degrees(correct=True)[subblock]])
    spreads = [_circular_spread(v) for v in values]
    lines = np.arange(rec.sample_count)
    corrected = rec.line_spacing is not None and rec.rate is not None
    if not corrected:
        why = "no line spacing" if rec.line_spacing is None else "no rate known yet"
        choices.append(f"no correction: the record has {why}")
    data = xr.DataArray(
        values, dims=("correction", "antenna", "line"),
        coords={"correction": [False, True], "antenna": snap.antenna_numbers, "line": lines},
        name="phase_degrees",
        attrs={"units": "degree", "long_name": "phase", "file": snap.name,
               "record": snap.number, "time": _when(snap.time), "subblock": subblock,
               "frequency": float(snap.frequency[subblock]),
               "height": float(snap.height[subblock]),
               "polarization": int(snap.polarization[subblock]),
               "spread": spreads, "corrected": int(corrected)})

    fig, axes = _figure(size, 2)
    titles = ["without the antenna correction",
              "with the antenna correction" if corrected else
              f"with the antenna correction: not applied, {choices[-1].split(': ')[1]}"]
    for ax, panel, spread, title in zip(axes, values, spreads, titles):
        for j, number in enumerate(snap.antenna_numbers):
            ax.plot(lines, np.mod(panel[j], 360.0), marker=".", linewidth=1,
                    label=f"antenna {number}")
        ax.set_title(f"{title} (spread {spread:.1f}°)", fontsize="medium")
        ax.set_xlabel("spectral line")
        ax.set_ylim(0, 360)
        ax.set_yticks(np.arange(0, 361, 45))
        ax.grid(True, alpha=0.3)
    axes[0].set_ylabel("phase (degrees, modulo 360)")
    axes[1].legend(loc="best", fontsize="small")
    fig.suptitle(_title(
        f"{snap.name}: record {snap.number}, {_when(snap.time)}, subblock {subblock}: "
        f"{snap.frequency[subblock]:g} kHz, {snap.height[subblock]:g} km, "
        f"polarization {int(snap.polarization[subblock])}"))
    return _finish(fig, data, choices)


# ---------------------------------------------------------------------------------------------
# The echo over time


@dataclass
class _Strengths:
    """The strongest amplitude at each frequency, polarization and height of each record."""

    names: List[str] = field(default_factory=list)
    parts: List[Tuple[np.ndarray, ...]] = field(default_factory=list)  # time, f, p, h, dB
    antennas: set = field(default_factory=set)
    without_antenna: int = 0  # records left out: they lack the antenna asked for
    damage: List[str] = field(default_factory=list)

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
        out.damage.append(f"{name}: {index.damage}")


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
        out.damage.append(f"{name}: {stop.message}")


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
    for message in got.damage:
        warnings.warn(message, DamagedFileWarning, stacklevel=2)
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


# ---------------------------------------------------------------------------------------------
# The sky map of the echoes' directions

#: The columns a table of echoes needs for the sky map (those of vexo.echoes).
SKY_COLUMNS = ("record", "time", "frequency", "height", "line", "doppler", "east", "north",
               "zenith", "azimuth", "resolved")
FIRST_SEARCH = 16  # records searched at first for one with a resolved echo; then twice as many


@dataclass
class _View:
    """The echoes of the record or time window that a sky map shows."""

    name: str
    echoes: "Any"  # pandas.DataFrame: every echo in view, resolved or not
    records: List[int]
    time: np.datetime64  # the record's time, or the window's start
    window: Optional[int] = None  # nanoseconds
    damaged: bool = False


def _frequency_text(frequency: Optional[float]) -> str:
    return "every frequency" if frequency is None else f"{frequency:g} kHz"


def _window_start(name: str, number: int, time: np.datetime64, width: int) -> int:
    if np.isnat(time):
        raise ChoiceError(f"{name}: record {number} has no valid time: it lies in no window")
    nanoseconds = int(time.astype("datetime64[ns]").astype(np.int64))
    return nanoseconds // width * width


def _in_window(times: np.ndarray, start: int, width: int) -> np.ndarray:
    ns = times.astype("datetime64[ns]")
    valid = ~np.isnat(ns)
    at = np.where(valid, ns.astype(np.int64), start - 1)
    return valid & (at >= start) & (at < start + width)


def _at_frequency(table: Any, frequency: Optional[float], name: str, where: str) -> Any:
    """The echoes at the frequency; a ChoiceError naming the frequencies of those in view when
    none is there."""
    if frequency is None or not len(table):
        return table
    taken = table[table["frequency"].to_numpy(dtype=np.float64) == frequency]
    if not len(taken):
        raise ChoiceError(f"{name}: no echo at {frequency:g} kHz in {where}; its echoes are at "
                          f"{_kilohertz(table['frequency'])}")
    return taken


def _where(records: List[int], window: Optional[int]) -> str:
    if window is None:
        return f"record {records[0]}"
    return "the window" if not records else f"the window of records {_ranges(records)}"


def _file_view(source: Any, layout: Any, record: Optional[int], window: Optional[int],
               frequency: Optional[float], threshold_db: float, residual_limit: float,
               name: Optional[str], choices: List[str]) -> _View:
    """The echoes in view of a path or file object: those of one record, or of the records of
    its time window, fitted from the file's index and parts of those records alone."""
    import pandas as pd

    from vexo._echoes import DirectionFit, _checked_layout, echo_columns
    from vexo._layout import Layout

    layout = Layout.of(layout)
    one = record is not None and window is None
    index = FileIndex.of(source, Selection(records=record) if one else None)
    name = name or _source_name(source)
    entries = index.entries
    damaged = index.damage is not None
    damage = f" ({index.damage})" if damaged else ""
    if damaged:
        warnings.warn(f"{name}: {index.damage}", DamagedFileWarning, stacklevel=3)
    fit = DirectionFit(layout)
    reader = index.part_reader(True)

    def columns(some: np.ndarray) -> Any:
        try:
            _checked_layout(index, some[some["taken_subblocks"] > 0], layout)
        except ValueError as e:  # named by the file's path: by the name shown here instead
            text, full = str(e), f"{shown_name(index.name)}: "
            raise ChoiceError(f"{name}: {text[len(full):]}" if text.startswith(full) else text) \
                from None
        return pd.DataFrame(echo_columns(index, some, layout, threshold_db=threshold_db,
                                         residual_limit=residual_limit, reader=reader,
                                         fit=fit))

    if not len(entries):
        raise ChoiceError(f"{name}: the file has no record{damage}", damaged)
    found = None
    if record is not None:
        if record > len(entries):
            raise ChoiceError(f"{name}: record {record} is beyond the end; the file has "
                              f"records 1 to {len(entries)}{damage}", damaged)
    else:
        # the first record with a resolved echo (at the frequency): a few records at first,
        # then twice as many each time, so that a long file is read only as far as needed
        start, step, seen = 0, FIRST_SEARCH, set()
        while start < len(entries) and found is None:
            block = columns(entries[start:start + step])
            seen.update(block["frequency"].tolist())
            hits = block["resolved"].to_numpy(dtype=bool)
            if frequency is not None:
                hits = hits & (block["frequency"].to_numpy(dtype=np.float64) == frequency)
            if hits.any():
                record = int(block["record"].to_numpy()[np.argmax(hits)])
                found = block[block["record"] == record]
            start, step = start + step, step * 2
        if record is None:
            at = f" at {frequency:g} kHz" if frequency is not None else ""
            have = (f"; the echoes are at {_kilohertz(seen)}" if frequency is not None and seen
                    else "")
            raise ChoiceError(f"{name}: no record has a resolved echo{at} (records 1 to "
                              f"{len(entries)}){have}{damage}", damaged)
        choices.append(f"record {record} (the first with a resolved echo"
                       + (f" at {frequency:g} kHz)" if frequency is not None else ")"))
    times = entry_times(entries)
    time = times[record - 1]
    if window is None:
        view = found if found is not None else columns(entries[record - 1:record])
        where, records = f"record {record}", [record]
    else:
        start_ns = _window_start(name, record, time, window)
        inside = entries[_in_window(times, start_ns, window)]
        view = columns(inside)
        time = np.datetime64(start_ns, "ns")
        records = inside["number"].astype(int).tolist()
        where = _where(records, window)
    view = _at_frequency(view, frequency, name, where)
    return _View(name, view, records, time, window, damaged)


def _table_view(table: Any, record: Optional[int], window: Optional[int],
                frequency: Optional[float], name: Optional[str], choices: List[str]) -> _View:
    """The echoes in view of a table of vexo.echoes (or of an archive's echo rows)."""
    lacking = [c for c in SKY_COLUMNS if c not in table.columns]
    if lacking:
        raise ValueError(f"echoes: no column {', '.join(lacking)} (a table of vexo.echoes)")
    files = table["file"].astype(str).to_numpy() if "file" in table.columns else None
    distinct = list(dict.fromkeys(files.tolist())) if files is not None else []
    name = name or (_base_name(distinct[0]) if len(distinct) == 1 else
                    f"{len(distinct)} files" if distinct else "echoes")
    if not len(table):
        raise ChoiceError(f"{name}: the table has no echo")
    numbers = table["record"].to_numpy(dtype=np.int64)
    times = _times_ns(table["time"])
    resolved = table["resolved"].to_numpy(dtype=bool)
    frequencies = table["frequency"].to_numpy(dtype=np.float64)
    if record is None:
        hits = resolved & ((frequencies == frequency) if frequency is not None else True)
        if not hits.any():
            at = f" at {frequency:g} kHz" if frequency is not None else ""
            raise ChoiceError(f"{name}: no echo of the table is resolved{at}")
        first = int(np.argmax(hits))
        record = int(numbers[first])
        choices.append(f"record {record} (the first with a resolved echo"
                       + (f" at {frequency:g} kHz)" if frequency is not None else ")"))
        own = files[first] if files is not None else None
    else:
        holding = numbers == record
        if not holding.any():
            raise ChoiceError(f"{name}: no echo of record {record} in the table; it has "
                              f"records {_ranges(np.unique(numbers))}")
        within = sorted(set(files[holding].tolist())) if files is not None else []
        if len(within) > 1 and window is None:
            raise ChoiceError(f"{name}: record {record} is in {len(within)} files of the "
                              f"table ({', '.join(_base_name(f) for f in within)}): give the "
                              "echoes of one")
        own = files[holding][0] if files is not None else None
    mine = numbers == record
    if own is not None:
        mine &= files == own
        if len(distinct) > 1 and window is None:
            name = _base_name(own)
    time = times[np.argmax(mine)]
    if window is None:
        view = table[mine]
        records, where = [record], f"record {record}"
    else:
        start = _window_start(name, record, time, window)
        inside = _in_window(times, start, window)
        view = table[inside]
        time = np.datetime64(start, "ns")
        records = sorted(set(numbers[inside].tolist()))
        where = _where(records, window)
    view = _at_frequency(view, frequency, name, where)
    return _View(name, view, records, time, window)


def _nice_above(value: float) -> float:
    """The least of 1, 2 and 5 times a power of ten that is at least value."""
    power = 10.0 ** math.floor(math.log10(value))
    for step in (1.0, 2.0, 5.0, 10.0):
        if step * power >= value * (1 - 1e-12):
            return step * power
    return 10.0 * power  # pragma: no cover - the loop ends at ten


def skymap(source: Any, *, layout: Any = None, record: Optional[int] = None,
           window: Any = None, frequency: Optional[float] = None,
           threshold_db: float = 10.0, residual_limit: float = 20.0, drift: bool = True,
           name: Optional[str] = None, size: Size = (900, 800)) -> "Figure":
    """Where the echoes of one record, or of a time window, come from: a polar map of zenith
    angle (0 at the centre, 90° at the rim) and azimuth (clockwise from north: north up, east
    right), each resolved echo a dot coloured by its Doppler shift.

    The colour map diverges from 0 Hz (blue: positive shifts, approaching; red: negative,
    receding), its range the largest shift drawn either way. When vexo.drift gives a
    velocity for the echoes in view, its horizontal part is an arrow from the centre toward
    where the reflectors move, as long on the map's 90° of radius as its speed is on a
    round scale (the legend gives the speed, the direction and the scale). Echoes that are
    not resolved have no direction: they are counted in the title, not drawn.

    Parameters
    ----------
    source : path, binary file object or pandas.DataFrame
        A DFT file, whose echoes are found as vexo.echoes finds them (only the records in view
        are read, besides the file's index), or a table of vexo.echoes (or the echo rows of
        an archive, with their column file).
    layout : vexo.Layout, path of a TOML layout, or mapping
        The antennas (see vexo.Layout). Needed for a file; not used for a table.
    record : int, optional
        The record (from 1) drawn, or the record whose time window is drawn. Default: the
        first record with a resolved echo (at `frequency` when given), so that a file is read
        only as far as that record. In a table of several files, a record number that more
        than one file has needs a window.
    window : float, numpy.timedelta64 or pandas.Timedelta, optional
        Draw the time window of this length (seconds when a number) that holds the record:
        windows are aligned on whole multiples of the length since 1970-01-01, as vexo.drift
        aligns them, and take every record (of every file of a table) whose time lies in it.
        Default: the record alone.
    frequency : float, optional
        Only the echoes at this sounding frequency (kHz). Default: every frequency.
    threshold_db, residual_limit : float, default 10.0 and 20.0
        As vexo.echoes takes them (for a file; a table is drawn as it is).
    drift : bool, default True
        Draw the arrow of the drift; False leaves it out (and vexo.drift is not called).
    name : str, optional
        The name in the title and messages. Default: the file's name without its folders.
    size : (int, int), default (900, 800)
        Width and height in pixels: 200 to 20000 wide, 150 to 20000 high.

    Returns
    -------
    matplotlib.figure.Figure
        fig.vexo_data is an xarray.Dataset of the dots drawn, along the dimension echo:
        zenith and azimuth (degrees) and doppler (Hz), with the coordinates record, time,
        subblock, frequency, height and line of each (and file, for a table that has it).
        Its attributes give the file, the records in view, time (the record's, or the
        window's start) and end (of the window, else the same time), the frequency ("every"
        or kHz), echoes (in view, resolved or not), and drift_east, drift_north, drift_up,
        drift_speed (horizontal, m/s) and drift_azimuth (degrees, where the horizontal drift
        points), NaN where no velocity is drawn. fig.vexo_choices says what was chosen.

    Raises
    ------
    ChoiceError
        When the file has no such record, no record has a resolved echo (at the frequency),
        the echoes in view have no such frequency, a record lacks antennas of the layout, or
        a record asked for in a window has no valid time.
    TypeError
        When record is not a whole number, or window is not a time.
    ValueError
        When a file is given without a layout; for a layout that is not one, a size out of
        range, a window that is not positive, or a table without the columns of vexo.echoes.
    OSError
        When the file or the layout cannot be read.

    Warns
    -----
    DamagedFileWarning
        When the file is damaged: the records before the damage are drawn.

    Examples
    --------
    >>> import vexo.plot
    >>> fig = vexo.plot.skymap("examples/example.dft", layout="examples/layout.toml")
    >>> fig.vexo_choices
    ['record 1 (the first with a resolved echo)']
    >>> fig = vexo.plot.skymap("examples/example.dft", layout="examples/layout.toml",
    ...                        record=3, window=60, frequency=3200)
    >>> fig.vexo_data.attrs["records"]
    [1, 2, 3, 4, 5, 6]
    """
    import xarray as xr
    from matplotlib.colors import CenteredNorm
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D

    from vexo._drift import _window_ns
    from vexo._drift import drift as drift_of
    from vexo._selection import reals

    _check_size(size)
    if record is not None:
        record = _whole("record", record, 1)
    width = _window_ns(window)
    if frequency is not None:
        given = reals("frequency", frequency)
        if len(given) != 1:
            raise ValueError(f"frequency: {frequency!r} is not one frequency (kHz)")
        frequency = given[0]
    choices: List[str] = []
    if hasattr(source, "columns") and hasattr(source, "iloc"):
        view = _table_view(source, record, width, frequency, name, choices)
    else:
        if layout is None:
            raise ValueError("skymap: a file needs the layout of its antennas (layout=...)")
        view = _file_view(source, layout, record, width, frequency, threshold_db,
                          residual_limit, name, choices)

    table = view.echoes
    drawn = table[table["resolved"].to_numpy(dtype=bool)]
    velocity = np.full(3, np.nan)
    if drift and len(drawn):
        found = drift_of(table.drop(columns=["file"], errors="ignore"), window=window)
        if len(found) == 1:
            velocity = found[["v_east", "v_north", "v_up"]].to_numpy(dtype=np.float64)[0]
    speed = float(np.hypot(velocity[0], velocity[1]))
    heading = float(np.mod(np.rad2deg(np.arctan2(velocity[0], velocity[1])), 360.0))
    arrow = bool(np.isfinite(speed) and speed > 0)

    zenith = drawn["zenith"].to_numpy(dtype=np.float64)
    azimuth = drawn["azimuth"].to_numpy(dtype=np.float64)
    doppler = drawn["doppler"].to_numpy(dtype=np.float64)
    coords = {c: ("echo", drawn[c].to_numpy()) for c in
              ("file", "record", "time", "subblock", "frequency", "height", "line")
              if c in drawn.columns}
    if "time" in coords:
        coords["time"] = ("echo", _times_ns(drawn["time"]))
    end = view.time if view.window is None else view.time + np.timedelta64(view.window, "ns")
    data = xr.Dataset(
        {"zenith": ("echo", zenith, {"units": "degree", "long_name": "zenith angle"}),
         "azimuth": ("echo", azimuth, {"units": "degree",
                                       "long_name": "azimuth, clockwise from north"}),
         "doppler": ("echo", doppler, {"units": "Hz", "long_name": "Doppler shift"})},
        coords=coords,
        attrs={"file": view.name, "records": list(view.records),
               "time": _when(view.time), "end": _when(end),
               "frequency": "every" if frequency is None else frequency,
               "echoes": len(table),
               "drift_east": float(velocity[0]) if arrow else np.nan,
               "drift_north": float(velocity[1]) if arrow else np.nan,
               "drift_up": float(velocity[2]) if arrow else np.nan,
               "drift_speed": speed if arrow else np.nan,
               "drift_azimuth": heading if arrow else np.nan})

    fig = Figure(figsize=(size[0] / DPI, size[1] / DPI), dpi=DPI, layout="constrained")
    ax = cast("PolarAxes", fig.add_subplot(projection="polar"))
    ax.set_theta_zero_location("N")
    ax.set_theta_direction(-1)
    halfrange = float(np.max(np.abs(doppler))) if len(doppler) else 0.0
    dots = ax.scatter(np.deg2rad(azimuth), zenith, c=doppler, s=36, cmap="RdBu",
                      norm=CenteredNorm(0.0, halfrange or 1.0), edgecolors="black",
                      linewidths=0.3, zorder=3)
    ax.set_rlim(0, 90)
    ax.set_rticks([30, 60, 90])
    ax.yaxis.set_major_formatter(lambda r, _: f"{r:g}°")
    ax.set_rlabel_position(22.5)
    ax.set_thetagrids(np.arange(0, 360, 45), ["N", "45°", "E", "135°", "S", "225°", "W",
                                              "315°"])
    ax.grid(True, alpha=0.4)
    fig.colorbar(dots, ax=ax, shrink=0.8, pad=0.08,
                 label="Doppler shift (Hz; positive: approaching)")
    if arrow:
        scale = _nice_above(speed * 1.25)
        ax.annotate("", xy=(np.deg2rad(heading), 90.0 * speed / scale), xytext=(0.0, 0.0),
                    arrowprops={"arrowstyle": "-|>", "color": "black", "linewidth": 2,
                                "mutation_scale": 20}, zorder=4)
        ax.legend(handles=[Line2D([], [], color="black", linewidth=2, label=(
            f"drift {speed:.3g} m/s toward {heading:.0f}° (a radius of 90° is "
            f"{scale:g} m/s)"))], loc="upper center", bbox_to_anchor=(0.5, -0.06),
            frameon=False)
    if view.window is None:
        when = f"record {view.records[0]}, {_when(view.time)}"
    else:
        count = len(view.records)
        when = (f"{_when(view.time)} to {_when(end)}, {count} record"
                f"{'s' if count != 1 else ''}")
    ax.set_title(_title(f"{view.name}: {when}\n{len(drawn)} of {len(table)} echoes resolved, "
                        f"{_frequency_text(frequency)}"), pad=24)
    return _finish(fig, data, choices)


def _times_ns(values: Any) -> np.ndarray:
    """Times of a table's column as datetime64[ns]."""
    import pandas as pd

    return pd.to_datetime(values).to_numpy(dtype="datetime64[ns]")
