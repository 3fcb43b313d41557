"""Weather as its producers deliver it (ERA5 from the CDS in both NetCDF
layouts, CMIP6 and CORDEX files, pvlib's TMY3 and EPW frames) goes into the
chain with no option beyond the site and gives the numbers the same weather
gives in the chain's own names and units."""

import io
import warnings

import numpy as np
import pandas as pd
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("cf_xarray")
pytest.importorskip("netCDF4")

from klimora import cli  # noqa: E402
from klimora.chain import NAMES, Site, chain, magnus  # noqa: E402
from klimora.conventions import STANDARD_GRAVITY, InputError, spelled  # noqa: E402
from klimora.grid import radiation  # noqa: E402

LAT, LON = np.array([48.25, 48.0]), np.array([11.0, 11.25])


def era5_place(own):
    """ERA5's coordinates as the CDS writes them."""
    return {"latitude": ("latitude", own.latitude.values,
                         {"units": "degrees_north", "standard_name": "latitude"}),
            "longitude": ("longitude", own.longitude.values,
                          {"units": "degrees_east", "standard_name": "longitude"})}


HEIGHT = np.array([[510.0, 530.0], [480.0, 620.0]])


def own_weather(hours=6, start="2025-06-21T06:00", freq="h", lat=LAT, lon=LON):
    """A small grid's weather in the chain's own names and units."""
    rng = np.random.default_rng(5)
    shape = (hours, lat.size, lon.size)
    air = rng.uniform(12.0, 28.0, shape)
    dew = air - rng.uniform(2.0, 12.0, shape)
    vapour = magnus(dew)
    fields = {
        "air_temp": air, "vapour_pressure": vapour, "humidity": 100.0 * vapour / magnus(air),
        "cloud": rng.uniform(0.0, 8.0, shape), "wind": rng.uniform(0.5, 9.0, shape),
        "global": rng.uniform(50.0, 800.0, shape),
        "longwave_down": rng.uniform(280.0, 380.0, shape),
    }
    dims = ("time", "latitude", "longitude")
    return xr.Dataset({name: (dims, value) for name, value in fields.items()} |
                      {"height": (dims[1:], HEIGHT)},
                      coords={"time": pd.date_range(start, periods=hours, freq=freq),
                              "latitude": lat, "longitude": lon})


def grib(param_id, short, units, long_name):
    return {"GRIB_paramId": param_id, "GRIB_shortName": short, "GRIB_units": units,
            "GRIB_stepType": "accum" if units == "J m**-2" else "instant", "units": units,
            "long_name": long_name, "standard_name": "unknown"}


def era5_fields(own):
    """ERA5's variables for the weather ``own``: name -> (values, attrs)."""
    wind = own.wind.values
    return {
        "t2m": (own.air_temp.values + 273.15, grib(167, "2t", "K", "2 metre temperature")),
        "d2m": (dew_point(own.vapour_pressure.values) + 273.15,
                grib(168, "2d", "K", "2 metre dewpoint temperature")),
        "tcc": (own.cloud.values / 8.0, grib(164, "tcc", "(0 - 1)", "Total cloud cover")),
        "u10": (0.6 * wind, grib(165, "10u", "m s**-1", "10 metre U wind component")),
        "v10": (-0.8 * wind, grib(166, "10v", "m s**-1", "10 metre V wind component")),
        "ssrd": (3600.0 * own["global"].values,
                 grib(169, "ssrd", "J m**-2", "Surface short-wave (solar) radiation downwards")),
        "strd": (3600.0 * own.longwave_down.values,
                 grib(175, "strd", "J m**-2", "Surface thermal radiation downwards")),
        "z": (np.broadcast_to(own.height.values * STANDARD_GRAVITY, own.air_temp.shape),
              grib(129, "z", "m**2 s**-2", "Geopotential")),
    }


def dew_point(vapour):
    """The dew point of a vapour pressure (hPa), by inverting the Magnus formula."""
    lo, hi = np.full_like(vapour, -60.0), np.full_like(vapour, 60.0)
    for _ in range(80):
        mid = (lo + hi) / 2
        below = magnus(mid) < vapour
        lo, hi = np.where(below, mid, lo), np.where(below, hi, mid)
    return (lo + hi) / 2


