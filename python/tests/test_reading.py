"""Reading files as users hand them over (vexo.open, vexo.read): damaged, of several shapes,
through a pipe, from two threads, missing; times, headers, names and selections."""

from __future__ import annotations

import gc
import io
import os
import random
import subprocess
import threading
import warnings
import weakref

import numpy as np
import pytest
import xarray as xr

import vexo
from conftest import EXAMPLE


def test_damaged_file_gives_the_records_before_the_damage(tmp_path):
    data = EXAMPLE.read_bytes()
    cut = tmp_path / "cut.dft"
    cut.write_bytes(data[: 2 * 4096 + 100])
    with vexo.open(cut) as f:
        assert [r.number for r in f] == [1, 2]
        assert (f.stop.reason, f.stop.record, f.stop.offset) == ("truncated", 3, 8192)
        assert f.stop.message == "record 3 at byte 8192: truncated record, 100 of 4096 bytes"
    with pytest.warns(vexo.DamagedFileWarning, match=r"cut\.dft: record 3 at byte 8192"):
        ds = vexo.read(cut)
    assert list(ds.record.values) == [1, 2]
    np.testing.assert_array_equal(ds.phase_degrees.values, vexo.read(EXAMPLE).phase_degrees[:2])

    marker = bytearray(data)
    marker[4096 * 3] = 65
    (tmp_path / "marker.dft").write_bytes(marker)
    with vexo.open(tmp_path / "marker.dft") as f:
        assert len(list(f)) == 3 and f.stop.reason == "bad_marker"


def test_no_bytes_crash_the_interpreter(tmp_path):
    # Damage anywhere in a record: the reader stops or goes on, the values stay defined.
    rng = random.Random(12)
    data = EXAMPLE.read_bytes()
    for case in range(150):
        mutated = bytearray(data[: rng.choice([4096, 8192, 12288, 5000])])
        for _ in range(rng.randint(1, 40)):
            mutated[rng.randrange(len(mutated))] = rng.randrange(256)
        path = tmp_path / f"{case}.dft"
        path.write_bytes(bytes(mutated))
        with vexo.open(path) as f:
            for r in f:
                r.phase_degrees(), r.amplitude_ratio(), r.descriptors, r.time
                if r.antennas >= 4:
                    r.amplitude_mean_db()
            assert f.stop is not None
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                vexo.read(path)
            except vexo.ShapeError:
                pass


def test_records_of_several_shapes(make_dft):
    path = make_dft(5, "5/4,3/4")
    with pytest.raises(vexo.ShapeError, match=r"N=5 A=4: 3 records, N=3 A=4: 2 records"):
        vexo.read(path)
    first, second = vexo.read(path, shape=(5, 4)), vexo.read(path, shape=(3, 4))
    assert list(first.record.values) == [1, 3, 5] and list(second.record.values) == [2, 4]
    assert (second.sizes["subblock"], second.sizes["line"]) == (64, 8)
    assert list(vexo.read(path, records=[2, 4]).record.values) == [2, 4]
    with pytest.raises(ValueError, match="no record of shape N=7 A=4"):
        vexo.read(path, shape=(7, 4))
    with pytest.raises(ValueError, match="antenna 5: .* antennas 1 to 4"):
        vexo.read(path, shape=(5, 4), antenna=5)


def test_pipe_and_file_objects_read_as_the_path():
    whole = vexo.read(EXAMPLE)
    with subprocess.Popen(["cat", str(EXAMPLE)], stdout=subprocess.PIPE) as cat:
        with vexo.open(cat.stdout) as f:
            piped = [r.phase_degrees() for r in f]
            assert f.stop.clean
    np.testing.assert_array_equal(np.stack(piped), whole.phase_degrees.values)
    with open(EXAMPLE, "rb") as file:
        xr.testing.assert_identical(vexo.read(file).drop_attrs(), whole.drop_attrs())

    class Failing:
        def read(self, size):
            raise RuntimeError("the disk is gone")

    with pytest.raises(RuntimeError, match="the disk is gone"):
        list(vexo.open(Failing()))


def test_two_threads_read_two_files(make_dft):
    paths = [make_dft(300, "5/4", "varied"), make_dft(300, "7/2", "backwards")]
    alone = [vexo.read(p, shape=(7, 2)) if "7_2" in p.name else None for p in paths]
    results = {}

    def work(i):
        with vexo.open(paths[i]) as f:
            results[i] = [r.phase_degrees() for r in f]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, path in enumerate(paths):
        with vexo.open(path) as f:
            expected = [r.phase_degrees() for r in f]
        assert len(results[i]) == 300
        assert all(np.array_equal(a, b) for a, b in zip(results[i], expected))
    np.testing.assert_array_equal(np.stack(results[1]), alone[1].phase_degrees.values)


def test_missing_files_raise_oserror(tmp_path):
    with pytest.raises(FileNotFoundError) as raised:
        vexo.open(tmp_path / "none.dft")
    assert raised.value.filename == str(tmp_path / "none.dft")
    with pytest.raises(IsADirectoryError):
        vexo.read(tmp_path)
    if os.geteuid() != 0:
        locked = tmp_path / "locked.dft"
        locked.write_bytes(b"")
        locked.chmod(0)
        with pytest.raises(PermissionError):
            vexo.read(locked)


