"""Quick-look pictures of a sounding: a spectrum against height, the phases of the antennas
with and without the antenna correction, and the echo over time.

    import vexo, vexo.plot
    fig = vexo.plot.spectrum("day342.dft")                 # first record, strongest frequency
    fig = vexo.plot.phases("day342.dft", record=3)
    fig = vexo.plot.echo(["day342.dft", "day343.dft"], frequency=3200)
    fig.savefig("echo.png")

Each function draws on a matplotlib Figure of its own (no screen, no pyplot state) and
returns it. The figure carries what it shows: `fig.vexo_data`, an xarray.DataArray of the
values drawn, with coordinates and units, and `fig.vexo_choices`, one phrase for each choice
made for the caller ("3200 kHz (the strongest)"). A choice the data cannot meet raises
ChoiceError, whose message names what the data has.
"""

from __future__ import annotations

import os
import warnings
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np

from vexo._errors import DamagedFileWarning
from vexo._file import File, Record, Source
from vexo._file import open as open_file

if TYPE_CHECKING:
    import xarray as xr
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

Antenna = Union[int, str, None]
Size = Tuple[int, int]
DPI = 100

__all__ = ["ChoiceError", "echo", "phases", "spectrum"]


class ChoiceError(ValueError):
    """A record, frequency, polarization, antenna or subblock that the data does not have."""


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
    notes: List[str] = field(default_factory=list)


def _display_name(name: Any) -> str:
    text = os.fsdecode(name) if isinstance(name, (bytes, os.PathLike)) else str(name)
    return os.path.basename(text) or text


def _source_name(source: Any) -> str:
    if isinstance(source, File):
        return _display_name(source.name)
    if isinstance(source, (str, bytes, os.PathLike)):
        return _display_name(source)
    return _display_name(getattr(source, "name", "file object"))


def _is_dataset(source: Any) -> bool:
    return hasattr(source, "data_vars") and "record" in getattr(source, "dims", {})


def _from_record(rec: Record, name: str) -> _Snapshot:
    d = rec.descriptors
    return _Snapshot(
        name, rec.number, rec.time, d["frequency"], d["height"], d["polarization"],
        np.arange(rec.subblocks), np.arange(1, rec.antennas + 1), rec.amplitude_db(),
        rec.line_spacing, rec)


def _from_dataset(ds: "xr.Dataset", number: Optional[int], name: Optional[str]) -> _Snapshot:
    if "amplitude_db" not in ds:
        raise ValueError("the dataset has no amplitude_db: read it with convert=True")
    numbers = ds.record.values
    if len(numbers) == 0:
        raise ChoiceError(f"{name or _display_name(ds.attrs.get('source', 'dataset'))}: "
                          "the dataset has no record")
    name = name or _display_name(ds.attrs.get("source", "dataset"))
    if number is None:
        number = int(numbers[0])
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


def _snapshot(source: Any, record: Optional[int], name: Optional[str]) -> _Snapshot:
    if isinstance(source, Record):
        if record is not None and record != source.number:
            raise ValueError(f"record={record} given with record {source.number}")
        return _from_record(source, name or "record")
    if _is_dataset(source):
        return _from_dataset(source, record, name)
    if record is not None and record < 1:
        raise ChoiceError(f"{name or _source_name(source)}: record {record}: records are "
                          "numbered from 1")
    own = not isinstance(source, File)
    f = open_file(source) if own else source
    name = name or _source_name(f)
    try:
        last = 0
        for rec in f:
            last = rec.number
            if record is None or rec.number == record:
                return _from_record(rec, name)
        stop = f.stop
        damage = "" if stop is None or stop.clean else f" ({stop.message})"
        if last == 0:
            raise ChoiceError(f"{name}: the file has no record{damage}")
        raise ChoiceError(f"{name}: record {record} is beyond the end; the file has records "
                          f"1 to {last}{damage}")
    finally:
        if own:
            f.close()


# ---------------------------------------------------------------------------------------------
# Choices


def _kilohertz(values: Iterable[float]) -> str:
    return ", ".join(f"{v:g}" for v in sorted(set(float(x) for x in values))) + " kHz"


def _strongest_frequency(frequency: np.ndarray, strength: np.ndarray) -> float:
    """The frequency of the strongest value; of equals, the lowest frequency."""
    finite = np.isfinite(strength) & np.isfinite(frequency)
    top = np.max(strength[finite])
    return float(np.min(frequency[finite & (strength == top)]))


