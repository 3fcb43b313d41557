"""Accumulated fluxes as mean fluxes over their accumulation interval.

ERA5 and ERA5-Land give radiation as energy per area (J m-2) accumulated
over the hour that ends at the stamp (ERA5 reanalysis), over the 3 hours
that end at it (ERA5's ensemble members, 3-hourly, along ``number``), from
00 UTC through the day (ERA5-Land), or from the start of a forecast run
through its ``step`` (forecast-style files, GRIB ``GRIB_stepType`` "accum"
with a ``step`` dimension).  An hour's accumulation over 3600 s is that
hour's mean flux; a run's accumulations are differenced along ``step``
first, each difference the mean over the step before it, and the runs'
steps then laid out along their valid times (:func:`on_valid_times`).
"""

from __future__ import annotations

from typing import Any

import numpy as np

__all__ = ["ACCUMULATED", "HOUR", "MEMBERS", "as_means", "labelled", "members",
           "on_valid_times", "stamps", "time_mean"]

#: The attribute that marks a field as the mean over the interval that ends
#: at its stamp, with that interval's length in seconds.
ACCUMULATED = "klimora_mean_over_seconds"
#: The accumulation interval of ERA5's hourly reanalysis, s.
HOUR = 3600.0
#: The accumulation interval of ERA5's ensemble members, 3-hourly, s.
MEMBERS = 3 * HOUR


#: J m-2 as producers spell it.
SPELLINGS = frozenset(("J m-2", "J m**-2", "J m^-2", "J/m2", "J/m^2", "J.m-2", "joule meter-2"))


def energy_per_area(units: Any) -> bool:
    """Whether ``units`` is J m-2."""
    return units is not None and " ".join(str(units).split()) in SPELLINGS


def members(ds: Any) -> bool:
    """Whether ``ds`` holds ERA5's ensemble members: a ``number``
    dimension of more than one member, or a member other than 0 (the
    reanalysis's own ``number`` is 0)."""
    if "number" not in ds.coords:
        return False
    number = ds["number"]
    return bool(number.size > 1 if number.ndim else int(number.values) != 0)


def as_means(ds: Any, ensemble: bool = False) -> Any:
    """``ds`` with every accumulated flux (a flux's standard_name, in
    J m-2) a mean flux (W m-2) over its interval, marked with
    :data:`ACCUMULATED`: along a ``step`` dimension differenced from the
    run's start, ERA5-Land's differenced from 00 UTC, else over the hour
    ending at the stamp (``ensemble``, ERA5's ensemble members: the 3 hours,
    :data:`MEMBERS`).  Fields taken as ERA5-Land's by their grid alone are
    told of in one warning."""
    names = [name for name, var in ds.data_vars.items()
             if "flux" in str(var.attrs.get("standard_name", ""))
             and energy_per_area(var.attrs.get("units"))]
    if not names:
        return ds
    ds = ds.copy()
    by_grid = 0
    for name in names:
        var = ds[name]
        attrs = dict(var.attrs)
        if "step" in var.dims and var.sizes["step"] > 1:
            import xarray as xr

            seconds = (ds["step"].values / np.timedelta64(1, "s")).astype(float)
            lengths = np.diff(seconds, prepend=0.0)
            # Step 0, the run's start, has accumulated nothing over no time.
            over = xr.DataArray(np.where(lengths > 0, lengths, np.nan), dims=["step"],
                                coords={"step": ds["step"]})
            growth = xr.concat([var.isel(step=[0]), var.diff("step", label="upper")], "step")
            mean, interval = growth / over, float(np.median(lengths[lengths > 0]))
        elif since_the_day_began(ds, var):
            mean, interval = hourly_from_daily(ds, var), HOUR
            by_grid += not said_to_be_land(ds)
        else:
            interval = MEMBERS if ensemble else HOUR
            mean = var / interval
        attrs.update(units="W m-2")
        attrs[ACCUMULATED] = interval
        ds[name] = mean.astype(float).assign_attrs(attrs)
    if by_grid:
        from klimora.inputs import warn

        warn("land", by_grid)
    return ds


#: ERA5-Land's grid spacing, degrees.
LAND_SPACING = 0.1


def said(ds: Any) -> str:
    """The Dataset's global attributes as one lower-case text."""
    return " ".join(str(value) for value in ds.attrs.values()).lower()


def said_to_be_land(ds: Any) -> bool:
    """Whether the global attributes name ERA5-Land."""
    return "era5-land" in said(ds) or "era5_land" in said(ds)


def since_the_day_began(ds: Any, var: Any) -> bool:
    """Whether ``var`` accumulates from 00 UTC through the day, as
    ERA5-Land's fluxes do: a Dataset whose global attributes name
    ERA5-Land, or, unless they name ERA5 (regridded), one on ERA5-Land's
    0.1 degree grid."""
    if said_to_be_land(ds):
        return True
    if "era5" in said(ds):
        return False
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


#: The units a forecast's ``step`` may be counted in: seconds in each.
STEP_SECONDS = {"hours": 3600.0, "hour": 3600.0, "h": 3600.0, "minutes": 60.0, "minute": 60.0,
                "min": 60.0, "seconds": 1.0, "second": 1.0, "s": 1.0}


def timed_steps(ds: Any) -> Any:
    """``ds`` with a ``step`` coordinate counted in hours, minutes or
    seconds (as xarray leaves it where it does not decode timedeltas) as
    timedeltas."""
    step = ds.coords.get("step")
    if step is None or step.dtype.kind not in "iuf":
        return ds
    seconds = STEP_SECONDS.get(str(step.attrs.get("units", "")).strip())
    if seconds is None:
        return ds
    nanoseconds = np.round(np.asarray(step.values, dtype=float) * seconds * 1e9)
    return ds.assign_coords(step=(step.dims, nanoseconds.astype("timedelta64[ns]"), {
        k: v for k, v in step.attrs.items() if k != "units"}))


def on_valid_times(ds: Any) -> Any:
    """A forecast's fields along their valid times: a Dataset with a
    ``step`` dimension and the runs' starts ``time`` (a dimension, or one
    run's scalar) has its runs' steps laid out along one dimension
    ``valid_time``, ``time`` + ``step``, in order; where runs overlap, the
    step nearest its run's start is kept.  Accumulations are differenced
    within each run before (:func:`as_means`).  Other Datasets as given."""
    if "step" not in ds.dims or "time" not in ds.coords:
        return ds
    ds = ds.drop_vars("valid_time", errors="ignore")
    if "time" not in ds.dims:
        ds = ds.expand_dims("time")
    order = {name: list(var.dims) for name, var in ds.data_vars.items()}
    flat = ds.stack(forecast=("time", "step"), create_index=False)
    valid = flat["time"].values + flat["step"].values
    steps = flat["step"].values
    ranked = np.lexsort((steps, valid))
    keep = ranked[np.r_[True, valid[ranked][1:] != valid[ranked][:-1]]]
    flat = flat.isel(forecast=keep).drop_vars(["time", "step"])
    flat = flat.assign_coords(valid_time=("forecast", valid[keep], {
        "standard_name": "time", "long_name": "time"})).swap_dims(forecast="valid_time")
    for name, dims in order.items():
        if "time" in dims:
            flat[name] = flat[name].transpose(*(
                "valid_time" if d == "time" else d for d in dims if d != "step"))
    return flat
