"""klimora.chain on arrays, frames and datasets against the chain written
out step by step on floats with the scalar functions (the oracle below);
times and zones, missing data, measured inputs and what is refused."""

import math
import pickle
import re
import warnings

import numpy as np
import pandas as pd
import pytest

import klimora.Strahlkit as S
from klimora import day
from klimora.chain import NAMES, ChainWarning, Site, chain

from helpers import CLIMATOLOGY

#: The example site, in UTC+1.
MUNICH = {"latitude": 48.14, "longitude": 11.58, "height": 520.0}
HERE = Site(**MUNICH, zone=1.0)


def engerer_diffuse(glob, global_clear, zenith, solar_time, doy):
    """Engerer (2015), model 2: the diffuse share of the global from the
    clearness index, its distance from the clear sky's, the solar time, the
    zenith angle and the cloud enhancement."""
    horizontal = (1367 * (1 + 0.033 * math.cos(2 * math.pi * doy / 365))
                  * math.cos(math.radians(zenith)))
    kt, kt_clear = glob / horizontal, global_clear / horizontal
    enhanced = max(glob - global_clear, 0.0) / glob if glob > 0 else 0.0
    share = 0.042336 + (1 - 0.042336) / (1 + math.exp(
        -3.7912 + 7.5479 * kt - 0.010036 * solar_time + 0.003148 * zenith
        - 5.3146 * (kt_clear - kt)))
    return min(max(share + 1.7073 * enhanced, 0.0), 1.0) * glob


def dry_air_turbidity(doy, lat):
    """The Linke turbidity of the seasonal cycle alone: 2.9 less (north) or
    more (south) 1.4 cos(2 pi (day - 15) / 365)."""
    swing = 1.4 * math.cos(2 * math.pi * (doy - 15) / 365)
    return 2.9 - swing if lat >= 0 else 2.9 + swing


def scalar_chain(utc_hour, doy, zone, lat, lon, height, air=20.0, humidity=60.0, cloud=2.0,
                 wind=2.0, albedo=0.2, bowen=0.3, body_albedo=0.3, global_=None,
                 diffuse_model="separation", min_wind=0.5, linke=None, turbidity="bounded"):
    """One element, in plain floats and Strahlkit calls."""
    humidity = min(humidity, 100.0)
    b = 2 * math.pi * (doy - 81) / 364
    eot = (9.87 * math.sin(2 * b) - 7.53 * math.cos(b) - 1.5 * math.sin(b)) / 60
    szeit = float(S.Sonnenzeit(utc_hour + lon / 15 + eot, zone, lon, doy)) % 24.0
    zenith = float(S.Zenitwinkel(szeit, lat, doy))
    azimuth = float(S.Azimutwinkel(szeit, lat, doy))
    if linke is None:
        linke = float(S.LinkeTruebung(doy, lat, humidity))
        if turbidity == "bounded" and linke > 7.0:
            linke = dry_air_turbidity(doy, lat)
    air_mass = float(S.RelOptLuftmasse(zenith))
    direct_max = float(S.MaxDirekteStrahlung(doy, height, zenith, linke, air_mass))
    global_max = float(S.MaxGlobalstrahlung(doy, height, zenith, linke))
    direct = float(S.DirStrMBew(direct_max, cloud))
    glob = global_max * (1 - 0.75 * (cloud / 8) ** 3.4) if global_ is None else global_
    diffuse = max(glob - direct * math.cos(math.radians(zenith)), 0.0) if zenith < 90 else 0.0
    if diffuse_model == "separation" and zenith < 90:
        cos_z = math.cos(math.radians(zenith))
        clear = engerer_diffuse(global_max, global_max, zenith, szeit, doy)
        share = direct / direct_max if direct_max > 0 else 0.0
        excess = max(global_max - direct_max * cos_z - clear, 0.0) * share
        diffuse, direct = diffuse - excess, direct + excess / cos_z
        if diffuse < 0.05 * glob:
            diffuse = engerer_diffuse(glob, global_max, zenith, szeit, doy)
            direct = (glob - diffuse) / cos_z
    wind = max(wind, min_wind)
    vapour = humidity / 100 * 6.112 * math.exp(17.62 * air / (243.12 + air))
    counter = float(S.AtmosGegenstr(air, vapour, cloud))
    net = (1 - albedo) * glob + 0.97 * counter - 0.97 * 5.67e-8 * (air + 273.15) ** 4
    surface = float(S.OberflTemp(net, air, wind, bowen))
    up = 0.97 * 5.67e-8 * (surface + 273.15) ** 4 + 0.03 * counter
    mrt = float(S.MittlStrTemp(min(zenith, 90.0), counter / 2, up / 2, 0.0,
                               diffuse / 2 + albedo * glob / 2, direct, None, body_albedo, None))
    return (szeit, zenith, azimuth, linke, air_mass, direct_max, global_max, direct, glob,
            diffuse, counter, up, net, surface, mrt)


