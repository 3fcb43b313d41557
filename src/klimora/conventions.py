"""Weather as its producers deliver it, brought to the chain's names and
units in one place.

A Dataset's variables are recognised by their CF ``standard_name``, by the
chain's own names, by the short names and GRIB parameter ids of ERA5 and
ERA5-Land as the Climate Data Store delivers them (NetCDF in the current
layout, with ``valid_time``, ``number``, ``expver`` and ``GRIB_*``
attributes, or the legacy packed one, or GRIB through cfgrib), and by the
variable ids of CMIP6 and CORDEX.  A DataFrame's or a mapping's columns
are recognised by :mod:`klimora.frames`.

:func:`recognised` labels a Dataset's variables with their standard names
and readable units; :func:`normalise` then gives the chain's fields in its
units, with what follows from the inputs worked out: the vapour pressure
from a dew point or from specific humidity and pressure, the wind speed
from its components and reduced to the chain's height of 10 m by the
logarithmic wind profile, the albedo from the up- and downwelling short
wave, the ground's long wave from the net, the diffuse from the global
and the direct on the ground, and a height from the surface geopotential.
Every step stays lazy on dask.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

from klimora import quantities as Q
from klimora.model import magnus

__all__ = ["ALIASES", "ROUGHNESS", "STANDARD_GRAVITY", "WIND_HEIGHT", "InputError",
           "Normalised", "normalise", "recognised", "registry", "spelled"]

#: Standard gravity, m s-2: a geopotential over it is a height.
STANDARD_GRAVITY = 9.80665
#: The height of the wind the chain's formulas take (UTCI's 10 m).
WIND_HEIGHT = 10.0
#: The roughness length of the logarithmic wind profile, open grass.
ROUGHNESS = 0.01
#: The ratio of the molar masses of water and dry air.
EPSILON = 0.622


class InputError(ValueError):
    """Weather the chain cannot take: reported as one line."""


#: standard_name by a producer's variable name: ERA5 and ERA5-Land short
#: names as the CDS writes them, and CMIP6/CORDEX variable ids.
ALIASES = {
    "t2m": "air_temperature", "d2m": "dew_point_temperature", "tcc": "cloud_area_fraction",
    "u10": "eastward_wind", "v10": "northward_wind",
    "ssrd": "surface_downwelling_shortwave_flux_in_air",
    "strd": "surface_downwelling_longwave_flux_in_air",
    "fdir": "surface_direct_downwelling_shortwave_flux_in_air",
    "ssr": "surface_net_downward_shortwave_flux", "str": "surface_net_downward_longwave_flux",
    "z": "surface_geopotential",
    "tas": "air_temperature", "hurs": "relative_humidity", "huss": "specific_humidity",
    "ps": "surface_air_pressure", "clt": "cloud_area_fraction", "sfcWind": "wind_speed",
    "uas": "eastward_wind", "vas": "northward_wind",
    "rsds": "surface_downwelling_shortwave_flux_in_air",
    "rlds": "surface_downwelling_longwave_flux_in_air",
    "rsus": "surface_upwelling_shortwave_flux_in_air",
    "rlus": "surface_upwelling_longwave_flux_in_air", "orog": "surface_altitude",
}
#: ERA5's short name by GRIB parameter id.
PARAM_IDS = {167: "t2m", 168: "d2m", 164: "tcc", 165: "u10", 166: "v10", 169: "ssrd",
             175: "strd", 228021: "fdir", 176: "ssr", 177: "str", 129: "z"}
#: Unit spellings of producers that UDUNITS and pint do not read as meant.
SPELLINGS = {"(0 - 1)": "1", "(0-1)": "1", "0-1": "1", "0 - 1": "1", "fraction": "1",
             "%": "percent"}

DEW_POINT = "dew_point_temperature"
EASTWARD, NORTHWARD = "eastward_wind", "northward_wind"
SPECIFIC, PRESSURE = "specific_humidity", "surface_air_pressure"
UP_SHORT = "surface_upwelling_shortwave_flux_in_air"
NET_SHORT = "surface_net_downward_shortwave_flux"
NET_LONG = "surface_net_downward_longwave_flux"
DIRECT_ON_GROUND = "surface_direct_downwelling_shortwave_flux_in_air"
GEOPOTENTIAL, ALTITUDE = "surface_geopotential", "surface_altitude"
FIELDS_VAPOUR = "water_vapor_partial_pressure_in_air"
#: standard_name -> (the chain's name, the unit it takes there).
FIELDS = {q.standard_name: (q.name, q.units) for q in Q.WEATHER.values() if q.standard_name}
#: The weather CF gives no standard_name: a variable of the chain's own name.
BY_NAME = tuple(q.name for q in Q.WEATHER.values() if not q.standard_name)
#: What the chain's weather is worked out from besides its own quantities.
WORKED_FROM = (DEW_POINT, EASTWARD, NORTHWARD, SPECIFIC, PRESSURE, UP_SHORT, NET_SHORT,
               NET_LONG, DIRECT_ON_GROUND, GEOPOTENTIAL, ALTITUDE)
#: Units a dimensionless quantity is taken in when its variable has none.
DIMENSIONLESS = {q.standard_name for q in Q.WEATHER.values()
                 if q.standard_name and q.units in ("1", "percent", "okta")} | {SPECIFIC}
#: How far beyond their range humidity and cloud cover may lie and be taken
#: as the edge: what packing to 16 bits and rounding leave, not more.
SLACK = {"humidity": 0.01, "cloud": 0.001}


def registry() -> Any:
    """cf-xarray's pint registry, which reads CF (UDUNITS) spellings, with
    the okta (an eighth of the sky) added."""
    from cf_xarray.units import units

    if "okta" not in units:
        units.define("okta = 0.125 = oktas")
    return units


def spelled(text: str) -> str:
    """A unit as pint reads it: the producers' spellings that mean
    otherwise ("(0 - 1)", a fraction) in UDUNITS spelling."""
    return SPELLINGS.get(text.strip(), text)


def dataset_names(ds: Any) -> str:
    """The Dataset's data variables, for a message."""
    return ", ".join(map(str, ds.data_vars)) or "none"


