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
from klimora.model import magnus
from klimora.times import is_cftime


class GridError(ValueError):
    """Input the grid cannot be computed from: reported as one line."""


#: standard_name -> (the chain's name, the unit it takes there): every weather
#: quantity of the registry that CF names.
FIELDS = {q.standard_name: (q.name, q.units) for q in Q.WEATHER.values() if q.standard_name}
#: The weather CF gives no standard_name (the Linke turbidity, the Bowen
#: ratio): a variable of the chain's own name, if the grid has one.
BY_NAME = tuple(q.name for q in Q.WEATHER.values() if not q.standard_name)
DEW_POINT = "dew_point_temperature"
EASTWARD, NORTHWARD = "eastward_wind", "northward_wind"
ALTITUDE = Q.SITE["height"].standard_name or "surface_altitude"


#: Every standard_name a variable is found by, and (for the weather CF does
#: not name) the chain's names.
KNOWN = (*FIELDS, DEW_POINT, EASTWARD, NORTHWARD, ALTITUDE, *BY_NAME)


def cf_name(name: str) -> str:
    """The CF standard_name of the chain's weather input ``name``."""
    spelled = Q.WEATHER[name].standard_name
    assert spelled is not None, name
    return spelled


#: What must be there, each as one of its spellings.
REQUIRED = (
    ("air temperature", (cf_name("air_temp"),)),
    ("humidity", (cf_name("humidity"), DEW_POINT, cf_name("vapour_pressure"))),
    ("cloud cover", (cf_name("cloud"),)),
    ("wind", (cf_name("wind"), EASTWARD)),
)
#: Units a dimensionless quantity is taken in when its variable has none.
DIMENSIONLESS = {q.standard_name for q in Q.WEATHER.values()
                 if q.standard_name and q.units in ("1", "percent", "okta")}
#: How far beyond their range humidity and cloud cover may lie and be taken
#: as the edge: what packing to 16 bits and rounding leave, not more.
SLACK = {"humidity": 0.01, "cloud": 0.001}


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


def registry() -> Any:
    """cf-xarray's pint registry, which reads CF (UDUNITS) spellings, with
    the okta (an eighth of the sky) added."""
    from cf_xarray.units import units

    if "okta" not in units:
        units.define("okta = 0.125 = oktas")
    return units


def find(ds: Any, standard_name: str) -> Optional[str]:
    """The one variable (or coordinate) with this standard_name, or None."""
    names = [name for name, var in ds.variables.items()
             if var.attrs.get("standard_name") == standard_name]
    if len(names) > 1:
        raise GridError(f"{len(names)} variables are {standard_name}: {', '.join(names)}; "
                        "keep one")
    return names[0] if names else None


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


def present(ds: Any, standard_name: str) -> str:
    """The variable with this standard_name, which the checks made sure of."""
    name = find(ds, standard_name)
    assert name is not None, standard_name
    return name


def convert(ds: Any, name: str, target: str) -> Any:
    """Variable ``name`` as float64 in ``target`` units, lazily."""
    import pint
    import xarray as xr

    units = registry()
    var = ds[name]
    standard_name = var.attrs.get("standard_name", "")
    text = var.attrs.get("units")
    if text is None:
        if standard_name not in DIMENSIONLESS and target != "1":
            raise GridError(f"{name} ({standard_name}): no units attribute")
        text = "1"
    try:
        source = units.Unit(text)
    except (pint.errors.PintError, ValueError, AttributeError, TypeError, AssertionError):
        raise GridError(f"{name} ({standard_name}): cannot read units {text!r}") from None
    unit = units.Unit(target)
    if not source.is_compatible_with(unit):
        raise GridError(f"{name} ({standard_name}): units {text!r} cannot be converted to "
                        f"{target}")
    data = var.astype(float).drop_attrs()
    if source == unit:
        return data
    return xr.apply_ufunc(Conversion(text, target), data, dask="parallelized",
                          output_dtypes=[float])


