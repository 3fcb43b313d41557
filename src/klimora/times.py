"""Times as the chain takes them: the UTC hour of the day, the local day of
the year and the zone's offset in hours, from a DatetimeIndex, datetime64
values, zone-aware series or cftime datetimes (calendars other than the
proleptic Gregorian one, as xarray decodes them)."""

from __future__ import annotations

import datetime as dt
from typing import Any, Union

import numpy as np

def time_parts(times: Any, zone: Union[float, str, None]) -> tuple[Any, Any, Any]:
    """UTC hour of the day, local day of the year and the zone's offset in
    hours, as float arrays, for times given as a DatetimeIndex, datetime64
    values or a time zone-aware series; NaT gives NaN.  Times without a zone
    are in ``zone`` (a zone name, with daylight saving time; hours east of
    UTC; None: UTC); times with one keep it, and ``zone`` (a name or hours)
    only sets the local day."""
    import pandas as pd

    shape = np.shape(times)
    if is_cftime(times):
        return _cftime_parts(times, zone)
    if holds_numbers(times):
        raise ValueError("times must be dates and times, not numbers")
    try:
        return _datetime_parts(times, zone, shape)
    except pd.errors.OutOfBoundsDatetime as e:
        raise ValueError(f"times must lie between {pd.Timestamp.min:%Y-%m-%d} and "
                         f"{pd.Timestamp.max:%Y-%m-%d}, the span of pandas' nanosecond "
                         f"times ({' '.join(str(e).split())})") from None


def holds_numbers(values: Any) -> bool:
    """Whether ``values`` are plain numbers (or booleans), which pandas
    would read as nanoseconds since 1970 rather than refuse as times."""
    import pandas as pd

    dtype = getattr(values, "dtype", None)
    if dtype is None:
        values = np.asarray(values)
        dtype = values.dtype
    if isinstance(dtype, np.dtype) and dtype.kind in "biufc":
        return True
    if dtype == object and np.size(values):
        return pd.api.types.infer_dtype(np.ravel(np.asarray(values, dtype=object)),
                                        skipna=True) in NUMBER_KINDS
    return False


#: What pandas infers for an object array of numbers.
NUMBER_KINDS = ("integer", "floating", "mixed-integer-float", "decimal", "complex", "boolean")


def leap_years(times: Any, zone: Union[float, str, None]) -> Any:
    """Whether the local day of each time, as :func:`time_parts` takes it,
    lies in a leap year of the times' calendar (366 days; a cftime
    calendar's own rule); False for NaT."""
    if is_cftime(times):
        flat = np.ravel(times)
        shift = dt.timedelta(hours=0.0 if zone is None else float(zone))
        leap = [t is not None and _cftime_leap(t + shift) for t in flat]
        return np.array(leap, dtype=bool).reshape(np.shape(times))
    _, local, _ = _utc_and_local(times, zone)
    return np.asarray(local.is_leap_year, dtype=bool).reshape(np.shape(times))


def _cftime_leap(t: Any) -> bool:
    import cftime

    return bool(cftime.is_leap_year(t.year, t.calendar or "standard"))


def _utc_and_local(times: Any, zone: Union[float, str, None]) -> tuple[Any, Any, Any]:
    """Naive UTC and local times of pandas times, and the offsets in hours
    (None: local minus UTC)."""
    import pandas as pd

    if isinstance(times, (pd.Series, pd.DatetimeIndex)):
        index = pd.DatetimeIndex(times)   # kept whole: a zone-aware ravel makes objects
    else:
        index = pd.DatetimeIndex(np.ravel(times))
    hour = pd.Timedelta(hours=1)
    if index.tz is None:
        if isinstance(zone, str):
            index = index.tz_localize(zone, ambiguous="NaT", nonexistent="NaT")
        else:
            offset = 0.0 if zone is None else float(zone)
            return index - offset * hour, index, np.full(len(index), offset)
    utc = index.tz_convert("UTC").tz_localize(None)
    if isinstance(zone, str):
        local = index.tz_convert(zone).tz_localize(None)
    elif zone is not None:
        local = utc + float(zone) * hour
    else:
        local = index.tz_localize(None)   # the wall time of the times' own zone
    return utc, local, None


