"""Accumulated fluxes as mean fluxes over their accumulation interval.

ERA5 and ERA5-Land give radiation as energy per area (J m-2) accumulated
over the hour that ends at the stamp (ERA5 reanalysis), from 00 UTC
through the day (ERA5-Land), or from the start of a forecast run through
its ``step`` (forecast-style files, GRIB ``GRIB_stepType`` "accum" with a
``step`` dimension).  An hour's
accumulation over 3600 s is that hour's mean flux; a run's accumulations
are differenced along ``step`` first, each difference the mean over the
step before it.
"""

from __future__ import annotations

from typing import Any

import numpy as np

__all__ = ["ACCUMULATED", "HOUR", "as_means", "labelled", "stamps", "time_mean"]

#: The attribute that marks a field as the mean over the interval that ends
#: at its stamp, with that interval's length in seconds.
ACCUMULATED = "klimora_mean_over_seconds"
#: The accumulation interval of ERA5's hourly reanalysis, s.
HOUR = 3600.0


#: J m-2 as producers spell it.
SPELLINGS = frozenset(("J m-2", "J m**-2", "J m^-2", "J/m2", "J/m^2", "J.m-2", "joule meter-2"))


def energy_per_area(units: Any) -> bool:
    """Whether ``units`` is J m-2."""
    return units is not None and " ".join(str(units).split()) in SPELLINGS


def as_means(ds: Any) -> Any:
    """``ds`` with every accumulated flux (a flux's standard_name, in
    J m-2) a mean flux (W m-2) over its interval, marked with :data:`ACCUMULATED`: along a ``step``
    dimension differenced from the run's start, ERA5-Land's differenced
    from 00 UTC, else over the hour ending at the stamp."""
    names = [name for name, var in ds.data_vars.items()
             if "flux" in str(var.attrs.get("standard_name", ""))
             and energy_per_area(var.attrs.get("units"))]
    if not names:
        return ds
    ds = ds.copy()
    for name in names:
        var = ds[name]
        attrs = dict(var.attrs)
        if "step" in var.dims and var.sizes["step"] > 1:
            import xarray as xr

            seconds = (ds["step"].values / np.timedelta64(1, "s")).astype(float)
            lengths = xr.DataArray(np.diff(seconds, prepend=0.0), dims=["step"],
                                   coords={"step": ds["step"]})
            growth = xr.concat([var.isel(step=[0]), var.diff("step", label="upper")], "step")
            mean, interval = growth / lengths, float(np.median(lengths.values))
        elif since_the_day_began(ds, var):
            mean, interval = hourly_from_daily(ds, var), HOUR
        else:
            mean, interval = var / HOUR, HOUR
        attrs.update(units="W m-2")
        attrs[ACCUMULATED] = interval
        ds[name] = mean.astype(float).assign_attrs(attrs)
    return ds


#: ERA5-Land's grid spacing, degrees.
LAND_SPACING = 0.1


def since_the_day_began(ds: Any, var: Any) -> bool:
    """Whether ``var`` accumulates from 00 UTC through the day, as
    ERA5-Land's fluxes do: a Dataset on ERA5-Land's 0.1 degree grid, or
    one whose global attributes name ERA5-Land."""
    said = " ".join(str(value) for value in ds.attrs.values()).lower()
    if "era5-land" in said or "era5_land" in said:
        return True
    latitude = ds.get("latitude")
    if latitude is None or latitude.ndim != 1 or latitude.size < 2:
        return False
    return bool(np.allclose(np.abs(np.diff(latitude.values)), LAND_SPACING, atol=1e-6))


def hourly_from_daily(ds: Any, var: Any) -> Any:
    """The energy of each hour, from accumulations since 00 UTC: at 01 UTC
    the accumulation itself, else its growth over the hour before (NaN
    where that hour's value is not in the Dataset), over 3600 s."""
    time = next(d for d in var.dims if d in ("valid_time", "time"))
    stamps = ds[time]
    growth = var - var.shift({time: 1})
    after_an_hour = (stamps - stamps.shift({time: 1})) == np.timedelta64(1, "h")
    first = stamps.dt.hour == 1
    return growth.where(after_an_hour).where(~first, var) / HOUR


def time_mean(cell_methods: Any) -> bool:
    """Whether CF ``cell_methods`` make the values means over time ("time:
    mean", "area: time: mean"), not points ("area: mean time: point")."""
    names: list[str] = []
    for token in str(cell_methods or "").replace("(", " ( ").split():
        if token.endswith(":"):
            names.append(token[:-1])
        elif names:
            if "time" in names and token == "mean":
                return True
            names = []
    return False


def bounds_of(ds: Any, time: str) -> Any:
    """The time coordinate's bounds (its ``bounds`` variable, (time, 2)),
    or None."""
    name = ds[time].attrs.get("bounds") or ds[time].encoding.get("bounds")
    return ds[name] if name in ds.variables else None


def labelled(ds: Any, sources: Any, time: str, time_label: str, interval: Any) \
        -> tuple[str, Any]:
    """The time label and interval of the weather: those given unless they
    are instants; for the fields of the variables ``sources`` that are
    means, over the hour that ends at the stamp (accumulations) or over
    their time bounds (``cell_methods: time: mean``): "end" where the
    stamps are the bounds' ends, else "start" (the stamps are then taken as
    the bounds' starts, :func:`stamps`)."""
    import datetime as dt

    if time_label != "instant" or interval is not None:   # an interval with instants is refused
        return time_label, interval
    variables = [ds[name] for name in sources if name in ds.data_vars]
    seconds = [float(v.attrs[ACCUMULATED]) for v in variables if ACCUMULATED in v.attrs]
    if seconds:
        return "end", dt.timedelta(seconds=max(seconds))
    bounds = bounds_of(ds, time)
    if bounds is None or not any(time_mean(v.attrs.get("cell_methods")) for v in variables):
        return time_label, interval
    lower, upper = (bounds.isel({bounds.dims[-1]: k}).values for k in (0, 1))
    length = np.median((upper - lower) / np.timedelta64(1, "s"))
    label = "end" if np.array_equal(ds[time].values, upper) else "start"
    return label, dt.timedelta(seconds=float(length))


def stamps(ds: Any, time: str, time_label: str) -> Any:
    """The times the chain's intervals start or end at: the time bounds'
    starts or ends where the time coordinate has bounds, else its values."""
    bounds = bounds_of(ds, time)
    if bounds is None or time_label == "instant":
        return ds[time].values
    return bounds.isel({bounds.dims[-1]: 0 if time_label == "start" else 1}).values
