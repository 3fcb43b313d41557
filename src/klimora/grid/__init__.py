"""The chain on gridded weather: CF NetCDF or Zarr in, radiation and mean
radiant temperature for every cell and time out, lazily over dask chunks.

:func:`radiation` maps a CF Dataset (variables found by ``standard_name``,
units converted with pint) to the chain's columns with CF metadata; the
command ``klimora grid`` (:mod:`klimora.grid.command`) reads, computes on
dask's threaded scheduler or a dask.distributed cluster, and writes.
Needs the extra ``klimora[grid]``.
"""

from __future__ import annotations

import datetime as dt
from typing import Any

from klimora import __version__
from klimora import chain as C
from klimora.grid.cf import GridError, Weather, weather

__all__ = ["GridError", "Weather", "radiation", "columns", "weather", "ATTRIBUTES"]

#: The chain's units in UDUNITS spelling.
CF_UNITS = {"h": "hour", "deg": "degree", "W/m2": "W m-2", "degC": "degC", "1": "1"}
#: The CF standard names of the columns that have one.
STANDARD_NAMES = {
    "zenith": "solar_zenith_angle",
    "azimuth": "solar_azimuth_angle",
    "global_max": "surface_downwelling_shortwave_flux_in_air_assuming_clear_sky",
    "direct": "surface_direct_along_beam_shortwave_flux_in_air",
    "global": "surface_downwelling_shortwave_flux_in_air",
    "diffuse": "surface_diffuse_downwelling_shortwave_flux_in_air",
    "counter": "surface_downwelling_longwave_flux_in_air",
    "longwave_up": "surface_upwelling_longwave_flux_in_air",
    "surface_temp": "surface_temperature",
}
#: Each column's attributes: units, long_name and standard_name.
ATTRIBUTES = {
    name: {"units": CF_UNITS[unit], "long_name": meaning,
           **({"standard_name": STANDARD_NAMES[name]} if name in STANDARD_NAMES else {})}
    for name, unit, meaning in (*C.COLUMNS, C.UTCI_COLUMN)
}


def radiation(ds: Any, *, projection_factor: str = "system", utci: bool = False,
              history: str = "") -> Any:
    """The chain's columns for every cell and time of a CF Dataset, lazily
    if ``ds`` is dask-backed, with the input's coordinates, each column's
    CF attributes and the input's global attributes with ``history``
    (a command line, say) put first in their history.  Times are in UTC,
    as CF stores them; the day of the year is the UTC one.  GridError, one
    line, for weather that cannot be used."""
    return columns(ds, projection_factor=projection_factor, utci=utci, history=history)[0]


def columns(ds: Any, *, projection_factor: str = "system", utci: bool = False,
            history: str = "") -> tuple[Any, Any]:
    """:func:`radiation`, and its columns as one DataArray along a last
    dimension "column", whose every block is one task: what the writer
    computes."""
    import xarray as xr

    grid = weather(ds)

    def bare(value: Any) -> Any:
        """On dimensions alone (the output takes the input's coordinates
        back), with the time dimension called "time"."""
        value = value.drop_vars(list(value.coords))
        return value.rename({grid.time: "time"}) if grid.time in value.dims else value

    times = ds[grid.time].variable.to_base_variable()
    times = xr.Variable(["time" if d == grid.time else d for d in times.dims], times.values)
    frame = xr.Dataset({name: bare(value) for name, value in grid.fields.items()},
                       coords={"time": times})
    coordinates = {"latitude": bare(grid.latitude), "longitude": bare(grid.longitude),
                   **({"height": bare(grid.height)} if grid.height is not None else {})}
    site = C.Site(latitude=0.0, longitude=0.0, height=0.0, zone=None)
    stacked = C._chain_stacked(frame, site, projection_factor, utci, coordinates=coordinates)
    if "time" != grid.time:
        stacked = stacked.rename({"time": grid.time})
    reference = ds[grid.sources["air_temp"]]
    stacked = stacked.assign_coords({name: value for name, value in reference.coords.items()})
    stacked = stacked.transpose(*reference.dims, "column")
    names = [name for name, _, _ in C.result_columns(utci)]
    stacked = stacked.assign_coords(column=names)
    out = xr.Dataset({name: stacked.sel(column=name, drop=True) for name in names})
    mapping = reference.attrs.get("grid_mapping")
    for name in out.data_vars:
        out[name].attrs = dict(ATTRIBUTES[str(name)])
        if mapping:
            out[name].attrs["grid_mapping"] = mapping
    if mapping and mapping in ds.variables:
        out[mapping] = ds[mapping]
    out.attrs = dict(ds.attrs)
    out.attrs["Conventions"] = ds.attrs.get("Conventions", "CF-1.8")
    stamp = dt.datetime.now(dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    entry = f"{stamp}: {history or 'klimora.grid.radiation'} (klimora {__version__})"
    previous = str(ds.attrs.get("history", "")).strip()
    out.attrs["history"] = entry + ("\n" + previous if previous else "")
    out.attrs["source"] = f"klimora {__version__}: klimora.chain on the grid's weather"
    return out, stacked