def _datetime_parts(times: Any, zone: Union[float, str, None],
                    shape: tuple[int, ...]) -> tuple[Any, Any, Any]:
    return _parts(*_utc_and_local(times, zone), shape)


def is_cftime(times: Any) -> bool:
    """Whether ``times`` are cftime datetimes (calendars other than the
    proleptic Gregorian one, as xarray decodes them)."""
    if getattr(times, "dtype", None) != object or not np.size(times):
        return False
    return type(np.ravel(times)[0]).__module__.split(".")[0] == "cftime"


def _cftime_parts(times: Any, zone: Union[float, str, None]) -> tuple[Any, Any, Any]:
    """time_parts for cftime datetimes, in their own calendar: the hour from
    whole nanoseconds since midnight, as pandas forms it, and the day of the
    year of the local time."""
    if isinstance(zone, str):
        raise ValueError("times in a cftime calendar take a zone in hours, not a zone name")
    offset = 0.0 if zone is None else float(zone)
    flat = np.ravel(times)
    hour, doy = np.empty(len(flat)), np.empty(len(flat))
    shift = dt.timedelta(hours=offset)
    for i, t in enumerate(flat):
        if t is None:
            hour[i] = doy[i] = np.nan
            continue
        ns = ((t.hour * 60 + t.minute) * 60 + t.second) * 10**9 + t.microsecond * 1000
        hour[i] = np.float64(ns) / np.float64(3_600_000_000_000)
        doy[i] = (t + shift).dayofyr
    offsets = np.where(np.isnan(hour), np.nan, offset)
    shape = np.shape(times)
    return hour.reshape(shape), doy.reshape(shape), offsets.reshape(shape)


def _parts(utc: Any, local: Any, offsets: Any, shape: tuple[int, ...]) -> tuple[Any, Any, Any]:
    """The three parts from naive UTC and local times (offsets None: local
    minus UTC), in whole ticks of the times' unit: the hour since midnight
    (ticks over the ticks of an hour, as pandas divides a timedelta) and
    the day of the year, worked out once for each run of equal days."""
    utc, local = _same_unit(utc, local)
    ticks, hour = utc.asi8, 3600 * _per_second(utc)
    day = 24 * hour
    utc_hour = (ticks % day).astype(float) / float(hour)
    local_ticks = local.asi8
    if offsets is None:
        offsets = (local_ticks - ticks).astype(float) / float(hour)
    doy = _day_of_year(local_ticks // day)
    missing = np.asarray(utc.isna()) | np.asarray(local.isna())
    offsets = np.array(offsets, dtype=float)
    for a in (utc_hour, doy, offsets):
        a[missing] = np.nan
    return utc_hour.reshape(shape), doy.reshape(shape), offsets.reshape(shape)


def _per_second(index: Any) -> int:
    """Ticks per second of a DatetimeIndex (pandas 1 knows nanoseconds only)."""
    return {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9}[getattr(index, "unit", "ns")]


def _same_unit(a: Any, b: Any) -> tuple[Any, Any]:
    """Both DatetimeIndexes in the finer of their units."""
    if _per_second(a) == _per_second(b):
        return a, b
    finer = a.unit if _per_second(a) > _per_second(b) else b.unit
    return a.as_unit(finer), b.as_unit(finer)


def _day_of_year(days: Any) -> Any:
    """The day of the year (1 to 366) of days since 1970-01-01, as floats."""
    def of_year(days: Any) -> Any:
        first = days.astype("datetime64[D]")
        return (first - first.astype("datetime64[Y]").astype("datetime64[D]")).astype(
            np.int64).astype(float) + 1.0
    return per_day(of_year, days)


def per_day(function: Any, dayofyear: Any) -> Any:
    """``function(dayofyear)``, worked out once for each run of equal days:
    a time series holds each day over many steps."""
    day = np.asarray(dayofyear)
    if day.ndim != 1 or day.size < 64:
        return function(day)
    starts = np.flatnonzero(np.concatenate(([True], day[1:] != day[:-1])))
    if 8 * starts.size > day.size:
        return function(day)
    return np.repeat(function(day[starts]), np.diff(np.append(starts, day.size)))


def has_zone(times: Any) -> bool:
    """Whether the times carry their zone (zone-aware pandas times)."""
    return getattr(getattr(times, "dt", times), "tz", None) is not None
