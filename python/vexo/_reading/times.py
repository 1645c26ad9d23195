"""Record times from the header's two-digit year, day of the year, hour, minute and second.

The year is two digits: 70 to 99 are 1970 to 1999, 0 to 69 are 2000 to 2069. A header whose
day is not a day of that year (1 to 365, or 366 in a leap year), or whose hour, minute or
second is out of range, has no time: NaT.
"""

from __future__ import annotations

import numpy as np


def record_times(clock: np.ndarray) -> np.ndarray:
    """Times of records from the clock fields of their headers.

    Parameters
    ----------
    clock : array_like of int, shape (records, 5)
        Year, day, hour, minute, second of each record, as the header gives them: the year
        two digits (70 to 99 are 1970 to 1999, 0 to 69 are 2000 to 2069), the day a day of
        the year from 1.

    Returns
    -------
    numpy.ndarray
        datetime64[s], (records,): NaT for a record whose day is not a day of its year, or
        whose hour, minute or second is out of range.

    Examples
    --------
    >>> import vexo
    >>> clock = [[26, 342, 12, 0, 0], [24, 366, 23, 59, 59], [25, 366, 0, 0, 0]]
    >>> times = vexo.record_times(clock)
    >>> str(times.dtype), [str(t) for t in times]
    ('datetime64[s]', ['2026-12-08T12:00:00', '2024-12-31T23:59:59', 'NaT'])
    """
    clock = np.asarray(clock, dtype=np.int64).reshape(-1, 5)
    year2, day, hour, minute, second = clock.T
    year = np.where(year2 < 70, 2000 + year2, 1900 + year2)
    leap = (year % 4 == 0) & ((year % 100 != 0) | (year % 400 == 0))
    valid = (
        (year2 >= 0) & (year2 <= 99) & (day >= 1) & (day <= 365 + leap)
        & (hour >= 0) & (hour <= 23) & (minute >= 0) & (minute <= 59)
        & (second >= 0) & (second <= 59)
    )
    days = np.where(valid, day - 1, 0)
    start = (np.where(valid, year, 1970) - 1970).astype("datetime64[Y]").astype("datetime64[s]")
    seconds = days * 86400 + hour * 3600 + minute * 60 + second
    times = start + np.where(valid, seconds, 0).astype("timedelta64[s]")
    times[~valid] = np.datetime64("NaT")
    return times


def record_time(year: int, day: int, hour: int, minute: int, second: int) -> np.datetime64:
    """The time of one record from the clock fields of its header.

    Parameters
    ----------
    year, day, hour, minute, second : int
        As the header gives them: the year two digits (70 to 99 are 1970 to 1999, 0 to 69
        are 2000 to 2069), the day a day of the year from 1.

    Returns
    -------
    numpy.datetime64
        In seconds; NaT when the header's values are not a time.

    Examples
    --------
    >>> import vexo
    >>> print(vexo.record_time(26, 342, 12, 0, 0))
    2026-12-08T12:00:00
    >>> print(vexo.record_time(99, 366, 0, 0, 0))
    NaT
    """
    return record_times(np.array([year, day, hour, minute, second]))[0]
