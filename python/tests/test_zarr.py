"""A dataset written with to_zarr (the zarr extra) reads back with xarray's own zarr backend:
the same values, times and records."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest
import vexo
import xarray as xr

ROOT = Path(__file__).resolve().parents[2]


def test_to_zarr_reads_back_the_same_samples(tmp_path):
    pytest.importorskip("zarr")
    ds = vexo.read(ROOT / "examples" / "drift.dft")
    ds.to_zarr(tmp_path / "drift.zarr")
    back = xr.open_zarr(tmp_path / "drift.zarr").load()
    assert back.sizes == ds.sizes
    for name in ("phase", "amplitude", "phase_degrees", "amplitude_db", "frequency"):
        np.testing.assert_array_equal(back[name].values, ds[name].values, err_msg=name)
    np.testing.assert_array_equal(back.time.values, ds.time.values)
    np.testing.assert_array_equal(back.record.values, ds.record.values)
