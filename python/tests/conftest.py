"""Shared helpers: DFT files written by the test support (the synthetic sounding and records
of given fields and samples), and the listing program of the C++ build with the listing's
values as text tokens."""

from __future__ import annotations

import itertools
import os
import subprocess
import sys
from pathlib import Path
from typing import Any, Dict, List

import pytest

from support import sounding
from support.records import write_records

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "example.dft"

SETTING_NAMES = [
    "Listing file name",
    "Listing mode (1 phase, 2 amplitude)",
    "Header lines (1 yes)",
    "Subblock lines (1 yes)",
    "Antenna phase correction (1 yes)",
    "Subblock frequency in kHz (-1 any)",
    "Subblock height in km (-1 any)",
    "Polarization (-1 any)",
    "Antenna (-1 any)",
    "Amplitude scale (0 dB, 1 linear)",
    "Subblock step (-1 every subblock)",
    "Record frequency (0 every record)",
    "Convert samples (0 raw)",
]


def _tool(variable: str, name: str) -> Path:
    path = Path(os.environ.get(variable, ROOT / "build" / name))
    if not path.exists():
        pytest.skip(f"{name} is not built (set {variable} or build into build/)")
    return path


@pytest.fixture(scope="session")
def make_dft(tmp_path_factory: pytest.TempPathFactory):
    """make_dft(records, shapes="5/4", mode="") -> path of a generated DFT file, the synthetic
    sounding of the example (shapes "random" for a program drawn at random every record)."""
    folder = tmp_path_factory.mktemp("dft")

    def make(records: int, shapes: str = "5/4", mode: str = "") -> Path:
        path = folder / f"{records}-{shapes.replace('/', '_').replace(',', '-')}-{mode}.dft"
        return sounding.write_sounding(path, records, shapes, mode)

    return make


@pytest.fixture(scope="session")
def make_records(tmp_path_factory: pytest.TempPathFactory):
    """make_records(records) -> path of a DFT file of exactly these records, each a dict of
    "header" (field name -> value; the others 0), "descriptors" ((kHz, km, dB, polarization)
    per subblock), "amplitude" and "phase" (2048 bytes each)."""
    folder = tmp_path_factory.mktemp("records")
    made = itertools.count(1)

    def make(records: List[Dict[str, Any]]) -> Path:
        return write_records(folder / f"records-{next(made)}.dft", records)

    return make


@pytest.fixture(scope="session")
def listing(tmp_path_factory: pytest.TempPathFactory):
    """listing(dft, phase=True, correction=0, frequency=-1, antenna=-1, scale=0, convert=1)
    -> the sample fields of the listing as text tokens (no header or subblock lines)."""
    tool = _tool("VEXO_TOOL", "vexo")
    folder = tmp_path_factory.mktemp("listing")

    def run(dft: Path, phase: bool = True, correction: int = 0, frequency: int = -1,
            height: int = -1, polarization: int = -1, antenna: int = -1, scale: int = 0,
            convert: int = 1) -> List[str]:
        out = folder / "out.lst"
        values = [out, 1 if phase else 2, 0, 0, correction, frequency, height, polarization,
                  antenna, scale, -1, 0, convert]
        settings = folder / "run.set"
        settings.write_text("".join(f"{n}\n{v}\n" for n, v in zip(SETTING_NAMES, values)))
        subprocess.run([str(tool), str(dft), str(settings)], check=True,
                       stdout=subprocess.DEVNULL)
        return out.read_text().split()

    return run


def convert(*args: Any, **kwargs: Any) -> "subprocess.CompletedProcess[str]":
    """Runs vexo-convert (python -m vexo convert) with these arguments."""
    return subprocess.run([sys.executable, "-m", "vexo", "convert", *map(str, args)],
                          capture_output=True, text=True, **kwargs)
