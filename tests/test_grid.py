"""`klimora grid` and klimora.grid: every cell against klimora.chain at that
site, the CF spellings against each other, NetCDF and Zarr, threaded
against dask.distributed (with a worker killed mid-run), and bad input."""

import os
import signal
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pandas as pd
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("cf_xarray")
pytest.importorskip("netCDF4")

from klimora import cli  # noqa: E402
from klimora.chain import NAMES, ChainWarning, Options, Site, chain  # noqa: E402
from klimora.grid import example, radiation, weather  # noqa: E402


def bits(ds):
    return {name: ds[name].values.view(np.uint64) for name in NAMES}


def same(a, b):
    return all(np.array_equal(x, y) for x, y in zip(bits(a).values(), bits(b).values()))


def grid(tmp_path, name="weather.nc", **spelling):
    path = str(tmp_path / name)
    example.weather(30, 12, 17, seed=11, **spelling).to_netcdf(path)
    return path


def klimora_grid(*args):
    return cli.main(["grid", *args])


def with_linke(ds):
    """ds with a Linke turbidity of its own, by the chain's name (CF has none)."""
    return ds.assign(linke=(ds.tas.dims, 2.5 + ds.clt.values, {"long_name": "Linke turbidity"}))


@pytest.mark.parametrize("spelling", [
    {}, {"curvilinear": True}, {"humidity": "dew_point", "temperature": "degC"}, {"linke": True},
])
def test_every_cell_is_the_chain_at_its_site(spelling):
    spelling = dict(spelling)
    linke = spelling.pop("linke", False)
    ds = example.weather(30, 9, 11, seed=2, **spelling)
    if linke:
        ds = with_linke(ds)
    got = radiation(ds.chunk(time=7, **({"y": 4} if spelling.get("curvilinear") else
                                       {"lat": 4}))).compute()
    given = weather(ds)
    rng = np.random.default_rng(0)
    for _ in range(6):
        cell = {d: int(rng.integers(ds.sizes[d])) for d in given.latitude.dims +
                given.longitude.dims}
        at = {name: float(value.isel({d: cell[d] for d in value.dims}))
              for name, value in (("latitude", given.latitude), ("longitude", given.longitude),
                                  ("height", given.height))}
        frame = pd.DataFrame({name: value.isel({d: cell[d] for d in value.dims
                                               if d in cell}).values
                              for name, value in given.fields.items()},
                             index=pd.DatetimeIndex(ds.time.values))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ChainWarning)   # turbidities above climatology
            want = chain(frame, site=Site(**at, zone=0.0))
        for name in NAMES:
            assert np.array_equal(got[name].isel(cell).values.view(np.uint64),
                                  want[name].to_numpy().view(np.uint64)), name


def test_a_linke_variable_is_the_turbidity():
    ds = with_linke(example.weather(6, 4, 5, seed=3))
    out = radiation(ds)
    assert np.array_equal(out.linke.values, ds.linke.values.astype(float))
    assert not np.array_equal(out.mrt.values, radiation(ds.drop_vars("linke")).mrt.values)


def test_options_are_radiations(tmp_path, capsys):
    source, target = grid(tmp_path), str(tmp_path / "r.nc")
    assert klimora_grid("--input", source, "--output", target, "--turbidity", "climatology",
                        "--diffuse-model", "residual", "--min-wind", "0", "--surface",
                        "dry_soil", "--time-label", "start", "--interval", "30min") == 0
    assert capsys.readouterr().err == ""
    options = Options(turbidity="climatology", diffuse_model="residual", min_wind=None)
    with xr.open_dataset(source) as ds, xr.open_dataset(target) as out:
        want = radiation(ds, options=options, surface="dry_soil", time_label="start",
                         interval="30min")
        assert same(out, want) and not same(out, radiation(ds))


def test_a_grid_without_altitude_is_at_sea_level_and_says_so(tmp_path, capsys):
    source = str(tmp_path / "w.nc")
    ds = example.weather(6, 4, 5, seed=1, altitude=False)
    ds.to_netcdf(source)
    assert klimora_grid("--input", source, "--output", str(tmp_path / "r.nc")) == 0
    assert capsys.readouterr().err == f"klimora: {ChainWarning.about('sea level')}\n" == \
        "klimora: no surface_altitude: the grid is taken at sea level (0 m)\n"
    sea_level = xr.zeros_like(ds.tas.isel(time=0, drop=True)).assign_attrs(
        standard_name="surface_altitude", units="m")
    with xr.open_dataset(tmp_path / "r.nc") as out:
        assert same(out, radiation(ds.assign(orog=sea_level)))


@pytest.mark.parametrize("args, message", [
    (["--surface", "forest"], "give --surface or a variable bowen, not both"),
    (["--interval", "1h"], "--interval is the length of the intervals of --time-label start"),
    (["--min-wind", "9"], "--min-wind must be between 0 and 5 m/s, not 9"),
    (["--surface", "moss"], "argument --surface: invalid choice: 'moss'"),
])
def test_options_refused_are_one_line(tmp_path, capsys, args, message):
    source = str(tmp_path / "w.nc")
    ds = example.weather(6, 4, 5, seed=1)
    ds.assign(bowen=ds.clt * 0 + 0.5).to_netcdf(source)
    assert klimora_grid("--input", source, "--output", str(tmp_path / "r.nc"), *args) == 2
    err = capsys.readouterr().err
    assert err.startswith("klimora: error: ") and err.count("\n") == 1 and message in err, err
    assert sorted(os.listdir(tmp_path)) == ["w.nc"]


