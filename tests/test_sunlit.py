"""The mean of cos z over an interval in closed form (klimora.sunlit)
against a numerical integration of the module's own zenith angle, in
10-second steps, with the sunrise and sunset found by root finding; and
what the chain makes of a given interval-mean global with it."""

import numpy as np
import pytest

from klimora import ufuncs as U
from klimora.sunlit import declination, mean_cos_zenith, sunlit_mean_cos_zenith

STEP = 10.0 / 3600.0   # hours


def cos_zenith(utc_hour, dayofyear, latitude, longitude):
    """cos z of the module's Zenitwinkel at the chain's true solar time."""
    solar = np.mod(utc_hour + longitude / 15 + U.equation_of_time(dayofyear), 24.0)
    return np.cos(np.radians(U.Zenitwinkel(solar, latitude, dayofyear)))


def numerical(middle, dayofyear, latitude, longitude, hours):
    """The whole interval's mean of max(cos z, 0) by the midpoint rule in
    10-second steps, and its sunlit time in hours; a step that holds a
    sunrise or sunset is cut there (found by root finding) and its sunlit
    part taken at that part's middle."""
    pytest.importorskip("scipy")
    from scipy.optimize import brentq

    def c(t):
        return cos_zenith(t, dayofyear, latitude, longitude)

    count = int(round(hours / STEP))
    edges = middle - hours / 2 + np.arange(count + 1) * (hours / count)
    mids = (edges[:-1] + edges[1:]) / 2
    at_mids = c(mids)
    at_edges = c(edges)
    up = (at_edges[:-1] > 0) & (at_edges[1:] > 0)
    integral = float(np.sum(at_mids[up])) * (hours / count)
    sunlit = float(np.count_nonzero(up)) * (hours / count)
    for i in np.flatnonzero((at_edges[:-1] > 0) != (at_edges[1:] > 0)):
        t0, t1 = edges[i], edges[i + 1]
        cross = brentq(c, t0, t1, xtol=1e-13)
        a, b = (cross, t1) if at_edges[i + 1] > 0 else (t0, cross)
        integral += (b - a) * float(c((a + b) / 2))
        sunlit += b - a
    whole = integral / hours
    return whole, sunlit


# (what, UTC hour of the middle, day of the year, latitude, longitude, hours)
CASES = [
    ("daylight, Munich, June noon", 11.0, 172, 48.14, 11.58, 1.0),
    ("daylight, Singapore, 3 h", 4.5, 80, 1.35, 103.82, 3.0),
    ("sunrise, Munich, June", 3.5, 172, 48.14, 11.58, 1.0),
    ("sunset, Munich, June", 19.5, 172, 48.14, 11.58, 1.0),
    ("sunrise, Munich, December, 3 h", 7.5, 355, 48.14, 11.58, 3.0),
    ("sunrise, Sydney, December", 18.75, 355, -33.87, 151.21, 1.0),
    ("sunset, Sydney, June", 7.25, 172, -33.87, 151.21, 1.0),
    ("sunset, Denver, March, 3 h", 1.5, 80, 39.74, -104.99, 3.0),
    ("night, Munich, June", 0.5, 172, 48.14, 11.58, 1.0),
    ("night, Sydney, December, 3 h", 13.5, 355, -33.87, 151.21, 3.0),
    ("polar day, 78 N, midnight", 23.5, 172, 78.22, 15.65, 3.0),
    ("polar day, 75 S, December", 12.0, 355, -75.0, 0.0, 1.0),
    ("polar night, 78 N, December noon", 11.0, 355, 78.22, 15.65, 3.0),
    ("polar night, 75 S, June", 12.0, 172, -75.0, 0.0, 3.0),
    ("high latitude sunrise, Tromso, March", 5.25, 80, 69.65, 18.96, 1.0),
    ("high latitude, sun grazing the horizon, 68 N", 23.0, 172, 68.0, 0.0, 2.0),
    ("across midnight, Sydney, 6 h", 24.0, 172, -33.87, 151.21, 6.0),
    ("a whole day, equator", 12.0, 80, 0.0, 30.0, 24.0),
    ("a whole day, 60 S, December", 12.0, 355, -60.0, -60.0, 24.0),
]


@pytest.mark.parametrize("what, middle, day, lat, lon, hours", CASES,
                         ids=[c[0] for c in CASES])