def _choose(name: str, where: str, frequency: np.ndarray, polarization: np.ndarray,
            strength: np.ndarray, want_frequency: Optional[float],
            want_polarization: Optional[int], choices: List[str]) -> np.ndarray:
    """The subblocks of the frequency and polarization asked for (or the strongest); appends
    what was chosen to choices."""
    known = np.isfinite(frequency)
    if not known.any():
        raise ChoiceError(f"{name}: {where} has no subblock")
    if want_frequency is None:
        want_frequency = _strongest_frequency(frequency, strength)
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
            f"{', '.join(str(int(p)) for p in np.unique(polarization[at]))} there")
    return at & (polarization == want_polarization)


def _antenna_mode(name: str, antenna: Antenna, antenna_numbers: np.ndarray,
                  default_all: bool, choices: List[str]) -> Antenna:
    """None (the strongest of every antenna), "mean" (antennas 1 to 4) or an antenna number."""
    have = f"antennas 1 to {antenna_numbers.max()}" if len(antenna_numbers) else "no antenna"
    if antenna is None:
        if default_all:
            choices.append("the strongest of every antenna")
            return None
        if set(range(1, 5)) <= set(antenna_numbers.tolist()):
            choices.append("the mean of antennas 1 to 4")
            return "mean"
        choices.append(f"antenna {antenna_numbers[0]} (fewer than four antennas)")
        return int(antenna_numbers[0])
    if isinstance(antenna, str):
        if antenna != "mean":
            raise ValueError(f"antenna: {antenna!r} is neither an antenna number nor 'mean'")
        if not set(range(1, 5)) <= set(antenna_numbers.tolist()):
            raise ChoiceError(f"{name}: the mean takes antennas 1 to 4; the records have {have}")
        return "mean"
    if isinstance(antenna, bool) or int(antenna) != antenna or antenna not in antenna_numbers:
        raise ChoiceError(f"{name}: no antenna {antenna}; the records have {have}")
    return int(antenna)


def _antenna_text(mode: Antenna) -> str:
    if mode is None:
        return "strongest antenna"
    return "mean of antennas 1 to 4" if mode == "mean" else f"antenna {mode}"


def _spectra(amplitude_db: np.ndarray, antenna_numbers: np.ndarray, mode: Antenna) -> np.ndarray:
    """(subblocks, lines) of dB for the antenna mode."""
    if mode == "mean":
        take = np.isin(antenna_numbers, [1, 2, 3, 4])
        return amplitude_db[:, take].mean(axis=1)
    if mode is None:
        return amplitude_db.max(axis=1)
    return amplitude_db[:, list(antenna_numbers).index(mode)]


# ---------------------------------------------------------------------------------------------
# Drawing


def _figure(size: Size, columns: int = 1) -> Tuple["Figure", List["Axes"]]:
    from matplotlib.figure import Figure

    width, height = size
    if not (isinstance(width, int) and isinstance(height, int) and 50 <= width <= 20000
            and 50 <= height <= 20000):
        raise ValueError(f"size: {size!r} is not a width and height of 50 to 20000 pixels")
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


def _line_offsets(lines: int) -> np.ndarray:
    """Each line's distance in lines from the centre of the spectrum, as the antenna correction
    counts it: k - lines/2, and one more from line 64 on."""
    k = np.arange(lines)
    return k - lines // 2 + (k >= 64)


def _finish(fig: "Figure", data: "xr.DataArray", choices: List[str]) -> "Figure":
    fig.vexo_data = data  # type: ignore[attr-defined]
    fig.vexo_choices = choices  # type: ignore[attr-defined]
    return fig


# ---------------------------------------------------------------------------------------------
# The pictures