def test_frame_against_the_scalar_chain():
    rng = np.random.default_rng(3)
    n = 400
    times = pd.Timestamp("2025-01-01") + pd.to_timedelta(rng.uniform(0, 365 * 24, n), unit="h")
    frame = pd.DataFrame({"air_temp": rng.uniform(-20, 40, n), "humidity": rng.uniform(5, 100, n),
                          "cloud": rng.uniform(0, 8, n), "bowen": rng.uniform(0, 3, n)},
                         index=pd.DatetimeIndex(times))
    site = Site(latitude=-33.9, longitude=151.2, height=40.0, zone=10.0)
    got = chain(frame, site=site)
    assert list(got.columns) == list(NAMES) and got.index.equals(frame.index)
    for t, row, (_, w) in zip(frame.index, got.itertuples(index=False), frame.iterrows()):
        local = t
        want = scalar_chain(t.hour + t.minute / 60 + t.second / 3600 + t.microsecond / 3.6e9
                            - 10.0, local.day_of_year, 10.0, -33.9, 151.2, 40.0, w.air_temp,
                            w.humidity, w.cloud, bowen=w.bowen)
        np.testing.assert_allclose(row, want, rtol=1e-8, atol=1e-7)
    assert ((got.solar_time >= 0) & (got.solar_time < 24)).all()


@pytest.mark.parametrize("times, zone, utc_hour, doy", [
    (["2025-07-01 14:00"], "Europe/Berlin", 12.0, 182),          # summer time, UTC+2
    (["2025-01-01 14:00"], "Europe/Berlin", 13.0, 1),
    (["2025-07-01T12:00:00Z"], "Europe/Berlin", 12.0, 182),      # an offset is kept
    (["2025-07-01 00:30+05:00"], None, 19.5, 182),               # the day of its own zone
    (["2025-07-01 00:30"], None, 0.5, 182),                      # no zone: UTC
])
def test_times_and_zones(times, zone, utc_hour, doy):
    index = pd.DatetimeIndex(pd.to_datetime(times, utc=None if "Z" not in times[0] else True))
    got = chain(pd.DataFrame({"air_temp": [20.0]}, index=index), site=Site(**MUNICH, zone=zone))
    offset = 2.0 if zone and doy == 182 else 1.0 if zone else 5.0 if "+05" in times[0] else 0.0
    want = scalar_chain(utc_hour, doy, offset, 48.14, 11.58, 520.0)
    np.testing.assert_allclose(got.iloc[0], want, rtol=1e-9)


def test_missing_data_stays_missing():
    index = pd.DatetimeIndex(["2025-06-21 12:00", "2025-06-21 12:00", "2025-03-30 02:30", "NaT"])
    frame = pd.DataFrame({"air_temp": [np.nan, 20.0, 20.0, 20.0],
                          "cloud": [2.0, np.nan, 2.0, 2.0]}, index=index)
    got = chain(frame, site=Site(**MUNICH, zone="Europe/Berlin"))
    solar = ["solar_time", "zenith", "azimuth", "linke", "air_mass", "direct_max", "global_max"]
    assert got.iloc[0][solar].notna().all() and got.iloc[0][["counter", "mrt"]].isna().all()
    assert got.iloc[1][solar].notna().all() and got.iloc[1][["direct", "global", "mrt"]].isna().all()
    # A clock time that daylight saving skips, and NaT: all but the sky's
    # long-wave flux, which depends on the weather alone.
    assert got.iloc[2:].drop(columns="counter").isna().all().all()
    assert got.iloc[2:].counter.notna().all()