def test_closed_form_against_numerical_integration(what, middle, day, lat, lon, hours):
    whole, sunlit = numerical(middle, day, lat, lon, hours)
    got = mean_cos_zenith(middle, day, lat, lon, hours)
    assert got.whole == pytest.approx(whole, rel=1e-6, abs=1e-12)
    assert got.fraction * hours == pytest.approx(sunlit, rel=1e-6, abs=1e-9)
    expected = whole * hours / sunlit if sunlit > 0 else 0.0
    assert got.sunlit == pytest.approx(expected, rel=1e-6, abs=1e-12)
    assert got.sunlit * got.fraction == pytest.approx(got.whole, rel=1e-12, abs=1e-15)


def test_vectorised_as_one_by_one():
    middle, day, lat, lon, hours = (np.array(column, dtype=float)
                                    for column in zip(*(c[1:] for c in CASES)))
    together = mean_cos_zenith(middle, day, lat, lon, hours)
    for i, case in enumerate(CASES):
        alone = mean_cos_zenith(*case[1:])
        for a, b in zip(together, alone):
            assert a[i] == b


@pytest.mark.parametrize("latitude, day, expected", [
    (90.0, 172, np.sin(np.radians(declination(172.0)))),   # the sun circles at height delta
    (-90.0, 172, 0.0),
    (-90.0, 355, np.sin(np.radians(-declination(355.0)))),
])
def test_poles(latitude, day, expected):
    got = mean_cos_zenith(5.0, day, latitude, 40.0, 2.0)
    assert got.whole == pytest.approx(expected, rel=1e-12, abs=1e-15)
    assert got.fraction == pytest.approx(1.0 if expected > 0 else 0.0, abs=1e-12)


@pytest.mark.parametrize("day, latitude", [(1, 10.0), (80, -30.0), (172, 50.0), (266, 0.0),
                                           (355, -60.0)])
def test_declination_is_that_of_the_zenith_angle(day, latitude):
    # at true solar noon the zenith angle is |latitude - declination|
    assert abs(latitude - declination(day)) == pytest.approx(
        U.Zenitwinkel(12.0, latitude, float(day)), abs=1e-9)


@pytest.mark.parametrize("start, end, middle, day, hours", [
    ("2025-06-21T03:00", "2025-06-21T04:00", 3.5, 172, 1.0),
    ("2025-12-31T22:30", "2026-01-01T01:30", 0.0, 1, 3.0),
    ("2024-12-31T21:00", "2025-01-01T00:00", 22.5, 366, 3.0),   # a leap year's last day
])
def test_from_times(start, end, middle, day, hours):
    got = sunlit_mean_cos_zenith(np.datetime64(start), np.datetime64(end), 48.14, 11.58)
    assert tuple(got) == tuple(mean_cos_zenith(middle, day, 48.14, 11.58, hours))


# --- the chain with a given interval-mean global --------------------------

def clear_global(start, end, site, clearness):
    """The mean global of intervals under a sky of steady clearness:
    clearness times the extraterrestrial irradiance on the ground, whose
    interval mean is E0 times the mean of max(cos z, 0) (of 10-second
    steps, numerically)."""
    pd = pytest.importorskip("pandas")
    from klimora.separation import extraterrestrial

    out = []
    for a, b in zip(start, end):
        fine = pd.date_range(a, b, freq="10s", inclusive="left") + pd.Timedelta("5s")
        hour = (fine - fine.normalize()) / pd.Timedelta("1h")
        day = fine.dayofyear.to_numpy(dtype=float)
        c = np.maximum(cos_zenith(hour.to_numpy(), day, site.latitude, site.longitude), 0.0)
        out.append(clearness * float(np.mean(extraterrestrial(day) * c)))
    return np.array(out)


# (what, site, first interval's start in UTC, label, clearness, cloud)
SKIES = [
    ("Munich, June evening, hazy under a clear forecast", (48.14, 11.58, 520.0),
     "2025-06-21 15:00", "end", 0.45, 0.0),
    ("Munich, June morning, clear", (48.14, 11.58, 520.0), "2025-06-21 03:00", "end",
     0.75, 0.0),
    ("Sydney, December morning, a little cloud", (-33.87, 151.21, 40.0), "2025-12-20 18:00",
     "start", 0.6, 2.0),
]


@pytest.mark.parametrize("what, place, first, label, clearness, cloud", SKIES,
                         ids=[s[0] for s in SKIES])