def era5_current(own, path):
    """The CDS's NetCDF of today: valid_time, number and expver, GRIB_ attributes, float32."""
    dims = ("valid_time", "latitude", "longitude")
    ds = xr.Dataset({name: (dims, value.astype(np.float32), attrs)
                     for name, (value, attrs) in era5_fields(own).items()},
                    coords={"valid_time": own.time.values, **era5_place(own),
                            "number": 0, "expver": ("valid_time", ["0001"] * own.time.size)})
    ds.attrs.update(GRIB_centre="ecmf", Conventions="CF-1.7", institution="ECMWF")
    ds.to_netcdf(path)
    return path


def era5_land(own, path):
    """ERA5-Land from the CDS: ERA5's layout of today on a 0.1 degree grid, without
    cloud (taken from ERA5 beside it), its radiation accumulated from 00 UTC."""
    fields = era5_fields(own)
    for name in ("ssrd", "strd"):
        hourly, attrs = fields[name]
        day = pd.DatetimeIndex(own.time.values - np.timedelta64(1, "h")).floor("D")
        fields[name] = (np.concatenate([hourly[day == d].cumsum(axis=0)
                                        for d in day.unique()]), attrs)
    dims = ("valid_time", "latitude", "longitude")
    ds = xr.Dataset({name: (dims, value.astype(np.float32), attrs)
                     for name, (value, attrs) in fields.items()},
                    coords={"valid_time": own.time.values, **era5_place(own), "number": 0})
    ds.to_netcdf(path)
    return path


def era5_legacy(own, path, expver=False):
    """The CDS's NetCDF of old: time, int16 packed with scale_factor, add_offset and
    _FillValue; ``expver``: ERA5 and ERA5T along a dimension expver, each NaN where
    the other has the value."""
    variables, encoding = {}, {}
    for name, (value, attrs) in era5_fields(own).items():
        low, high = float(value.min()), float(value.max())
        scale = (high - low) / 64000 or 1.0
        dims = ("time", "latitude", "longitude")
        keep = {"units": attrs["units"], "long_name": attrs["long_name"]}
        if expver:
            half = own.time.size // 2
            first, second = value.copy(), value.copy()
            first[half:], second[:half] = np.nan, np.nan
            value, dims = np.stack([first, second], axis=1), ("time", "expver", *dims[1:])
        variables[name] = (dims, value, keep)
        encoding[name] = {"dtype": "int16", "scale_factor": scale,
                          "add_offset": (high + low) / 2, "_FillValue": np.int16(-32767)}
    coords = {"time": own.time.values, **era5_place(own)}
    if expver:
        coords["expver"] = np.array([1, 5], dtype=np.int32)
    xr.Dataset(variables, coords=coords).to_netcdf(path, encoding=encoding)
    return path


def cmip(own, path, cordex=False):
    """A CMIP6 3-hourly file (tas, hurs, clt in %, sfcWind at height 10 m, rsds, rlds
    with time_bnds and orog); ``cordex``: on a rotated grid, 2-D lat and lon."""
    dims = ("time", "rlat", "rlon") if cordex else ("time", "lat", "lon")
    a = {"tas": (own.air_temp.values + 273.15, "air_temperature", "K"),
         "hurs": (own.humidity.values, "relative_humidity", "%"),
         "clt": (own.cloud.values * 12.5, "cloud_area_fraction", "%"),
         "sfcWind": (own.wind.values, "wind_speed", "m s-1"),
         "rsds": (own["global"].values, "surface_downwelling_shortwave_flux_in_air", "W m-2"),
         "rlds": (own.longwave_down.values, "surface_downwelling_longwave_flux_in_air",
                  "W m-2")}
    ds = xr.Dataset({name: (dims, value.astype(np.float32),
                            {"standard_name": sn, "units": units})
                     for name, (value, sn, units) in a.items()})
    ds["orog"] = (dims[1:], HEIGHT.astype(np.float32),
                  {"standard_name": "surface_altitude", "units": "m"})
    for name in ("rsds", "rlds"):
        ds[name].attrs["cell_methods"] = "area: time: mean"
    for name in ("tas", "hurs", "clt", "sfcWind"):
        ds[name].attrs["cell_methods"] = "area: mean time: point"
    starts = own.time.values
    step = starts[1] - starts[0]
    ds = ds.assign_coords(time=("time", starts + step / 2, {"bounds": "time_bnds"}),
                          height=((), 10.0, {"units": "m", "standard_name": "height",
                                             "axis": "Z", "positive": "up"}))
    ds["time_bnds"] = (("time", "bnds"), np.stack([starts, starts + step], axis=-1))
    if cordex:
        lon2, lat2 = np.meshgrid(LON, LAT)
        ds = ds.assign_coords(rlat=("rlat", [0.0, -0.25], {"standard_name": "grid_latitude"}),
                              rlon=("rlon", [0.0, 0.25], {"standard_name": "grid_longitude"}),
                              lat=(dims[1:], lat2, {"standard_name": "latitude",
                                                     "units": "degrees_north"}),
                              lon=(dims[1:], lon2, {"standard_name": "longitude",
                                                     "units": "degrees_east"}))
    else:
        ds = ds.assign_coords(lat=("lat", LAT, {"standard_name": "latitude",
                                                "units": "degrees_north"}),
                              lon=("lon", LON, {"standard_name": "longitude",
                                                "units": "degrees_east"}))
    ds.to_netcdf(path)
    return path


