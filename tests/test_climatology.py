"""The Linke turbidity climatology against pvlib's lookup_linke_turbidity,
which interpolates between the middles of the months of the actual year:
from March on they lie a day later in a leap year."""

import numpy as np
import pandas as pd
import pytest

from klimora.chain import Site, chain
from klimora.times import leap_years

SITES = [(48.14, 11.58), (-33.87, 151.21), (39.74, -104.99), (1.35, 103.82)]


def published(times, lat, lon):
    pvlib = pytest.importorskip("pvlib")
    pytest.importorskip("h5py")
    return pvlib.clearsky.lookup_linke_turbidity(times, lat, lon).to_numpy()


def noon_every_day(first, last):
    return pd.date_range(f"{first} 12:00", f"{last} 12:00", freq="D")


@pytest.mark.parametrize("year", [2023, 2024])
@pytest.mark.parametrize("lat, lon", SITES)
def test_every_day_of_a_common_and_a_leap_year(year, lat, lon):
    from klimora.climatology import linke_turbidity

    times = noon_every_day(f"{year}-01-01", f"{year}-12-31")
    want = published(times, lat, lon)
    got = linke_turbidity(lat, lon, times.dayofyear.to_numpy(), times.is_leap_year)
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-9)


def test_the_chain_knows_the_year_of_each_day():
    """A series over two New Years, and the same as a Dataset on dask: the
    days of 2024 take a leap year's month middles, the others a common
    year's."""
    xr = pytest.importorskip("xarray")
    pytest.importorskip("dask")
    times = noon_every_day("2023-11-01", "2025-02-28")
    site = Site(latitude=48.14, longitude=11.58, height=0.0, zone=0.0)
    humidity = np.full(len(times), 95.0)
    want = published(times, site.latitude, site.longitude)
    frame = chain(pd.DataFrame({"humidity": humidity}, index=times), site=site,
                  turbidity="climatology")
    np.testing.assert_allclose(frame.linke.to_numpy(), want, rtol=0, atol=1e-9)
    ds = xr.Dataset({"humidity": ("time", humidity)}, coords={"time": times})
    lazy = chain(ds.chunk({"time": 100}), site=site, turbidity="climatology")
    np.testing.assert_allclose(lazy.linke.values, want, rtol=0, atol=1e-9)


def test_a_day_of_the_year_is_one_of_2024():
    from klimora.day import run
    from klimora.inputs import Weather

    site = Site(latitude=-33.87, longitude=151.21, height=0.0, zone=0.0)
    got = run(site, 100, [12.0], Weather(humidity=95.0), turbidity="climatology")
    want = published(pd.DatetimeIndex(["2024-04-09 12:00"]), site.latitude, site.longitude)
    np.testing.assert_allclose(got.linke.to_numpy(), want, rtol=0, atol=1e-9)


@pytest.mark.parametrize("stamps, aware, zone, want", [
    (["2024-02-29 10:00", "2023-03-01 10:00", "2100-06-01", "2000-06-01"], False, 0.0,
     [True, False, False, True]),
    # The local day decides: New Year's Eve in UTC is already the new year
    # east of it, and times without a zone are local ones.
    (["2023-12-31 23:30"], True, 2.0, [True]),
    (["2023-12-31 23:30"], False, 2.0, [False]),
    (["2024-12-31 23:30"], True, "Europe/Berlin", [False]),
    (["2025-01-01 00:30"], True, -3.0, [True]),
    ([None, "2024-01-01"], False, None, [False, True]),
])
def test_leap_years_of_the_local_days(stamps, aware, zone, want):
    times = pd.DatetimeIndex(stamps)
    if aware:
        times = times.tz_localize("UTC")
    assert leap_years(times, zone).tolist() == want


@pytest.mark.parametrize("calendar, leap", [
    ("noleap", False), ("all_leap", True), ("standard", True), ("360_day", False),
    ("julian", True)])
def test_leap_years_in_cftime_calendars(calendar, leap):
    cftime = pytest.importorskip("cftime")
    last = 30 if calendar == "360_day" else 31   # of December 2023
    times = np.array([cftime.datetime(2024, 3, 1, calendar=calendar),
                      cftime.datetime(2023, 12, last, 23, calendar=calendar), None], dtype=object)
    assert leap_years(times, 2.0).tolist() == [leap, leap, False]
    assert leap_years(times[:2], None).tolist() == [leap, calendar in ("all_leap",)]


def test_leap_years_keep_the_shape_of_the_times():
    times = np.array(["2024-01-01", "2023-01-01", "2020-07-01", "1900-07-01"],
                     dtype="datetime64[ns]").reshape(2, 2)
    assert leap_years(times, None).tolist() == [[True, False], [True, False]]
    assert leap_years(pd.Series(times.ravel()).dt.tz_localize("UTC"), None).shape == (4,)
