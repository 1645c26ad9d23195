"""DFT records from header fields, subblock descriptors and samples.

A record is 4096 bytes: 16 groups of an amplitude run of 128 bytes and a phase run of 128
bytes. Its header channel is bit 0 of the amplitude bytes in file order, four bits a nibble
(bit i of nibble n in amplitude byte 4n+i): 58 header nibbles, then 13 nibbles per subblock
descriptor, as far as the record's 2048 amplitude bytes reach. Byte 0 is the record marker.
"""

from __future__ import annotations

import operator
from pathlib import Path
from typing import Any, Dict, Iterable, Mapping, Sequence, Tuple, Union

import numpy as np
from numpy.typing import ArrayLike

RECORD_SIZE = 4096
SAMPLES = 2048  # amplitude (or phase) samples in a record
RUN = 128
MARKER = 10
HEADER_NIBBLES = 58
DESCRIPTOR_NIBBLES = 13
CHANNEL_NIBBLES = SAMPLES // 4  # the nibbles that fit into a record's own channel

# Header field: (first nibble, digits, base). FF, DIFF_D and C are hex digits, the others
# decimal digits (also on the hex positions); nibble 0 stays 0.
HEADER_FIELDS: Dict[str, Tuple[int, int, int]] = {
    "year": (1, 2, 10), "day": (3, 3, 10), "hour": (6, 2, 10), "minute": (8, 2, 10),
    "second": (10, 2, 10), "sp_s": (12, 1, 10), "sp_p": (13, 1, 10), "FF": (14, 2, 16),
    "J": (16, 1, 10), "E": (17, 1, 10), "H": (18, 1, 10), "M": (19, 1, 10),
    "FREQ": (20, 6, 10), "DIFF_D": (26, 1, 16), "I": (27, 1, 10), "DIFF_FF": (28, 2, 10),
    "S": (30, 1, 10), "l": (31, 1, 10), "u": (32, 1, 10), "L": (33, 2, 10), "C": (35, 1, 16),
    "U": (36, 2, 10), "B": (38, 1, 10), "T": (39, 1, 10), "O": (40, 1, 10), "V": (41, 3, 10),
    "X": (44, 1, 10), "A": (45, 1, 10), "D1": (46, 1, 10), "D2": (47, 1, 10), "N": (48, 1, 10),
    "R": (49, 1, 10), "w": (50, 1, 10), "k": (51, 1, 10), "f": (52, 1, 10), "g": (53, 1, 10),
    "OO": (54, 2, 10), "P": (56, 1, 10), "G": (57, 1, 10),
}

# The most each descriptor value can be: kHz, km, dB, polarization.
DESCRIPTOR_HIGHEST = (99999, 9999, 9, 15)


def _digits(value: np.ndarray, width: int, base: int) -> np.ndarray:
    """The last `width` digits of non-negative `value` in `base`, most significant first, along
    a new last axis."""
    powers = base ** np.arange(width - 1, -1, -1, dtype=np.int64)
    return value[..., None] // powers % base


def header_nibbles(fields: Mapping[str, ArrayLike]) -> np.ndarray:
    """The 58 header nibbles of the field values.

    Parameters
    ----------
    fields : mapping
        Header field name -> non-negative whole value, or an array of them (one per record);
        fields not given are 0. A value wider than its digits keeps its last digits.

    Returns
    -------
    numpy.ndarray
        int64 nibbles, shape ``(..., 58)`` for the broadcast shape of the values.
    """
    unknown = set(fields) - set(HEADER_FIELDS)
    if unknown:
        raise ValueError(f"no header field {sorted(unknown)[0]!r}")
    values = {name: np.asarray(fields.get(name, 0)).astype(np.int64) for name in HEADER_FIELDS}
    shape = np.broadcast_shapes(*(v.shape for v in values.values()))
    nibbles = np.zeros(shape + (HEADER_NIBBLES,), np.int64)
    for name, (first, width, base) in HEADER_FIELDS.items():
        nibbles[..., first:first + width] = _digits(values[name], width, base)
    return nibbles


def descriptor_nibbles(frequency: ArrayLike, height: ArrayLike, gain: ArrayLike,
                       polarization: ArrayLike) -> np.ndarray:
    """The 13 nibbles of subblock descriptors: five decimal digits of kHz, four of km, two
    unused nibbles (0), the dB digit and the polarization.

    Parameters
    ----------
    frequency, height, gain, polarization : array_like
        Whole values 0..99999, 0..9999, 0..9 and 0..15 (broadcast together).

    Returns
    -------
    numpy.ndarray
        int64 nibbles, shape ``(..., 13)``.
    """
    frequency, height, gain, polarization = (
        np.asarray(v).astype(np.int64) for v in (frequency, height, gain, polarization))
    shape = np.broadcast_shapes(frequency.shape, height.shape, gain.shape, polarization.shape)
    nibbles = np.zeros(shape + (DESCRIPTOR_NIBBLES,), np.int64)
    nibbles[..., 0:5] = _digits(frequency, 5, 10)
    nibbles[..., 5:9] = _digits(height, 4, 10)
    nibbles[..., 11] = gain
    nibbles[..., 12] = polarization
    return nibbles