def spectrum(source: Any, record: Optional[int] = None, frequency: Optional[float] = None,
             polarization: Optional[int] = None, antenna: Antenna = None,
             name: Optional[str] = None, size: Size = (1000, 600)) -> "Figure":
    """Amplitude (dB) of one record at one sounding frequency as an image of height against
    spectral line.

    source: a vexo.Record, a File or anything vexo.open takes (its record `record`, default
    the first), or a dataset of vexo.read (its record `record`). frequency (kHz) defaults to
    the strongest in the record; polarization to the stronger at that frequency; antenna to
    the mean of antennas 1 to 4 ("mean"; antenna 1 when there are fewer). Where the record
    gives a line spacing, a top axis shows the lines as a frequency offset (Hz). Subblocks of
    one height are averaged. size: pixels.
    """
    import xarray as xr

    snap = _snapshot(source, record, name)
    choices: List[str] = [] if record is not None else [f"record {snap.number} (the first)"]
    strength = snap.amplitude_db.max(axis=(1, 2)) if snap.amplitude_db.size else np.array([])
    where = f"record {snap.number}"
    take = _choose(snap.name, where, snap.frequency, snap.polarization, strength, frequency,
                   polarization, choices)
    mode = _antenna_mode(snap.name, antenna, snap.antenna_numbers, False, choices)
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
    ax.set_title(f"{snap.name}: record {snap.number}, {_when(snap.time)}\n"
                 f"{chosen_frequency:g} kHz, polarization {chosen_polarization}, "
                 f"{_antenna_text(mode)}")
    if snap.line_spacing is not None and len(lines) > 1:
        hertz = _line_offsets(len(lines)) * snap.line_spacing
        step, last = snap.line_spacing, len(lines) - 1

        def to_hertz(x: np.ndarray) -> np.ndarray:
            x = np.asarray(x, dtype=float)
            outside = np.where(x < 0, hertz[0] + x * step, hertz[-1] + (x - last) * step)
            return np.where((x < 0) | (x > last), outside, np.interp(x, lines, hertz))

        def to_line(f: np.ndarray) -> np.ndarray:
            f = np.asarray(f, dtype=float)
            outside = np.where(f < hertz[0], (f - hertz[0]) / step,
                               last + (f - hertz[-1]) / step)
            return np.where((f < hertz[0]) | (f > hertz[-1]), outside,
                            np.interp(f, hertz, lines))

        top = ax.secondary_xaxis("top", functions=(to_hertz, to_line))
        top.set_xlabel(f"frequency offset (Hz; lines {snap.line_spacing:.6g} Hz apart)")
    return _finish(fig, data, choices)


def _circular_spread(degrees: np.ndarray) -> float:
    """The mean over lines of the circular standard deviation (degrees) across antennas."""
    turns = np.exp(1j * np.deg2rad(degrees.astype(np.float64)))
    length = np.clip(np.abs(turns.mean(axis=0)), 1e-12, 1.0)
    return float(np.rad2deg(np.sqrt(-2 * np.log(length))).mean())


def phases(source: Any, record: Optional[int] = None, subblock: Optional[int] = None,
           frequency: Optional[float] = None, name: Optional[str] = None,
           size: Size = (1200, 550)) -> "Figure":
    """The phase (degrees) of each antenna against spectral line in one subblock, without and
    with the antenna correction side by side.

    source: a vexo.Record, a File or anything vexo.open takes (its record `record`, default
    the first). subblock (from 0, as the listing counts) defaults to the strongest subblock,
    among those at `frequency` when it is given. Phases are drawn modulo 360 degrees; each
    panel's title gives the spread across antennas (the mean over lines of the circular
    standard deviation).
    """
    import xarray as xr

    if _is_dataset(source):
        raise TypeError("phases needs the record itself (both corrections): pass a path, "
                        "a File or a Record of vexo.open")
    snap = _snapshot(source, record, name)
    rec = snap.record
    assert rec is not None
    choices: List[str] = [] if record is not None else [f"record {snap.number} (the first)"]
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
    elif not 0 <= subblock < rec.subblocks:
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
    data = xr.DataArray(
        values, dims=("correction", "antenna", "line"),
        coords={"correction": [False, True], "antenna": snap.antenna_numbers, "line": lines},
        name="phase_degrees",
        attrs={"units": "degree", "long_name": "phase", "file": snap.name,
               "record": snap.number, "time": _when(snap.time), "subblock": subblock,
               "frequency": float(snap.frequency[subblock]),
               "height": float(snap.height[subblock]),
               "polarization": int(snap.polarization[subblock]),
               "spread": spreads, "corrected": corrected})
    if not corrected:
        choices.append("no correction: the record gives no line spacing or no rate is known")

    fig, axes = _figure(size, 2)
    for ax, panel, spread, label in zip(axes, values, spreads, ("without", "with")):
        for j, number in enumerate(snap.antenna_numbers):
            ax.plot(lines, np.mod(panel[j], 360.0), marker=".", linewidth=1,
                    label=f"antenna {number}")
        ax.set_title(f"{label} the antenna correction (spread {spread:.1f}°)")
        ax.set_xlabel("spectral line")
        ax.set_ylim(0, 360)
        ax.set_yticks(np.arange(0, 361, 45))
        ax.grid(True, alpha=0.3)
    axes[0].set_ylabel("phase (degrees, modulo 360)")
    axes[1].legend(loc="best", fontsize="small")
    fig.suptitle(f"{snap.name}: record {snap.number}, {_when(snap.time)}, subblock {subblock}: "
                 f"{snap.frequency[subblock]:g} kHz, {snap.height[subblock]:g} km, "
                 f"polarization {int(snap.polarization[subblock])}")
    return _finish(fig, data, choices)


