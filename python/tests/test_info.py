"""vexo-info: the summaries of the bundled examples, a damaged file, files that cannot be read,
--json against the text form, and --version of every command."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path
from typing import Any, Dict

import vexo
from support import drift_example as drift

ROOT = Path(__file__).resolve().parents[2]
DRIFT = ROOT / "examples" / "drift.dft"
EXAMPLE = ROOT / "examples" / "example.dft"
RECORD_BYTES = 4096


def info(*args: Any) -> "subprocess.CompletedProcess[str]":
    """Runs vexo-info with these arguments."""
    return subprocess.run([sys.executable, "-m", "vexo._commands.info", *map(str, args)],
                          capture_output=True, text=True, cwd=ROOT)


def blocks(stdout: str) -> Dict[str, Dict[str, str]]:
    """The text form: file name -> item label -> value."""
    out: Dict[str, Dict[str, str]] = {}
    for block in stdout.strip().split("\n\n"):
        name, *rows = block.splitlines()
        out[name] = dict(tuple(part.strip() for part in row.split(":", 1)) for row in rows)
    return out


def test_the_bundled_examples_are_summarised_from_what_they_were_written_with():
    run = info(DRIFT, EXAMPLE)
    assert (run.returncode, run.stderr) == (0, "")
    got = blocks(run.stdout)
    assert list(got) == [str(DRIFT), str(EXAMPLE)]
    d = got[str(DRIFT)]
    # 24 records one a second from 12:00:00 on day 342 of 2026 (8 December), all of N 5, A 6
    assert d["records"] == str(drift.RECORDS) == "24"
    assert d["shapes (N/A)"] == f"{drift.N}/{drift.A}: 24 records"
    assert d["time (UTC)"] == "2026-12-08T12:00:00Z to 2026-12-08T12:00:23Z"
    # five frequencies in two polarizations, the second mode 8 km higher: 96 to 112 km by 2
    assert d["frequencies"] == ", ".join(map(str, sorted(drift.FREQUENCIES))) + " kHz"
    heights = sorted(set(drift.HEIGHTS[1]) | set(drift.HEIGHTS[2]))
    assert heights == list(range(96, 113, 2))
    assert d["heights"] == ", ".join(map(str, heights)) + " km"
    assert d["polarizations"] == "1, 2"
    assert d["antennas"] == "1, 2, 3, 4, 5, 6"
    assert d["end"] == "end of file"
    e = got[str(EXAMPLE)]
    assert (e["records"], e["shapes (N/A)"], e["antennas"]) == ("6", "5/4: 6 records",
                                                               "1, 2, 3, 4")
    assert e["time (UTC)"] == "2026-12-08T12:00:00Z to 2026-12-08T12:00:05Z"


def test_damaged_and_unreadable_files_are_said_and_the_others_still_summarised(tmp_path):
    cut = tmp_path / "cut.dft"
    cut.write_bytes(DRIFT.read_bytes()[:10 * RECORD_BYTES + 1000])  # inside record 11
    missing, folder = tmp_path / "missing.dft", tmp_path
    run = info(missing, cut, folder, EXAMPLE)
    assert run.returncode == 1
    said = run.stderr.splitlines()
    assert said[0] == f"vexo-info: {missing}: No such file or directory"
    assert said[1].startswith(f"vexo-info: {cut}: record 11 at byte 40960: ")
    assert said[2] == f"vexo-info: {folder}: Is a directory"
    assert len(said) == 3
    got = blocks(run.stdout)
    assert list(got) == [str(cut), str(EXAMPLE)]
    assert got[str(cut)]["records"] == "10"
    assert got[str(cut)]["time (UTC)"] == "2026-12-08T12:00:00Z to 2026-12-08T12:00:09Z"
    assert got[str(cut)]["end"].startswith("damaged: record 11 at byte 40960: ")
    assert got[str(EXAMPLE)]["end"] == "end of file"
    # a usage error is status 2; the help gives the statuses
    assert info().returncode == 2
    assert "1 a file could not be read or was damaged" in " ".join(info("--help").stdout.split())


def test_json_holds_the_numbers_of_the_text_form(tmp_path):
    cut = tmp_path / "cut.dft"
    cut.write_bytes(EXAMPLE.read_bytes()[:2 * RECORD_BYTES + 100])  # inside record 3
    missing = tmp_path / "missing.dft"
    shown = info(DRIFT, cut)
    assert shown.returncode == 1  # a damaged file alone
    run = info("--json", DRIFT, cut, missing)
    assert run.returncode == 1
    objects = json.loads(run.stdout)
    assert objects[2] == {"file": str(missing),
                          "error": f"{missing}: No such file or directory"}
    assert [o["file"] for o in objects[:2]] == [str(DRIFT), str(cut)]
    for o in objects[:2]:
        t = blocks(shown.stdout)[o["file"]]
        assert str(o["records"]) == t["records"]
        assert [f"{s['N']}/{s['A']}: {s['records']} records" for s in o["shapes"]] == \
            t["shapes (N/A)"].split("; ")
        assert f"{o['first']} to {o['last']}" == t["time (UTC)"]
        for key, unit in (("frequencies", " kHz"), ("heights", " km"), ("polarizations", ""),
                          ("antennas", "")):
            assert all(isinstance(v, (int, float)) for v in o[key])
            assert ", ".join(map(str, o[key])) + unit == t[key]
    assert objects[0]["records"] == 24 and objects[0]["damaged"] is False
    assert objects[0]["first"] == "2026-12-08T12:00:00Z" and objects[0]["damage"] is None
    assert objects[1]["records"] == 2 and objects[1]["damaged"] is True
    assert objects[1]["stop"] == objects[1]["damage"]
    assert objects[1]["damage"].startswith("record 3 at byte 8192: ")


def test_every_command_gives_the_version():
    for module in ("vexo._commands.info", "vexo._commands.convert", "vexo._commands.plot"):
        run = subprocess.run([sys.executable, "-m", module, "--version"], capture_output=True,
                             text=True, cwd=ROOT)
        assert (run.returncode, run.stderr) == (0, ""), module
        assert run.stdout.split()[-1] == vexo.__version__, module