def test_interval_mean_global_as_the_mean_of_its_instants(what, place, first, label,
                                                         clearness, cloud):
    """An interval's mean global against the chain on instants 20 s apart
    whose global follows cos z under the same steady clearness: with the
    mean global held constant across the interval the beam normal grew as
    1/cos z towards sunrise and sunset (111 W/m2 and 1.7 K off; now within
    3 W/m2 and 0.04 K)."""
    pd = pytest.importorskip("pandas")
    from klimora.chain import Site, chain
    from klimora.separation import extraterrestrial

    site = Site(*place, zone=0.0)
    starts = pd.date_range(first, periods=4, freq="1h")
    ends = starts + pd.Timedelta("1h")
    glob = clear_global(starts, ends, site, clearness)
    stamps = starts if label == "start" else ends
    frame = pd.DataFrame({"air_temp": 20.0, "humidity": 50.0, "cloud": cloud, "global": glob},
                         index=stamps)
    got = chain(frame, site=site, time_label=label, interval="1h")
    for i, (a, b) in enumerate(zip(starts, ends)):
        fine = pd.date_range(a, b, freq="20s", inclusive="left") + pd.Timedelta("10s")
        hour = ((fine - fine.normalize()) / pd.Timedelta("1h")).to_numpy()
        day = fine.dayofyear.to_numpy(dtype=float)
        instant = clearness * extraterrestrial(day) * np.maximum(
            cos_zenith(hour, day, site.latitude, site.longitude), 0.0)
        at = pd.DataFrame({"air_temp": 20.0, "humidity": 50.0, "cloud": cloud,
                           "global": instant}, index=fine)
        truth = chain(at, site=site).mean()
        assert got["direct"].iloc[i] == pytest.approx(truth["direct"], abs=5.0), what
        assert got["diffuse"].iloc[i] == pytest.approx(truth["diffuse"], abs=2.0), what
        assert got["mrt"].iloc[i] == pytest.approx(truth["mrt"], abs=0.05), what
    assert np.array_equal(got["global"].to_numpy(), glob)   # the given mean, as given


@pytest.mark.parametrize("label", ["start", "end"])
def test_dataset_as_frame(label):
    """A Dataset on a grid, eager and on dask, gives each point's interval
    means as a DataFrame of that point does."""
    pd = pytest.importorskip("pandas")
    xr = pytest.importorskip("xarray")
    pytest.importorskip("dask")
    from klimora.chain import Site, chain

    times = pd.date_range("2025-03-20 04:00", periods=6, freq="3h")
    lats, lons = np.array([-40.0, 10.0, 65.0]), np.array([-70.0, 20.0])
    glob = np.linspace(0.0, 500.0, 6)[:, None, None] * np.array([1.0, 0.6, 0.3])[:, None]
    ds = xr.Dataset({"global": (("time", "lat", "lon"), glob + 0 * lons),
                     "air_temp": 15.0, "humidity": 60.0, "height": 0.0},
                    coords={"time": times, "lat": lats, "lon": lons})
    eager = chain(ds, time_label=label, interval="3h")
    lazy = chain(ds.chunk({"lat": 1}), time_label=label, interval="3h").compute()
    for i, lat in enumerate(lats):
        for j, lon in enumerate(lons):
            frame = pd.DataFrame({"global": glob[:, i, 0], "air_temp": 15.0, "humidity": 60.0},
                                 index=times)
            one = chain(frame, site=Site(lat, lon, 0.0, zone=0.0), time_label=label,
                        interval="3h")
            for name in ("global", "direct", "diffuse", "mrt"):
                for got in (eager, lazy):
                    np.testing.assert_allclose(got[name].values[:, i, j], one[name], rtol=1e-12,
                                               atol=1e-12, err_msg=name)


def test_an_interval_without_a_time_has_no_global():
    """The global column of an interval run is the given mean, and NaN
    where the time is missing, as every column that depends on the sun."""
    pd = pytest.importorskip("pandas")
    from klimora.chain import Site, chain

    stamps = pd.DatetimeIndex(["2025-06-21 05:00", pd.NaT, "2025-06-21 07:00"])
    got = chain(pd.DataFrame({"global": [100.0, 200.0, 300.0]}, index=stamps),
                site=Site(48.14, 11.58, 520.0, 0.0), time_label="end", interval="1h")
    assert got["global"].iloc[[0, 2]].tolist() == [100.0, 300.0]
    assert got.iloc[1][["global", "direct", "diffuse", "net_rad", "mrt"]].isna().all()