def test_measured_inputs_replace_the_model():
    index = pd.DatetimeIndex(["2025-06-21 12:00"])
    got = chain(pd.DataFrame({"global": [555.0], "longwave_down": [321.0]}, index=index), site=HERE)
    assert got["global"].iloc[0] == 555.0 and got.counter.iloc[0] == 321.0
    want = scalar_chain(11.0, 172, 1.0, 48.14, 11.58, 520.0, global_=555.0)
    np.testing.assert_allclose(got.diffuse.iloc[0], want[NAMES.index("diffuse")], rtol=1e-12)


def test_dataset_and_dask_give_the_frame_values():
    xr = pytest.importorskip("xarray")
    pytest.importorskip("dask")
    times = pd.date_range("2025-06-21", periods=48, freq="30min")
    lat = np.array([-40.0, 0.0, 52.0])
    # float32 fields, as models store them, are taken as the float64 a frame holds
    air = np.linspace(5, 30, 48 * 3, dtype=np.float32).reshape(48, 3)
    ds = xr.Dataset({"air_temp": (("time", "lat"), air)}, coords={"time": times, "lat": lat})
    eager = chain(ds, site=Site(**MUNICH, zone=None))
    lazy = chain(ds.chunk({"time": 16, "lat": 2}), site=Site(**MUNICH, zone=None))
    assert lazy.mrt.chunks == ((16, 16, 16), (2, 1)) and eager.mrt.attrs["units"] == "degC"
    # every column of every block, taken from the block of all the columns;
    # the graph goes to other processes (dask.distributed) by pickling
    for got in (lazy, pickle.loads(pickle.dumps(lazy))):
        for name in NAMES:
            assert np.array_equal(got[name].values.view(np.uint64),
                                  eager[name].values.view(np.uint64)), name
    column = chain(pd.DataFrame({"air_temp": air[:, 1]}, index=times),
                   site=Site(latitude=0.0, longitude=11.58, height=520.0, zone=None))
    for name in NAMES:
        assert np.array_equal(eager[name].values[:, 1].view(np.uint64),
                              column[name].to_numpy().view(np.uint64)), name
    # a lazy field is checked as it is computed
    hot = chain(ds.chunk({"time": 16}).where(ds.time != times[20], 400.0),
                site=Site(**MUNICH, zone=None))
    with pytest.raises(ValueError, match="air_temp must be between -90 and 60 degC, not 400"):
        hot.mrt.compute()


@pytest.mark.parametrize("make, message", [
    (lambda: Site(latitude=200, longitude=0.0), "latitude must be between -90 and 90 deg, not 200"),
    (lambda: Site(latitude=0.0, longitude=0.0, height=np.array([0.0, 1e5])),
     "height must be between"),
    (lambda: chain(pd.DataFrame({"bowen": [-0.9]}, index=pd.DatetimeIndex(["2025-01-01"])),
                   site=HERE),
     "bowen must be between -0.5"),
    (lambda: chain(pd.DataFrame({"air_temp": [20.0], "vapour_pressure": [400.0]},
                                index=pd.DatetimeIndex(["2025-01-01"])), site=HERE),
     "vapour_pressure"),
    (lambda: chain(pd.DataFrame({"air_temp": [5.0], "vapour_pressure": [17 * 8.7]},
                                index=pd.DatetimeIndex(["2025-01-01"])), site=HERE),
     "above saturation"),
    (lambda: chain(pd.DataFrame({"wet": [1.0]}, index=pd.DatetimeIndex(["2025-01-01"])), site=HERE),
     "unknown weather 'wet'"),
    (lambda: chain({"air_temp": [1.0]}, site=HERE), "times are needed"),
    (lambda: day.Site(latitude=200, longitude=0.0), "latitude must be between"),
    (lambda: day.Weather(bowen=-0.9), "bowen must be between"),
])
def test_refused(make, message):
    with pytest.raises(ValueError, match=message):
        make()