def recognised(ds: Any) -> Any:
    """``ds`` with singleton ``number`` and ``expver`` dimensions squeezed,
    a real ``expver`` dimension (ERA5 beside ERA5T) combined, first non-NaN
    along it, and every variable a producer's name or GRIB parameter id
    makes known, that carries no standard_name (or "unknown") and whose
    quantity no other variable claims, labelled with its standard_name;
    units in the producers' spellings (or only in ``GRIB_units``) are
    spelled as pint reads them, accumulated ERA5 fluxes become means
    (:func:`klimora.accumulations.as_means`) and a forecast's runs and
    steps are laid out along their valid times
    (:func:`klimora.accumulations.on_valid_times`)."""
    from klimora.accumulations import as_means, members, on_valid_times, timed_steps

    ensemble = members(ds)
    ds = timed_steps(ds)
    for dim in ("number", "expver"):
        if dim in ds.dims and ds.sizes[dim] == 1:
            ds = ds.squeeze(dim, drop=True)
    if "expver" in ds.dims:
        ds = ds.map(first_valid, keep_attrs=True).drop_vars("expver", errors="ignore")
    ds = ds.copy()   # the variables' attributes are the copy's own
    claimed = {var.attrs.get("standard_name") for var in ds.variables.values()}
    for name, var in ds.data_vars.items():
        units = var.attrs.get("units", var.attrs.get("GRIB_units"))
        if units is not None:
            var.attrs["units"] = spelled(str(units))
        carried = var.attrs.get("standard_name")
        if carried == "geopotential" and var.attrs.get("GRIB_typeOfLevel") == "surface":
            carried = None   # cfgrib's name for the surface's: the orography's
        if carried not in (None, "unknown"):
            continue
        try:
            param_id = int(var.attrs.get("GRIB_paramId", -1))
        except (TypeError, ValueError):
            param_id = -1
        short = PARAM_IDS.get(param_id, str(var.attrs.get("GRIB_shortName", name)))
        standard_name = ALIASES.get(short, ALIASES.get(str(name)))
        if standard_name is None and str(name) in Q.WEATHER:
            standard_name = Q.WEATHER[str(name)].standard_name
        if standard_name and standard_name not in claimed:
            var.attrs["standard_name"] = standard_name
            claimed.add(standard_name)
    return on_valid_times(as_means(ds, ensemble))


def first_valid(var: Any) -> Any:
    """Along ``expver``: the first value that is not NaN."""
    if "expver" not in var.dims:
        return var
    out = var.isel(expver=0, drop=True)
    for k in range(1, var.sizes["expver"]):
        out = out.fillna(var.isel(expver=k, drop=True))
    return out.assign_attrs(var.attrs)


def find(ds: Any, standard_name: str) -> Optional[str]:
    """The one variable (or coordinate) with this standard_name, or None."""
    names = [name for name, var in ds.variables.items()
             if var.attrs.get("standard_name") == standard_name]
    if len(names) > 1:
        raise InputError(f"{len(names)} variables are {standard_name}: "
                         f"{', '.join(map(str, names))}; keep one")
    return str(names[0]) if names else None


