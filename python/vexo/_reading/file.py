"""Reading a DFT file record by record."""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from functools import cached_property
from typing import BinaryIO, Dict, Iterator, Optional, Union

import numpy as np

from vexo import _core
from vexo._reading.times import record_time

Source = Union[str, bytes, "os.PathLike[str]", BinaryIO]


@dataclass(frozen=True)
class Stop:
    """Why reading stopped, as File.stop gives it once the records are read.

    Attributes
    ----------
    reason : str
        "end_of_file" (a clean end), "bad_marker", "truncated", "read_error" or
        "check_failed".
    record : int
        The record (from 1) where reading stopped.
    offset : int
        The byte offset of that record.
    message : str
        One line that says so; it is also the Stop's str().

    Examples
    --------
    >>> import vexo
    >>> with vexo.open("examples/example.dft") as f:
    ...     records = list(f)
    >>> f.stop.reason, f.stop.record, f.stop.offset
    ('end_of_file', 7, 24576)
    >>> f.stop.clean
    True
    """

    reason: str
    record: int
    offset: int
    message: str

    @property
    def clean(self) -> bool:
        """True when reading stopped at a clean end of the file, False for damage."""
        return self.reason == "end_of_file"

    def __str__(self) -> str:
        return self.message


def library_version() -> str:
    """The version of the vexo library that reads the files (the package's version)."""
    return _core.version


def _stop(info: Optional[_core.Stop]) -> Optional[Stop]:
    if info is None:
        return None
    return Stop(info.reason, info.record, info.offset, info.message)


class Record:
    """One record: its place in the file, header, descriptors and samples.

    Records are handed out by iterating a vexo.File. The sample arrays have the shape
    (subblocks, antennas, sample_count); antenna index 0 is antenna 1. Converted values are
    exactly those the listing writes.

    Examples
    --------
    >>> import vexo
    >>> with vexo.open("examples/example.dft") as f:
    ...     rec = next(f)
    >>> rec.number, rec.offset
    (1, 0)
    >>> rec.phase.shape == (rec.subblocks, rec.antennas, rec.sample_count)
    True
    >>> rec.phase_degrees(correct=False).dtype
    dtype('float32')
    """

    def __init__(self, raw: _core.Record) -> None:
        self._raw = raw

    @property
    def number(self) -> int:
        """The record's number, the first record being 1."""
        return self._raw.number

    @property
    def offset(self) -> int:
        """The byte offset of the record in the file."""
        return self._raw.offset

    @cached_property
    def header(self) -> Dict[str, Union[int, float]]:
        """The header fields, named by the letters of the listing's column title line."""
        return self._raw.header

    @property
    def time(self) -> np.datetime64:
        """The record's time (seconds); years 70-99 are 1970-1999, 0-69 are 2000-2069."""
        h = self.header
        return record_time(*(int(h[k]) for k in ("year", "day", "hour", "minute", "second")))

    @property
    def sample_count(self) -> int:
        """The number of samples in each list of a subblock and antenna."""
        return self._raw.sample_count

    @property
    def antennas(self) -> int:
        """The number of antennas, numbered from 1."""
        return self._raw.antennas

    @property
    def subblocks(self) -> int:
        """The number of subblocks, numbered from 0."""
        return self._raw.subblocks

    @property
    def line_spacing(self) -> Optional[float]:
        """Spacing of the spectral lines in Hz; None when the header gives none."""
        spacing = self._raw.line_spacing
        return spacing if math.isfinite(spacing) else None

    @property
    def rate(self) -> Optional[float]:
        """The rate that the phase correction divides by; None while no record has set one."""
        return self._raw.rate

    @property
    def backwards(self) -> bool:
        """True when the phase scale runs backwards (FF 0xFE)."""
        return self._raw.backwards

    @property
    def raw(self) -> bytes:
        """The record's 4096 bytes."""
        return self._raw.raw

    @cached_property
    def descriptors(self) -> Dict[str, np.ndarray]:
        """Per subblock: frequency (kHz), height (km), gain (dB), polarization."""
        return self._raw.descriptors

    @cached_property
    def phase(self) -> np.ndarray:
        """Phase samples, uint8, (subblocks, antennas, sample_count)."""
        return self._raw.phase()

    @cached_property
    def amplitude(self) -> np.ndarray:
        """Amplitude samples, uint8, (subblocks, antennas, sample_count)."""
        return self._raw.amplitude()

    def phase_degrees(self, *, correct: bool = True) -> np.ndarray:
        """Phases in degrees.

        Parameters
        ----------
        correct : bool, default True
            Apply the antenna correction. It is applied when the record has a line spacing
            and a record so far has set the rate; otherwise the phases are uncorrected.

        Returns
        -------
        numpy.ndarray
            float32, (subblocks, antennas, sample_count).

        Examples
        --------
        >>> import vexo
        >>> with vexo.open("examples/example.dft") as f:
        ...     rec = next(f)
        >>> rec.phase_degrees(correct=False).shape == rec.phase.shape
        True
        """
        return self._raw.phase_degrees(correct)

    def amplitude_db(self) -> np.ndarray:
        """Amplitudes in dB.

        Returns
        -------
        numpy.ndarray
            float32, (subblocks, antennas, sample_count): bits 7 to 2 of a sample count
            steps of 1.5 dB.

        Examples
        --------
        >>> import vexo
        >>> with vexo.open("examples/example.dft") as f:
        ...     rec = next(f)
        >>> bool((rec.amplitude_db() == (rec.amplitude >> 2) * 1.5).all())
        True
        """
        return self._raw.amplitude_db()

    def amplitude_ratio(self) -> np.ndarray:
        """Amplitudes as linear ratios.

        Returns
        -------
        numpy.ndarray
            float64, (subblocks, antennas, sample_count): 10^(dB/20) of amplitude_db.

        Examples
        --------
        >>> import numpy as np
        >>> import vexo
        >>> with vexo.open("examples/example.dft") as f:
        ...     rec = next(f)
        >>> bool(np.allclose(rec.amplitude_ratio(), 10 ** (rec.amplitude_db() / 20)))
        True
        """
        return self._raw.amplitude_ratio()

    def amplitude_mean_db(self) -> np.ndarray:
        """The mean in dB of antennas 1 to 4.

        Returns
        -------
        numpy.ndarray
            float32, (subblocks, sample_count).

        Raises
        ------
        ValueError
            When the record has fewer than four antennas.

        Examples
        --------
        >>> import vexo
        >>> with vexo.open("examples/example.dft") as f:
        ...     rec = next(f)
        >>> bool((rec.amplitude_mean_db() == rec.amplitude_db()[:, :4].mean(axis=1)).all())
        True
        """
        return self._raw.amplitude_mean_db()

    def amplitude_mean_ratio(self) -> np.ndarray:
        """The mean of antennas 1 to 4 as a linear ratio.

        Returns
        -------
        numpy.ndarray
            float64, (subblocks, sample_count): 10^(mean dB/20), the mean dB being that of
            amplitude_mean_db.

        Raises
        ------
        ValueError
            When the record has fewer than four antennas.

        Examples
        --------
        >>> import numpy as np
        >>> import vexo
        >>> with vexo.open("examples/example.dft") as f:
        ...     rec = next(f)
        >>> bool(np.allclose(rec.amplitude_mean_ratio(), 10 ** (rec.amplitude_mean_db() / 20)))
        True
        """
        return self._raw.amplitude_mean_ratio()

    def __repr__(self) -> str:
        return (
            f"<vexo.Record {self.number} at byte {self.offset}: {self.subblocks} subblocks, "
            f"{self.antennas} antennas, {self.sample_count} samples>"
        )


