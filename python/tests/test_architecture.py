"""The package's floor plan, checked on the source of the package that is imported (a source
tree or an installed wheel): only the reading wing and the direction kernels use the extension
module, the direction fit needs numpy and the extension alone, only the commands parse arguments, print or exit, private names stay
in their wing, wings import only from those below them, no modules import one another in a
circle, and no module grows too long."""

from __future__ import annotations

import ast
import importlib.machinery
import importlib.util
import sys
from pathlib import Path
from typing import Dict, Iterator, List, Optional, Tuple

import pytest

FOLDER = Path(importlib.util.find_spec("vexo").submodule_search_locations[0])
LONGEST = 450  # lines a module may have
EXTENSION = "vexo._core"
# The modules besides the reading wing that hand work to the extension module: the direction
# fit and the detection of echoes.
KERNELS = ("vexo._directions.fit", "vexo._directions.peaks")
COMMANDS = ("vexo._commands", "vexo.__main__")  # may parse arguments, print and exit


def _name(path: Path) -> str:
    parts = ("vexo",) + path.relative_to(FOLDER).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


MODULES: Dict[str, Path] = {_name(p): p for p in sorted(FOLDER.rglob("*.py"))}
TREES = {name: ast.parse(path.read_text(encoding="utf-8")) for name, path in MODULES.items()}


def _is_module(name: str) -> bool:
    """A module or package of vexo, the extension module too."""
    if name in MODULES:
        return True
    stem = FOLDER.joinpath(*name.split(".")[1:])
    return any(stem.with_name(stem.name + s).exists()
               for s in importlib.machinery.EXTENSION_SUFFIXES)


def _within(name: str, prefixes: Tuple[str, ...]) -> bool:
    return any(name == p or name.startswith(p + ".") for p in prefixes)


def _wing(name: str) -> str:
    """vexo._reading.index -> vexo._reading; vexo.dask -> vexo.dask; vexo -> vexo."""
    return ".".join(name.split(".")[:2])


def _private(part: str) -> bool:
    return part.startswith("_") and not (part.startswith("__") and part.endswith("__"))


def _statements(tree: ast.AST, at_import: bool) -> Iterator[ast.AST]:
    """The nodes of a module; with at_import, only those run when it is imported (not in
    functions, nor under `if TYPE_CHECKING:`)."""
    for node in ast.iter_child_nodes(tree):
        if at_import and isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)):
            continue
        yield node
        if at_import and isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test):
            for other in node.orelse:
                yield other
                yield from _statements(other, at_import)
            continue
        yield from _statements(node, at_import)


Import = Tuple[ast.AST, str, Optional[str]]  # the statement, the module, a name of it


