"""Options that are not what they seem, and the xarray engine's guess on what is no regular
file: each refused or left alone in a way that says so, never read as something else."""

from __future__ import annotations

import io
import os
import threading
from pathlib import Path

import pytest

import vexo
from conftest import EXAMPLE
from vexo._datasets.backend import VexoBackendEntrypoint

xr = pytest.importorskip("xarray")


def test_flags_are_true_or_false_and_nothing_that_only_looks_like_one():
    for options in ({"correct": "no"}, {"convert": "False"}, {"correct": 2},
                    {"convert": None}):
        (name, value), = options.items()
        with pytest.raises(TypeError, match=f"{name}: a bool is needed.*{value!r}"):
            vexo.read(EXAMPLE, **options)
        with pytest.raises(TypeError, match=f"{name}: a bool is needed"):
            xr.open_dataset(EXAMPLE, engine="vexo", **options)
    raw = vexo.read(EXAMPLE, records=1, correct=0, convert=False)
    assert raw.attrs["phase_correction"] == 0 and "phase_degrees" not in raw


def test_the_engine_guess_reads_regular_files_alone(tmp_path):
    backend = VexoBackendEntrypoint()
    copy = tmp_path / "day.bin"
    copy.write_bytes(EXAMPLE.read_bytes())
    assert backend.guess_can_open(copy) and backend.guess_can_open(str(EXAMPLE))
    assert backend.guess_can_open(tmp_path / "not-yet.dft")  # by its name: opening says why

    pipe = tmp_path / "stream.dft"
    os.mkfifo(pipe)  # opened for reading, it would wait for a writer
    guesses = []
    for source in (pipe, "/dev/zero"):
        guessing = threading.Thread(target=lambda: guesses.append(
            backend.guess_can_open(source)), daemon=True)
        guessing.start()
        guessing.join(30)
        if guessing.is_alive():
            with open(pipe, "wb"):  # lets the guess go
                pass
            pytest.fail(f"the guess opened {source} to read it")
    assert guesses == [False, False]

    class Stream(io.RawIOBase):  # a socket or a pipe as a file object: no seeking
        def readable(self) -> bool:
            return True

        def readinto(self, buffer) -> int:
            raise AssertionError("read to guess")

    assert not backend.guess_can_open(io.BufferedReader(Stream()))


def test_every_install_hint_names_this_package():
    # The package index's "vexo" is another project: hints name ours, as pyproject does.
    from vexo._errors import DISTRIBUTION, install_hint

    folder = Path(vexo.__file__).parent
    pyproject = folder.parents[1] / "pyproject.toml"
    if pyproject.exists():  # a source tree
        assert f'name = "{DISTRIBUTION}"' in pyproject.read_text(encoding="utf-8")
    hint = install_hint("plot")
    assert hint == f"pip install '{DISTRIBUTION}[plot]'" != "pip install 'vexo[plot]'"
    for module in folder.rglob("*.py"):
        assert "pip install 'vexo[" not in module.read_text(encoding="utf-8"), module