@dataclass
class _Strengths:
    """The strongest amplitude of each subblock of each record, flat over (record, subblock)."""

    names: List[str] = field(default_factory=list)
    time: List[np.ndarray] = field(default_factory=list)  # per record
    counts: List[np.ndarray] = field(default_factory=list)  # subblocks per record
    frequency: List[np.ndarray] = field(default_factory=list)
    height: List[np.ndarray] = field(default_factory=list)
    polarization: List[np.ndarray] = field(default_factory=list)
    strongest: List[np.ndarray] = field(default_factory=list)
    antennas: set = field(default_factory=set)

    def flat(self, key: str) -> np.ndarray:
        parts = getattr(self, key)
        return np.concatenate(parts) if parts else np.array([])


def _read_strengths(sources: Sequence[Any], antenna: Antenna) -> _Strengths:
    out = _Strengths()
    for source in sources:
        if _is_dataset(source):
            _dataset_strengths(source, antenna, out)
        else:
            _file_strengths(source, antenna, out)
    return out


def _mode_for(antenna: Antenna, antenna_numbers: np.ndarray) -> Antenna:
    """The antenna mode for records with these antennas; a record that cannot give it is left
    out (returns False)."""
    if antenna is None or (antenna == "mean" and set(range(1, 5)) <= set(antenna_numbers)):
        return antenna
    if not isinstance(antenna, str) and antenna in antenna_numbers:
        return antenna
    return False  # type: ignore[return-value]


def _file_strengths(source: Any, antenna: Antenna, out: _Strengths) -> None:
    own = not isinstance(source, File)
    f = open_file(source) if own else source
    name = _source_name(f)
    out.names.append(name)
    times, counts, parts = [], [], []
    try:
        for rec in f:
            numbers = np.arange(1, rec.antennas + 1)
            out.antennas.update(numbers.tolist())
            mode = _mode_for(antenna, numbers)
            d = rec.descriptors
            if mode is False or rec.subblocks == 0:
                continue
            times.append(rec.time)
            counts.append(rec.subblocks)
            parts.append((d["frequency"], d["height"], d["polarization"],
                          _spectra(rec.amplitude_db(), numbers, mode).max(axis=1)))
        stop = f.stop
        if stop is not None and not stop.clean:
            warnings.warn(f"{name}: {stop.message}", DamagedFileWarning, stacklevel=4)
    finally:
        if own:
            f.close()
    if times:
        out.time.append(np.array(times, dtype="datetime64[s]"))
        out.counts.append(np.array(counts))
        for key, index in (("frequency", 0), ("height", 1), ("polarization", 2),
                           ("strongest", 3)):
            getattr(out, key).append(np.concatenate([p[index] for p in parts]))


def _dataset_strengths(ds: "xr.Dataset", antenna: Antenna, out: _Strengths) -> None:
    if "amplitude_db" not in ds:
        raise ValueError("the dataset has no amplitude_db: read it with convert=True")
    out.names.append(_display_name(ds.attrs.get("source", "dataset")))
    numbers = ds.antenna.values.astype(int)
    out.antennas.update(numbers.tolist())
    mode = _mode_for(antenna, numbers)
    if mode is False or ds.sizes["record"] == 0:
        return
    present = ds.subblock_number.values >= 0  # (record, subblock)
    db = ds.amplitude_db.values  # (record, subblock, antenna, line)
    flat_db = db[present]
    out.time.append(ds.time.values.astype("datetime64[s]"))
    out.counts.append(present.sum(axis=1))
    out.frequency.append(ds.frequency.values[present])
    out.height.append(ds.height.values[present])
    out.polarization.append(ds.polarization.values[present])
    out.strongest.append(_spectra(flat_db, numbers, mode).max(axis=1))