def test_spellings_give_identical_results(tmp_path):
    base = radiation(example.weather(30, 12, 17, seed=11))
    for spelling in ({"temperature": "degC"}, {"humidity": "%"}, {"cloud": "%"},
                     {"cloud": "okta"}, {"wind": "speed"}):
        assert same(radiation(example.weather(30, 12, 17, seed=11, **spelling)), base), spelling


@pytest.mark.parametrize("suffix", [".nc", ".zarr"])
def test_command_writes_cf_output(tmp_path, suffix):
    source = grid(tmp_path, temperature="degC", wind="speed")
    target = str(tmp_path / f"radiation{suffix}")
    assert klimora_grid("--input", source, "--output", target, "--chunks", "time=8,lat=5") == 0
    with xr.open_dataset(source) as ds, xr.open_dataset(target, engine=None) as out:
        assert same(out, radiation(ds))
        assert out.zenith.attrs["standard_name"] == "solar_zenith_angle"
        assert out.mrt.attrs["units"] == "degC" and out.lat.attrs["units"] == "degrees_north"
        assert out.attrs["history"].split("\n")[0].endswith(
            f"klimora grid --input {source} --output {target} --chunks time=8,lat=5 "
            "(klimora 0.1.0)")
        assert out.attrs["history"].split("\n")[1] == "made by klimora.grid.example"
    assert sorted(os.listdir(tmp_path)) == sorted(["weather.nc", f"radiation{suffix}"])


def test_cftime_calendar_gives_the_standard_days():
    ds = example.weather(30, 4, 5, seed=4)
    noleap = ds.convert_calendar("noleap", use_cftime=True)
    assert same(radiation(noleap), radiation(ds))


def run_on(address, source, target):
    return klimora_grid("--input", source, "--output", target, "--scheduler", address,
                        "--chunks", "time=6,lat=6")


def test_distributed_equals_threaded_and_survives_a_killed_worker(tmp_path):
    distributed = pytest.importorskip("distributed")
    source = grid(tmp_path)
    threaded = str(tmp_path / "threaded.nc")
    assert klimora_grid("--input", source, "--output", threaded) == 0
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        assert run_on(cluster.scheduler_address, source, str(tmp_path / "d.nc")) == 0
        # A worker killed while it computes: dask runs its blocks again elsewhere.
        result = {}
        run = threading.Thread(target=lambda: result.update(
            status=run_on(cluster.scheduler_address, source, str(tmp_path / "k.nc"))))
        run.start()
        killed = None
        while run.is_alive() and killed is None:
            busy = [w for w, tasks in client.processing().items() if tasks]
            if busy:
                pid = client.run(os.getpid, workers=busy[:1])[busy[0]]
                os.kill(pid, signal.SIGKILL)
                killed = pid
            time.sleep(0.01)
        run.join()
        assert killed is not None and result["status"] == 0
    with xr.open_dataset(threaded) as a, xr.open_dataset(tmp_path / "d.nc") as b, \
            xr.open_dataset(tmp_path / "k.nc") as c:
        assert same(a, b) and same(a, c)


def damaged(ds, what):
    if what == "no cloud":
        return ds.drop_vars("clt")
    if what == "accumulated energy":
        ds["tas"].attrs["units"] = "J m-2"
    elif what == "unreadable units":
        ds["hurs"].attrs["units"] = "furlongs^^"
    elif what == "other grid":
        ds["clt"] = (("time", "rlat", "lon"), ds.clt.values, ds.clt.attrs)
    elif what == "time in months":
        ds["time"] = ("time", np.arange(ds.sizes["time"]), {"units": "months since 2000-01-01"})
    elif what == "no time units":
        ds["time"] = ("time", np.arange(ds.sizes["time"]))
    elif what == "air at 400 degC":
        ds["tas"][3, 2, 1] = 673.15
    return ds


@pytest.mark.parametrize("what, message", [
    ("no cloud", "no cloud cover: no variable with standard_name cloud_area_fraction"),
    ("accumulated energy", "tas (air_temperature): units 'J m-2' cannot be converted to degC"),
    ("unreadable units", "hurs (relative_humidity): cannot read units 'furlongs^^'"),
    ("other grid", "grids do not match: clt is on (time, rlat, lon), tas on (time, lat, lon)"),
    ("time in months", "time: no units and calendar that can be read as dates"),
    ("no time units", "time: no units and calendar that can be read as dates"),
    ("air at 400 degC", "tas (air_temperature, as air_temp) must be between -90 and 60 degC, "
                        "not 400"),
    ("garbage file", "cannot read"),
    ("missing file", "cannot read"),
    ("bad chunks", "--chunks: 'time=-3' is not DIM=N"),
    ("unknown dimension", "--chunks: no dimension 'level'"),
])
def test_bad_input_is_one_line_and_leaves_nothing(tmp_path, capsys, what, message):
    source = str(tmp_path / "weather.nc")
    if what == "garbage file":
        open(source, "wb").write(b"CDF\x01 not really")
    elif what != "missing file":
        ds = example.weather(30, 6, 7, seed=1)
        damaged(ds, what).to_netcdf(source)
    chunks = {"bad chunks": "time=-3", "unknown dimension": "level=2"}.get(what, "time=10")
    before = set(os.listdir(tmp_path))
    assert klimora_grid("--input", source, "--output", str(tmp_path / "out.nc"),
                        "--chunks", chunks) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err, err
    assert set(os.listdir(tmp_path)) == before


def test_without_the_extra_it_says_what_to_install():
    code = ("import sys; sys.modules['cf_xarray'] = None; from klimora.cli import main; "
            "sys.exit(main(['grid', '--input', 'w.nc', '--output', 'r.nc']))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 2
    assert done.stderr == ("klimora: error: klimora grid needs cf-xarray: "
                           "pip install 'klimora[grid]'\n")
