"""The chain on gridded weather: CF NetCDF or Zarr in, radiation and mean
radiant temperature for every cell and time out, lazily over dask chunks.

:func:`radiation` maps a CF Dataset (variables found by ``standard_name``,
units converted with pint) to the chain's columns with CF metadata; the
command ``klimora grid`` (:mod:`klimora.cli.grid_command`) reads, computes on
dask's threaded scheduler or a dask.distributed cluster, and writes.
Needs the extra ``klimora[grid]``.
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import warnings
from typing import TYPE_CHECKING, Any, Optional

from klimora import __version__
from klimora import quantities as Q
from klimora.accumulations import bounds_of, labelled, stamps
from klimora.chain import with_surface
from klimora.conventions import recognised
from klimora.datasets import as_dataset
from klimora.datasets import stacked as stacked_columns
from klimora.grid.cf import GridError, GridWeather, weather
from klimora.inputs import ChainWarning
from klimora.intervals import AT_THE_MIDDLE, interval_length
from klimora.options import Options, result_columns

if TYPE_CHECKING:
    import pandas as pd
    import xarray as xr

__all__ = ["GridError", "GridWeather", "radiation", "columns", "time_meaning", "weather",
           "ATTRIBUTES"]

#: Each column's attributes: units, long_name and standard_name, from the registry.
ATTRIBUTES = {
    q.name: {"units": q.units, "long_name": q.long_name,
             **({"standard_name": q.standard_name} if q.standard_name else {})}
    for q in Q.RESULTS.values()
}


def radiation(ds: xr.Dataset, *, options: Options = Options(), surface: Optional[str] = None,
              time_label: str | None = None, interval: pd.Timedelta | str | None = None,
              history: str = "") -> xr.Dataset:
    """The chain's columns for every cell and time of a CF Dataset.

    Lazily if ``ds`` is dask-backed.  Times are in UTC, as CF stores them;
    the day of the year is the UTC one.

    Parameters
    ----------
    ds : xarray.Dataset
        CF weather, its variables found by ``standard_name``: air
        temperature, humidity (or dew point, or vapour pressure), cloud
        cover and wind (speed, or eastward and northward), and optionally
        surface_altitude and the rest of the chain's weather; units are
        converted with pint.
    options : klimora.model.Options, optional
        The chain's options (:class:`klimora.model.Options`).
    surface : str, optional
        The ground's Bowen ratio where the grid has none, as for
        :func:`klimora.chain.chain`.
    time_label : {"instant", "start", "end"}, optional
        As for :func:`klimora.chain.chain`; given, it replaces the options'
        own.  Instants of a file whose variables are means over intervals
        (accumulations, ``cell_methods: time: mean`` with bounds) are taken
        as those intervals.
    interval : pandas.Timedelta or str, optional
        As for :func:`klimora.chain.chain`; given, it replaces the options'
        own.
    history : str, optional
        A line (a command line, say) put first in the output's history.

    Returns
    -------
    xarray.Dataset
        The chain's columns with the input's coordinates, each column's CF
        attributes (:data:`ATTRIBUTES`) and the input's global attributes,
        its history led by a line of this run.

    Raises
    ------
    GridError
        One line, for weather that cannot be used.

    Warns
    -----
    klimora.chain.ChainWarning
        Without a surface_altitude: the grid lies at sea level.

    Examples
    --------
    >>> import warnings
    >>> from klimora.grid import example, radiation
    >>> ds = example.weather(times=2, lat=2, lon=3)
    >>> with warnings.catch_warnings():
    ...     warnings.simplefilter("error")
    ...     out = radiation(ds)
    >>> out["mrt"].dims, out["mrt"].attrs["units"]
    (('time', 'lat', 'lon'), 'degC')
    >>> out["zenith"].attrs["standard_name"]
    'solar_zenith_angle'
    """
    if time_label is not None or interval is not None:
        options = dataclasses.replace(options, time_label=time_label or options.time_label,
                                      interval=options.interval if interval is None
                                      else interval)
    return columns(ds, options=options, surface=surface, history=history)[0]


def columns(ds: xr.Dataset, *, options: Options = Options(), surface: Optional[str] = None,
            history: str = "") -> tuple[xr.Dataset, xr.DataArray]:
    """:func:`radiation`, and its columns as one DataArray along a last
    dimension "column", whose every block is one task: what the writer
    computes."""
    import xarray as xr

    ds = recognised(ds)
    grid = weather(ds)
    time_label, interval = labelled(ds, read_from(grid), grid.time, options.time_label,
                                    options.interval)
    options = dataclasses.replace(options, time_label=time_label, interval=interval)

    def bare(value: Any) -> Any:
        """On dimensions alone (the output takes the input's coordinates
        back), with the time dimension called "time"."""
        value = value.drop_vars(list(value.coords))
        return value.rename({grid.time: "time"}) if grid.time in value.dims else value

    times = ds[grid.time].variable.to_base_variable()
    times = xr.Variable(["time" if d == grid.time else d for d in times.dims],
                        stamps(ds, grid.time, time_label))
    frame = xr.Dataset({name: bare(value) for name, value in grid.fields.items()},
                       coords={"time": times})
    if grid.height is not None:
        height = bare(grid.height)
    else:
        warnings.warn(ChainWarning("sea level"), stacklevel=3)
        height = 0.0
    fields = with_surface({str(name): frame[name] for name in frame.data_vars}, surface)
    stacked = stacked_columns(fields, frame["time"], bare(grid.latitude), bare(grid.longitude),
                              height, zone=None, options=options,
                              time_label=options.time_label, interval=options.interval)
    if "time" != grid.time:
        stacked = stacked.rename({"time": grid.time})
    reference = ds[grid.sources["air_temp"]]
    stacked = stacked.assign_coords({name: value for name, value in reference.coords.items()})
    stacked = stacked.transpose(*reference.dims, "column")
    names = [name for name, _, _ in result_columns(options.indices)]
    stacked = stacked.assign_coords(column=names)
    out = as_dataset(stacked, {name: ATTRIBUTES[name] for name in names})
    mapping = reference.attrs.get("grid_mapping")
    for name in out.data_vars:
        if mapping:
            out[name].attrs["grid_mapping"] = mapping
    if mapping and mapping in ds.variables:
        out[mapping] = ds[mapping]
    if time_label != "instant":
        out = as_interval_means(out, ds, grid.time, time_label, interval)
    out.attrs = dict(ds.attrs)
    out.attrs["Conventions"] = ds.attrs.get("Conventions", "CF-1.8")
    stamp = dt.datetime.now(dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    entry = f"{stamp}: {history or 'klimora.grid.radiation'} (klimora {__version__})"
    previous = str(ds.attrs.get("history", "")).strip()
    out.attrs["history"] = entry + ("\n" + previous if previous else "")
    out.attrs["source"] = f"klimora {__version__}: klimora.chain on the grid's weather"
    return out, stacked


def read_from(grid: GridWeather) -> list[str]:
    """The input variables the grid's weather was read from."""
    return [name for source in grid.sources.values() for name in source.split(" and ")]


