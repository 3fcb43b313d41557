"""Interval data and what the chain tells its user.

Station and typical-year files give the mean of an interval (an hour, ten
minutes) at a stamp that marks its start or its end.  :func:`over_intervals`
runs the chain at sub-steps of at most :data:`SUB_STEP` across each interval
and averages them: the partial intervals at sunrise and sunset then come out
as measured means do.  The sun's position is that of the interval's middle.

:func:`tell` says, as one :class:`~klimora.inputs.ChainWarning` line each,
what the chain changed of what it was given (humidity above 100 %) and what
it doubts (a turbidity beyond any climatology).
"""

from __future__ import annotations

import datetime as dt
import math
import numbers
from typing import Any, Callable, Mapping, Sequence, Union

import numpy as np

from klimora import quantities as Q
from klimora.inputs import warn
from klimora.indices import outside
from klimora.model import TURBIDITY_BEYOND_CLIMATOLOGY
from klimora.options import Options, check_interval
from klimora.sunlit import mean_cos_zenith
from klimora.times import in_real_time, is_cftime, time_parts

#: The longest sub-step across an interval.
SUB_STEP = dt.timedelta(minutes=5)
#: The columns taken at the interval's middle rather than averaged: the sun's
#: position and what follows from it alone.
AT_THE_MIDDLE = tuple(name for name, q in Q.RESULTS.items() if q.sun_only)


