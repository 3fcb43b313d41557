"""Weather as it is delivered beyond the plain reanalysis: ERA5's ensemble
members and CMIP's realizations, GRIB through cfgrib, forecasts along their
runs and steps, pvlib's ``get_era5`` frames, ERA5-Land told by its grid;
and an output whose times are minutes within the hour."""

import warnings

import numpy as np
import pandas as pd
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("cf_xarray")
pytest.importorskip("netCDF4")

from test_layouts import (HOURLY_ENDING, as_grid, cmip, era5_current, era5_fields,  # noqa: E402
                          era5_land, era5_place, own_weather, reference)

from klimora import cli  # noqa: E402
from klimora.chain import NAMES, ChainWarning, Site, chain, magnus  # noqa: E402

MEMBERS = (0.0, 1.5, 3.0)   # each member's air, K warmer than the first's


def members(freq):
    """The weather of an ensemble's members in the chain's names."""
    own = own_weather(freq=freq)
    return [own.assign(air_temp=own.air_temp + k,
                       humidity=100.0 * own.vapour_pressure / magnus(own.air_temp + k))
            for k in MEMBERS]


def era5_members(path):
    """ERA5's ensemble members from the CDS: 3-hourly, a dimension number,
    the radiation accumulated over the 3 hours up to the stamp."""
    dims = ("valid_time", "number", "latitude", "longitude")
    weather = members("3h")
    fields = [era5_fields(own) for own in weather]
    ds = xr.Dataset({name: (dims, np.stack([f[name][0] * (3.0 if name in ("ssrd", "strd")
                                                          else 1.0) for f in fields], axis=1)
                            .astype(np.float32), attrs)
                     for name, (_, attrs) in fields[0].items()},
                    coords={"valid_time": weather[0].time.values, **era5_place(weather[0]),
                            "number": np.arange(len(MEMBERS))})
    ds.to_netcdf(path)
    return path, "number", {"time_label": "end", "interval": "3h"}


def cmip_members(path, dim="realization"):
    """A CMIP6 file with its realizations along a dimension."""
    weather = members("3h")
    parts = []
    for k, own in enumerate(weather):
        with xr.open_dataset(cmip(own, f"{path}.{k}.nc")) as ds:
            parts.append(ds.load())
    ds = xr.concat(parts, dim=dim, data_vars=["tas", "hurs", "clt", "sfcWind", "rsds", "rlds"])
    ds = ds.assign_coords({dim: [f"r{k + 1}i1p1f1" for k in range(len(MEMBERS))]
                           if dim == "member_id" else np.arange(1, len(MEMBERS) + 1)})
    ds.to_netcdf(path)
    return path, dim, {"time_label": "start", "interval": "3h"}


def like(got, expected):
    """``got`` on the dimensions of the chain's result for its own names."""
    names = {"valid_time": "time", "lat": "latitude", "lon": "longitude"}
    got = got.rename({d: names[d] for d in got.dims if d in names})
    return got.transpose(*expected.dims).values


ENSEMBLES = {
    "ERA5 ensemble members": era5_members,
    "CMIP6 realizations": cmip_members,
    "CMIP6 member_id": lambda path: cmip_members(path, "member_id"),
}


@pytest.mark.parametrize("layout", ENSEMBLES)
def test_each_member_gives_what_its_weather_gives(tmp_path, layout):
    path, dim, intervals = ENSEMBLES[layout](str(tmp_path / "members.nc"))
    by_grid = as_grid(path)
    with xr.open_dataset(path) as ds, warnings.catch_warnings():
        warnings.simplefilter("ignore")
        by_chain = chain(ds.load())
    for out in (by_grid, by_chain):
        assert out["mrt"].sizes[dim] == len(MEMBERS)
        for k, own in enumerate(members("3h")):
            expected = reference(own, **intervals)
            for name in NAMES:
                got = like(out[name].isel({dim: k}), expected[name])
                np.testing.assert_allclose(got, expected[name].values, rtol=2e-5,
                                           atol=2e-4, err_msg=f"{layout}, member {k}: {name}")


@pytest.mark.parametrize("layout, dims, label", [
    ("ERA5 ensemble members", ("valid_time", "number", "latitude", "longitude"), "end"),
    ("CMIP6 member_id", ("member_id", "time", "lat", "lon"), "start"),
])
def test_the_command_keeps_the_members(tmp_path, layout, dims, label):
    source, dim, _ = ENSEMBLES[layout](str(tmp_path / "members.nc"))
    target = str(tmp_path / "radiation.nc")
    assert cli.main(["grid", "--input", source, "--output", target]) == 0
    with xr.open_dataset(source) as given, xr.open_dataset(target) as out:
        assert out["mrt"].dims == dims
        assert out.attrs["klimora_time_label"] == f"{label} of intervals of 180 min"
        np.testing.assert_array_equal(out[dim].values, given[dim].values)


RUNS, STEPS = (0, 3), (1, 2, 3, 4)   # runs at 06 and 09 UTC, their steps in hours


