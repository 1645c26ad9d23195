"""The examples in the package's docstrings run and show what they say, with the repository's
root as the working folder (they read examples/example.dft)."""

from __future__ import annotations

import doctest
import importlib
import importlib.util
import pkgutil
from pathlib import Path

import pytest

import vexo

ROOT = Path(__file__).resolve().parents[2]
OPTIONAL = {"vexo.plot": "matplotlib", "vexo.dask": "dask.dataframe"}


def _modules() -> list:
    """The package's modules that hold examples."""
    names = [m.name for m in pkgutil.walk_packages(vexo.__path__, "vexo.")] + ["vexo"]
    origins = {n: importlib.util.find_spec(n).origin for n in names if not n.endswith("._core")}
    return sorted(n for n, path in origins.items() if ">>>" in Path(path).read_text())


@pytest.mark.parametrize("name", _modules())
def test_examples(name, monkeypatch):
    needs = next((lib for prefix, lib in OPTIONAL.items() if name.startswith(prefix)), None)
    if needs:
        pytest.importorskip(needs)
    module = importlib.import_module(name)
    finder = doctest.DocTestFinder(exclude_empty=True)
    tests = [t for t in finder.find(module, name) if t.examples and
             t.filename == module.__file__]
    monkeypatch.chdir(ROOT)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    for test in tests:
        runner.run(test)
    failed, tried = runner.summarize(verbose=False)
    assert failed == 0, f"{name}: {failed} of {tried} examples failed (see the output above)"
