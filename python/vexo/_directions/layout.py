"""Where the antennas stand: vexo.Layout, from a mapping or a TOML file, checked once, with
the calibration of the array: each antenna's phase offset and the layout's rotation against
geographic north."""

from __future__ import annotations

import math
import numbers
import os
import stat
import sys
from typing import Any, Dict, Mapping, Optional, Tuple, Union

import numpy as np

from vexo._names import shown_name

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - older interpreters
    import tomli as tomllib

Position = Tuple[float, float]
LayoutLike = Union["Layout", str, "os.PathLike[str]", Mapping[int, Position]]

_TOP_KEYS = ("phase_sign", "rotation", "antennas")
_ANTENNA_KEYS = ("east", "north", "offset")
_NEEDED_KEYS = ("east", "north")
# Antennas whose positions span less than this share of the layout's size across its longest
# direction lie on one line, as far as a fit of directions can tell.
_FLAT = 1e-6
# Positions are on the ground: within this many metres of their origin (farther than the
# Earth's circumference), and antennas at least this far apart (m).
FARTHEST = 1e8
CLOSEST = 1e-3
# A layout file is a few lines of TOML: larger files (or what is not a file) are refused.
LARGEST_FILE = 1 << 20


def _finite(what: str, value: Any, unit: str) -> float:
    """A real number (not a bool), finite; ValueError naming what and the unit."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{what}: expected a number of {unit}, not {value!r}")
    real = float(value)
    if not math.isfinite(real):
        raise ValueError(f"{what}: {value!r} is not a finite number of {unit}")
    return real


def _real(what: str, value: Any) -> float:
    real = _finite(what, value, "metres")
    if abs(real) > FARTHEST:
        raise ValueError(f"{what}: {value!r} m is not a place on the ground (positions lie "
                         f"within {FARTHEST:.0e} m of their origin)")
    return real


def _degrees(what: str, value: Any) -> float:
    return _finite(what, value, "degrees")


def _closest(which: Tuple[int, ...], xy: np.ndarray) -> None:
    """Refuses antennas that stand closer than CLOSEST to one another."""
    apart = np.hypot(xy[:, None, 0] - xy[None, :, 0], xy[:, None, 1] - xy[None, :, 1])
    np.fill_diagonal(apart, np.inf)
    a, b = np.unravel_index(np.argmin(apart), apart.shape)
    if apart[a, b] < CLOSEST:
        raise ValueError(f"antennas {which[min(a, b)]} and {which[max(a, b)]} are "
                         f"{apart[a, b]:.3g} m apart: antennas stand at least "
                         f"{CLOSEST * 1000:g} mm apart")


def _layout_text(path: Union[str, "os.PathLike[str]"], shown: str) -> str:
    """The text of a layout file: a regular file of at most LARGEST_FILE bytes of UTF-8 (a
    named pipe or a device is not opened for reading past what it holds now)."""
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
    with os.fdopen(fd, "rb") as f:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise ValueError(f"{shown}: not a regular file: a layout is a TOML file")
        data = f.read(LARGEST_FILE + 1)
    if len(data) > LARGEST_FILE:
        raise ValueError(f"{shown}: larger than {LARGEST_FILE >> 20} MiB: not a layout")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise ValueError(f"{shown}: not a TOML file: byte {e.start} is not UTF-8 text") \
            from None


def _antenna_number(value: Any) -> int:
    if isinstance(value, str) and value.strip().isdigit():
        value = int(value)
    if (isinstance(value, bool) or not isinstance(value, numbers.Integral)
            or not 1 <= int(value) <= 9):
        raise ValueError(f"antenna {value!r}: antennas are numbered 1 to 9")
    return int(value)


class Layout:
    """The positions of the antennas on the ground, which way their phases turn, and the
    calibration of the array.

    Parameters
    ----------
    positions : mapping of int to (float, float)
        Antenna number (1 to 9, as the records number them) to its (east, north) position in
        metres from any common origin, along the layout's own axes (see rotation). At least
        three antennas, not all on one line.
    phase_sign : {1, -1}, default 1
        +1 when, after the antenna correction, the phase of antenna j grows with r_j·u (its
        position dotted with the unit vector toward the echo): an antenna nearer the echo
        sees a larger phase. -1 when it falls.
    offsets : mapping of int to float, optional
        Antenna number to the phase offset (degrees) its receiver adds to every phase: it is
        subtracted from the antenna's corrected phases before a direction is fitted.
        Antennas not named have none.
    rotation : float, default 0
        Degrees clockwise from geographic north to the layout's north axis (its east axis
        points 90° further on): with it, directions come out geographic. A layout surveyed
        along a road that runs 30° east of north, its north axis along the road, has
        rotation 30.

    Raises
    ------
    ValueError
        For fewer than three antennas, antennas on one line, a position that is not a finite
        number or lies farther than FARTHEST (1e8 m) from the origin, antennas closer than
        CLOSEST (1 mm) to one another, an antenna number outside 1 to 9, a phase_sign other
        than 1 or -1, an offset or rotation that is not a finite number, or an offset of an
        antenna the layout does not have. From Layout.read, the message names the file.

    Examples
    --------
    >>> import vexo
    >>> layout = vexo.Layout({1: (0.0, 0.0), 2: (60.0, 0.0), 3: (0.0, 60.0)})
    >>> layout.numbers, layout.longest_baseline
    ((1, 2, 3), 84.8528137423857)
    """

    def __init__(self, positions: Mapping[int, Position], *, phase_sign: int = 1,
                 name: Optional[str] = None, offsets: Optional[Mapping[int, float]] = None,
                 rotation: float = 0.0) -> None:
        where = f"{shown_name(name)}: " if name is not None else ""
        try:
            self._init(positions, phase_sign)
            self._calibrate(offsets, rotation)
        except ValueError as e:
            raise ValueError(f"{where}{e}") from None
        self._name = name

    def _calibrate(self, offsets: Optional[Mapping[int, float]], rotation: Any) -> None:
        """The offsets (degrees, in the order of numbers) and the rotation, checked; the
        antennas' geographic positions."""
        self._rotation = _degrees("rotation", rotation)
        if offsets is not None and not isinstance(offsets, Mapping):
            raise ValueError(f"offsets: expected a mapping of antenna number to degrees, not "
                             f"{offsets!r}")
        given: Dict[int, float] = {}
        for key, value in (offsets or {}).items():
            number = _antenna_number(key)
            if number not in self._numbers:
                raise ValueError(f"offset of antenna {number}: the layout has no antenna "
                                 f"{number} (it has {', '.join(map(str, self._numbers))})")
            if number in given:
                raise ValueError(f"the offset of antenna {number} is given twice")
            given[number] = _degrees(f"antenna {number}: offset", value)
        self._offsets = np.array([given.get(n, 0.0) for n in self._numbers])
        self._offsets.setflags(write=False)
        # The layout's axes turned clockwise by the rotation: its north axis points at
        # azimuth `rotation`, (sin, cos) in (east, north); its east axis at rotation + 90°.
        self._geographic = self._xy
        if self._rotation != 0.0:
            turn = math.radians(self._rotation)
            c, s = math.cos(turn), math.sin(turn)
            x, y = self._xy[:, 0], self._xy[:, 1]
            self._geographic = np.stack([c * x + s * y, c * y - s * x], axis=1)
            self._geographic.setflags(write=False)

    def _init(self, positions: Mapping[int, Position], phase_sign: Any) -> None:
        if not isinstance(positions, Mapping):
            raise ValueError(f"positions: expected a mapping of antenna number to (east, "
                             f"north), not {positions!r}")
        if isinstance(phase_sign, bool) or phase_sign not in (1, -1):
            raise ValueError(f"phase_sign: {phase_sign!r} is neither 1 nor -1")
        got: Dict[int, Position] = {}
        for key, value in positions.items():
            number = _antenna_number(key)
            if number in got:
                raise ValueError(f"antenna {number} is given twice")
            try:
                east, north = value
            except (TypeError, ValueError):
                raise ValueError(f"antenna {number}: expected (east, north) in metres, not "
                                 f"{value!r}") from None
            got[number] = (_real(f"antenna {number}: east", east),
                           _real(f"antenna {number}: north", north))
        if len(got) < 3:
            raise ValueError(f"{len(got)} antenna{'s' if len(got) != 1 else ''}: a direction "
                             "needs at least three, not all on one line")
        self._numbers = tuple(sorted(got))
        self._xy = np.array([got[n] for n in self._numbers], dtype=np.float64)
        _closest(self._numbers, self._xy)
        spread = np.linalg.svd(self._xy - self._xy.mean(axis=0), compute_uv=False)
        if spread[0] == 0 or spread[1] <= _FLAT * spread[0]:
            raise ValueError(f"antennas {', '.join(map(str, self._numbers))} lie on one line: "
                             "they cannot tell a direction along it from one across it")
        self._xy.setflags(write=False)
        self._phase_sign = int(phase_sign)

    @classmethod
    def read(cls, path: Union[str, "os.PathLike[str]"]) -> "Layout":
        """The layout of a TOML file.

        The file gives ``phase_sign`` (optional, default 1), ``rotation`` (optional,
        degrees, default 0) and a table ``antennas`` of ``NUMBER = { east = METRES, north =
        METRES }``, each with an optional ``offset = DEGREES``; any other key is refused::

            phase_sign = 1
            rotation = 0.0
            [antennas]
            1 = { east = 0.0, north = 0.0 }
            2 = { east = 60.0, north = 0.0, offset = 10.0 }
            3 = { east = 0.0, north = 60.0 }

        Parameters
        ----------
        path : str or os.PathLike
            The file.

        Returns
        -------
        Layout

        Raises
        ------
        OSError
            When the file cannot be read.
        ValueError
            Naming the file, when it is not TOML (UTF-8 text of at most 1 MiB in a regular
            file) or not a layout (see Layout).
        """
        name = os.fsdecode(os.fspath(path))
        shown = shown_name(name)
        text = _layout_text(path, shown)
        try:
            document = tomllib.loads(text)
        except tomllib.TOMLDecodeError as e:
            raise ValueError(f"{shown}: not a TOML file: {e}") from None
        unknown = sorted(set(document) - set(_TOP_KEYS))
        if unknown:
            raise ValueError(f"{shown}: unknown key {unknown[0]!r}; a layout has "
                             "phase_sign, rotation and [antennas]")
        antennas = document.get("antennas")
        if not isinstance(antennas, dict):
            raise ValueError(f"{shown}: no table [antennas] of NUMBER = {{ east = ..., "
                             "north = ... }")
        positions: Dict[int, Position] = {}
        offsets: Dict[int, float] = {}
        for key, value in antennas.items():
            what = f"{shown}: antenna {key}"
            if not isinstance(value, dict):
                raise ValueError(f"{what}: expected {{ east = ..., north = ... }}, not "
                                 f"{value!r}")
            extra = sorted(set(value) - set(_ANTENNA_KEYS))
            if extra:
                raise ValueError(f"{what}: unknown key {extra[0]!r}; an antenna has east, "
                                 "north and offset")
            lacking = [k for k in _NEEDED_KEYS if k not in value]
            if lacking:
                raise ValueError(f"{what}: no {lacking[0]}")
            try:
                number = _antenna_number(key)
            except ValueError as e:
                raise ValueError(f"{shown}: {e}") from None
            if number in positions:
                raise ValueError(f"{shown}: antenna {number} is given twice")
            positions[number] = (value["east"], value["north"])
            if "offset" in value:
                offsets[number] = value["offset"]
        return cls(positions, phase_sign=document.get("phase_sign", 1), name=name,
                   offsets=offsets, rotation=document.get("rotation", 0.0))

    @classmethod
    def of(cls, layout: LayoutLike) -> "Layout":
        """A Layout as it is, that of a TOML file (a path), or one of a mapping of positions."""
        if isinstance(layout, Layout):
            return layout
        if isinstance(layout, (str, os.PathLike)):
            return cls.read(layout)
        if isinstance(layout, Mapping):
            return cls(layout)
        raise TypeError(f"layout: expected a vexo.Layout, a path of a TOML file or a mapping "
                        f"of antenna number to (east, north), not {layout!r}")

    @property
    def numbers(self) -> Tuple[int, ...]:
        """The antennas' numbers, ascending."""
        return self._numbers

    @property
    def east(self) -> np.ndarray:
        """Geographic east positions (m: the layout's turned by its rotation), in the order of
        numbers (read-only)."""
        return self._geographic[:, 0]

    @property
    def north(self) -> np.ndarray:
        """Geographic north positions (m), in the order of numbers (read-only)."""
        return self._geographic[:, 1]

    @property
    def offsets(self) -> np.ndarray:
        """Phase offsets (degrees) in the order of numbers (read-only): 0 where none is
        given."""
        return self._offsets

    @property
    def rotation(self) -> float:
        """Degrees clockwise from geographic north to the layout's north axis."""
        return self._rotation

    @property
    def phase_sign(self) -> int:
        """+1 when the phase grows with r·u, -1 when it falls."""
        return self._phase_sign

    @property
    def name(self) -> Optional[str]:
        """The file the layout was read from, if any."""
        return self._name

    @property
    def positions(self) -> Dict[int, Position]:
        """Antenna number to (east, north) in metres, as given: along the layout's axes."""
        return {n: (float(e), float(no)) for n, (e, no) in zip(self._numbers, self._xy)}

    @property
    def longest_baseline(self) -> float:
        """The largest distance between two antennas (m)."""
        apart = self._xy[:, None, :] - self._xy[None, :, :]
        return float(np.sqrt((apart ** 2).sum(axis=-1)).max())

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Layout):
            return NotImplemented
        return (self._numbers == other._numbers and self._phase_sign == other._phase_sign
                and bool(np.array_equal(self._xy, other._xy))
                and bool(np.array_equal(self._offsets, other._offsets))
                and self._rotation == other._rotation)

    def __hash__(self) -> int:
        return hash((self._numbers, self._phase_sign, self._xy.tobytes(),
                     self._offsets.tobytes(), self._rotation))

    def __repr__(self) -> str:
        shown = ", ".join(f"{n}: ({e:g}, {no:g})" for n, (e, no) in self.positions.items())
        calibration = ""
        if self._offsets.any():
            calibration += ", offsets={" + ", ".join(
                f"{n}: {o:g}" for n, o in zip(self._numbers, self._offsets) if o) + "}"
        if self._rotation:
            calibration += f", rotation={self._rotation:g}"
        return f"vexo.Layout({{{shown}}}, phase_sign={self._phase_sign}{calibration})"