def _time_edges(times: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Column edges (seconds) for records at sorted times: each record a column as wide as the
    usual spacing at most, and the gaps between them columns of their own (left empty)."""
    t = times.astype(np.float64)
    steps = np.diff(t)
    usual = float(np.median(steps[steps > 0])) if np.any(steps > 0) else 1.0
    before = np.minimum(np.concatenate([[usual], steps]), usual) / 2
    after = np.minimum(np.concatenate([steps, [usual]]), usual) / 2
    edges = np.empty(2 * len(t))
    edges[0::2], edges[1::2] = t - before, t + after
    return edges, np.arange(0, 2 * len(t) - 1, 2)


def echo(sources: Union[Any, Sequence[Any]], frequency: Optional[float] = None,
         polarization: Optional[int] = None, antenna: Antenna = None,
         name: Optional[str] = None, size: Size = (1200, 600)) -> "Figure":
    """The echo over the records of one or more files: height against time, coloured by the
    strongest amplitude (dB) of each subblock at one sounding frequency.

    sources: one or a list of paths, file objects, Files or datasets of vexo.read. frequency
    (kHz) defaults to the frequency of the strongest amplitude of all records; polarization to
    the stronger at that frequency; antenna to the strongest of every antenna ("mean": the mean
    of antennas 1 to 4 first; a number: that antenna; records without it are left out). Where
    several subblocks of a record share a height, the strongest counts. Records without a
    valid time are left out. A damaged file gives its good records and a DamagedFileWarning.
    """
    import xarray as xr
    from matplotlib import dates

    if isinstance(sources, (str, bytes, os.PathLike)) or _is_dataset(sources) or not isinstance(
            sources, (list, tuple)):
        sources = [sources]
    if isinstance(antenna, str) and antenna != "mean":
        raise ValueError(f"antenna: {antenna!r} is neither an antenna number nor 'mean'")
    got = _read_strengths(sources, antenna)
    label = name or (got.names[0] if len(got.names) == 1 else
                     f"{len(got.names)} files ({got.names[0]} to {got.names[-1]})")
    choices: List[str] = []
    if antenna is None:
        choices.append("the strongest of every antenna")
    if not got.time:
        have = (f"antennas 1 to {max(got.antennas)}" if got.antennas else "no record")
        reason = f"no record with {_antenna_text(antenna)}; they have {have}" if (
            got.antennas) else "no record"
        raise ChoiceError(f"{label}: {reason}")
    counts = np.concatenate(got.counts)
    record_time = np.concatenate(got.time)
    time = np.repeat(record_time, counts)
    freq, height = got.flat("frequency"), got.flat("height")
    pol, strongest = got.flat("polarization"), got.flat("strongest")
    take = _choose(label, "the records", freq, pol, strongest, frequency, polarization,
                   choices)
    chosen_frequency, chosen_polarization = float(freq[take][0]), int(pol[take][0])
    dated = take & ~np.isnat(time)
    undated = int(np.sum(np.isnat(record_time)))
    if undated:
        choices.append(f"{undated} record{'s' if undated != 1 else ''} without a valid time "
                       "left out")
    if not dated.any():
        raise ChoiceError(f"{label}: no record at {chosen_frequency:g} kHz has a valid time")
    columns, column_of = np.unique(time[dated], return_inverse=True)
    rows, row_of = np.unique(height[dated], return_inverse=True)
    image = np.full((len(rows), len(columns)), np.nan, dtype=np.float32)
    np.fmax.at(image, (row_of, column_of), strongest[dated].astype(np.float32))

    data = xr.DataArray(
        image, dims=("height", "time"),
        coords={"height": ("height", rows, {"units": "km"}), "time": columns},
        name="strongest_amplitude_db",
        attrs={"units": "dB", "long_name": "strongest amplitude of the subblock",
               "file": label, "files": list(got.names), "frequency": chosen_frequency,
               "polarization": chosen_polarization, "antenna": _antenna_text(antenna)})

    fig, (ax,) = _figure(size)
    seconds = columns.astype("datetime64[s]").astype(np.int64)
    edges, cells = _time_edges(seconds)
    wide = np.full((len(rows), len(edges) - 1), np.nan, dtype=np.float32)
    wide[:, cells] = image
    epoch = dates.date2num(np.datetime64(0, "s"))
    mesh = ax.pcolormesh(epoch + edges / 86400.0, _edges(rows.astype(float), 10.0), wide,
                         shading="flat", cmap="viridis")
    locator = dates.AutoDateLocator()
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(dates.ConciseDateFormatter(locator))
    fig.colorbar(mesh, ax=ax, label="strongest amplitude (dB)")
    ax.set_xlabel("time")
    ax.set_ylabel("height (km)")
    ax.set_title(f"{label}: {_when(columns[0])} to {_when(columns[-1])}\n"
                 f"{chosen_frequency:g} kHz, polarization {chosen_polarization}, "
                 f"{_antenna_text(antenna)}")
    return _finish(fig, data, choices)