def test_record_times_and_header():
    with vexo.open(EXAMPLE) as f:
        first = next(f)
    assert first.time == np.datetime64("2026-12-08T12:00:00")  # year 26, day 342
    assert first.header["FREQ"] == 2500 and first.header["A"] == 4
    times = vexo.record_times(np.array([[99, 1, 0, 0, 0], [0, 366, 23, 59, 59],
                                        [4, 366, 0, 0, 0], [26, 0, 12, 0, 0],
                                        [26, 100, 24, 0, 0]]))
    assert list(times[:3]) == [np.datetime64("1999-01-01T00:00:00"),
                               np.datetime64("2000-12-31T23:59:59"),
                               np.datetime64("2004-12-31T00:00:00")]
    assert np.isnat(times[3:]).all()


def test_file_objects_that_misbehave():
    data = EXAMPLE.read_bytes()

    class Keeping(io.BytesIO):
        kept = None

        def readinto(self, buffer):
            Keeping.kept = buffer
            raise OSError(5, "the device went away")

    with pytest.raises(OSError, match="the device went away"):
        vexo.read(Keeping(data))
    assert len(bytes(Keeping.kept)) > 0  # the object's own memory, still there

    class NonBlocking(io.BytesIO):
        def readinto(self, buffer):
            return None

    with pytest.raises(BlockingIOError):
        list(vexo.open(NonBlocking(data)))

    class ReadOnly(io.RawIOBase):  # readinto() not made: read() is used
        def __init__(self):
            self.inner = io.BytesIO(data)

        def read(self, size=-1):
            return bytearray(self.inner.read(size))

    assert vexo.read(ReadOnly()).sizes["time"] == 6

    class Cycle(io.BytesIO):
        pass

    source = Cycle(data)
    source.file = vexo.open(source)
    alive = weakref.ref(source)
    del source
    gc.collect()
    assert alive() is None


def test_one_file_from_many_threads(make_dft):
    path = make_dft(3000, "5/4")
    seen = []
    with vexo.open(path) as f:
        def work():
            seen.extend(r.number for r in f)

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert f.stop.clean
    assert sorted(seen) == list(range(1, 3001))


def test_names_and_selections_as_users_write_them(tmp_path):
    odd = os.fsdecode(b"night\xff.dft")
    try:
        (tmp_path / odd).write_bytes(EXAMPLE.read_bytes())
    except (OSError, UnicodeEncodeError):
        pytest.skip("the file system takes no such name")
    assert vexo.read(os.fsencode(tmp_path / odd)).sizes["time"] == 6
    assert list(vexo.read(EXAMPLE, records=range(5, 10**15)).record.values) == [5, 6]
    for bad, error in [
        ({"antenna": 2**40}, ValueError), ({"records": float("nan")}, ValueError),
        ({"frequency": float("nan")}, ValueError), ({"frequency": True}, TypeError),
        ({"shape": "54"}, TypeError), ({"shape": (5.5, 4)}, TypeError),
    ]:
        with pytest.raises(error, match=next(iter(bad))):
            vexo.read(EXAMPLE, **bad)
    with pytest.raises(TypeError, match="a path or a binary file object"):
        vexo.read(None)


def test_record_selections_of_every_form():
    # The example's records are 1 to 6; every form names the numbers it stands for.
    for records, want in [
        (range(2, 7, 2), [2, 4, 6]), (range(6, 0, -3), [3, 6]), ([5, 1, 2, 2], [1, 2, 5]),
        (np.array([6, 3]), [3, 6]), (((4, 5), (1, 1)), [1, 4, 5]), (range(5, 10**30), [5, 6]),
        (((5, 2**70),), [5, 6]),
    ]:
        assert list(vexo.read(EXAMPLE, records=records).record.values) == want, records
    # Many ranges: record r is taken when r = 3 + 7k below 10^4.
    numbers = np.arange(-5, 10**4 + 10)
    taken = vexo.Selection(records=range(3, 10**4, 7)).takes_record(numbers)
    np.testing.assert_array_equal(taken, (numbers >= 3) & (numbers < 10**4) & (numbers % 7 == 3))
    for bad, error in [(range(1, 10**8, 2), ValueError), (range(2**62 + 1, 2**63), ValueError),
                       (((1.9, 3),), TypeError), (((True, 3),), TypeError),
                       ((("1", 3),), TypeError), (((0, 3),), ValueError)]:
        with pytest.raises(error, match="records"):
            vexo.Selection(records=bad)


def test_a_file_changed_after_it_was_opened(make_dft, tmp_path, monkeypatch):
    # Replaced by a file of the same size and another shape, then read: the first record
    # is no longer the one indexed.
    path = tmp_path / "changing.dft"
    path.write_bytes(make_dft(6).read_bytes())
    other = make_dft(6, "4/8").read_bytes()
    assert len(other) == path.stat().st_size
    ds = xr.open_dataset(path, engine="vexo")
    (tmp_path / "other.dft").write_bytes(other)
    os.replace(tmp_path / "other.dft", path)
    with pytest.raises(ValueError, match=r"changing\.dft: record 1 at byte 0: .*changed since"):
        ds.load()
    # A conversion whose input changes while it is read fails and publishes nothing.
    from vexo._archive import convert
    from vexo._archive.rows import Conversion

    written = convert.to_parquet

    def rewritten(path, *args, **kw):
        got = written(path, *args, **kw)
        with open(path, "r+b") as f:
            f.write(b"\n")  # the same byte, written again
        return got

    monkeypatch.setattr(convert, "to_parquet", rewritten)
    outcome = convert.convert_file(str(path), str(tmp_path / "out"), "parquet",
                                   Conversion(vexo.Selection()))
    assert "changed while it was read" in outcome.failure and not outcome.outputs
    assert not list((tmp_path / "out").glob("*.parquet"))