def test_projection_factor():
    index = pd.DatetimeIndex(["2025-06-21 13:00", "2025-06-21 08:00"])
    frame = pd.DataFrame({"cloud": [0.0, 0.0]}, index=index)
    system, vdi = chain(frame, site=HERE), chain(frame, projection_factor="vdi3789", site=HERE)
    assert system.drop(columns="mrt").equals(vdi.drop(columns="mrt"))
    # the published factor weighs a high sun more
    assert vdi.mrt.iloc[0] > system.mrt.iloc[0] + 1.0 and vdi.mrt.iloc[1] > system.mrt.iloc[1]


def test_utci_column_is_pythermalcomforts():
    models = pytest.importorskip("pythermalcomfort.models")
    frame = pd.DataFrame({"air_temp": [25.0, np.nan], "humidity": [50.0, 50.0],
                          "wind": [1.0, 1.0]}, index=pd.DatetimeIndex(["2025-06-21 13:00"] * 2))
    got = chain(frame, utci=True, site=HERE)
    # pythermalcomfort turns the humidity into a vapour pressure by Hardy's
    # formula, the chain by Magnus's: the two differ by some 0.01 K of UTCI.
    want = models.utci(tdb=25.0, tr=got.mrt.iloc[0], v=1.0, rh=50.0, round_output=False).utci
    assert got.utci.iloc[0] == pytest.approx(float(want), abs=0.05)
    assert np.isnan(got.utci.iloc[1]) and got.attrs["units"]["utci"] == "degC"


ONE = pd.DatetimeIndex(["2025-06-21 12:00"])


def _dataset(**variables):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("dask")
    times = pd.date_range("2025-06-21", periods=4, freq="6h")
    return xr.Dataset({name: ("time", np.full(4, value)) for name, value in variables.items()},
                      coords={"time": times})


@pytest.mark.parametrize("make, error, message", [
    # nothing that is not a time runs as 1970-01-01
    (lambda: chain(pd.DataFrame({"air_temp": [20.0, 21.0]}), site=HERE), ValueError,
     "needs a DatetimeIndex or a column 'time'"),
    (lambda: chain(pd.DataFrame({"time": [1, 2], "air_temp": [20.0, 21.0]}), site=HERE), ValueError,
     "column 'time' holds numbers"),
    (lambda: chain(pd.DataFrame({"time": np.array([1.5, 2], dtype=object)}), site=HERE), ValueError,
     "column 'time' holds numbers"),
    (lambda: chain({"air_temp": [1.0]}, times=np.array([5]), site=HERE), ValueError,
     "times must be dates and times, not numbers"),
    (lambda: chain(_dataset(air_temp=20.0).drop_vars("time"), site=HERE), ValueError,
     "needs a coordinate 'time'"),
    (lambda: chain(_dataset(air_temp=20.0).rename(time="t"), site=HERE), ValueError,
     "needs a coordinate 'time'"),
    (lambda: chain(_dataset(air_temp=20.0).assign_coords(time=np.arange(4.0)), site=HERE),
     ValueError,
     "'time' holds numbers"),
    # and each misuse is said in one line
    (lambda: chain(pd.Series([1.0], index=ONE), site=HERE), TypeError, "not a Series"),
    (lambda: chain(pd.DataFrame({"air_temp": [1.0]}, index=ONE).air_temp.to_xarray(),
                   site=HERE), TypeError,
     "not a DataArray"),
    (lambda: chain(pd.DataFrame([[1.0, 2.0]], columns=["air_temp", "air_temp"], index=ONE),
                   site=HERE),
     ValueError, "column 'air_temp' appears twice"),
])
def test_refused_without_a_word_before(make, error, message):
    with pytest.raises(error, match=message) as raised:
        make()
    assert "\n" not in str(raised.value)


