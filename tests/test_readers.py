"""`klimora grid`'s default output in the readers users have: h5py with no
filter plugin (HDF5_PLUGIN_PATH an empty folder), netCDF-C's ncdump, the
IOOS compliance checker for CF 1.8; and its values, read back, the chain's
bit for bit."""

import json
import os
import shutil
import subprocess
import sys
import warnings

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("cf_xarray")
pytest.importorskip("netCDF4")
pytest.importorskip("h5py")

from klimora import cli  # noqa: E402
from klimora.chain import NAMES, ChainWarning  # noqa: E402
from klimora.grid import example, radiation  # noqa: E402

#: Reads every column of a NetCDF file with h5py in a process of its own,
#: so that HDF5_PLUGIN_PATH holds before HDF5 loads (netCDF4, which brings
#: filter plugins of its own, is never imported there), into an .npz.
READ_WITH_H5PY = """
import sys
import h5py
import numpy as np
with h5py.File(sys.argv[1], "r") as f:
    np.savez(sys.argv[2], **{name: f[name][...] for name in sys.argv[3:]})
"""


def output(tmp_path, *args, name="radiation.nc", **spelling):
    """A small grid's weather and `klimora grid` on it: the weather's and
    the output's paths."""
    source = str(tmp_path / "weather.nc")
    example.weather(9, 5, 7, seed=4, **spelling).to_netcdf(source)
    target = str(tmp_path / name)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ChainWarning)
        assert cli.main(["grid", "--input", source, "--output", target,
                         "--chunks", "time=4", *args]) == 0
    return source, target


def chain_of(source):
    with xr.open_dataset(source) as ds, warnings.catch_warnings():
        warnings.simplefilter("ignore", ChainWarning)
        return radiation(ds).compute()


def no_plugins(tmp_path):
    """The environment with HDF5's plugin path an empty folder (netCDF4, once
    imported, points it at the filter plugins it brings)."""
    plugins = tmp_path / "no-plugins"
    plugins.mkdir(exist_ok=True)
    return {**os.environ, "HDF5_PLUGIN_PATH": str(plugins)}


def without_plugins(tmp_path, path):
    read = str(tmp_path / "read.npz")
    done = subprocess.run([sys.executable, "-c", READ_WITH_H5PY, path, read, *NAMES],
                          capture_output=True, text=True, env=no_plugins(tmp_path))
    return done, read


@pytest.mark.parametrize("args, dtype", [
    ([], "float64"), (["--dtype", "float32"], "float32"),
    (["--compression", "zlib", "--dtype", "float32"], "float32"),
])
def test_the_default_output_opens_in_h5py_without_plugins_bit_for_bit(tmp_path, args, dtype):
    source, target = output(tmp_path, *args)
    done, read = without_plugins(tmp_path, target)
    assert done.returncode == 0, done.stderr
    want = chain_of(source)
    with np.load(read) as got:
        for name in NAMES:
            expected = want[name].values.astype(dtype)
            assert got[name].dtype == dtype
            assert np.array_equal(got[name].view(f"u{got[name].itemsize}"),
                                  expected.view(f"u{expected.itemsize}")), name


@pytest.mark.parametrize("compression", ["lz4", "zstd"])
def test_blosc_and_zstd_outputs_need_a_plugin(tmp_path, compression):
    """The empty plugin path is what makes the test above worth anything:
    an output that needs a filter plugin is not read there."""
    _, target = output(tmp_path, "--compression", compression)
    done, _ = without_plugins(tmp_path, target)
    assert done.returncode != 0 and "HDF5_PLUGIN_PATH" in done.stderr


def ncdump(tmp_path, *args):
    done = subprocess.run(["ncdump", *args], capture_output=True, text=True,
                          env=no_plugins(tmp_path))
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.skipif(shutil.which("ncdump") is None,
                    reason="no ncdump (Debian's netcdf-bin) on PATH")
@pytest.mark.parametrize("args", [[], ["--dtype", "float32"]])
def test_ncdump_reads_the_default_output(tmp_path, args):
    source, target = output(tmp_path, *args)
    header = ncdump(tmp_path, "-h", target)
    kind = "float" if args else "double"
    assert f"\t{kind} mrt(time, lat, lon) ;" in header and 'mrt:units = "degC" ;' in header
    text = ncdump(tmp_path, "-v", "mrt", target)
    numbers = text.split("mrt =", 1)[1].split(";", 1)[0].replace("\n", " ").split(",")
    got = np.array([np.nan if n.strip() == "_" else float(n) for n in numbers])
    want = chain_of(source)["mrt"].values.ravel().astype("float32" if args else "float64")
    # ncdump prints 7 significant digits of a float, 15 of a double.
    assert np.allclose(got, want, rtol=1e-6 if kind == "float" else 1e-14, atol=0,
                       equal_nan=True)


@pytest.mark.parametrize("spelling", [{}, {"curvilinear": True}])
def test_the_default_output_passes_the_cf_checker(tmp_path, spelling):
    pytest.importorskip("compliance_checker")
    with warnings.catch_warnings():   # its checkers of other standards, some deprecated
        warnings.simplefilter("ignore", DeprecationWarning)
        from compliance_checker.runner import CheckSuite, ComplianceChecker

        CheckSuite().load_all_available_checkers()
    _, target = output(tmp_path, **spelling)
    report = str(tmp_path / "cf.json")
    ComplianceChecker.run_checker(target, ["cf:1.8"], 0, "normal", output_filename=report,
                                  output_format="json")
    with open(report) as f:
        result = json.load(f)["cf:1.8"]
    failed = {check["name"]: check["msgs"] for check in result["high_priorities"]
              if check["msgs"]}
    assert failed == {}


def test_without_isal_the_deflate_is_the_standard_librarys(tmp_path):
    """isal not importable: the chunks are written by zlib, as readable."""
    script = ("import sys, zlib\nsys.modules['isal'] = None\n"
              "from klimora.grid import codecs\nassert codecs.deflate is zlib.compress\n"
              "from klimora import cli\n"
              "sys.exit(cli.main(['grid', '--input', sys.argv[1], '--output', sys.argv[2]]))")
    source = str(tmp_path / "weather.nc")
    example.weather(5, 3, 4, seed=6).to_netcdf(source)
    target = str(tmp_path / "radiation.nc")
    done = subprocess.run([sys.executable, "-W", "ignore", "-c", script, source, target],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    done, read = without_plugins(tmp_path, target)
    assert done.returncode == 0, done.stderr
    want = chain_of(source)
    with np.load(read) as got:
        assert all(np.array_equal(got[name], want[name].values.astype(got[name].dtype),
                                  equal_nan=True) for name in NAMES)


@pytest.mark.parametrize("units, stored", [
    ("hours since 2025-06-21", "int32"),
    ("seconds since 1900-01-01", "float64"),   # 3.9e9 seconds: past int32
])
def test_times_are_stored_in_a_type_cf_has_and_read_back_the_same(tmp_path, units, stored):
    import netCDF4

    source = str(tmp_path / "weather.nc")
    ds = example.weather(5, 3, 4, seed=6)
    ds.to_netcdf(source, encoding={"time": {"units": units, "dtype": "int64"}})
    target = str(tmp_path / "radiation.nc")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ChainWarning)
        assert cli.main(["grid", "--input", source, "--output", target]) == 0
    with netCDF4.Dataset(target) as f:
        assert f["time"].dtype == stored and f["time"].units == units
        assert f["time"].standard_name == "time"
    with xr.open_dataset(target) as out:
        assert np.array_equal(out.time.values, ds.time.values)
