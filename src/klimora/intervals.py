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
import warnings
from typing import Any, Callable, Mapping

import numpy as np

from klimora import quantities as Q
from klimora.inputs import ChainWarning
from klimora.model import TURBIDITY_BEYOND_CLIMATOLOGY, Options, utci_outside
from klimora.times import is_cftime

#: The longest sub-step across an interval.
SUB_STEP = dt.timedelta(minutes=5)
#: The columns taken at the interval's middle rather than averaged: the sun's
#: position and what follows from it alone.
AT_THE_MIDDLE = ("solar_time", "zenith", "azimuth", "linke", "air_mass")


def over_intervals(run_at: Callable[[Any], Any], times: Any, time_label: str,
                   interval: Any) -> Any:
    """``run_at(times)`` for instants; for intervals that start or end at
    ``times``, the mean of ``run_at`` over an odd number of sub-steps across
    each, the sun's columns from the middle one.  ``run_at`` gives a dict of
    columns or a DataArray along "column"."""
    if time_label == "instant":
        return run_at(times)
    length = interval_length(times, interval)
    count = max(1, math.ceil(length / SUB_STEP))
    count += 1 - count % 2
    start = dt.timedelta(0) if time_label == "start" else -length
    results = [run_at(shifted(times, start + (k + 0.5) * length / count))
               for k in range(count)]
    middle = results[count // 2]
    if isinstance(middle, Mapping):
        return {name: middle[name] if name in AT_THE_MIDDLE
                else sum(r[name] for r in results) / count for name in middle}
    import xarray as xr

    from klimora.model import result_columns

    names = [name for name, _, _ in result_columns(middle.sizes["column"] > len(Q.COLUMNS))]
    at_middle = xr.DataArray([name in AT_THE_MIDDLE for name in names], dims="column")
    return middle.where(at_middle, sum(results) / count)


def interval_length(times: Any, interval: Any) -> dt.timedelta:
    """The intervals' length: ``interval`` (a timedelta or pandas' text for
    one), or the median step between the times."""
    import pandas as pd

    if interval is not None:
        try:
            length = dt.timedelta(seconds=pd.Timedelta(interval).total_seconds())
        except (ValueError, TypeError):
            raise ValueError(f"interval must be a length of time such as '1h', not "
                             f"{interval!r}") from None
        if length <= dt.timedelta(0):
            raise ValueError(f"interval must be longer than 0, not {interval!r}")
        return length
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
            warnings.warn(ChainWarning("humidity", over), stacklevel=4)
    if "linke" not in fields and options.turbidity == "model":
        linke = result["linke"]
        if not Q.is_lazy(linke):
            with np.errstate(invalid="ignore"):
                high = int(np.count_nonzero(np.asarray(linke) > TURBIDITY_BEYOND_CLIMATOLOGY))
            if high:
                warnings.warn(ChainWarning("turbidity", high), stacklevel=4)
    if options.utci and not Q.is_lazy(result["utci"]):
        tell_utci(result["utci"], result["mrt"], fields, stacklevel=5)


def tell_utci(utci: Any, mrt: Any, fields: Mapping[str, Any], stacklevel: int = 2) -> None:
    """One line for the UTCI values left NaN outside the model's range."""
    outside = utci_outside(utci, mrt, fields)
    if outside:
        warnings.warn(ChainWarning("utci", outside), stacklevel=stacklevel)