def _imports(name: str, at_import: bool = False) -> List[Import]:
    """What a module imports: (statement, module, None) for `import module` and (statement,
    module, name) for `from module import name`, relative imports made absolute."""
    package = name if MODULES[name].name == "__init__.py" else name.rpartition(".")[0]
    got: List[Import] = []
    for node in _statements(TREES[name], at_import):
        if isinstance(node, ast.Import):
            got += [(node, alias.name, None) for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                up = package.split(".")[:len(package.split(".")) - node.level + 1]
                base = ".".join(up + ([base] if base else []))
            got += [(node, base, alias.name) for alias in node.names]
    return got


def _target(module: str, item: Optional[str]) -> str:
    """The module an import runs: `from vexo import plot` runs vexo.plot."""
    if item is not None and _is_module(f"{module}.{item}"):
        return f"{module}.{item}"
    return module


def _where(name: str, node: ast.AST) -> str:
    return f"{MODULES[name].relative_to(FOLDER.parent)}:{getattr(node, 'lineno', '?')}"


def test_only_the_reading_wing_and_the_kernels_use_the_extension_module():
    wrong = []
    for name in MODULES:
        for node, module, item in _imports(name):
            target = _target(module, item)
            if not _within(target, (EXTENSION,)) or _within(name, ("vexo._reading", *KERNELS)):
                continue
            if name == "vexo" and module == EXTENSION and item == "version":
                continue  # the package's __version__
            wrong.append(f"{_where(name, node)}: {target}")
    assert not wrong, ("the extension module used outside vexo/_reading/ and the kernels:\n"
                       + "\n".join(wrong))


def test_the_direction_fit_needs_numpy_and_the_extension_alone():
    if not hasattr(sys, "stdlib_module_names"):
        pytest.skip("the standard library's names are known from Python 3.10")
    allowed = set(sys.stdlib_module_names) | {"numpy"}
    name = "vexo._directions.fit"
    wrong = [f"{_where(name, node)}: {module}" for node, module, item in _imports(name)
             if module.split(".")[0] not in allowed and _target(module, item) != EXTENSION]
    assert not wrong, "\n".join(wrong)


def _exits_or_prints(node: ast.AST) -> Optional[str]:
    if isinstance(node, ast.Raise) and node.exc is not None:
        raised = node.exc.func if isinstance(node.exc, ast.Call) else node.exc
        return "raise SystemExit" if ast.unparse(raised) == "SystemExit" else None
    if not isinstance(node, ast.Call):
        return None
    called = ast.unparse(node.func)
    return called if called in ("print", "exit", "quit", "sys.exit", "os._exit") else None


def test_only_the_commands_parse_arguments_print_or_exit():
    wrong = []
    for name in MODULES:
        if _within(name, COMMANDS):
            continue
        wrong += [f"{_where(name, node)}: imports argparse" for node, module, _ in
                  _imports(name) if module.split(".")[0] == "argparse"]
        for node in ast.walk(TREES[name]):
            what = _exits_or_prints(node)
            if what:
                wrong.append(f"{_where(name, node)}: {what}")
    assert not wrong, "\n".join(wrong)


def test_private_names_stay_in_their_wing():
    wrong = []
    for name in MODULES:
        for node, module, item in _imports(name):
            if not _within(module, ("vexo",)) or _wing(module) == _wing(name):
                continue
            target = _target(module, item)
            inner = target.split(".")[2:]  # below the wing
            if any(map(_private, inner)) or (target == module and item and _private(item)):
                wrong.append(f"{_where(name, node)}: {module}{'.' + item if item else ''}")
    assert not wrong, "private names imported from another wing:\n" + "\n".join(wrong)


#: The wings from the ground up: each imports only from those before it.
WINGS = ("vexo._names", "vexo._errors", "vexo._reading", "vexo._datasets", "vexo._directions",
         "vexo._archive", "vexo.dask", "vexo.plot", "vexo._commands")


def test_wings_import_only_from_those_below_them():
    wrong = []
    for name in MODULES:
        for node, module, item in _imports(name):
            wing, used = _wing(name), _wing(_target(module, item))
            if wing in WINGS and used in WINGS and WINGS.index(used) > WINGS.index(wing):
                wrong.append(f"{_where(name, node)}: {used}")
    assert not wrong, "imports from a wing above:\n" + "\n".join(wrong)


def test_no_modules_import_one_another_in_a_circle():
    edges = {name: sorted({_target(m, i) for _, m, i in _imports(name, at_import=True)
                           if _target(m, i) in MODULES and _target(m, i) != name})
             for name in MODULES}
    state: Dict[str, int] = {}  # 1 on the path, 2 done
    circles = []

    def visit(name: str, path: List[str]) -> None:
        state[name] = 1
        for other in edges[name]:
            if state.get(other) == 1:
                circles.append(" -> ".join(path[path.index(other):] + [name, other]))
            elif other not in state:
                visit(other, path + [name])
        state[name] = 2

    for name in MODULES:
        if name not in state:
            visit(name, [])
    assert not circles, "imports in a circle when the package is imported:\n" + "\n".join(
        circles)


def test_modules_stay_short():
    lines = {name: len(path.read_text(encoding="utf-8").splitlines())
             for name, path in MODULES.items()}
    assert all(n < LONGEST for n in lines.values()), {
        name: n for name, n in lines.items() if n >= LONGEST}
