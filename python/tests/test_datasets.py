"""The lazy dataset (engine="vexo") is vexo.read's dataset: the same variables, coordinates,
attributes and values, reading only the records asked for; open_mfdataset and dask chunks on
a cluster of worker processes; keyword-only options and the typed module; the dataset written
to NetCDF and read back by xarray's own backend."""

from __future__ import annotations

import importlib.util
import os
import warnings
from pathlib import Path

import numpy as np
import pytest
import xarray as xr

import vexo
from conftest import EXAMPLE


def lazy(path, **options) -> xr.Dataset:
    return xr.open_dataset(path, engine="vexo", **options)


CASES = [
    ({}, {}),
    ({"correct": False}, {}),
    ({"frequency": [3200, 5600], "antenna": [3, 1]}, {}),
    ({"height": [105, 228], "polarization": 2, "records": [1, 2, 4, 5]}, {}),  # places left over
    ({"convert": False, "records": range(4, 99)}, {}),
]


@pytest.mark.parametrize("options,_", CASES)
def test_lazy_dataset_is_the_loaded_one(make_dft, options, _):
    mixed = make_dft(9, "5/4,3/4,7/2", "varied")
    backwards = make_dft(5, "6/4", "backwards")
    uneven = make_dft(5, "4/4", "uneven")  # a selection takes 4, 3 or 2 subblocks a record
    for path, shape in ((EXAMPLE, None), (mixed, (3, 4)), (mixed, (5, 4)), (backwards, None),
                        (uneven, None)):
        kw = dict(options, shape=shape)
        loaded = vexo.read(path, **kw)
        opened = lazy(path, **kw)
        assert not isinstance(opened.phase.variable._data, np.ndarray)  # not read yet
        xr.testing.assert_identical(opened.load(), loaded)
        n = loaded.sizes["time"]
        for key in (0, -1, slice(None, None, 2), [n - 1, 0, 0]) if n else ():
            pick = {"time": key, "subblock": [1, 0], "antenna": -1, "line": slice(3, None, 5)}
            xr.testing.assert_identical(lazy(path, **kw).isel(pick).load(), loaded.isel(pick))


def test_only_the_records_asked_for_are_read(make_dft, tmp_path):
    path = tmp_path / "day.dft"
    path.write_bytes(make_dft(8).read_bytes())
    opened = lazy(path, chunks={"time": 2})
    with open(path, "r+b") as f:  # record 6 is damaged after the file was opened
        f.seek(5 * 4096)
        f.write(b"\x41")
    np.testing.assert_array_equal(opened.amplitude_db[:4].values,
                                  vexo.read(path, records=range(1, 5)).amplitude_db.values)
    with pytest.raises(ValueError, match=r"day\.dft: record 6 at byte 20480: .*changed since"):
        opened.amplitude_db[5].values


def test_many_files_one_dataset(make_dft, tmp_path):
    paths = [make_dft(n) for n in (3, 5, 4)]
    combined = xr.open_mfdataset(paths, engine="vexo", combine="nested", concat_dim="time",
                                 chunks={"time": 2}, data_vars="all")
    whole = xr.concat([vexo.read(p) for p in paths], dim="time", data_vars="all")
    xr.testing.assert_equal(combined.load(), whole)
    combined.close()
    # a file of several shapes: one line naming them, as vexo.read says it
    mixed = make_dft(4, "5/4,3/4")
    with pytest.raises(vexo.ShapeError) as raised:
        lazy(mixed)
    assert str(raised.value).count("\n") == 0 and "N=5 A=4: 2 records" in str(raised.value)


def _pieces(tmp_path, source, cuts):
    """Files of the records of source between the cuts (records from 0), named by them."""
    data = Path(source).read_bytes()
    paths = []
    for a, b in cuts:
        paths.append(tmp_path / f"{a}-{b}.dft")
        paths[-1].write_bytes(data[a * 4096:b * 4096])
    return paths


def test_default_open_mfdataset_keeps_every_record_or_refuses(make_dft, tmp_path):
    day = make_dft(8)  # one record a second
    late, early = _pieces(tmp_path, day, [(3, 8), (0, 3)])
    with xr.open_mfdataset([late, early], engine="vexo") as combined:
        whole = vexo.read(day)
        np.testing.assert_array_equal(combined.time.values, whole.time.values)
        np.testing.assert_array_equal(combined.phase.values, whole.phase.values)
        assert combined.record.values.tolist() == [1, 2, 3, 1, 2, 3, 4, 5]
        assert combined.file.values.tolist() == [str(early)] * 3 + [str(late)] * 5
        assert combined.phase.dtype == np.uint8
    # files whose times interleave, or of other lines or subblock places: refused
    overlapping = _pieces(tmp_path, day, [(0, 5), (2, 8)])
    wider = _pieces(tmp_path, make_dft(6, "4/4"), [(3, 6)])  # 16 lines, from second 3
    fewer = _pieces(tmp_path, make_dft(6, "5/4", "uneven"), [(5, 6)])  # 3 places at 4100 kHz
    for other in (overlapping, [early] + wider, [early] + fewer):
        with pytest.raises(ValueError):
            xr.open_mfdataset(other, engine="vexo", frequency=4100).load()


