"""Archives under hostile conditions: folders that cannot be searched and links that lead
back, input names that output names must not carry, runs killed under their workers, a full
disk."""

from __future__ import annotations

import hashlib
import os
import signal
import socket
import subprocess
import sys
import time

import pytest

import vexo

duckdb = pytest.importorskip("duckdb")
pytest.importorskip("pyarrow")
pytest.importorskip("dask.dataframe")

import vexo.dask  # noqa: E402
from conftest import convert  # noqa: E402


def test_folders_that_cannot_be_searched_are_named_and_links_followed_once(
        make_dft, tmp_path, monkeypatch, capsys):
    from vexo._archive import inputs
    from vexo._commands.convert import main

    folder, other = tmp_path / "in", tmp_path / "other"
    for sub in ("sub", "locked", ".hidden"):
        (folder / sub).mkdir(parents=True)
    other.mkdir()
    for name in ("a.dft", "sub/b.dft", "locked/c.dft", ".hidden/h.dft"):
        os.replace(make_dft(3), folder / name)
    os.replace(make_dft(3), other / "d.dft")
    for link, target in (("loop", "."), ("sub/up", ".."), ("sub/again", "../sub"),
                         ("elsewhere", "../other")):
        os.symlink(target, folder / link)

    # links back up end, a folder reached twice is searched once, a link out is followed
    done = convert(f"{folder}/**/*.dft", "-o", tmp_path / "out", timeout=120)
    assert done.returncode == 0 and "4 files (4 converted" in done.stderr, done.stderr
    assert "4 files (0 converted, 4 up to date" in convert(folder, "-o", tmp_path / "out",
                                                          timeout=120).stderr

    # a folder that cannot be listed, a path beyond the system's length, a link to nothing
    scandir = os.scandir
    locked = str(folder / "locked")

    def refusing(path="."):
        if os.fspath(path) == locked:
            raise PermissionError(13, "Permission denied", path)
        return scandir(path)

    monkeypatch.setattr(inputs.os, "scandir", refusing)
    deep = os.open(folder / "sub", os.O_RDONLY)
    for _ in range(5000 // 250):
        os.mkdir("d" * 250, dir_fd=deep)
        deep, parent = os.open("d" * 250, os.O_RDONLY, dir_fd=deep), deep
        os.close(parent)
    os.close(deep)
    os.symlink("nothing.dft", folder / "gone.dft")
    for inputs_given in ([folder], [f"{folder}/**/*.dft"]):
        assert main([*map(str, inputs_given), "-o", str(tmp_path / "out"), "--jobs", "1"]) == 1
        lines = capsys.readouterr().err.splitlines()
        for unreadable in (locked, f"{folder}/gone.dft", f"{folder}/sub/{'d' * 250}/"):
            assert any(line.startswith(f"vexo-convert: {unreadable}") for line in lines), \
                "\n".join(lines)
        assert "3 files (0 converted, 3 up to date" in lines[-1]
    assert main([locked, "-o", str(tmp_path / "out")]) == 1  # named itself
    assert capsys.readouterr().err.startswith(f"vexo-convert: {locked}: ")
    with pytest.raises(PermissionError, match="locked"):
        vexo.dask.read_archive(str(folder / "locked"))


def test_odd_names_give_outputs_that_every_glob_reads(make_dft, tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    names = [b"plain.dft", b"new\nline.dft", b"latin\xe9.dft", b"back\\slash.dft",
             b"\x1b[31m.dft", b"long" + b"\xc3\xa9" * 120 + b".dft"]  # the last 246 bytes
    for name in names:
        os.replace(make_dft(2), os.path.join(os.fsencode(folder), name))
    out = tmp_path / "out"
    done = convert(folder, "-o", out, "--jobs", "1")
    assert done.returncode == 0, done.stderr
    files = duckdb.sql(f"SELECT count(DISTINCT file), count(*) FROM read_parquet("
                       f"'{out}/**/*.parquet', hive_partitioning=true)").fetchall()
    assert files == [(len(names), len(names) * 2 * 64)]
    digest = hashlib.sha1(os.fsencode(os.path.realpath(folder / "plain.dft"))).hexdigest()[:8]
    assert (out / "samples" / "year=2026" / "month=12" / "day=8" /
            f"plain-{digest}.parquet").exists()


def _descendants(pid):
    """The processes below pid (Linux /proc)."""
    parents = {}
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                parents[int(entry)] = int(f.read().rpartition(b")")[2].split()[1])
        except (ValueError, OSError):
            pass
    below, found = {pid}, set()
    while below:
        below = {p for p, parent in parents.items() if parent in below}
        found |= below
    return found


def _running(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rpartition(b")")[2].split()[0] != b"Z"
    except OSError:
        return False


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_workers_end_with_a_killed_run_and_a_later_run_cleans_up(make_dft, tmp_path):
    from vexo._archive.outputs import remove_abandoned

    folder = tmp_path / "in"
    folder.mkdir()
    for i in range(16):
        os.replace(make_dft(300 + i), folder / f"f{i:02}.dft")
    out = tmp_path / "out"
    run = subprocess.Popen([sys.executable, "-m", "vexo", "convert", str(folder), "-o",
                            str(out), "--jobs", "2"], stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    while not list(out.glob("**/*.parquet")) and time.monotonic() < deadline:
        time.sleep(0.005)
    below = _descendants(run.pid)
    assert len(below) >= 2  # the workers (and the processes that serve them)
    run.send_signal(signal.SIGKILL)
    run.wait()
    deadline = time.monotonic() + 10
    while any(map(_running, below)) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not [p for p in below if _running(p)]

    # a temporary file of a process that has ended, zombie or gone, is removed
    ended = subprocess.Popen(["true"])
    while _running(ended.pid):
        time.sleep(0.01)  # a zombie until waited for
    host = socket.gethostname().replace(".", "_")
    (out / f".x.parquet.{host}.{ended.pid}.tmp").write_bytes(b"")
    (out / f".y.parquet.{host}.{os.getpid()}.tmp").write_bytes(b"")  # this process: kept
    remove_abandoned(str(out))
    assert [p.name for p in out.glob(".*.tmp")] == [f".y.parquet.{host}.{os.getpid()}.tmp"]
    ended.wait()


def test_a_full_disk_is_said_and_the_next_file_converts(make_dft, tmp_path, monkeypatch):
    from vexo._archive import convert as converting
    from vexo._archive import outputs
    from vexo._archive.convert import convert_file
    from vexo._archive.rows import Conversion

    kept = []  # what a writer that fails on a full disk leaves open
    real = converting.to_netcdf

    def fails_full(path, outdir, conversion, staging, *args):
        os.makedirs(outdir, exist_ok=True)
        temporary = staging.claim(os.path.join(outdir, "x.nc"))
        kept.append(open(temporary, "wb"))
        kept[-1].write(b"\0" * 100000)
        kept[-1].flush()
        raise RuntimeError("NetCDF: HDF error")

    monkeypatch.setattr(converting, "to_netcdf", fails_full)
    monkeypatch.setattr(outputs, "FULL_BELOW", 1 << 62)  # every file system counts as full
    out = str(tmp_path / "out")
    failed = convert_file(str(make_dft(3)), out, "netcdf", Conversion())
    assert failed.failure == f"No space left on device: {out}" and not failed.outputs
    assert os.fstat(kept[0].fileno()).st_size == 0  # the space it held is given back
    monkeypatch.setattr(converting, "to_netcdf", real)
    monkeypatch.setattr(outputs, "FULL_BELOW", 0)
    assert not convert_file(str(make_dft(4)), out, "netcdf", Conversion()).failure
    kept[0].close()