def convert(ds: Any, name: str, target: str, default: Optional[str] = None) -> Any:
    """Variable ``name`` as float64 in ``target`` units, lazily; ``default``
    the units of a variable without any (else dimensionless quantities are
    taken in "1" and others refused)."""
    import xarray as xr

    var = ds[name]
    standard_name = var.attrs.get("standard_name", "")
    text = var.attrs.get("units", default)
    if text is None:
        if standard_name not in DIMENSIONLESS and target != "1":
            raise InputError(f"{name} ({standard_name}): no units attribute")
        text = "1"
    data = var.astype(float).drop_attrs()
    if text == target:
        return data
    import pint

    units = registry()
    try:
        source = units.Unit(text)
    except (pint.errors.PintError, ValueError, AttributeError, TypeError, AssertionError):
        raise InputError(f"{name} ({standard_name}): cannot read units {text!r}") from None
    unit = units.Unit(target)
    if not source.is_compatible_with(unit):
        raise InputError(f"{name} ({standard_name}): units {text!r} cannot be converted to "
                         f"{target}")
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


@dataclass
class Normalised:
    """A Dataset's weather as the chain takes it: ``fields`` by the chain's
    names (float64 DataArrays in its units), the ``height`` above sea level
    where the Dataset gives one (None if not), and for each the input
    variables it came from (for messages)."""

    fields: dict[str, Any]
    height: Any
    sources: dict[str, str]


#: What must be there, each as one of its spellings, for the grid.
REQUIRED = (
    ("air temperature", ("air_temperature",)),
    ("humidity", ("relative_humidity", DEW_POINT, "water_vapor_partial_pressure_in_air",
                  SPECIFIC)),
    ("cloud cover", ("cloud_area_fraction",)),
    ("wind", ("wind_speed", EASTWARD)),
)


def require(ds: Any) -> None:
    """InputError, one line, for weather the grid cannot go without: it
    names the file's variables and ``--var``."""
    for what, names in REQUIRED:
        if not any(find(ds, n) for n in names):
            spelled_as = " or ".join(names) if names[0] != "wind_speed" else \
                "wind_speed or eastward_wind and northward_wind"
            raise InputError(f"no {what}: no variable with standard_name {spelled_as} or a "
                             f"name klimora knows among {dataset_names(ds)}; name it with "
                             f"--var {names[0]}=VARIABLE")


