"""Times as the chain takes them: the UTC hour of the day, the local day of
the year and the zone's offset in hours, from a DatetimeIndex, datetime64
values, zone-aware series or cftime datetimes (calendars other than the
proleptic Gregorian one, as xarray decodes them)."""

from __future__ import annotations

import contextlib
import datetime as dt
import re
import warnings
from typing import Any, Iterator, Optional, Union

import numpy as np

def time_parts(times: Any, zone: Union[float, str, None]) -> tuple[Any, Any, Any]:
    """UTC hour of the day, local day of the year and the zone's offset in
    hours, as float arrays, for times given as a DatetimeIndex, datetime64
    values or a time zone-aware series; NaT gives NaN.  Times without a zone
    are in ``zone`` (a zone name, with daylight saving time; hours east of
    UTC; None: UTC); times with one keep it, and ``zone`` (a name or hours)
    only sets the local day."""
    shape = np.shape(times)
    if is_cftime(times):
        return _cftime_parts(times, zone)
    if holds_numbers(times):
        raise ValueError("times must be dates and times, not numbers")
    with _within_pandas():
        return _datetime_parts(times, zone, shape)


def in_real_time(times: Any, zone: Union[float, str, None]) -> Any:
    """The times as instants whose differences are real time: times without
    a zone in a zone name are its wall clock, which daylight saving time
    moves by an hour, so they are placed in it (as a zone-aware
    DatetimeIndex, flat; a clock time the change skips or repeats NaT, as
    :func:`time_parts` takes it).  Other times are returned as they are:
    zone-aware ones are instants already, and a fixed offset (or UTC)
    moves with real time."""
    if not isinstance(zone, str) or is_cftime(times) or holds_numbers(times) \
            or has_zone(times):
        return times
    with _within_pandas():
        index = _index(times)
        return index if index.tz is not None else _placed(index, zone)


@contextlib.contextmanager
def _within_pandas() -> Iterator[None]:
    """pandas' error on times beyond its nanoseconds as a ValueError that
    says where they must lie."""
    import pandas as pd

    try:
        yield
    except pd.errors.OutOfBoundsDatetime as e:
        raise ValueError(f"times must lie between {pd.Timestamp.min:%Y-%m-%d} and "
                         f"{pd.Timestamp.max:%Y-%m-%d}, the span of pandas' nanosecond "
                         f"times ({' '.join(str(e).split())})") from None


def _index(times: Any) -> Any:
    """The times as one flat DatetimeIndex (a zone-aware series is taken
    whole: its ravel would be objects)."""
    import pandas as pd

    if isinstance(times, (pd.Series, pd.DatetimeIndex)):
        return pd.DatetimeIndex(times)
    return pd.DatetimeIndex(np.ravel(times))


def _placed(index: Any, zone: str) -> Any:
    """Naive times placed in the zone ``zone`` names: those its clock change
    skips or repeats NaT."""
    return index.tz_localize(zone, ambiguous="NaT", nonexistent="NaT")


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

    index = _index(times)
    hour = pd.Timedelta(hours=1)
    if index.tz is None:
        if isinstance(zone, str):
            index = _placed(index, zone)
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


#: A time stamp that carries its zone: Z or an offset after the time of day.
AWARE = r"[T ]\d\d[\d:.,]*\s*(?:[Zz]|[+-]\d\d(?::?\d\d)?)$"


def carries_zone(stamps: Any) -> Any:
    """For each of a Series of time stamps (text or datetimes) whether it
    carries its zone: Z or an offset after the time of day, or a zone-aware
    datetime."""
    import pandas as pd

    if pd.api.types.infer_dtype(stamps, skipna=True) == "string":
        return stamps.str.strip().str.contains(AWARE, regex=True).fillna(False).to_numpy(bool)
    return np.fromiter((re.search(AWARE, s.strip()) is not None if isinstance(s, str)
                        else getattr(s, "tzinfo", None) is not None for s in stamps),
                       dtype=bool, count=len(stamps))


def read_times(stamps: Any, zone: Union[float, str, None], ambiguous: str = "nan",
               **options: Any) -> tuple[Any, Any]:
    """The times of a Series of time stamps (text or datetimes), by
    ``pd.to_datetime(stamps, **options)``, and which of them did not parse
    (NaT with ``errors="coerce"``).  Stamps of one offset, or none, come as
    pandas reads them.  Stamps of several offsets (daylight saving time
    begins or ends among them), or some with an offset and some without,
    which pandas leaves as objects, refuses, or reads at the first stamp's
    offset, come as their instants in UTC, those without an offset taken
    in ``zone`` (:func:`localize`)."""
    import pandas as pd

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")   # pandas on mixed offsets
        try:
            parsed = pd.to_datetime(stamps, **options)
            refused: Optional[Exception] = None
        except (ValueError, TypeError) as e:   # datetimes of several offsets
            parsed, refused = None, e
    if parsed is not None and (pd.api.types.is_datetime64_dtype(parsed)
                               or pd.api.types.is_datetime64_any_dtype(stamps)):
        return parsed, parsed.isna().to_numpy()   # naive, or of one zone already
    index, stamps = stamps.index, stamps.reset_index(drop=True)
    aware = carries_zone(stamps)
    if parsed is not None and pd.api.types.is_datetime64_any_dtype(parsed) and aware.all():
        return parsed, parsed.isna().to_numpy()
    if refused is not None and not aware.any():
        raise refused
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        zoned = pd.to_datetime(stamps[aware], utc=True, **options)
        naive = pd.to_datetime(stamps[~aware], **options)
    if not pd.api.types.is_datetime64_dtype(naive):   # an offset AWARE does not see
        naive = pd.Series(pd.NaT, index=naive.index, dtype="datetime64[ns]")
    failed = np.empty(len(stamps), dtype=bool)
    failed[aware], failed[~aware] = zoned.isna().to_numpy(), naive.isna().to_numpy()
    parsed = pd.Series(pd.NaT, index=stamps.index, dtype="datetime64[ns, UTC]")
    parsed[aware], parsed[~aware] = zoned, localize(naive, zone, ambiguous)
    parsed.index = index
    return parsed, failed


def localize(naive: Any, zone: Union[float, str, None], ambiguous: str = "nan") -> Any:
    """A Series of naive times in ``zone`` (a zone name, hours east of UTC,
    or None: UTC), in UTC; with a zone name, the times its daylight saving
    time skips are NaT, and those it repeats NaT ("nan"), the earlier or
    the later of the two ("earliest", "latest") or told from the order of
    the times ("infer", ValueError where they do not tell)."""
    import pandas as pd

    if isinstance(zone, str):
        how: Any = {"nan": "NaT", "infer": "infer"}.get(ambiguous) or \
            np.full(len(naive), ambiguous == "earliest")
        try:
            local = naive.dt.tz_localize(zone, ambiguous=how, nonexistent="NaT")
        except Exception as e:   # pytz's AmbiguousTimeError, which "infer" may raise
            raise ValueError(" ".join(str(e).split())) from None
        return local.dt.tz_convert("UTC")
    return (naive - pd.Timedelta(hours=zone or 0.0)).dt.tz_localize("UTC")
