"""The times' parts (UTC hour of the day, local day of the year, zone
offset), worked out on whole ticks, against pandas' own calendar and
timedelta arithmetic on the same times: bit for bit, NaT as NaN, in every
unit pandas keeps times in."""

import numpy as np
import pandas as pd
import pytest

from klimora.times import time_parts

HOUR = pd.Timedelta(hours=1)


def oracle(index, zone):
    """The parts as pandas forms them, step by step."""
    if index.tz is None:
        if isinstance(zone, str):
            index = index.tz_localize(zone, ambiguous="NaT", nonexistent="NaT")
        else:
            offset = 0.0 if zone is None else float(zone)
            utc, local = index - offset * HOUR, index
    if index.tz is not None:
        utc = index.tz_convert("UTC").tz_localize(None)
        local = (index.tz_convert(zone).tz_localize(None) if isinstance(zone, str)
                 else utc + float(zone) * HOUR if zone is not None
                 else index.tz_localize(None))
    hour = np.asarray((utc - utc.normalize()) / HOUR, dtype=float)
    doy = np.asarray(local.day_of_year, dtype=float)
    offsets = np.asarray((local - utc) / HOUR, dtype=float)
    gone = np.asarray(utc.isna()) | np.asarray(local.isna())
    for a in (hour, doy, offsets):
        a[gone] = np.nan
    return hour, doy, offsets


def random_times(unit, rng):
    ticks = rng.integers(-2 * 10**9, 4 * 10**9, 3000) * 10**9 + rng.integers(0, 10**9, 3000)
    ticks = np.concatenate([ticks, np.sort(ticks[:1000])])   # runs of equal days
    index = pd.DatetimeIndex(ticks.astype("datetime64[ns]")).insert(5, pd.NaT)
    return index.as_unit(unit) if hasattr(index, "as_unit") else index


@pytest.mark.parametrize("unit", ["ns", "us", "ms", "s"])
@pytest.mark.parametrize("aware", [None, "UTC", "America/St_Johns"])
@pytest.mark.parametrize("zone", [None, 0.0, -9.5, 13.75, "Europe/Berlin", "Australia/Lord_Howe"])
def test_parts_are_pandas_own(unit, aware, zone):
    if unit != "ns" and not hasattr(pd.DatetimeIndex, "as_unit"):
        pytest.skip("pandas 1 keeps nanoseconds only")
    index = random_times(unit, np.random.default_rng(len(unit)))
    if aware is not None:
        index = index.tz_localize("UTC").tz_convert(aware)
    got, want = time_parts(index, zone), oracle(index, zone)
    for g, w in zip(got, want):
        assert g.dtype == np.float64 and g.shape == w.shape
        np.testing.assert_array_equal(np.isnan(g), np.isnan(w))
        assert (g[~np.isnan(w)].view(np.uint64) == w[~np.isnan(w)].view(np.uint64)).all()


def test_a_leap_year_and_new_year_in_one_series():
    index = pd.date_range("2023-12-31 23:00", "2025-01-01 01:00", freq="7min")
    _, doy, _ = time_parts(index, 0.0)
    np.testing.assert_array_equal(doy, index.day_of_year.to_numpy(dtype=float))
    assert doy.max() == 366
