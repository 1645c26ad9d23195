"""Record times from the header's two-digit year, day of the year, hour, minute and second.

The year is two digits: 70 to 99 are 1970 to 1999, 0 to 69 are 2000 to 2069. A header whose
day is not a day of that year (1 to 365, or 366 in a leap year), or whose hour, minute or
second is out of range, has no time: NaT.
"""

from __future__ import annotations

import numpy as np


def record_times(clock: np.ndarray) -> np.ndarray:
    """Times (datetime64[s]) of records from an array of shape (records, 5): year, day, hour,
    minute, second as the header gives them."""
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
    """The time of one record (NaT when the header's values are not a time)."""
    return record_times(np.array([year, day, hour, minute, second]))[0]