@dataclass(frozen=True)
class Conversion:
    """Values from one unit to another, by pint; the units as text, so that
    dask.distributed sends it to its workers by pickling and each looks
    them up in its own registry."""

    source: str
    target: str

    def __call__(self, values: Any) -> Any:
        units = registry()
        quantity = units.Quantity(values, units.Unit(self.source))
        return np.asarray(quantity.to(units.Unit(self.target)).magnitude, dtype=float)


def weather(ds: Any) -> GridWeather:
    """The weather of a CF Dataset; GridError, one line, for what is missing,
    cannot be converted or does not lie on one grid."""
    import cf_xarray  # noqa: F401  (the .cf accessor)
    import xarray as xr

    for what, names in REQUIRED:
        if not any(find(ds, n) for n in names):
            spelled = " or ".join(names) if names[0] != cf_name("wind") else \
                "wind_speed or eastward_wind and northward_wind"
            raise GridError(f"no {what}: no variable with standard_name {spelled}")
    fields: dict[str, Any] = {}
    sources: dict[str, str] = {}
    for standard_name, (chain_name, unit) in FIELDS.items():
        name = find(ds, standard_name)
        if name is not None and name in ds.data_vars:
            fields[chain_name] = convert(ds, name, unit)
            sources[chain_name] = name
    for chain_name in BY_NAME:
        if chain_name in ds.data_vars:
            fields[chain_name] = convert(ds, chain_name, Q.WEATHER[chain_name].units)
            sources[chain_name] = chain_name
    air = fields["air_temp"]
    if "humidity" not in fields:
        dew = present(ds, DEW_POINT)
        if "vapour_pressure" in fields:
            vapour = fields["vapour_pressure"]
        else:
            # Supersaturation in a model's dew point is taken as saturation.
            dew_point = convert(ds, dew, "degC")
            vapour = magnus(np.minimum(dew_point, air))
            fields["vapour_pressure"] = vapour
            sources["vapour_pressure"] = dew
        humidity = 100.0 * vapour / magnus(air)
        fields["humidity"] = humidity.where(~(humidity > 100.0), 100.0)
        sources["humidity"] = sources["vapour_pressure"]
    if "wind" not in fields:
        east, north = present(ds, EASTWARD), find(ds, NORTHWARD)
        if north is None:
            raise GridError(f"no wind: {east} (eastward_wind) but no variable with "
                            "standard_name northward_wind")
        u, v = convert(ds, east, "m s-1"), convert(ds, north, "m s-1")
        fields["wind"] = xr.apply_ufunc(np.hypot, u, v, dask="parallelized",
                                        output_dtypes=[float])
        sources["wind"] = f"{east} and {north}"
    for chain_name, slack in SLACK.items():
        low, high = Q.WEATHER[chain_name].valid_range
        margin = slack * (high - low)
        value = fields[chain_name]
        value = value.where(~((value > high) & (value <= high + margin)), high)
        fields[chain_name] = value.where(~((value < low) & (value >= low - margin)), low)
    latitude, longitude = coordinate(ds, "latitude"), coordinate(ds, "longitude")
    longitude = longitude.where(~(longitude > 180.0), longitude - 360.0)
    altitude = find(ds, ALTITUDE)
    height = convert(ds, altitude, "m") if altitude else None
    if altitude:
        sources["height"] = altitude
    time = time_coordinate(ds)
    grid = GridWeather(fields, latitude, longitude, height, time, sources)
    same_grid(ds, grid)
    return grid


def coordinate(ds: Any, axis: str) -> Any:
    """The latitude or longitude of the grid (1-D or 2-D), in degrees."""
    return ds[coordinate_name(ds, axis)].astype(float).drop_attrs()


def coordinate_name(ds: Any, axis: str) -> str:
    """The name of the grid's latitude or longitude coordinate."""
    import cf_xarray  # noqa: F401  (the .cf accessor)

    names = [n for n in ds.cf.coordinates.get(axis, []) if "bounds" not in ds[n].attrs
             or ds[n].ndim]
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
