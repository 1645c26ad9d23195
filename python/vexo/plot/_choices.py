"""Choices made for the caller of a picture (records, frequencies, polarizations, antennas),
ChoiceError, the phrases of fig.vexo_choices, and PictureData: what a data step gives.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Iterable, List, NamedTuple, Optional, Union

import numpy as np

if TYPE_CHECKING:
    import xarray as xr


Antenna = Union[int, str, None]


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


class PictureData(NamedTuple):
    """What a picture draws: the values and the choices made for the caller.

    The data steps (spectrum_data, phases_data, echo_data, skymap_data) give one, without
    drawing (matplotlib is not needed); the picture of the same options carries the same as
    fig.vexo_data and fig.vexo_choices. It unpacks as ``data, choices``.

    Attributes
    ----------
    data : xarray.DataArray or xarray.Dataset
        The values drawn, with their coordinates, units and what they are of (attributes).
    choices : list of str
        One phrase for each choice made for the caller ("3200 kHz (the strongest
        frequency)"), in the order made.

    Examples
    --------
    >>> import vexo.plot
    >>> data, choices = vexo.plot.spectrum_data("examples/example.dft", antenna=2)
    >>> data.dims, choices
    (('height', 'line'), ['record 1 (the first)', '3200 kHz (the strongest frequency)'])
    """

    data: Union["xr.DataArray", "xr.Dataset"]
    choices: List[str]


def whole(name: str, value: Any, low: int) -> int:
    """value as an int: a TypeError when it is not a whole number, a ChoiceError below low."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name}: expected a whole number, not {value!r}")
    if value < low:
        raise ChoiceError(f"{name}: {value}: numbered from {low}")
    return int(value)


def ranges(numbers: Iterable[int]) -> str:
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


def first_text(number: int) -> str:
    """The phrase of the first record chosen."""
    return f"record {number} (the first" + (")" if number == 1 else " with a subblock)")


def kilohertz(values: Iterable[float]) -> str:
    """Frequencies as "2500, 3200 kHz", sorted, each once."""
    return ", ".join(f"{v:g}" for v in sorted(set(float(x) for x in values))) + " kHz"


def listed(values: Iterable[Any]) -> str:
    """Whole numbers as "1, 2", sorted, each once."""
    return ", ".join(str(v) for v in sorted(set(int(x) for x in values)))


def choose(name: str, where: str, frequency: np.ndarray, polarization: np.ndarray,
           strength: np.ndarray, want_frequency: Optional[float],
           want_polarization: Optional[int], choices: List[str]) -> np.ndarray:
    """The subblocks of the frequency and polarization asked for, or of the strongest among
    those asked for; appends what was chosen to choices."""
    known = np.isfinite(frequency)
    if not known.any():
        raise ChoiceError(f"{name}: {where} has no subblock")
    if want_polarization is not None:
        want_polarization = whole("polarization", want_polarization, 0)
        if not np.any(polarization[known] == want_polarization):
            raise ChoiceError(f"{name}: no subblock with polarization {want_polarization} in "
                              f"{where}; it has polarization {listed(polarization[known])}")
    if want_frequency is None:
        pool = known if want_polarization is None else known & (polarization == want_polarization)
        top = np.max(strength[pool])
        want_frequency = float(np.min(frequency[pool & (strength == top)]))
        choices.append(f"{want_frequency:g} kHz (the strongest frequency)")
    elif not np.any(frequency == want_frequency):
        raise ChoiceError(f"{name}: no subblock at {want_frequency:g} kHz in {where}; it has "
                          f"{kilohertz(frequency[known])}")
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
            f"{listed(polarization[at])} there")
    return at & (polarization == want_polarization)


def check_antenna(antenna: Antenna) -> Antenna:
    """None, "mean" or a whole number from 1, as a picture takes the antenna."""
    if antenna is None or antenna == "mean":
        return antenna
    if isinstance(antenna, str):
        raise ValueError(f"antenna: {antenna!r} is neither an antenna number nor 'mean'")
    return whole("antenna", antenna, 1)


def antenna_mode(name: str, antenna: Antenna, antenna_numbers: np.ndarray,
                 choices: List[str]) -> Antenna:
    """"mean" (antennas 1 to 4) or an antenna number; by default the mean where antennas 1
    to 4 are there, else the first antenna."""
    have = f"antennas {ranges(antenna_numbers)}" if len(antenna_numbers) else "no antenna"
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


def antenna_text(mode: Antenna) -> str:
    """The antenna mode as a picture's title and attributes give it."""
    if mode is None:
        return "strongest antenna"
    return "mean of antennas 1 to 4" if mode == "mean" else f"antenna {mode}"


def spectra(amplitude_db: np.ndarray, antenna_numbers: np.ndarray, mode: Antenna) -> np.ndarray:
    """(subblocks, lines) of dB for the antenna mode."""
    if mode == "mean":
        return amplitude_db[:, np.isin(antenna_numbers, [1, 2, 3, 4])].mean(axis=1)
    if mode is None:
        return amplitude_db.max(axis=1)
    return amplitude_db[:, list(antenna_numbers).index(mode)]