def forecast(own, spoiled=None):
    """A forecast's fields for the weather ``own`` (hourly from 07 UTC):
    name -> (values along run, step, latitude, longitude; attrs), the
    radiation accumulated from each run's start; ``spoiled`` (run, step)
    has its air 5 K off."""
    fields = {}
    for name, (values, attrs) in era5_fields(own).items():
        runs = []
        for start in RUNS:
            at = values[start:start + len(STEPS)]
            runs.append(np.cumsum(at, axis=0) if name in ("ssrd", "strd") else at.copy())
        fields[name] = (np.stack(runs), attrs)
    if spoiled is not None:
        fields["t2m"][0][spoiled] += 5.0
    return fields


def forecast_file(own, path):
    """A forecast as the CDS's NetCDF gives it: dimensions time (the runs'
    starts) and step, the valid times 2-D; the last step of the first run
    overlaps the second's first and is spoiled, as a longer lead would be."""
    dims = ("time", "step", "latitude", "longitude")
    starts = own.time.values[list(RUNS)] - np.timedelta64(1, "h")
    steps = pd.to_timedelta(STEPS, unit="h").values
    ds = xr.Dataset({name: (dims, value.astype(np.float32), attrs)
                     for name, (value, attrs) in forecast(own, (0, len(STEPS) - 1)).items()},
                    coords={"time": starts, "step": steps, **era5_place(own),
                            "valid_time": (("time", "step"), starts[:, None] + steps[None, :]),
                            "number": 0})
    ds.to_netcdf(path, encoding={"step": {"units": "hours", "dtype": "int32"}})
    return path


def test_a_forecasts_runs_give_what_their_valid_times_weather_gives(tmp_path):
    own = own_weather(hours=7, start="2025-06-21T07:00")
    path = forecast_file(own, str(tmp_path / "forecast.nc"))
    expected = reference(own, **HOURLY_ENDING)
    outputs = []
    for decoded in (True, False):   # the step as timedeltas, or as xarray leaves it: hours
        with xr.open_dataset(path, decode_timedelta=decoded) as ds, \
                warnings.catch_warnings():
            warnings.simplefilter("ignore")
            outputs.append(chain(ds.load()))
    for out in (as_grid(path), *outputs):
        np.testing.assert_array_equal(out["valid_time"].values, own.time.values)
        for name in NAMES:
            np.testing.assert_allclose(like(out[name], expected[name]), expected[name].values,
                                       rtol=2e-5, atol=2e-4, err_msg=name)


def grib_message(f, eccodes, own, short, values, run, step, accumulated):
    """One GRIB 1 message on the weather's grid, as ECMWF encodes ERA5."""
    gid = eccodes.codes_grib_new_from_samples("regular_ll_sfc_grib1")
    lat, lon = own.latitude.values, own.longitude.values
    run = pd.Timestamp(run)
    keys = [("centre", "ecmf"), ("Ni", lon.size), ("Nj", lat.size),
            ("latitudeOfFirstGridPointInDegrees", lat[0]),
            ("latitudeOfLastGridPointInDegrees", lat[-1]),
            ("longitudeOfFirstGridPointInDegrees", lon[0]),
            ("longitudeOfLastGridPointInDegrees", lon[-1]),
            ("iDirectionIncrementInDegrees", abs(lon[1] - lon[0])),
            ("jDirectionIncrementInDegrees", abs(lat[1] - lat[0])),
            ("dataDate", int(run.strftime("%Y%m%d"))), ("dataTime", int(run.strftime("%H%M"))),
            ("shortName", short), ("bitsPerValue", 24)]
    keys += [("stepType", "accum"), ("startStep", 0), ("endStep", step)] if accumulated \
        else [("step", step)]
    for key, value in keys:
        eccodes.codes_set(gid, key, value)
    eccodes.codes_set_values(gid, np.asarray(values, dtype=float).ravel())
    eccodes.codes_write(gid, f)
    eccodes.codes_release(gid)


GRIB_NAMES = {"t2m": "2t", "d2m": "2d", "tcc": "tcc", "u10": "10u", "v10": "10v", "z": "z",
              "ssrd": "ssrd", "strd": "strd"}


def era5_grib(own, path):
    """ERA5 as the CDS's GRIB gives it: the analyses at each hour, the
    radiation accumulated from the 06 UTC run's start over its steps."""
    eccodes = pytest.importorskip("eccodes")
    run = own.time.values[0] - np.timedelta64(1, "h")
    with open(path, "wb") as f:
        for k, stamp in enumerate(own.time.values):
            for name, (values, _) in era5_fields(own).items():
                if name in ("ssrd", "strd"):
                    grib_message(f, eccodes, own, GRIB_NAMES[name], values[:k + 1].sum(axis=0),
                                 run, k + 1, True)
                else:
                    grib_message(f, eccodes, own, GRIB_NAMES[name], values[k], stamp, 0, False)
    return path