def time_meaning(ds: Any, time_label: str = "instant", interval: Any = None) -> tuple[str, Any]:
    """The time label and interval :func:`radiation` takes ``ds``'s weather
    with: those given, or for instants the intervals its means are over
    (:func:`klimora.accumulations.labelled`)."""
    ds = recognised(ds)
    grid = weather(ds)
    return labelled(ds, read_from(grid), grid.time, time_label, interval)


def as_interval_means(out: Any, ds: Any, time: str, time_label: str, interval: Any) -> Any:
    """The columns marked as means over their intervals (``cell_methods``;
    the sun's columns, taken at the middle, as points), with the intervals
    as the time coordinate's bounds: the input's, or made from the stamps."""
    import numpy as np
    import xarray as xr

    for name in out.data_vars:
        kind = "point" if name in AT_THE_MIDDLE else "mean"
        out[name].attrs["cell_methods"] = f"{time}: {kind}"
    given = bounds_of(ds, time)
    if given is not None:
        name, bounds = str(given.name), given.variable.to_base_variable()
    else:
        stamped = out[time].values
        length = interval_length(stamped, interval)
        step = np.timedelta64(int(length.total_seconds() * 1e6), "us") \
            if np.issubdtype(stamped.dtype, np.datetime64) else length
        ends = (stamped, stamped + step) if time_label == "start" else (stamped - step, stamped)
        name, bounds = f"{time}_bnds", xr.Variable((time, "bnds"), np.stack(ends, axis=-1))
    out[name] = bounds
    return out.assign_coords({time: out[time].assign_attrs(bounds=name)})