@pytest.mark.parametrize("variables, message", [
    # lazy site fields are checked as they are computed, as eager ones are at once
    ({"height": 20000.0}, "height must be between -500 and 9000 m, not 20000"),
    ({"latitude": 95.0}, "latitude must be between -90 and 90 deg, not 95"),
    ({"lon": 400.0}, "longitude must be between -180 and 180 deg, not 400"),
    # the vapour pressure against saturation, whichever of it and the air is lazy
    ({"air_temp": 10.0, "vapour_pressure": 60.0}, "above saturation"),
])
@pytest.mark.parametrize("lazy", ["all", "first", "last"])
def test_lazy_inputs_are_checked_like_eager_ones(variables, message, lazy):
    ds = _dataset(**variables)
    with pytest.raises(ValueError, match=message):
        chain(ds, site=Site(**MUNICH, zone=None))
    names = list(variables)
    chunked = {"all": names, "first": names[:1], "last": names[-1:]}[lazy]
    ds = ds.assign({name: ds[name].chunk(2) for name in chunked})
    result = chain(ds, site=Site(**MUNICH, zone=None))
    with pytest.raises(ValueError, match=message):
        result.mrt.compute()


def test_times_past_2262_are_refused_in_one_line_or_computed():
    """pandas before 3 holds times in nanoseconds only; pandas 3 holds later
    ones, and 2300, like 2025, is no leap year."""
    at = {year: np.array([f"{year}-06-21T10:00"], dtype="datetime64[s]") for year in (2025, 2300)}
    try:
        late = chain({"air_temp": [20.0]}, times=at[2300], site=Site(**MUNICH, zone=None))
    except ValueError as e:
        assert str(e).startswith("times must lie between 1677-09-21 and 2262-04-11")
        return
    early = chain({"air_temp": [20.0]}, times=at[2025], site=Site(**MUNICH, zone=None))
    for name in NAMES:
        assert np.array_equal(late[name], early[name], equal_nan=True), name


# ---- what real data needs ---------------------------------------------------

STEPS = pd.DatetimeIndex(["2025-06-21 06:00", "2025-06-21 12:30", "2025-12-21 09:15"])


def _frame(**columns):
    return pd.DataFrame({name: np.full(len(STEPS), value, dtype=float)
                         for name, value in columns.items()}, index=STEPS)


def _oracle(**kw):
    """scalar_chain at STEPS for the example site in UTC+1."""
    return np.array([scalar_chain(t.hour + t.minute / 60 - 1.0, t.day_of_year, 1.0,
                                  *MUNICH.values(), **kw) for t in STEPS])


@pytest.mark.parametrize("columns, options, oracle", [
    ({"linke": 3.25}, {}, {"linke": 3.25}),
    ({"humidity": 104.9}, {}, {"humidity": 100.0}),
    ({"humidity": 96.0, "cloud": 0.0}, {}, {"humidity": 96.0, "cloud": 0.0}),
    ({"humidity": 96.0, "cloud": 0.0}, {"turbidity": "model"},
     {"humidity": 96.0, "cloud": 0.0, "turbidity": "model"}),
    ({"humidity": 90.0}, {}, {"humidity": 90.0, "turbidity": "model"}),
    ({"wind": 0.0}, {}, {"wind": 0.0}),
    ({"wind": 0.0}, {"min_wind": None}, {"wind": 0.0, "min_wind": 0.0}),
    ({"wind": 3.0}, {"min_wind": 4.0}, {"wind": 4.0}),
    ({}, {"surface": "asphalt"}, {"bowen": 10.0}),
    ({"cloud": 0.0}, {"diffuse_model": "residual"}, {"cloud": 0.0, "diffuse_model": "residual"}),
    ({"cloud": 0.0}, {}, {"cloud": 0.0}),
])
def test_inputs_and_options_against_the_scalar_chain(columns, options, oracle):
    got = chain(_frame(**columns), site=HERE, **options)
    np.testing.assert_allclose(got[list(NAMES)].to_numpy(), _oracle(**oracle), rtol=1e-9,
                               atol=1e-9)