def test_a_grib_file_gives_what_the_same_netcdf_gives(tmp_path):
    pytest.importorskip("cfgrib")
    own = own_weather(start="2025-06-21T07:00")
    outputs = []
    for name, write in (("era5.grib", era5_grib), ("era5.nc", era5_current)):
        target = str(tmp_path / f"{name}.out.nc")
        assert cli.main(["grid", "--input", write(own, str(tmp_path / name)),
                         "--output", target]) == 0
        outputs.append(xr.open_dataset(target).load())
    assert not list(tmp_path.glob("*.idx"))   # no index written beside the input
    grib, netcdf = outputs
    np.testing.assert_array_equal(grib.valid_time.values, netcdf.valid_time.values)
    for name in NAMES:
        np.testing.assert_allclose(grib[name].values, netcdf[name].values, rtol=2e-5,
                                   atol=2e-4, err_msg=name)


def test_a_pvlib_get_era5_frame_goes_in_as_it_is():
    era5 = pytest.importorskip("pvlib.iotools.era5")
    own = own_weather(start="2025-06-21T07:00").isel(latitude=0, longitude=0)
    fields = era5_fields(own_weather(start="2025-06-21T07:00"))
    # The CDS's time series as get_era5 reads it, then its conversions and renaming.
    frame = pd.DataFrame({name: fields[name][0][:, 0, 0] for name in
                          ("t2m", "d2m", "tcc", "u10", "v10", "ssrd", "strd")})
    frame["sp"], frame["tp"] = 95000.0, 0.0
    for name in frame.columns:
        frame[name] = era5.UNITS.get(name, lambda x: x)(frame[name])
    frame = frame.rename(columns=era5.VARIABLE_MAP)
    frame.index = pd.DatetimeIndex(own.time.values).tz_localize("UTC")
    site = Site(float(own.latitude), float(own.longitude), float(own.height))
    given = pd.DataFrame({name: own[name].values for name in
                          ("air_temp", "vapour_pressure", "cloud", "wind", "global",
                           "longwave_down")}, index=frame.index)
    pd.testing.assert_frame_equal(reference(frame, site=site),
                                  reference(given, site=site, **HOURLY_ENDING), rtol=1e-9)


@pytest.mark.parametrize("attrs, told", [
    ({}, True),                                      # the grid alone says ERA5-Land
    ({"source": "ECMWF ERA5-Land hourly"}, False),  # the file says so
])
def test_era5_land_told_by_its_grid_is_said_once(tmp_path, capsys, attrs, told):
    own = own_weather(start="2025-06-21T01:00", hours=4, lat=np.array([48.1, 48.0]),
                      lon=np.array([11.0, 11.1]))
    path = era5_land(own, str(tmp_path / "land.nc"))
    with xr.open_dataset(path) as ds:
        ds.load().assign_attrs(attrs).to_netcdf(str(tmp_path / "given.nc"))
    assert cli.main(["grid", "--input", str(tmp_path / "given.nc"),
                     "--output", str(tmp_path / "out.nc")]) == 0
    lines = [line for line in capsys.readouterr().err.splitlines() if "ERA5-Land" in line]
    assert lines == (["klimora: 2 accumulated fields on ERA5-Land's 0.1° grid taken as "
                      "accumulated from 00 UTC, as ERA5-Land's are: for ERA5 regridded to "
                      "0.1°, set the file's global attribute source to ERA5"] if told else [])


def test_era5_regridded_to_land_grid_is_taken_hourly(tmp_path):
    own = own_weather(lat=np.array([48.1, 48.0]), lon=np.array([11.0, 11.1]))
    with xr.open_dataset(era5_current(own, str(tmp_path / "era5.nc"))) as ds:
        given = ds.load().assign_attrs(source="ERA5 regridded to 0.1 degrees")
    with warnings.catch_warnings():
        warnings.simplefilter("error", ChainWarning)
        got = chain(given)
    np.testing.assert_allclose(got["global"].values, reference(own, **HOURLY_ENDING)[
        "global"].values, rtol=2e-5)


@pytest.mark.filterwarnings("error:Times can't be serialized faithfully")
@pytest.mark.parametrize("label, start", [("instant", 0), ("start", 0), ("end", -10)])
def test_minutes_within_the_hour_are_stored_exactly(tmp_path, label, start):
    """Times of 10 minutes' steps, in a file that counts hours as floats."""
    import netCDF4

    from klimora.grid import example

    ds = example.weather(4, 3, 4, seed=6).assign_coords(
        time=pd.date_range("2025-06-21T10:10", periods=4, freq="10min"))
    source, target = str(tmp_path / "weather.nc"), str(tmp_path / "radiation.nc")
    ds.to_netcdf(source, encoding={"time": {"units": "hours since 2025-06-21",
                                            "dtype": "float64"}})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ChainWarning)
        assert cli.main(["grid", "--input", source, "--output", target,
                         "--time-label", label]) == 0
    with netCDF4.Dataset(target) as f:
        assert f["time"].dtype == "int32" and f["time"].units.startswith("minutes since")
    with xr.open_dataset(target) as out:
        np.testing.assert_array_equal(out.time.values, ds.time.values)
        if label != "instant":
            bounds = out[out.time.attrs["bounds"]].values
            np.testing.assert_array_equal(bounds[:, 0],
                                          ds.time.values + np.timedelta64(start, "m"))
