"""Weather on a CF grid: its variables found by ``standard_name`` and
converted, with pint and cf-xarray's registry of CF unit spellings, to the
names and units :func:`klimora.chain.chain` takes.

Every step stays lazy: a Dataset opened with dask chunks gives dask-backed
fields, and nothing is read until the chain's result is computed.
Variables that carry no ``standard_name``, or another one, are named by
:func:`with_names` (``klimora grid --var``).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Optional

import numpy as np

from klimora import quantities as Q
from klimora.conventions import (ALTITUDE, BY_NAME, FIELDS, WORKED_FROM, Conversion, InputError,
                                 convert, find, normalise, recognised, registry, require)
from klimora.times import is_cftime

__all__ = ["ALTITUDE", "BY_NAME", "FIELDS", "Conversion", "GridError", "GridWeather", "KNOWN",
           "convert", "find", "registry", "weather", "with_names"]


#: Input the grid cannot be computed from: reported as one line.
GridError = InputError
#: Every standard_name a variable is found by, and (for the weather CF does
#: not name) the chain's names.
KNOWN = (*FIELDS, *WORKED_FROM, *BY_NAME)


def cf_name(name: str) -> str:
    """The CF standard_name of the chain's weather input ``name``."""
    spelled = Q.WEATHER[name].standard_name
    assert spelled is not None, name
    return spelled


@dataclass
class GridWeather:
    """A grid's weather as the chain takes it: ``fields`` by the chain's
    names (DataArrays in the chain's units, float64), the coordinates
    ``latitude``, ``longitude`` (in -180..180) and ``height``, and for
    each field the input variables it came from (for messages)."""

    fields: dict[str, Any]
    latitude: Any
    longitude: Any
    height: Any
    time: str
    sources: dict[str, str] = field(default_factory=dict)


def with_names(ds: Any, names: dict[str, str], source: str) -> Any:
    """``ds`` with each variable of ``names`` (standard_name -> variable)
    found by that standard_name, and no other variable by it; a chain's
    name (linke, bowen, body_albedo) renames the variable.  GridError, one
    line, for a name klimora does not read, a variable ``ds`` lacks, a
    coordinate (the surface altitude alone may be one that is no
    dimension's) or a variable that is another quantity too."""
    for standard_name, variable in names.items():
        given = f"--var {standard_name}={variable}"
        if standard_name not in KNOWN:
            raise GridError(f"{given}: klimora reads no {standard_name!r}; it reads "
                            f"{', '.join(KNOWN)}")
        if variable not in ds.variables:
            raise GridError(f"{given}: no variable {variable!r} in {source} (it has "
                            f"{', '.join(map(str, ds.variables))})")
        if variable in ds.coords and (standard_name != ALTITUDE or variable in ds.dims):
            raise GridError(f"{given}: {variable!r} is a coordinate, not a data variable; "
                            f"name a data variable of {source}")
        other = claimed(ds, names, standard_name, variable)
        if other:
            raise GridError(f"{given}: {variable!r} is also {other}; one variable cannot be "
                            "two quantities: give each its own")
    ds = ds.copy()   # the variables' attributes are the copy's own
    for standard_name, variable in names.items():
        if standard_name in BY_NAME:
            if variable != standard_name:
                ds = ds.drop_vars([standard_name], errors="ignore").rename_vars(
                    {variable: standard_name})
            continue
        for name, var in ds.variables.items():
            if var.attrs.get("standard_name") == standard_name and name != variable:
                del var.attrs["standard_name"]
        ds[variable].attrs["standard_name"] = standard_name
    return ds


def claimed(ds: Any, names: dict[str, str], standard_name: str, variable: str) -> str:
    """What else ``variable`` would be read as, were it also taken as
    ``standard_name``: another quantity of ``names`` (--var), the one its
    own standard_name says or, for linke and bowen, its name says, unless
    ``names`` gives that one another variable; "" if nothing."""
    for other, taken in names.items():
        if taken == variable and other != standard_name:
            return f"{other} (--var {other}={variable})"
    carried = ds[variable].attrs.get("standard_name")
    if carried in KNOWN and carried != standard_name and carried not in names:
        return f"{carried} (its standard_name)"
    if variable in BY_NAME and variable != standard_name and variable not in names:
        return f"{variable} (its name)"
    return ""


def weather(ds: Any) -> GridWeather:
    """The weather of a CF Dataset (after
    :func:`klimora.conventions.recognised`); GridError, one line, for what
    is missing, cannot be converted or does not lie on one grid."""
    import cf_xarray  # noqa: F401  (the .cf accessor)

    ds = recognised(ds)
    require(ds)
    found = normalise(ds)
    latitude, longitude = coordinate(ds, "latitude"), coordinate(ds, "longitude")
    longitude = longitude.where(~(longitude > 180.0), longitude - 360.0)
    time = time_coordinate(ds)
    grid = GridWeather(found.fields, latitude, longitude, found.height, time, found.sources)
    same_grid(ds, grid)
    return grid


def coordinate(ds: Any, axis: str) -> Any:
    """The latitude or longitude of the grid (1-D or 2-D), in degrees."""
    return ds[coordinate_name(ds, axis)].astype(float).drop_attrs()


def coordinate_name(ds: Any, axis: str) -> str:
    """The name of the grid's latitude or longitude coordinate."""
    import cf_xarray  # noqa: F401  (the .cf accessor)

    names = [n for n in ds.cf.coordinates.get(axis, []) if "bounds" not in ds[n].attrs
             or ds[n].ndim] or [n for n in (axis, axis[:3]) if n in ds.coords]
    if not names:
        raise GridError(f"no {axis}: no coordinate with standard_name {axis} or units "
                        f"degrees_{'north' if axis == 'latitude' else 'east'}")
    if len(names) > 1:
        names = [n for n in names if n in ds.coords] or names
    return str(names[0])


def time_coordinate(ds: Any) -> str:
    """The name of the time coordinate, whose values are dates."""
    names = ds.cf.coordinates.get("time", []) or [n for n in ("time", "valid_time") if n in ds]
    if not names:
        raise GridError("no time: no coordinate with standard_name time or axis T")
    name = names[0]
    values = ds[name]
    if not (np.issubdtype(values.dtype, np.datetime64) or is_cftime(values.values)):
        raise GridError(f"{name}: no units and calendar that can be read as dates "
                        f"(units {values.attrs.get('units', 'none')!r})")
    return str(name)


def same_grid(ds: Any, grid: GridWeather) -> None:
    """GridError unless every field lies on the air temperature's grid (its
    dimensions or some of them, with the same coordinates)."""
    import xarray as xr

    reference = grid.fields["air_temp"]
    dims = set(reference.dims)
    named = {"latitude": grid.latitude, "longitude": grid.longitude,
             **({"height": grid.height} if grid.height is not None else {}), **grid.fields}
    for chain_name, value in named.items():
        source = grid.sources.get(chain_name, chain_name)
        if not set(value.dims) <= dims:
            raise GridError(f"grids do not match: {source} is on ({', '.join(value.dims)}), "
                            f"{grid.sources['air_temp']} on ({', '.join(reference.dims)})")
        try:
            xr.align(reference, value, join="exact")
        except ValueError:
            raise GridError(f"grids do not match: {source} and {grid.sources['air_temp']} "
                            "have different coordinates") from None
    if grid.time not in reference.dims:
        raise GridError(f"{grid.sources['air_temp']} has no dimension {grid.time}")