def over_intervals(run_at: Callable[[Any], Any], times: Any, time_label: str,
                   interval: Any, zone: Union[float, str, None] = None,
                   columns: Sequence[str] = ()) -> Any:
    """``run_at(times)`` for instants; for intervals that start or end at
    ``times``, the mean of ``run_at`` over an odd number of sub-steps across
    each, the sun's columns from the middle one.  ``run_at`` gives a dict of
    columns or a DataArray along "column", whose names are ``columns``.  The sub-steps are placed in
    real time: times without a zone in the zone name ``zone`` are its wall
    clock (:func:`klimora.times.in_real_time`), and ``run_at`` then gets
    them flat, zone-aware."""
    check_interval(time_label, interval)
    if time_label == "instant":
        return run_at(times)
    times = in_real_time(times, zone)
    length = interval_length(times, interval)
    count = max(1, math.ceil(length / SUB_STEP))
    count += 1 - count % 2
    start = dt.timedelta(0) if time_label == "start" else -length
    mean = Mean(count, columns)
    for k in range(count):
        mean.add(run_at(shifted(times, start + (k + 0.5) * length / count)), k == count // 2)
    return mean.value()


def interval_cos_zenith(times: Any, time_label: str, interval: Any,
                        zone: Union[float, str, None], latitude: Any, longitude: Any) -> Any:
    """The mean of max(cos z, 0) over each whole interval that starts or
    ends at ``times`` (:func:`klimora.sunlit.mean_cos_zenith`, in closed
    form, at the interval's middle day): what the chain shapes a given mean
    global by (:func:`klimora.sunlit.over_the_interval`).  Its shape is that
    of the latitude and longitude broadcast together, then the times'."""
    shape = np.shape(times)
    times = in_real_time(times, zone)
    length = interval_length(times, interval)
    middle = shifted(times, (1 if time_label == "start" else -1) * length / 2)
    hour, day, _ = time_parts(middle, zone)
    place = np.broadcast_shapes(np.shape(latitude), np.shape(longitude))
    lat, lon = (np.reshape(x, np.shape(x) + (1,) * len(shape)) for x in (latitude, longitude))
    hour, day = (np.reshape(x, (1,) * len(place) + shape) for x in (hour, day))
    return mean_cos_zenith(hour, day, lat, lon, length.total_seconds() / 3600.0).whole


class Mean:
    """The mean of the chain's results over an interval's ``count``
    sub-steps, summed as they come: 0 + r0 + r1 + ... left to right, then
    over the count, as Python's sum() of them all gives it, with the sun's
    columns (:data:`AT_THE_MIDDLE`) of the middle sub-step.  Held: the sum,
    of one result's size, beside the result being added.  Results are dicts
    of columns of one shape, or DataArrays along "column" (eager ones summed
    in place, lazy ones as a graph of the same sums), whose names along
    "column" are ``columns``."""

    def __init__(self, count: int, columns: Sequence[str] = ()) -> None:
        self.count = count
        self.names: list[str] = list(columns)
        self.total: Any = None   # columns: rows of one array; a DataArray
        self.middle: Any = None  # of a DataArray: its middle sub-step (eager: the sun's columns)

    def add(self, result: Any, middle: bool) -> None:
        if isinstance(result, Mapping):
            self._add_columns(result, middle)
        else:
            self._add_array(result, middle)

    def _add_columns(self, result: Mapping[str, Any], middle: bool) -> None:
        if self.total is None:
            self.names = list(result)
            self.total = np.stack([np.asarray(result[name], dtype=float)
                                   for name in self.names])
            self.total += 0.0   # the 0 sum() starts from: -0.0 becomes 0.0
        else:
            for i, name in enumerate(self.names):
                if name not in AT_THE_MIDDLE:
                    np.add(self.total[i, ...], result[name], out=self.total[i, ...])
        if middle:
            for i, name in enumerate(self.names):
                if name in AT_THE_MIDDLE:
                    self.total[i, ...] = result[name]

    def _add_array(self, result: Any, middle: bool) -> None:
        lazy = Q.is_lazy(result)
        if self.total is None:
            self.total = 0 + result
        elif lazy:
            self.total = self.total + result
        else:   # in place: no second sum beside the one held
            np.add(self.total.data, result.data, out=self.total.data)
        if middle:
            self.middle = result if lazy else result.data[..., self._at_middle()]

    def _at_middle(self) -> Any:
        """Which of the columns along "column" are the sun's."""
        if len(self.names) != self.total.sizes["column"]:
            raise ValueError(f"{self.total.sizes['column']} columns, but {len(self.names)} "
                             "names of them")
        return np.array([name in AT_THE_MIDDLE for name in self.names])

    def value(self) -> Any:
        if isinstance(self.total, np.ndarray):
            for i, name in enumerate(self.names):
                if name not in AT_THE_MIDDLE:
                    np.divide(self.total[i, ...], self.count, out=self.total[i, ...])
            return {name: self.total[i] for i, name in enumerate(self.names)}
        if Q.is_lazy(self.total):
            import xarray as xr

            return self.middle.where(xr.DataArray(self._at_middle(), dims="column"),
                                     self.total / self.count)
        np.divide(self.total.data, self.count, out=self.total.data)
        self.total.data[..., self._at_middle()] = self.middle
        return self.total


def interval_length(times: Any, interval: Any) -> dt.timedelta:
    """The intervals' length: ``interval`` (:func:`length_of`), or the
    median step between the times."""
    import pandas as pd

    if interval is not None:
        return length_of(interval)
    flat = np.ravel(np.asarray(times, dtype=object))
    if is_cftime(flat):
        steps = [(b - a).total_seconds() for a, b in zip(flat[:-1], flat[1:])
                 if a is not None and b is not None]
    else:
        stamps = pd.DatetimeIndex(np.ravel(times) if not isinstance(
            times, (pd.Series, pd.DatetimeIndex)) else times)
        known = stamps[~stamps.isna()]
        # in seconds whatever the times' unit (pandas 3 keeps microseconds)
        steps = list((known[1:] - known[:-1]).total_seconds())
    positive = [s for s in steps if s > 0]
    if not positive:
        raise ValueError("the intervals' length cannot be told from the times: give "
                         "interval=, such as '1h'")
    return dt.timedelta(seconds=float(np.median(positive)))


def length_of(interval: Any) -> dt.timedelta:
    """``interval`` as a timedelta: a timedelta, pandas' text for one ("1h",
    "10min", "1 days 02:00"), or a bare number (3600, "3600"), which is
    seconds, as CDO and pandas' ``to_timedelta(unit="s")`` read it (pandas'
    Timedelta alone would take it as nanoseconds).  ValueError, one line,
    for anything else and for lengths of 0 or less."""
    import pandas as pd

    try:
        if isinstance(interval, str) or (isinstance(interval, numbers.Real) and not
                                         isinstance(interval, (bool, np.timedelta64))):
            try:
                seconds = float(interval)
            except ValueError:   # text that is no number: pandas' spelling of a length
                seconds = pd.Timedelta(interval).total_seconds()
        else:
            seconds = pd.Timedelta(interval).total_seconds()
        length = dt.timedelta(seconds=seconds)
    except (ValueError, TypeError, OverflowError):
        raise ValueError(f"interval must be a length of time such as '1h', not "
                         f"{interval!r}") from None
    if seconds <= 0:
        raise ValueError(f"interval must be longer than 0, not {interval!r}")
    if length <= dt.timedelta(0):
        raise ValueError(f"interval must be a microsecond or longer, not {interval!r}")
    return length


def shifted(times: Any, offset: dt.timedelta) -> Any:
    """The times moved by ``offset``, of the kind they were given in."""
    import pandas as pd

    if isinstance(times, (pd.Series, pd.DatetimeIndex)):
        return times + pd.Timedelta(offset)
    values = np.asarray(times)
    if values.dtype.kind == "M":
        return values + np.timedelta64(offset)
    if is_cftime(values):
        return np.array([None if t is None else t + offset for t in values.ravel()],
                        dtype=object).reshape(values.shape)
    moved = pd.DatetimeIndex(np.ravel(values)) + pd.Timedelta(offset)
    return moved if values.ndim == 1 else np.asarray(moved).reshape(values.shape)


def tell(fields: Mapping[str, Any], result: Mapping[str, Any], options: Options) -> None:
    """The chain's one-line warnings on what it computed from ``fields``."""
    humidity = fields.get("humidity")
    if humidity is not None and not Q.is_lazy(humidity):
        over = int(np.count_nonzero(np.asarray(humidity) > 100.0))
        if over:
            warn("humidity", over)
    if "linke" not in fields and options.turbidity == "model":
        linke = result["linke"]
        if not Q.is_lazy(linke):
            with np.errstate(invalid="ignore"):
                high = int(np.count_nonzero(np.asarray(linke) > TURBIDITY_BEYOND_CLIMATOLOGY))
            if high:
                warn("turbidity", high)
    for name in options.indices:
        if not Q.is_lazy(result[name]):
            tell_index(name, result[name], result["mrt"], fields)


def tell_index(name: str, value: Any, mrt: Any, fields: Mapping[str, Any]) -> None:
    """One line for the values of the index ``name`` left NaN outside its
    model's range (:func:`klimora.indices.outside`)."""
    count = outside(name, value, mrt, fields)
    if count:
        warn(name, count)