def reference(own, **chain_args):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return chain(own, **chain_args)


def as_grid(path, **args):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with xr.open_dataset(path) as ds:
            return radiation(ds, **args).compute()


#: ERA5's radiation is the mean of the hour that ends at the stamp; CMIP's of
#: the 3 hours of its time bounds, which the stamp lies in the middle of.
HOURLY_ENDING = {"time_label": "end", "interval": "1h"}
THREE_HOURS = {"freq": "3h"}, {"time_label": "start", "interval": "3h"}
LAYOUTS = {
    # layout: (writer, relative tolerance of what the file's storage keeps,
    #          the weather's times, the chain's intervals for the same weather)
    "ERA5 current": (era5_current, 2e-5, {}, HOURLY_ENDING),
    "ERA5 legacy packed": (era5_legacy, 5e-4, {}, HOURLY_ENDING),
    "ERA5 legacy, ERA5 and ERA5T along expver": (lambda own, p: era5_legacy(own, p, True), 5e-4,
                                                 {}, HOURLY_ENDING),
    "ERA5-Land, accumulated from 00 UTC": (era5_land, 2e-4, {
        "start": "2025-06-21T01:00", "hours": 27, "lat": np.array([48.1, 48.0]),
        "lon": np.array([11.0, 11.1])}, HOURLY_ENDING),
    "CMIP6 3-hourly": (cmip, 2e-5, *THREE_HOURS),
    "CORDEX": (lambda own, p: cmip(own, p, cordex=True), 2e-5, *THREE_HOURS),
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_a_producers_file_gives_what_the_chains_names_give(tmp_path, layout):
    write, tolerance, times, intervals = LAYOUTS[layout]
    own = own_weather(**times)
    expected = reference(own, **intervals)
    got = as_grid(write(own, str(tmp_path / "weather.nc")))
    for name in NAMES:
        values = got[name].values.reshape(expected[name].shape)
        np.testing.assert_allclose(values, expected[name].values, rtol=tolerance,
                                   atol=tolerance * 10, err_msg=f"{layout}: {name}")


@pytest.mark.parametrize("layout", ["ERA5 current", "CMIP6 3-hourly"])
def test_the_chain_on_a_producers_dataset_agrees_with_the_grid(tmp_path, layout):
    write, _, times, _ = LAYOUTS[layout]
    path = write(own_weather(**times), str(tmp_path / "weather.nc"))
    with xr.open_dataset(path) as ds:
        by_chain = reference(ds.load())
    by_grid = as_grid(path)
    for name in NAMES:
        np.testing.assert_array_equal(by_chain[name].values.ravel(), by_grid[name].values.ravel())


def test_the_command_takes_an_era5_file_with_no_option(tmp_path):
    source = era5_current(own_weather(), str(tmp_path / "era5.nc"))
    target = str(tmp_path / "radiation.nc")
    assert cli.main(["grid", "--input", source, "--output", target]) in (0, None)
    with xr.open_dataset(target) as out:
        assert set(NAMES) <= set(out.data_vars) and "expver" not in out.dims
        assert out.attrs["klimora_time_label"] == "end of intervals of 60 min"
        assert out["global"].attrs["cell_methods"] == "valid_time: mean"
        assert out["zenith"].attrs["cell_methods"] == "valid_time: point"
        bounds = out[out.valid_time.attrs["bounds"]].values
        assert (bounds[:, 1] == out.valid_time.values).all()
        assert (bounds[:, 1] - bounds[:, 0] == np.timedelta64(1, "h")).all()


def test_the_command_keeps_a_cmip_files_time_bounds(tmp_path):
    source = cmip(own_weather(freq="3h"), str(tmp_path / "cmip.nc"))
    target = str(tmp_path / "radiation.nc")
    assert cli.main(["grid", "--input", source, "--output", target]) in (0, None)
    with xr.open_dataset(source) as given, xr.open_dataset(target) as out:
        assert out.attrs["klimora_time_label"] == "start of intervals of 180 min"
        assert out["mrt"].attrs["cell_methods"] == "time: mean"
        np.testing.assert_array_equal(out[out.time.attrs["bounds"]].values,
                                      given.time_bnds.values)


@pytest.mark.parametrize("cell_methods, mean", [
    ("time: mean", True), ("area: time: mean", True), ("area: mean time: point", False),
    ("time: point", False), ("area: mean", False), ("time: mean (interval: 1 hour)", True),
    (None, False),
])
def test_cell_methods_tell_a_mean_over_time(cell_methods, mean):
    from klimora.accumulations import time_mean

    assert time_mean(cell_methods) is mean


@pytest.mark.parametrize("units, humidity", [
    ("1", 0.6), ("percent", 60.0), ("%", 60.0), (None, 60.0),
])
def test_the_chain_on_a_dataset_honours_units(units, humidity):
    own = own_weather(hours=2)[["air_temp", "height"]]
    attrs = {} if units is None else {"units": units}
    given = own.assign(humidity=(own.air_temp.dims, np.full(own.air_temp.shape, humidity), attrs))
    plain = own.assign(humidity=(own.air_temp.dims, np.full(own.air_temp.shape, 60.0)))
    np.testing.assert_allclose(reference(given)["counter"].values,
                               reference(plain)["counter"].values, rtol=1e-12)


@pytest.mark.parametrize("text, means", [
    ("(0 - 1)", "1"), ("0-1", "1"), ("%", "percent"), ("m s**-1", "m s**-1"), ("K", "K"),
    ("J m**-2", "J m**-2"),
])
def test_producers_unit_spellings(text, means):
    assert spelled(text) == means


def test_a_missing_variable_lists_the_files_variables_and_names_var(tmp_path, capsys):
    ds = xr.open_dataset(era5_current(own_weather(), str(tmp_path / "era5.nc")))
    path = str(tmp_path / "no-temperature.nc")
    ds.drop_vars("t2m").to_netcdf(path)
    ds.close()
    assert cli.main(["grid", "--input", path, "--output", str(tmp_path / "out.nc")]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1
    assert "no air temperature" in err and "d2m, tcc, u10" in err and "--var" in err


TMY3 = """723650,"ALBUQUERQUE INTL ARPT",NM,-7.0,35.040,-106.620,1619
Date (MM/DD/YYYY),Time (HH:MM),ETR (W/m^2),ETRN (W/m^2),GHI (W/m^2),GHI source,GHI uncert (%),\
DNI (W/m^2),DNI source,DNI uncert (%),DHI (W/m^2),DHI source,DHI uncert (%),\
GH illum (lx),GH illum source,Global illum uncert (%),DN illum (lx),DN illum source,\
DN illum uncert (%),DH illum (lx),DH illum source,DH illum uncert (%),Zenith lum (cd/m^2),\
Zenith lum source,Zenith lum uncert (%),TotCld (tenths),TotCld source,TotCld uncert (code),\
OpqCld (tenths),OpqCld source,OpqCld uncert (code),Dry-bulb (C),Dry-bulb source,\
Dry-bulb uncert (code),Dew-point (C),Dew-point source,Dew-point uncert (code),RHum (%),\
RHum source,RHum uncert (code),Pressure (mbar),Pressure source,Pressure uncert (code),\
Wdir (degrees),Wdir source,Wdir uncert (code),Wspd (m/s),Wspd source,Wspd uncert (code),\
Hvis (m),Hvis source,Hvis uncert (code),CeilHgt (m),CeilHgt source,CeilHgt uncert (code),\
Pwat (cm),Pwat source,Pwat uncert (code),AOD (unitless),AOD source,AOD uncert (code),\
Alb (unitless),Alb source,Alb uncert (code),Lprecip depth (mm),Lprecip quantity (hr),\
Lprecip source,Lprecip uncert (code),PresWth (METAR code),PresWth source,PresWth uncert (code)
"""


def tmy3_row(hour, ghi, dni, dhi, cloud, air, dew, rh, wind):
    cells = ["06/21/1988", f"{hour:02d}:00", 1000, 1300, ghi, 1, 8, dni, 1, 15, dhi, 1, 8,
             0, 1, 8, 0, 1, 15, 0, 1, 8, 0, 1, 8, cloud, "E", 9, 0, "E", 9, air, "A", 7, dew,
             "A", 7, rh, "A", 7, 840, "A", 7, 180, "A", 7, wind, "A", 7, 16000, "B", 7, 77777,
             "A", 7, 1.2, "E", 8, 0.07, "F", 8, 0.18, "F", 8, 0, 1, "D", 9, 0, "C", 1]
    return ",".join(map(str, cells)) + "\n"


ROWS = [(9, 420, 650, 120, 2, 24.4, 3.3, 25, 3.1), (12, 950, 900, 110, 0, 30.0, 2.0, 17, 5.2),
        (15, 610, 500, 210, 7, 31.1, 4.4, 18, 6.0)]


def test_a_pvlib_tmy3_frame_goes_in_as_it_is(tmp_path):
    pvlib = pytest.importorskip("pvlib")
    path = tmp_path / "723650TYA.CSV"
    path.write_text(TMY3 + "".join(tmy3_row(*row) for row in ROWS))
    frame, meta = pvlib.iotools.read_tmy3(str(path), map_variables=True)
    site = Site(meta["latitude"], meta["longitude"], meta["altitude"])
    own = pd.DataFrame({"air_temp": [r[5] for r in ROWS], "humidity": [r[7] for r in ROWS],
                        "cloud": [0.8 * r[4] for r in ROWS], "wind": [r[8] for r in ROWS],
                        "global": [r[1] for r in ROWS], "direct": [r[2] for r in ROWS],
                        "diffuse": [r[3] for r in ROWS], "albedo": [0.18] * 3},
                       index=frame.index)
    got, expected = reference(frame, site=site), reference(own, site=site)
    pd.testing.assert_frame_equal(got, expected, rtol=1e-12)


def test_a_pvlib_epw_frame_goes_in_as_it_is(tmp_path):
    pvlib = pytest.importorskip("pvlib")
    header = ("LOCATION,Albuquerque,NM,USA,TMY3,723650,35.04,-106.62,-7.0,1619.0\n"
              + "".join(f"{kind},\n" for kind in (
                  "DESIGN CONDITIONS", "TYPICAL/EXTREME PERIODS", "GROUND TEMPERATURES",
                  "HOLIDAYS/DAYLIGHT SAVINGS", "COMMENTS 1", "COMMENTS 2"))
              + "DATA PERIODS,1,1,Data,Sunday, 1/ 1,12/31\n")
    rows = "".join(
        f"1988,6,21,{hour},60,?,{air},{dew},{rh},84000,1000,1300,{ir},{ghi},{dni},{dhi},0,0,0,0,"
        f"180,{wind},{cloud},{cloud},16.0,77777,9,999999999,12,0.07,0,88,0.18,0,1.0\n"
        for hour, ghi, dni, dhi, cloud, air, dew, rh, wind, ir in
        [(10, 420, 650, 120, 2, 24.4, 3.3, 25, 3.1, 330), (13, 950, 900, 110, 0, 30.0, 2.0, 17,
                                                           5.2, 345)])
    frame, meta = pvlib.iotools.read_epw(io.StringIO(header + rows))
    site = Site(meta["latitude"], meta["longitude"], meta["altitude"])
    own = pd.DataFrame({"air_temp": [24.4, 30.0], "humidity": [25.0, 17.0], "wind": [3.1, 5.2],
                        "global": [420.0, 950.0], "direct": [650.0, 900.0],
                        "diffuse": [120.0, 110.0], "longwave_down": [330.0, 345.0],
                        "cloud": [1.6, 0.0], "albedo": [0.18, 0.18]}, index=frame.index)
    pd.testing.assert_frame_equal(reference(frame, site=site), reference(own, site=site),
                                  rtol=1e-12)


def test_a_quantity_given_twice_in_a_frame_is_refused():
    frame = pd.DataFrame({"temp_air": [20.0], "air_temp": [21.0]},
                         index=pd.DatetimeIndex(["2025-06-21T12:00Z"]))
    with pytest.raises(InputError, match="air_temp given twice"):
        chain(frame, site=Site(48.0, 11.0, 500.0))


def test_a_series_with_pvlibs_names_reads_as_the_chains(tmp_path, capsys):
    rows = ["2025-06-21T10:00Z,24.5,35,410,120", "2025-06-21T11:00Z,26.0,30,600,150"]
    outputs = []
    for header in ("time,air_temp,humidity,global,diffuse",
                   "time,temp_air,relative_humidity,ghi,dhi"):
        path = tmp_path / "w.csv"
        path.write_text("\n".join([header, *rows]) + "\n")
        status = cli.main(["--input", str(path), "--lat", "48.1", "--lon", "11.6", "--height",
                           "520", "--zone", "0", "--precision", "full"])
        outputs.append((status, capsys.readouterr().out))
    assert outputs[0] == outputs[1] and outputs[0][0] in (0, None)


def field(value, units, **attrs):
    return ("time", [value], {"units": units, **attrs})


@pytest.mark.parametrize("variables, name, expected", [
    # specific humidity 10 g/kg at 1000 hPa: e = q p / (0.622 + 0.378 q)
    ({"tas": field(293.15, "K"), "huss": field(0.01, "1"), "ps": field(100000.0, "Pa")},
     "vapour_pressure", 1000 * 0.01 / 0.62578),
    ({"tcc": field(0.5, "(0 - 1)")}, "cloud", 4.0),
    ({"clt": field(25.0, "%")}, "cloud", 2.0),
    # the wind at 2 m brought to 10 m over grass (z0 = 0.01 m)
    ({"sfcWind": ("time", [3.0], {"units": "m s-1"})}, "wind@2", 3.0 * 6.907755 / 5.298317),
    ({"sfcWind": ("time", [3.0], {"units": "m s-1"})}, "wind@10", 3.0),
    ({"ssrd": field(500 * 3600.0, "J m**-2"), "ssr": field(400 * 3600.0, "J m**-2")},
     "albedo", 0.2),
    ({"ssrd": field(0.0, "J m**-2"), "ssr": field(0.0, "J m**-2")}, "albedo", 0.2),
    ({"rsds": field(500.0, "W m-2"), "rsus": field(110.0, "W m-2")}, "albedo", 0.22),
    ({"strd": field(350 * 3600.0, "J m**-2"), "str": field(-80 * 3600.0, "J m**-2")},
     "longwave_up", 430.0),
    ({"ssrd": field(500 * 3600.0, "J m**-2"), "fdir": field(300 * 3600.0, "J m**-2")},
     "diffuse", 200.0),
    ({"z": field(9806.65, "m**2 s**-2")}, "height", 1000.0),
])
def test_what_follows_from_a_producers_quantities(variables, name, expected):
    from klimora.conventions import normalise

    ds = xr.Dataset(variables, coords={"time": pd.date_range("2025-06-21T12:00", periods=1)})
    if "@" in name:
        name, level = name.split("@")
        ds = ds.assign_coords(height=((), float(level), {"units": "m", "standard_name": "height"}))
    found = normalise(ds)
    value = found.height if name == "height" else found.fields[name]
    assert float(value.values.ravel()[0]) == pytest.approx(expected, rel=1e-5)


def test_grib_without_cfgrib_names_the_extra(tmp_path, capsys, monkeypatch):
    import sys

    monkeypatch.setitem(sys.modules, "cfgrib", None)   # as if not installed
    path = tmp_path / "era5.grib"
    path.write_bytes(b"GRIB")
    assert cli.main(["grid", "--input", str(path), "--output", str(tmp_path / "o.nc")]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "pip install '.[grib]'" in err


@pytest.mark.parametrize("steps, accumulated, means", [
    # a forecast's run: accumulations from its start, differenced over each step
    ([1, 2, 3], [100.0, 300.0, 600.0], [100.0, 200.0, 300.0]),
    ([3, 6], [900.0, 1500.0], [300.0, 200.0]),
])
def test_accumulations_along_a_forecasts_steps_are_differenced(steps, accumulated, means):
    from klimora.accumulations import ACCUMULATED, as_means

    ds = xr.Dataset({"ssrd": ("step", 3600.0 * np.array(accumulated), {
        "units": "J m**-2", "standard_name": "surface_downwelling_shortwave_flux_in_air"})},
        coords={"step": pd.to_timedelta(steps, unit="h")})
    got = as_means(ds)["ssrd"]
    np.testing.assert_allclose(got.values, means)
    assert got.attrs["units"] == "W m-2"
    assert got.attrs[ACCUMULATED] == 3600.0 * (steps[1] - steps[0])