def test_the_separation_keeps_global_beam_and_diffuse_consistent():
    got = chain(_frame(cloud=0.0, humidity=20.0), site=Site(**{**MUNICH, "height": 4000.0},
                                                            zone=1.0))
    residual = chain(_frame(cloud=0.0, humidity=20.0), site=Site(**{**MUNICH, "height": 4000.0},
                                                                 zone=1.0),
                     diffuse_model="residual")
    up = got.zenith < 90
    cos_z = np.cos(np.radians(got.zenith[up]))
    np.testing.assert_allclose(got.diffuse[up] + got.direct[up] * cos_z, got["global"][up],
                               rtol=1e-12)
    clipped = up & (residual.diffuse < 0.05 * residual["global"])
    assert clipped.any()
    assert (got.diffuse[clipped] > residual.diffuse[clipped]).all()


@CLIMATOLOGY
def test_climatology_is_the_published_turbidity():
    import pvlib

    sites = [(48.14, 11.58), (-33.87, 151.21), (39.74, -104.99), (1.35, 103.82)]
    for lat, lon in sites:
        times = pd.date_range("2025-01-01 12:00", "2025-12-31 12:00", freq="4D")
        got = chain(pd.DataFrame({"humidity": np.full(len(times), 95.0)}, index=times),
                    site=Site(latitude=lat, longitude=lon, height=0.0, zone=0.0),
                    turbidity="climatology")
        want = pvlib.clearsky.lookup_linke_turbidity(times, lat, lon)
        np.testing.assert_allclose(got.linke.to_numpy(), want.to_numpy(), rtol=1e-14)


@pytest.mark.parametrize("make, kind, count", [
    (lambda: chain(_frame(humidity=100.5), site=HERE), "humidity", 3),
    (lambda: chain(_frame(humidity=96.0), site=HERE, turbidity="model"), "turbidity", 3),
    (lambda: chain(_frame(), site=Site(**MUNICH)), "zone", 0),
    (lambda: chain(_frame(), site=Site(latitude=48.14, longitude=11.58, zone=1.0)), "height", 0),
])
def test_what_the_chain_took_or_changed_is_said(make, kind, count):
    with pytest.warns(ChainWarning) as said:
        make()
    assert (kind, count) in [(w.message.kind, w.message.count) for w in said]


@pytest.mark.parametrize("make", [
    lambda: chain(_frame(linke=3.0).tz_localize("Europe/Berlin"), site=Site(**MUNICH)),
    pytest.param(lambda: chain(_frame(humidity=96.0), site=HERE, turbidity="climatology"),
                 marks=CLIMATOLOGY),
    lambda: chain(_frame(humidity=96.0), site=HERE),   # the default keeps to the bound
])
def test_nothing_is_said_of_what_was_given(make):
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        make()