def test_backend_keywords_as_xarray_documents_them(make_dft):
    path = make_dft(4100)
    with xr.open_dataset(path, engine="vexo", chunks={}, drop_variables="phase") as ds:
        assert "phase" not in ds and "amplitude" in ds
        assert ds.amplitude.chunks[0] == (4096, 4)
    raw = lazy(path, decode_times=False, mask_and_scale=False, decode_coords=False)
    # 2026-12-08 (day 342) 12:00:00 UTC: 20795 days and 12 hours after 1970-01-01
    assert float(raw.time[0]) == 20795 * 86400 + 12 * 3600
    assert raw.time.attrs["units"].startswith("seconds since 1970-01-01")
    if importlib.util.find_spec("cftime"):
        coder = xr.coders.CFDatetimeCoder(use_cftime=True)
        assert lazy(path, decode_times=coder).time.values[1].second == 1


def test_dask_chunks_on_worker_processes(make_dft):
    distributed = pytest.importorskip("dask.distributed")
    paths = [make_dft(n, "4/4") for n in (6, 7)]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        combined = xr.open_mfdataset(paths, engine="vexo", combine="nested",
                                     concat_dim="time", parallel=True, chunks={"time": 3})
        mean = combined.amplitude_db.mean("time").compute()
    whole = xr.concat([vexo.read(p) for p in paths], dim="time")
    np.testing.assert_allclose(mean.values, whole.amplitude_db.mean("time").values, rtol=1e-6)


def test_what_opens_and_how(make_dft, tmp_path):
    backend = xr.backends.list_engines()["vexo"]
    renamed = tmp_path / "day.bin"
    renamed.write_bytes(EXAMPLE.read_bytes())
    text = tmp_path / "notes.txt"
    text.write_bytes(b"\n" * 5000)  # starts with the marker's byte, but is no record
    cut = tmp_path / "CUT.DFT"
    cut.write_bytes(EXAMPLE.read_bytes()[:100])
    assert backend.guess_can_open(str(renamed)) and backend.guess_can_open(str(cut))
    assert not backend.guess_can_open(str(text))
    with open(renamed, "rb") as f:
        assert backend.guess_can_open(f) and f.tell() == 0
        assert xr.open_dataset(f, engine="vexo").sizes["time"] == 6
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert xr.open_dataset(cut, engine="vexo").sizes["time"] == 0
    assert "truncated record" in str(caught[0].message)
    # options are keywords: a number in the place of an option is refused
    import vexo.dask
    import vexo.plot

    for call in (lambda: vexo.read(EXAMPLE, 2500), lambda: vexo.plot.spectrum(EXAMPLE, 2),
                 lambda: vexo.dask.read_archive(str(EXAMPLE), 2500),
                 lambda: next(iter(vexo.open(EXAMPLE))).phase_degrees(False)):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(TypeError, match="give one of them"):
        vexo.read(EXAMPLE, selection=vexo.Selection(frequency=2500), antenna=1)
    assert vexo.read(EXAMPLE, selection=vexo.Selection(records=2)).record.values.tolist() == [2]


def test_the_module_is_typed():
    found = importlib.util.find_spec("vexo._core")
    assert found is not None and found.origin is not None
    folder = Path(found.origin).parent
    stub = (folder / "_core.pyi").read_text()
    assert (folder / "py.typed").exists()
    for name in ("class Index", "class PartReader", "def index(", "class Selection"):
        assert name in stub, name
    # the installed package, stubs and all, type-checks
    api = pytest.importorskip("mypy.api")
    out, err, status = api.run(["--ignore-missing-imports", "--follow-imports=silent",
                                "--no-incremental", "-p", "vexo"])
    assert status == 0, out + err


def test_rows_of_records_that_take_different_subblocks(make_dft):
    import vexo.dask

    path = make_dft(5, "4/4", "uneven")
    ds = vexo.read(path, frequency=[3200, 5600], convert=False)
    rows = vexo.dask.read_archive(str(path), frequency=[3200, 5600]).compute()
    present = ds.subblock_number.values >= 0
    assert len(rows) == present.sum() * 4 and not present.all()
    np.testing.assert_array_equal(np.concatenate([np.asarray(v) for v in rows.phase]),
                                  ds.phase.values[present].reshape(-1))
    np.testing.assert_array_equal(rows.subblock.to_numpy().reshape(-1, 4)[:, 0],
                                  ds.subblock_number.values[present])


def test_a_stream_is_read_as_far_as_asked(make_dft):
    import threading

    # 300 records in a pipe whose writer then stays: two asked for are read without its end
    # (the reader reads ahead only as far as a record's descriptors can reach).
    data = make_dft(300).read_bytes()
    read_end, write_end = os.pipe()
    done = threading.Event()

    def writer() -> None:
        os.write(write_end, data)
        done.wait(60)
        os.close(write_end)

    threading.Thread(target=writer, daemon=True).start()
    with os.fdopen(read_end, "rb") as f:
        ds = vexo.read(f, records=range(1, 3))
    done.set()
    assert ds.record.values.tolist() == [1, 2]
    np.testing.assert_array_equal(ds.phase.values, vexo.read(make_dft(300), records=[1, 2]).phase)


def test_dataset_to_netcdf_and_dataframe(tmp_path):
    ds = vexo.read(EXAMPLE, frequency=2500)
    ds.to_netcdf(tmp_path / "example.nc")
    with xr.open_dataset(tmp_path / "example.nc") as back:
        xr.testing.assert_identical(back.load().set_xindex("record"), ds)
        assert back.phase_degrees.attrs["units"] == "degree"
        assert back.attrs["source"] == str(EXAMPLE)
    frame = ds.phase_degrees.to_dataframe()
    assert len(frame) == ds.phase_degrees.size
    assert frame.index.names == ["time", "subblock", "antenna", "line"]
