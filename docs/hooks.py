"""What the documentation's build makes: the reference pages from the README's sections (the
README is their one source), the command reference from each command's own --help, the
gallery drawn by vexo.plot from the bundled examples, and the tutorial with every code block
run and its printed output shown. A block that fails fails the build."""

from __future__ import annotations

import contextlib
import io
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Dict, List, Tuple

from mkdocs.structure.files import File, Files

ROOT = Path(__file__).resolve().parents[1]

#: Pages made of README sections: the page, and the headings from which it runs to the next
#: heading of a page (None: the README's start).
PAGES: List[Tuple[str, str]] = [
    ("index.md", ""),
    ("python.md", "## Python"),
    ("pictures.md", "## Pictures"),
    ("directions.md", "## Directions and drift"),
    ("archives.md", "## Archives"),
    ("building.md", "## Building and installing"),
    ("cpp.md", "## Using the library from C++"),
    ("listing.md", "## What it does"),
    ("performance-headlines", "## Speed"),
    ("layout-headlines", "## Layout"),
    ("licence.md", "## Licence and citing"),
]

#: The commands whose --help the command reference shows, and how to run them here.
COMMANDS = [(name, [sys.executable, "-m", "vexo", command, "--help"])
            for name, command in (("vexo-convert", "convert"), ("vexo-plot", "plot"),
                                  ("vexo-info", "info"))]
LISTING_TOOL = ROOT / "build" / "vexo"


def _sections() -> Dict[str, str]:
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    starts = [(page, 0 if not heading else text.index("\n" + heading + "\n") + 1)
              for page, heading in PAGES]
    out = {}
    for (page, start), (_, end) in zip(starts, starts[1:] + [("", len(text))]):
        out[page] = text[start:end]
    return out


def _page(text: str) -> str:
    """A README section as a page: its pictures from the gallery, links to the repository's
    files as the files' names."""
    text = re.sub(r"\]\(doc/([a-z]+\.png)\)", r"](gallery/\1)", text)
    text = re.sub(r"(?<!!)\[([^\]]+)\]\((?!https?:|#|gallery/)([^)]+)\)", r"\1 (`\2`)", text)
    if not text.startswith("# "):
        text = re.sub(r"^## ", "# ", text, count=1)
    return text


def _help() -> str:
    parts = ["# Commands\n\nEach command's own `--help`, as the installed version prints it.\n"]
    runs = list(COMMANDS)
    if LISTING_TOOL.exists():
        runs.insert(0, ("vexo", [str(LISTING_TOOL), "--help"]))
    for name, command in runs:
        out = subprocess.run(command, check=True, capture_output=True, text=True, cwd=ROOT)
        parts.append(f"## {name}\n\n```\n{out.stdout.rstrip()}\n```\n")
    return "\n".join(parts)


def _gallery(folder: Path) -> None:
    """The pictures of the README, drawn by vexo.plot from the bundled examples."""
    import matplotlib

    matplotlib.use("Agg")
    import vexo.plot

    examples = ROOT / "examples"
    example = str(examples / "example.dft")
    for name, figure in (
            ("amplitude.png", lambda: vexo.plot.spectrum(example)),
            ("phases.png", lambda: vexo.plot.phases(example)),
            ("echo.png", lambda: vexo.plot.echo(example)),
            ("skymap.png", lambda: vexo.plot.skymap(
                str(examples / "drift.dft"), layout=str(examples / "drift-layout.toml"),
                window=60))):
        figure().savefig(folder / name)


def _tutorial(source: str) -> str:
    """The tutorial with each python block run in turn (one namespace, in the repository's
    folder) and what it prints shown below it."""
    namespace: Dict[str, object] = {}
    out: List[str] = []
    pieces = re.split(r"(```python\n.*?```\n)", source, flags=re.S)
    here = os.getcwd()
    os.chdir(ROOT)
    try:
        for piece in pieces:
            out.append(piece)
            if not piece.startswith("```python"):
                continue
            printed = io.StringIO()
            with contextlib.redirect_stdout(printed):
                exec(compile(piece[10:-4], "tutorial.md", "exec"), namespace)
            if printed.getvalue():
                out.append("```\n" + printed.getvalue().rstrip() + "\n```\n")
    finally:
        os.chdir(here)
    return "".join(out)


def _format() -> str:
    """The file format, as the library's header of records states it (its comments, which are
    its contract, and its record layout's constants)."""
    lines = (ROOT / "include" / "vexo" / "record.h").read_text(encoding="utf-8").splitlines()
    opening = [line[3:] for line in lines[:next(i for i, line in enumerate(lines)
                                                if not line.startswith("//"))]]
    start = next(i for i, line in enumerate(lines) if line.startswith("constexpr"))
    end = next(i for i, line in enumerate(lines) if line.startswith("struct Descriptor"))
    end = next(i for i in range(end, len(lines)) if lines[i].startswith("};")) + 1
    return ("# The DFT file format\n\nAs the library reads it (`include/vexo/record.h`, whose "
            "comments are quoted here):\n\n" + "\n".join(opening) + "\n\n```cpp\n"
            + "\n".join(lines[start:end]) + "\n```\n\nThe listing's reference (Listing and "
            "settings) says how each field is shown, what the tool does where the format "
            "leaves a choice, and how damaged files end.\n")


def on_files(files: Files, config) -> Files:
    sections = _sections()
    files.append(File.generated(config, "format.md", content=_format()))
    for page, text in sections.items():
        if page.endswith(".md"):
            files.append(File.generated(config, page, content=_page(text)))
    files.append(File.generated(config, "commands.md", content=_help()))
    tutorial = files.get_file_from_path("tutorial.md")
    if tutorial is not None:
        files.remove(tutorial)
        files.append(File.generated(config, "tutorial.md", content=_tutorial(
            tutorial.content_string)))
    folder = Path(tempfile.mkdtemp(prefix="vexo-gallery-"))
    _gallery(folder)
    for picture in sorted(folder.iterdir()):
        files.append(File.generated(config, f"gallery/{picture.name}",
                                    content=picture.read_bytes()))
    return files
