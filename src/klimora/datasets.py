"""The chain on xarray Datasets, eager or lazy on dask: :func:`stacked`
gives the columns as one DataArray along a last dimension "column", whose
every block is one task, and :func:`chain_dataset` a Dataset of them.
``klimora grid`` calls :func:`stacked` on the fields it read."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Mapping, Optional, Union

import numpy as np

from klimora import quantities as Q
from klimora.accumulations import labelled, stamps
from klimora.conventions import normalise, recognised
from klimora.inputs import Site, check_saturation, validate_weather, warn
from klimora.intervals import interval_cos_zenith, over_intervals, tell, tell_index
from klimora.model import blockwise
from klimora.options import Options, result_columns
from klimora.sunlit import INTERVAL_COS_ZENITH
from klimora.times import holds_numbers, leap_years, time_parts

__all__ = ["as_dataset", "chain_dataset", "stacked"]


def chain_dataset(ds: Any, site: Optional[Site], options: Options,
                  time_label: str = "instant", interval: Any = None) -> Any:
    """The chain on a Dataset: its weather variables, recognised and
    converted from their ``units`` by :func:`klimora.conventions.normalise`
    as the grid's are (variables without units in the chain's units), its
    "time" (or "valid_time") coordinate (with means, accumulated or of
    ``cell_methods: time: mean``, over their intervals, as the grid takes
    them: :func:`klimora.accumulations.labelled`),
    and its "latitude", "longitude" and "height" (or "lat", "lon") where it
    has them, the site's values where not (a site is needed for what the
    Dataset lacks; without a height, sea level, said in a warning).  Times
    without a zone are UTC, as CF keeps them, unless the site gives a zone.
    A Dataset of the columns with their units and meanings."""

    def pick(name: str, *names: str) -> Any:
        for n in (name, *names):
            # A "height" of standard_name height is the level of the
            # measurement (CMIP's 2 m or 10 m), not the site's.
            if n in ds.variables and ds[n].attrs.get("standard_name") != "height":
                return ds[n]
        if name == "height" and (site is None or site.height is None):
            warn("height")   # sea level
            return 0.0
        if site is None:
            raise ValueError(f"no {name}: the Dataset has no variable {name!r}"
                             f"{''.join(f' or {n!r}' for n in names)}; give site=Site(...)")
        return getattr(site, name)

    columns = result_columns(options.indices)
    ds = recognised(ds)
    found = normalise(ds, own_units=True)
    fields = found.fields
    time = next((n for n in ("time", "valid_time") if n in ds.variables), None)
    times = None
    if time is not None:
        read_from = [n for source in found.sources.values() for n in source.split(" and ")]
        time_label, interval = labelled(ds, read_from, time, time_label, interval)
        times = ds[time].copy(data=stamps(ds, time, time_label))
    height = found.height if found.height is not None else pick("height")
    place = (pick("latitude", "lat"), pick("longitude", "lon"), height)
    together = stacked(fields, times, *place, zone=None if site is None else site.zone,
                       options=options, time_label=time_label, interval=interval)
    out = as_dataset(together, {name: {"units": unit, "long_name": meaning}
                                for name, unit, meaning in columns})
    if not Q.is_lazy(out["linke"]):   # what is lazy is not computed to be told of
        tell({name: f.values for name, f in fields.items()},
             {name: out[name].values for name in ("linke", "mrt", *options.indices)},
             options)
    return out


def as_dataset(columns: Any, attributes: Mapping[str, Mapping[str, str]]) -> Any:
    """The chain's columns, a DataArray along a last dimension "column" in
    the order of ``attributes``, as a Dataset of one variable each with its
    attributes: where every result Dataset is made (``chain()`` on a
    Dataset, :func:`klimora.grid.radiation`)."""
    import xarray as xr

    out = xr.Dataset({name: columns.isel(column=k, drop=True)
                      for k, name in enumerate(attributes)})
    for name, attrs in attributes.items():
        out[name].attrs = dict(attrs)
    return out


def stacked(fields: Mapping[str, Any], times: Optional[Any], latitude: Any, longitude: Any,
            height: Any, *, zone: Union[float, str, None] = None, options: Options = Options(),
            time_label: str = "instant", interval: Any = None) -> Any:
    """The chain's columns as one DataArray along a last dimension "column"
    (one task a block under dask, however many columns), from weather
    ``fields`` (DataArrays by the registry's names), ``times`` (a DataArray
    of dates and times; None is refused, after the other checks) and the
    site's values (numbers or DataArrays), all of which broadcast together.
    Every value is checked here, the lazy ones block by block as they are
    computed.  ``time_label`` and ``interval`` as for
    :func:`klimora.chain.chain`."""
    import xarray as xr

    place = {"latitude": latitude, "longitude": longitude, "height": height}
    for name, value in place.items():
        Q.check(name, value)
    names = [name for name in Q.WEATHER if name in fields]
    lazy = [name for name in (*place, *names) if Q.is_lazy({**place, **fields}[name])]
    validate_weather({name: getattr(fields[name], "data", fields[name]) for name in names})
    if times is None:
        raise ValueError("no times: the Dataset needs a coordinate 'time' of dates and times")
    if holds_numbers(times.values):
        raise ValueError("the Dataset's 'time' holds numbers, not dates and times (are its "
                         "units and calendar decoded?)")
    given = dict(fields)
    if "global" in names and time_label != "instant":   # a given global is the interval's mean
        def cos_mean(lat: Any, lon: Any) -> Any:
            return interval_cos_zenith(times.values, time_label, interval, zone, lat, lon)

        given[INTERVAL_COS_ZENITH] = xr.apply_ufunc(
            cos_mean, xr.DataArray(latitude), xr.DataArray(longitude), dask="parallelized",
            output_dtypes=[float], output_core_dims=[list(times.dims)],
            dask_gufunc_kwargs={"output_sizes": dict(times.sizes)})
        names.append(INTERVAL_COS_ZENITH)
    kernel = Kernel(names, lazy, options)

    def run_at(at: Any) -> Any:
        hour, day, offset = (xr.DataArray(np.reshape(part, times.shape), coords=times.coords,
                                          dims=times.dims) for part in time_parts(at, zone))
        leap = [xr.DataArray(np.reshape(leap_years(at, zone), times.shape), coords=times.coords,
                             dims=times.dims)] if kernel.leap else []
        return xr.apply_ufunc(kernel, hour, day, offset, *place.values(),
                              *(given[name] for name in names), *leap,
                              output_core_dims=[["column"]], dask="parallelized",
                              output_dtypes=[float],
                              dask_gufunc_kwargs={"output_sizes":
                                                  {"column": len(result_columns(options.indices))}})

    columns = [name for name, _, _ in result_columns(options.indices)]
    result = over_intervals(run_at, times.values, time_label, interval, zone, columns)
    if INTERVAL_COS_ZENITH in given:   # the given mean, not the mean of the sub-steps
        mean = result.isel(column=columns.index("global"))   # NaN where the time is
        result = result.where(xr.DataArray([c != "global" for c in columns], dims="column"),
                              fields["global"] + 0 * mean)
    return result


@dataclass(frozen=True)
class Kernel:
    """The chain on one block of a Dataset's arrays: hour, day, zone,
    latitude, longitude, height and the weather ``names``; a plain object,
    so that dask.distributed sends it to its workers by pickling."""

    names: list[str]
    lazy: list[str]   # the inputs (site or weather) checked here, as they are computed
    options: Options

    @property
    def leap(self) -> bool:
        """Whether the last input says which days lie in a leap year (for
        the climatology's month middles)."""
        return self.options.turbidity == "climatology"

    def __call__(self, *inputs: Any) -> Any:
        arrays = [np.asarray(a, dtype=float) for a in inputs]
        leap = arrays.pop() if self.leap else None
        values = dict(zip(("latitude", "longitude", "height", *self.names), arrays[3:]))
        for name in self.lazy:
            Q.check(name, values[name])
        # A block of humidity all 1 % or less is a fraction: no weather has
        # it.  A block all clear (cloud below 1 okta) is plain weather.
        if "humidity" in self.lazy:
            Q.check_fraction("humidity", values["humidity"])
        # The vapour pressure against saturation, whenever either side of
        # it was not there to be looked at before.
        if "vapour_pressure" in self.names and \
                ({"vapour_pressure", "air_temp"} & set(self.lazy)):
            check_saturation(values["vapour_pressure"],
                             values.get("air_temp", Q.WEATHER["air_temp"].default))
        columns = blockwise(arrays, self.names, self.options, leap)
        if self.lazy:   # an eager Dataset's are told of once, whole
            names = [name for name, _, _ in result_columns(self.options.indices)]
            for name in self.options.indices:
                tell_index(name, columns[..., names.index(name)], columns[..., names.index("mrt")],
                           {name: values[name] for name in self.names})
        return columns