def encode_records(nibbles: ArrayLike, amplitude: ArrayLike, phase: ArrayLike) -> np.ndarray:
    """Records of the given header channels and samples.

    Parameters
    ----------
    nibbles : array_like
        Shape ``(records, n)``: each record's channel nibbles (0..15), header nibbles first.
        Only the first 512 fit; where the channel ends, amplitude bytes keep their bit 0.
    amplitude, phase : array_like
        Shape ``(records, 2048)``: the samples (0..255).

    Returns
    -------
    numpy.ndarray
        uint8, shape ``(records, 4096)``; byte 0 of each record is the marker whatever
        amplitude sample 0 is.
    """
    nibbles = np.asarray(nibbles, dtype=np.int64)[:, :CHANNEL_NIBBLES]
    count = nibbles.shape[0]
    bits = ((nibbles[..., None] >> np.arange(4)) & 1).reshape(count, -1).astype(np.uint8)
    amplitude = np.array(amplitude, dtype=np.uint8).reshape(count, SAMPLES)
    channel = amplitude[:, :bits.shape[1]]
    channel[...] = (channel & 0xFE) | bits
    groups = np.empty((count, SAMPLES // RUN, 2, RUN), np.uint8)  # amplitude run, phase run
    groups[:, :, 0] = amplitude.reshape(count, -1, RUN)
    groups[:, :, 1] = np.asarray(phase, dtype=np.uint8).reshape(count, -1, RUN)
    records = groups.reshape(count, RECORD_SIZE)
    records[:, 0] = MARKER
    return records


def _whole(value: Any, highest: int, what: str) -> int:
    """`value` (an int or numpy integer) within 0..highest, or ValueError."""
    try:
        number = operator.index(value)
    except TypeError:
        raise ValueError(f"{what}: {value!r} is not a whole number") from None
    if not 0 <= number <= highest:
        raise ValueError(f"{what}: {value!r} is not within 0..{highest}")
    return number


def record_bytes(header: Mapping[str, int], descriptors: Sequence[Sequence[int]],
                 amplitude: Any, phase: Any) -> bytes:
    """One record exactly as described.

    Parameters
    ----------
    header : mapping
        Header field name -> whole value 0..999999 (DIFF_D keeps its last hex digit); the
        others are 0.
    descriptors : sequence
        (kHz, km, dB, polarization) per subblock, in order.
    amplitude, phase : bytes-like or sequence of int
        2048 bytes each (as ``bytes()`` takes them); bit 0 of the amplitude bytes gives way
        to the header channel where the channel reaches.

    Returns
    -------
    bytes
        The 4096 bytes of the record.
    """
    fields = {name: _whole(v, 999999, name) for name, v in header.items()}
    if "DIFF_D" in fields:
        fields["DIFF_D"] &= 0xF
    table = np.zeros((len(descriptors), 4), np.int64)
    for row, d in zip(table, descriptors):
        if len(d) != 4:
            raise ValueError(f"a descriptor is (kHz, km, dB, polarization), not {tuple(d)!r}")
        row[:] = [_whole(v, top, "descriptor") for v, top in zip(d, DESCRIPTOR_HIGHEST)]
    samples = [np.frombuffer(bytes(s), np.uint8) for s in (amplitude, phase)]
    if any(s.shape != (SAMPLES,) for s in samples):
        raise ValueError(f"amplitude and phase need {SAMPLES} bytes each")
    nibbles = np.concatenate([header_nibbles(fields),
                              descriptor_nibbles(*table.T).reshape(-1)])
    return encode_records(nibbles[None], samples[0][None], samples[1][None]).tobytes()


def write_records(path: Union[str, Path], records: Iterable[Mapping[str, Any]]) -> Path:
    """Writes a DFT file of exactly these records.

    Parameters
    ----------
    path : str or Path
        The file to write.
    records : iterable of mapping
        Each with "header", "descriptors", "amplitude" and "phase" as `record_bytes` takes
        them.

    Returns
    -------
    Path
        `path`.
    """
    data = b"".join(record_bytes(r["header"], r["descriptors"], r["amplitude"], r["phase"])
                    for r in records)
    path = Path(path)
    path.write_bytes(data)
    return path
