"""The tests' own DFT writer: the bundled example, and records that read back as written."""

from __future__ import annotations

import numpy as np

import vexo
from conftest import EXAMPLE
from support import sounding


def test_the_sounding_of_six_records_is_the_bundled_example():
    assert sounding.sounding_bytes(6) == EXAMPLE.read_bytes()


def test_written_fields_descriptors_and_samples_read_back(make_records):
    # 8 antennas of 2^3 lines: 32 subblocks, whose descriptors all fit into the record's own
    # channel (58 + 32 * 13 = 474 nibbles of 512). FF, DIFF_D and C take hex digits.
    header = {"year": 26, "day": 123, "hour": 4, "minute": 5, "second": 6, "sp_s": 1, "FF": 0xFE,
              "J": 1, "FREQ": 123456, "DIFF_D": 0xA, "DIFF_FF": 98, "l": 1, "L": 12, "C": 0xB,
              "V": 789, "X": 1, "A": 8, "D1": 3, "D2": 2, "N": 3, "R": 2, "OO": 42, "G": 9}
    descriptors = [(99999 - 3001 * s, 9999 - 271 * s, s % 10, 15 - s % 16) for s in range(32)]
    amplitude = np.arange(2048) % 256
    phase = (7 * np.arange(2048) + 3) % 256
    path = make_records([{"header": header, "descriptors": descriptors,
                          "amplitude": amplitude.astype(np.uint8),
                          "phase": phase.astype(np.uint8)}])

    with vexo.open(path) as f:
        (record,) = list(f)
    assert record.header == dict.fromkeys(record.header, 0) | header
    got = record.descriptors
    np.testing.assert_array_equal(
        np.column_stack([got["frequency"], got["height"], got["gain"], got["polarization"]]),
        descriptors)
    # Subblock, antenna, line: the samples in file order. Past the channel's 4 * 474 bits the
    # amplitudes keep their bit 0 too.
    np.testing.assert_array_equal(record.phase.reshape(-1), phase)
    np.testing.assert_array_equal(record.amplitude.reshape(-1)[4 * 474:], amplitude[4 * 474:])
