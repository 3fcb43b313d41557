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

from klimora.cli.grid_command import NEEDS

for _module, _ in NEEDS:   # what klimora grid refuses to run without
    pytest.importorskip(_module)
xr = pytest.importorskip("xarray")

from klimora import cli  # noqa: E402
from klimora.chain import NAMES, ChainWarning, Options, Site, chain  # noqa: E402
from klimora.grid import example, radiation, weather  # noqa: E402

from helpers import CLIMATOLOGY  # noqa: E402


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


@CLIMATOLOGY
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


def as_a_model_writes_it(ds):
    """ds with its air temperature t2m without a standard_name and its cloud
    cover under a name that is not CF's."""
    ds = ds.rename_vars({"tas": "t2m"})
    del ds["t2m"].attrs["standard_name"]
    ds["clt"].attrs["standard_name"] = "total_cloud_cover"
    return ds


@pytest.mark.parametrize("names, message", [
    (["air_temperature=t2m", "cloud_area_fraction=clt"], None),
    ([" air_temperature = t2m", "cloud_area_fraction=clt", "relative_humidity=hurs"], None),
    (["air_temperature=t2m"], "no cloud cover: no variable with standard_name "
                              "cloud_area_fraction"),
    (["air_temperature=t3m"], "--var air_temperature=t3m: no variable 't3m' in "),
    (["air_temperature"], "--var 'air_temperature' is not STANDARD_NAME=VARIABLE, such as "
                          "air_temperature=t2m"),
    (["=t2m"], "--var '=t2m' is not STANDARD_NAME=VARIABLE"),
    (["air_temp=t2m"], "--var air_temp=t2m: klimora reads no 'air_temp'; it reads "
                       "air_temperature, relative_humidity,"),
    (["air_temperature=t2m", "air_temperature=clt"], "--var air_temperature is given twice"),
])
def test_var_takes_a_variable_as_a_standard_name(tmp_path, capsys, names, message):
    ds = example.weather(6, 4, 5, seed=1)
    source, target = str(tmp_path / "w.nc"), tmp_path / "r.nc"
    as_a_model_writes_it(ds).to_netcdf(source)
    status = klimora_grid("--input", source, "--output", str(target),
                          *sum((["--var", name] for name in names), []))
    err = capsys.readouterr().err
    if message is None:
        assert (status, err) == (0, "")
        with xr.open_dataset(target) as out:
            assert same(out, radiation(ds))
    else:
        assert status == 2 and err.count("\n") == 1 and message in err, err
        assert not target.exists()


@pytest.mark.parametrize("names, change", [
    (["air_temperature=tas_c"], lambda ds: ds.assign(tas=(ds.tas - 1.5).assign_attrs(
        ds.tas.attrs))),   # taken before tas
    (["linke=turbidity"], with_linke),
    (["surface_altitude=z"], lambda ds: ds.assign(orog=(ds.orog * 0 + 100.0).assign_attrs(
        ds.orog.attrs))),
])
def test_var_wins_over_a_variable_that_carries_the_name(tmp_path, names, change):
    ds = example.weather(6, 4, 5, seed=1)
    given = ds.assign(tas_c=(ds.tas.dims, ds.tas.values - 1.5, {"units": "K"}),
                      turbidity=(ds.tas.dims, 2.5 + ds.clt.values),
                      z=(ds.orog.dims, np.full(ds.orog.shape, 100.0), {"units": "m"}))
    given.to_netcdf(source := str(tmp_path / "w.nc"))
    assert klimora_grid("--input", source, "--output", str(tmp_path / "r.nc"),
                        *sum((["--var", name] for name in names), [])) == 0
    with xr.open_dataset(tmp_path / "r.nc") as out:
        assert same(out, radiation(change(ds))) and not same(out, radiation(ds))


@pytest.mark.parametrize("name, said", [
    ("r.txt", "unknown format '.txt'"), ("r.nc4", "unknown format '.nc4'"),
    ("radiation", "no extension"), ("r.NC", "unknown format '.NC'"),
])
def test_the_output_format_follows_its_name(tmp_path, capsys, name, said):
    source = grid(tmp_path)
    assert klimora_grid("--input", source, "--output", str(tmp_path / name)) == 2
    assert capsys.readouterr().err == (f"klimora: error: --output {tmp_path / name}: {said}; "
                                       "name it .nc (NetCDF-4) or .zarr (Zarr)\n")
    assert sorted(os.listdir(tmp_path)) == ["weather.nc"]


@pytest.mark.parametrize("suffix", [".nc", ".zarr"])
@pytest.mark.parametrize("air, dtype, stored", [
    ("float32", [], "float32"), ("float64", [], "float64"),
    ("float32", ["--dtype", "float64"], "float64"), ("float64", ["--dtype", "float32"], "float32"),
])
def test_columns_are_stored_in_the_dtype(tmp_path, suffix, air, dtype, stored):
    ds = example.weather(6, 4, 5, seed=1)
    ds["tas"] = ds.tas.astype(air)
    ds.to_netcdf(source := str(tmp_path / "w.nc"))
    target = str(tmp_path / f"r{suffix}")
    assert klimora_grid("--input", source, "--output", target, *dtype,
                        "--chunks", "time=4,lat=3") == 0
    with xr.open_dataset(source) as given, xr.open_dataset(target) as out:
        want = radiation(given).compute()
        for name in NAMES:
            assert out[name].dtype == stored and out[name].encoding["dtype"] == stored
            assert np.array_equal(out[name].values, want[name].values.astype(stored),
                                  equal_nan=True), name