@pytest.mark.parametrize("make, message", [
    (lambda: chain(_frame()), "no site: give site=Site"),
    (lambda: chain(_frame(humidity=105.5), site=HERE), "between 0 and 105 %, not 105.5"),
    (lambda: chain(_frame(bowen=1.0), site=HERE, surface="grass"), "surface or the Bowen ratio"),
    (lambda: chain(_frame(), site=HERE, surface="moss"), "unknown surface 'moss'"),
    (lambda: chain(_frame(), site=HERE, turbidity="aeronet"), "turbidity must be one of"),
    (lambda: chain(_frame(), site=HERE, time_label="middle"), "time_label must be one of"),
    (lambda: chain(_frame().iloc[:1], site=HERE, time_label="end"), "give interval="),
    (lambda: chain(_frame(), site=HERE, time_label="end", interval="-1h"), "longer than 0"),
    (lambda: Site(latitude=None, longitude=1.0), "latitude must be given"),
])
def test_refusals_of_what_real_data_needs(make, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        make()


@pytest.mark.parametrize("label, shift", [("end", -1.0), ("start", 0.0)])
def test_interval_means_are_the_mean_over_the_interval(label, shift):
    """Hourly means at the stamps that end (or start) each hour: the sun's
    position at the middle of the hour, the fluxes and temperatures the
    mean of the chain at 13 instants across it, sunrise included."""
    stamps = pd.date_range("2025-06-21 03:00", periods=6, freq="h")
    weather = pd.DataFrame({"air_temp": np.linspace(12.0, 20.0, 6)}, index=stamps)
    got = chain(weather, site=HERE, time_label=label)
    partial = 0
    for t in stamps:
        row, air = got.loc[t], weather.air_temp[t]
        start = t + pd.Timedelta(hours=shift)
        inside = start + pd.to_timedelta((np.arange(13) + 0.5) / 13, unit="h")
        steps = chain(pd.DataFrame({"air_temp": np.full(13, air)}, index=inside), site=HERE)
        middle = chain(pd.DataFrame({"air_temp": [air]},
                                    index=[start + pd.Timedelta(minutes=30)]), site=HERE)
        for name in ("zenith", "azimuth", "solar_time"):
            assert row[name] == pytest.approx(middle[name].iloc[0], abs=1e-9)
        for name in ("global", "direct", "diffuse", "mrt", "surface_temp"):
            assert row[name] == pytest.approx(steps[name].mean(), rel=1e-7, abs=1e-7)
        partial += bool((steps["global"] == 0).any() and (steps["global"] > 0).any())
    assert partial == 1   # sunrise lies inside one interval: part of it is day


def test_a_dataset_carries_its_site_and_its_intervals_as_a_frame_does():
    xr = pytest.importorskip("xarray")
    pytest.importorskip("dask")
    times = pd.date_range("2025-06-21", periods=24, freq="h")
    lat, lon = np.array([-30.0, 50.0]), np.array([10.0, 100.0])
    air = np.linspace(5.0, 25.0, 24 * 2 * 2).reshape(24, 2, 2)
    ds = xr.Dataset({"air_temp": (("time", "lat", "lon"), air)},
                    coords={"time": times, "lat": lat, "lon": lon, "height": 200.0})
    with warnings.catch_warnings():
        warnings.simplefilter("error")   # CF times are UTC: nothing to say
        got = chain(ds.chunk({"time": 6}), time_label="end").compute()
    for i, j in ((0, 1), (1, 0)):
        frame = pd.DataFrame({"air_temp": air[:, i, j]}, index=times)
        want = chain(frame, site=Site(lat[i], lon[j], 200.0, zone=0.0), time_label="end")
        for name in ("zenith", "global", "mrt"):
            np.testing.assert_allclose(got[name][:, i, j], want[name], rtol=1e-12, atol=1e-12)


#: Weather at night (the mean radiant temperature a few kelvin below the
#: air) with values outside UTCI's range: air above 50 or below -50 degC,
#: wind above 17 m/s.  A missing air temperature is no such value.
UTCI_ROWS = [(20.0, 1.0), (55.0, 1.0), (-60.0, 1.0), (20.0, 30.0), (np.nan, 1.0), (15.0, 2.0)]
UTCI_OUTSIDE = 3


@pytest.mark.parametrize("repeats", [1, 7000])   # 7000: more rows than a block of the model
def test_utci_outside_its_range_is_one_line_that_counts_them(repeats):
    air, wind = np.tile(np.array(UTCI_ROWS).T, repeats)
    times = pd.date_range("2025-06-20 22:00", periods=air.size, freq="500ms", tz="UTC")
    frame = pd.DataFrame({"air_temp": air, "wind": wind, "humidity": 50.0}, index=times)
    with warnings.catch_warnings(record=True) as said:
        warnings.simplefilter("always")
        got = chain(frame, site=HERE, utci=True)
    assert [str(w.message) for w in said] == [
        f"{UTCI_OUTSIDE * repeats} UTCI values outside the model's range (air -50 to 50 °C, "
        "MRT - air -30 to 70 K, wind 0.5 to 17 m/s) left NaN"]
    assert (said[0].message.kind, said[0].category) == ("utci", ChainWarning)
    assert np.isnan(got.utci).sum() == (UTCI_OUTSIDE + 1) * repeats
