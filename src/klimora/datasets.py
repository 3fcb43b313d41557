"""The chain on xarray Datasets, eager or lazy on dask: :func:`stacked`
gives the columns as one DataArray along a last dimension "column", whose
every block is one task, and :func:`chain_dataset` a Dataset of them.
``klimora grid`` calls :func:`stacked` on the fields it read."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Mapping, Optional, Union

import numpy as np

from klimora import quantities as Q
from klimora.inputs import Site, check_saturation, validate_weather
from klimora.model import blockwise, result_columns
from klimora.times import holds_numbers, time_parts

__all__ = ["chain_dataset", "stacked"]


def chain_dataset(ds: Any, site: Site, projection_factor: str, utci: bool) -> Any:
    """The chain on a Dataset: its weather variables, its "time" coordinate,
    and its "latitude", "longitude" and "height" (or "lat", "lon") where it
    has them, the site's values where not.  A Dataset of the columns with
    their units and meanings."""
    import xarray as xr

    def pick(name: str, *names: str, default: Any) -> Any:
        for n in (name, *names):
            if n in ds.variables:
                return ds[n]
        return default

    columns = result_columns(utci)
    fields = {name: ds[name] for name in Q.WEATHER if name in ds.data_vars}
    times = ds["time"] if "time" in ds.variables else None
    together = stacked(fields, times, pick("latitude", "lat", default=site.latitude),
                       pick("longitude", "lon", default=site.longitude),
                       pick("height", default=site.height), zone=site.zone,
                       projection_factor=projection_factor, utci=utci)
    out = xr.Dataset({name: together.isel(column=k) for k, (name, _, _) in enumerate(columns)})
    for name, unit, meaning in columns:
        out[name].attrs.update(units=unit, long_name=meaning)
    return out


def stacked(fields: Mapping[str, Any], times: Optional[Any], latitude: Any, longitude: Any,
            height: Any, *, zone: Union[float, str, None] = None, projection_factor: str = "system",
            utci: bool = False) -> Any:
    """The chain's columns as one DataArray along a last dimension "column"
    (one task a block under dask, however many columns), from weather
    ``fields`` (DataArrays by the registry's names), ``times`` (a DataArray
    of dates and times; None is refused, after the other checks) and the
    site's values (numbers or DataArrays), all of which broadcast together.
    Every value is checked here, the lazy ones block by block as they are
    computed."""
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
    utc_hour, doy, zone_hours = time_parts(times.values, zone)
    hour = xr.DataArray(utc_hour, coords=times.coords, dims=times.dims)
    day = xr.DataArray(doy, coords=times.coords, dims=times.dims)
    offset = xr.DataArray(zone_hours, coords=times.coords, dims=times.dims)
    kernel = Kernel(names, lazy, projection_factor, utci)
    return xr.apply_ufunc(kernel, hour, day, offset, *place.values(),
                          *(fields[name] for name in names),
                          output_core_dims=[["column"]], dask="parallelized",
                          output_dtypes=[float],
                          dask_gufunc_kwargs={"output_sizes":
                                              {"column": len(result_columns(utci))}})


@dataclass(frozen=True)
class Kernel:
    """The chain on one block of a Dataset's arrays: hour, day, zone,
    latitude, longitude, height and the weather ``names``; a plain object,
    so that dask.distributed sends it to its workers by pickling."""

    names: list[str]
    lazy: list[str]   # the inputs (site or weather) checked here, as they are computed
    projection_factor: str
    utci: bool

    def __call__(self, *inputs: Any) -> Any:
        arrays = [np.asarray(a, dtype=float) for a in inputs]
        values = dict(zip(("latitude", "longitude", "height", *self.names), arrays[3:]))
        for name in self.lazy:
            Q.check(name, values[name])
        # The vapour pressure against saturation, whenever either side of
        # it was not there to be looked at before.
        if "vapour_pressure" in self.names and \
                ({"vapour_pressure", "air_temp"} & set(self.lazy)):
            check_saturation(values["vapour_pressure"],
                             values.get("air_temp", Q.WEATHER["air_temp"].default))
        return blockwise(arrays, self.names, self.projection_factor, self.utci)