@pytest.mark.parametrize("args, altitude, said", [
    ([], True, {"klimora_height": "from orog (surface_altitude)",
                "klimora_albedo": "0.2, the default: the input has no surface_albedo",
                "klimora_bowen": "0.3, the default: the input has no variable bowen",
                "klimora_body_albedo": "0.3, the default: the input has no variable body_albedo",
                "klimora_zone": "UTC, as CF keeps times; the day of the year is the UTC one",
                "klimora_projection_factor": "system", "klimora_turbidity": "bounded",
                "klimora_diffuse_model": "separation", "klimora_min_wind": "0.5 m s-1",
                "klimora_time_label": "instant"}),
    pytest.param(
        ["--surface", "forest", "--projection-factor", "vdi3789", "--turbidity", "climatology",
         "--diffuse-model", "residual", "--min-wind", "0", "--time-label", "end"], False,
        {"klimora_height": "0 m, sea level: the input has no surface_altitude",
         "klimora_bowen": "0.5, of --surface forest", "klimora_projection_factor": "vdi3789",
         "klimora_turbidity": "climatology", "klimora_diffuse_model": "residual",
         "klimora_min_wind": "none: the wind as given",
         "klimora_time_label": "end of intervals of the median step of the times"},
        marks=CLIMATOLOGY),
    (["--time-label", "start", "--interval", "30min"], True,
     {"klimora_time_label": "start of intervals of 30 min"}),
])
def test_the_output_says_what_it_took_for_what_the_grid_lacks(tmp_path, capsys, args, altitude,
                                                              said):
    example.weather(6, 4, 5, seed=1, altitude=altitude).to_netcdf(source := tmp_path / "w.nc")
    assert klimora_grid("--input", str(source), "--output", str(tmp_path / "r.nc"), *args) == 0
    with xr.open_dataset(tmp_path / "r.nc") as out:
        assert {name: out.attrs[name] for name in said} == said


def test_help_says_the_defaults_and_the_new_options(capsys):
    with pytest.raises(SystemExit):
        klimora_grid("--help")
    text = " ".join(capsys.readouterr().out.split())
    for said in ("Without surface_altitude the grid lies at sea level (0 m)",
                 "surface_albedo the ground's albedo is 0.2",
                 "its Bowen ratio 0.3 (grass)", "the person's albedo 0.3",
                 "times are UTC", "minimum wind 0.5 m/s", "global attributes klimora_NAME",
                 "--overwrite", "--var STANDARD_NAME=VARIABLE", "--dtype {float32,float64}",
                 "(default system)", "(default bounded)", "(default separation)",
                 "instant (default)"):
        assert said in text, said


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


@pytest.mark.skipif(not os.path.isdir("/proc"), reason="reads the processes from /proc")
def test_the_local_clusters_workers_start_with_klimora_imported():
    """--workers forks its workers from one server that imported klimora and
    the libraries the blocks need: a worker spawned afresh would import
    them itself (3.5 CPU seconds each, on the cores the run needs)."""
    distributed = pytest.importorskip("distributed")
    from klimora.grid import scheduler

    cluster = scheduler.local_cluster(2, False)
    try:
        with distributed.Client(cluster, set_as_default=False) as client:
            parents = set(client.run(os.getppid).values())
    finally:
        cluster.close()
    assert len(parents) == 1 and os.getpid() not in parents
    with open(f"/proc/{parents.pop()}/maps") as f:
        assert "klimora/ufuncs.cpython" in f.read()   # the chain's ufuncs


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
                           "pip install '.[grid]'\n")


@pytest.mark.parametrize("options", [["--chunks", "time=1"], ["--chunks", "time=6"],
                                     ["--chunks", "time=1", "--workers", "2"]])
def test_utci_outside_its_range_is_one_line_of_klimora_grid(tmp_path, capsys, options):
    if "--workers" in options:
        pytest.importorskip("distributed")
    ds = example.weather(6, 4, 5, seed=1)
    tas = ds.tas.values.copy()
    tas[0] = 273.15 + 55.0        # 20 cells above 50 degC
    tas[3, 0, :3] = 273.15 - 60.0  # 3 below -50 degC
    ds.assign(tas=(ds.tas.dims, tas, ds.tas.attrs)).to_netcdf(source := tmp_path / "w.nc")
    assert klimora_grid("--input", str(source), "--output", str(tmp_path / "r.nc"), "--utci",
                        *options) == 0
    assert capsys.readouterr().err == (
        "klimora: 23 UTCI values outside the model's range (air -50 to 50 °C, MRT - air -30 "
        "to 70 K, wind 0.5 to 17 m/s) left NaN\n")
    with xr.open_dataset(tmp_path / "r.nc") as out:
        assert int(np.isnan(out.utci).sum()) == 23