class File:
    """A DFT file read forward, one record at a time; iterate it for its records.

    After the last record, stop says why reading ended (a clean end or the damage found);
    the records before any damage are all handed out first. vexo.open gives one; it is a
    context manager that closes the file on leaving.

    Parameters
    ----------
    source : str, bytes, os.PathLike or binary file object
        A path, or a binary file object (an open file, a pipe).

    Attributes
    ----------
    name : str
        The path as given, or the file object's name ("<file object>" when it has none).
    stop : vexo.Stop or None
        Why reading stopped; None while it has not.

    Raises
    ------
    OSError
        When a path cannot be opened; the message names the file.

    Examples
    --------
    >>> import vexo
    >>> with vexo.open("examples/example.dft") as f:
    ...     first = next(f)
    ...     rest = sum(1 for _ in f)
    >>> first.number, rest
    (1, 5)
    >>> print(f.stop)
    end of file
    """

    def __init__(self, source: Source) -> None:
        self._reader: Optional[_core.Reader] = _core.Reader(source)
        self.name: str = str(self._reader.name)
        self._stop: Optional[Stop] = None

    def __iter__(self) -> Iterator[Record]:
        return self

    def __next__(self) -> Record:
        if self._reader is None:
            if self._stop is None:
                raise ValueError(f"{self.name}: the file is closed")
            raise StopIteration
        raw = self._reader.next()
        if raw is None:
            self._stop = _stop(self._reader.stop)
            raise StopIteration
        return Record(raw)

    @property
    def stop(self) -> Optional[Stop]:
        """Why reading stopped; None while it has not."""
        return self._stop

    def close(self) -> None:
        """Closes a file opened by path (a file object handed in stays open)."""
        self._reader = None

    def __enter__(self) -> "File":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<vexo.File {self.name!r}>"


def open(source: Source) -> File:  # noqa: A001 - the package's open, as io.open
    """Opens a DFT file to read it record by record.

    Parameters
    ----------
    source : str, bytes, os.PathLike or binary file object
        A path, or a binary file object (an open file, a pipe).

    Returns
    -------
    vexo.File
        The file, read forward as it is iterated; close it, or use it in a with statement.

    Raises
    ------
    OSError
        When a path cannot be opened; the message names the file.

    Examples
    --------
    >>> import vexo
    >>> with vexo.open("examples/example.dft") as f:
    ...     numbers = [rec.number for rec in f]
    >>> numbers
    [1, 2, 3, 4, 5, 6]
    """
    return File(source)