def normalise(ds: Any, own_units: bool = False) -> Normalised:
    """The chain's weather from a Dataset (after :func:`recognised`).
    ``own_units``: variables without a ``units`` attribute are in the
    chain's units (a Dataset given to :func:`klimora.chain.chain`) rather
    than refused where they are not dimensionless (a CF file)."""
    import xarray as xr

    ds = recognised(ds)
    fields: dict[str, Any] = {}
    sources: dict[str, str] = {}

    def take(standard_name: str, target: str, default: Optional[str] = None) -> Optional[Any]:
        name = find(ds, standard_name)
        # The site's height may be a coordinate that is no dimension's.
        coordinate = standard_name in (ALTITUDE, GEOPOTENTIAL) and name not in ds.dims
        if name is None or not (name in ds.data_vars or coordinate):
            return None
        sources.setdefault(standard_name, name)
        return convert(ds, name, target, default)

    for standard_name, (chain_name, unit) in FIELDS.items():
        value = take(standard_name, unit, unit if own_units else None)
        if value is not None:
            fields[chain_name], sources[chain_name] = value, sources[standard_name]
    for chain_name in BY_NAME:
        if chain_name in ds.data_vars:
            fields[chain_name] = convert(ds, chain_name, Q.WEATHER[chain_name].units,
                                         Q.WEATHER[chain_name].units)
            sources[chain_name] = chain_name
    air = fields.get("air_temp")
    if "humidity" not in fields and "vapour_pressure" not in fields and air is not None:
        dew, specific = take(DEW_POINT, "degC"), take(SPECIFIC, "1")
        if dew is not None:
            # Supersaturation in a model's dew point is taken as saturation.
            fields["vapour_pressure"] = magnus(np.minimum(dew, air))
            sources["vapour_pressure"] = sources[DEW_POINT]
        elif specific is not None:
            pressure = take(PRESSURE, "hPa")
            if pressure is None:
                raise InputError(f"{sources[SPECIFIC]} (specific_humidity) needs the surface "
                                 "pressure (ps, surface_air_pressure) beside it")
            vapour = specific * pressure / (EPSILON + (1.0 - EPSILON) * specific)
            fields["vapour_pressure"] = np.minimum(vapour, magnus(air))
            sources["vapour_pressure"] = f"{sources[SPECIFIC]} and {sources[PRESSURE]}"
    # The grid gives the chain a humidity beside a vapour pressure it was
    # given; a Dataset given to the chain keeps its vapour pressure alone.
    if "humidity" not in fields and "vapour_pressure" in fields and air is not None and \
            (not own_units or sources["vapour_pressure"] != sources.get(FIELDS_VAPOUR)):
        humidity = 100.0 * fields["vapour_pressure"] / magnus(air)
        fields["humidity"] = humidity.where(~(humidity > 100.0), 100.0)
        sources["humidity"] = sources["vapour_pressure"]
    if "wind" in fields:
        fields["wind"] = at_wind_height(ds, sources["wind"], fields["wind"])
    else:
        east = take(EASTWARD, "m s-1")
        if east is not None:
            north = take(NORTHWARD, "m s-1")
            if north is None:
                raise InputError(f"no wind: {sources[EASTWARD]} (eastward_wind) but no "
                                 "variable with standard_name northward_wind")
            speed = xr.apply_ufunc(np.hypot, east, north, dask="parallelized",
                                   output_dtypes=[float])
            fields["wind"] = at_wind_height(ds, sources[EASTWARD], speed)
            sources["wind"] = f"{sources[EASTWARD]} and {sources[NORTHWARD]}"
    worked_out(ds, fields, sources, take)
    for chain_name, slack in SLACK.items():
        if chain_name in fields:
            low, high = Q.WEATHER[chain_name].valid_range
            margin = slack * (high - low)
            value = fields[chain_name]
            value = value.where(~((value > high) & (value <= high + margin)), high)
            fields[chain_name] = value.where(~((value < low) & (value >= low - margin)), low)
    height = take(ALTITUDE, "m")
    if height is None:
        geopotential = take(GEOPOTENTIAL, "m2 s-2")
        if geopotential is not None:
            height = geopotential / STANDARD_GRAVITY
            sources[ALTITUDE] = sources[GEOPOTENTIAL]
    if height is not None:
        sources["height"] = sources[ALTITUDE]
    return Normalised(fields, height, sources)


def worked_out(ds: Any, fields: dict[str, Any], sources: dict[str, str], take: Any) -> None:
    """The albedo from the short wave's up and down (or net and down), the
    ground's long wave from the net and the down, the diffuse from the
    global and the direct on the ground; where the sun is down (no short
    wave) the albedo is the chain's default."""
    down = fields.get("global")
    if down is not None and "albedo" not in fields:
        up, net = take(UP_SHORT, "W m-2"), take(NET_SHORT, "W m-2")
        if up is None and net is not None:
            up = down - net
        if up is not None:
            albedo = (up / down.where(down > 0.0)).clip(0.0, 1.0)
            fields["albedo"] = albedo.fillna(Q.WEATHER["albedo"].default)
            sources["albedo"] = sources.get(UP_SHORT) or sources[NET_SHORT]
    net_long = take(NET_LONG, "W m-2")
    if net_long is not None and "longwave_up" not in fields and "longwave_down" in fields:
        fields["longwave_up"] = (fields["longwave_down"] - net_long).clip(0.0)
        sources["longwave_up"] = sources[NET_LONG]
    direct = take(DIRECT_ON_GROUND, "W m-2")
    if direct is not None and down is not None and "diffuse" not in fields:
        fields["diffuse"] = (down - direct).clip(0.0)
        sources["diffuse"] = sources[DIRECT_ON_GROUND]


def at_wind_height(ds: Any, name: str, speed: Any) -> Any:
    """The wind at the chain's 10 m from the wind at the height its
    variable states (a scalar coordinate "height" in m, as CMIP writes it),
    by the logarithmic profile over open grass (roughness :data:`ROUGHNESS`);
    unchanged where no height is stated."""
    height = ds[name].coords.get("height")
    if height is None or height.ndim or height.attrs.get("units", "m") not in ("m", "meter"):
        return speed
    level = float(height)
    if level == WIND_HEIGHT or level <= ROUGHNESS:
        return speed
    return speed * profile(level)


def profile(level: float) -> float:
    """The wind at the chain's 10 m over the wind at ``level`` m (above the
    roughness length), by the logarithmic profile over open grass."""
    return math.log(WIND_HEIGHT / ROUGHNESS) / math.log(level / ROUGHNESS)
