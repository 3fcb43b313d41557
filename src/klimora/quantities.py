"""Every quantity the package takes or gives, declared once: the weather
inputs, the site and the result columns, each with its unit (as tables
write it and in UDUNITS spelling, as CF files write it), its CF
``standard_name`` where CF has one, its ``long_name``, the range of values
that mean something, its default and what NaN means for it.

The chain's tables, the command line's options and ``--help``, the grid's
CF names and units, the output attributes and the JSON's units are made
from these declarations; the tests hold the type stubs and the ufuncs'
docstrings to them.

:func:`check` is the one range check of the package.  Its refusal,
:class:`OutOfRange`, says where the first bad value is and how many there
are, so that a reader can name the line or the cell.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

__all__ = ["Quantity", "OutOfRange", "WEATHER", "SITE", "RESULTS", "COLUMNS", "INDICES", "UTCI",
           "INPUTS", "FEW", "FRACTIONS", "DECIMAL", "check", "check_fraction", "decimal", "is_lazy",
           "shown"]


@dataclass(frozen=True)
class Quantity:
    """One quantity.

    ``symbol`` is the unit as tables, ``--help``, the JSON and a DataFrame's
    ``attrs["units"]`` write it, ``units`` the same unit in UDUNITS spelling
    (CF files, pint).  ``valid_min`` and ``valid_max`` bound the values that
    are taken (inputs) or can come out (columns).  ``default`` is the value
    an absent input takes; None when the chain works it out instead (then
    ``worked_out`` says how) or the quantity is not an input.  ``nan``:
    "missing" (NaN is missing data and gives NaN in every column that
    depends on it) or "refused"."""

    name: str
    symbol: str
    units: str
    long_name: str
    standard_name: Optional[str] = None
    valid_min: float = -math.inf
    valid_max: float = math.inf
    default: Optional[float] = None
    worked_out: Optional[str] = None
    nan: str = "missing"
    #: For weather: an option of the day (constant over it) on the command line.
    day_option: bool = True
    #: For a column: the sun's position or what the air does to its beam
    #: (turbidity, air mass), taken at an interval's middle, not averaged.
    sun_only: bool = False
    #: For a column: given only when asked for.
    optional: bool = False

    @property
    def valid_range(self) -> tuple[float, float]:
        return self.valid_min, self.valid_max


def _table(*quantities: Quantity) -> dict[str, Quantity]:
    return {q.name: q for q in quantities}


def flux(name: str, long_name: str, **rest: Any) -> Quantity:
    """A radiant flux density, in W/m2."""
    return Quantity(name, "W/m2", "W m-2", long_name, **rest)

#: The weather, in the order the chain and its tables take it.  Bowen
#: ratios below -0.5 are refused: as the ratio nears -1, 1 + 1/Bowen nears 0
#: and the surface temperature runs away (-0.9 gives -295 degC).
WEATHER = _table(
    Quantity("air_temp", "degC", "degC", "air temperature", "air_temperature", -90.0, 60.0,
             default=20.0),
    Quantity("humidity", "%", "percent", "relative humidity (above 100, up to 105 as sensors "
             "report in fog, taken as 100)", "relative_humidity", 0.0, 105.0, default=60.0),
    Quantity("vapour_pressure", "hPa", "hPa", "water-vapour pressure",
             "water_vapor_partial_pressure_in_air", 0.0, 200.0,
             worked_out="from air temperature and humidity"),
    Quantity("cloud", "oktas", "okta", "cloud cover, 0 clear to 8 overcast",
             "cloud_area_fraction", 0.0, 8.0, default=2.0),
    Quantity("wind", "m/s", "m s-1", "wind speed", "wind_speed", 0.0, 100.0, default=2.0),
    Quantity("albedo", "1", "1", "short-wave albedo of the ground", "surface_albedo", 0.0, 1.0,
             default=0.2),
    Quantity("bowen", "1", "1", "Bowen ratio of the ground (0: surface at air temperature)",
             None, -0.5, 1000.0, default=0.3),
    Quantity("body_albedo", "1", "1", "short-wave albedo of the person", None, 0.0, 1.0,
             default=0.3),
    Quantity("linke", "1", "1", "Linke turbidity factor of the air", None, 1.0, 40.0,
             worked_out="LinkeTruebung of day, latitude and humidity, or the climatology"),
    flux("global", "measured global irradiance on the ground",
             standard_name="surface_downwelling_shortwave_flux_in_air", valid_min=0.0,
             valid_max=2000.0, worked_out="clear-sky global reduced for cloud",
             day_option=False),
    flux("direct", "measured direct irradiance, normal to the beam",
             standard_name="surface_direct_along_beam_shortwave_flux_in_air", valid_min=0.0,
             valid_max=2000.0, worked_out="clear-sky direct reduced for cloud",
             day_option=False),
    flux("diffuse", "measured diffuse irradiance on the ground",
             standard_name="surface_diffuse_downwelling_shortwave_flux_in_air", valid_min=0.0,
             valid_max=2000.0, worked_out="global minus direct"),
    flux("longwave_down", "measured long-wave flux from the sky",
             standard_name="surface_downwelling_longwave_flux_in_air", valid_min=0.0,
             valid_max=2000.0, worked_out="counter-radiation of the sky"),
    flux("longwave_up", "measured long-wave flux from the ground",
             standard_name="surface_upwelling_longwave_flux_in_air", valid_min=0.0,
             valid_max=2000.0, worked_out="from the surface temperature"),
    Quantity("pressure", "hPa", "hPa", "air pressure at the ground (for PET and WBGT)",
             "surface_air_pressure", 300.0, 1100.0,
             worked_out="the standard atmosphere's at the site's height"),
)

#: The site.  ``zone`` is the zone of times that carry none: hours east of
#: UTC here (a zone name of the tz database is taken too).  Latitude and
#: longitude have no default: they must be given.
SITE = _table(
    Quantity("latitude", "deg", "degrees_north", "latitude", "latitude", -90.0, 90.0,
             worked_out="none: must be given"),
    Quantity("longitude", "deg", "degrees_east", "longitude", "longitude", -180.0, 180.0,
             worked_out="none: must be given"),
    Quantity("height", "m", "m", "height above sea level", "surface_altitude", -500.0, 9000.0,
             worked_out="sea level (0 m), said in a warning"),
    Quantity("zone", "h", "hour", "time zone, hours east of UTC", None, -12.0, 14.0,
             worked_out="UTC (said in a warning, except for CF times, which are UTC)"),
)

#: Every column a result may have, in their order.
RESULTS = _table(
    Quantity("solar_time", "h", "hour", "true solar time", None, 0.0, 24.0, sun_only=True),
    Quantity("zenith", "deg", "degree", "solar zenith angle", "solar_zenith_angle", 0.0, 180.0,
             sun_only=True),
    Quantity("azimuth", "deg", "degree", "solar azimuth from north through east",
             "solar_azimuth_angle", 0.0, 360.0, sun_only=True),
    Quantity("linke", "1", "1", "Linke turbidity factor", None, 0.0, sun_only=True),
    Quantity("air_mass", "1", "1",
             "relative optical air mass (999 with the sun well below the horizon)", None, 0.0,
             sun_only=True),
    flux("direct_max", "clear-sky direct irradiance, normal to the beam",
             valid_min=0.0),
    flux("global_max", "clear-sky global irradiance on the ground",
             standard_name="surface_downwelling_shortwave_flux_in_air_assuming_clear_sky",
             valid_min=0.0),
    flux("direct", "direct irradiance reduced for cloud, normal to the beam",
             standard_name="surface_direct_along_beam_shortwave_flux_in_air", valid_min=0.0),
    flux("global", "global irradiance under cloud on the ground",
             standard_name="surface_downwelling_shortwave_flux_in_air", valid_min=0.0),
    flux("diffuse", "diffuse irradiance on the ground",
             standard_name="surface_diffuse_downwelling_shortwave_flux_in_air", valid_min=0.0),
    flux("counter", "long-wave flux from the sky (counter-radiation)",
             standard_name="surface_downwelling_longwave_flux_in_air", valid_min=0.0),
    flux("longwave_up", "long-wave flux from the ground",
             standard_name="surface_upwelling_longwave_flux_in_air", valid_min=0.0),
    flux("net_rad", "net radiation of the ground at air temperature"),
    Quantity("surface_temp", "degC", "degC", "surface temperature of the ground",
             "surface_temperature"),
    Quantity("mrt", "degC", "degC", "mean radiant temperature of a person"),
    Quantity("utci", "degC", "degC", "Universal Thermal Climate Index (Broede et al. 2012)",
             optional=True),
    Quantity("pet", "degC", "degC", "physiological equivalent temperature (Hoeppe 1999)",
             optional=True),
    Quantity("wbgt", "degC", "degC", "wet-bulb globe temperature outdoors (Liljegren et al. "
             "2008)", optional=True),
)
#: The columns every result has, in their order.
COLUMNS = {name: q for name, q in RESULTS.items() if not q.optional}
#: The optional columns, the thermal indices that follow the mean radiant
#: temperature, in their order.
INDICES = tuple(name for name, q in RESULTS.items() if q.optional)
#: The first of them, which --utci asks for alone.
UTCI = RESULTS["utci"]

#: Every input by name: the site's fields and the weather.
INPUTS = {**SITE, **WEATHER}


class OutOfRange(ValueError):
    """Values outside their quantity's range, in one line that names the
    first of them and how many there are.  ``position`` is the first one's
    index in the value's array (a tuple, empty for a scalar), ``count`` the
    number of bad values."""

    def __init__(self, message: str, name: str, position: tuple[int, ...], count: int) -> None:
        super().__init__(message)
        self.name, self.position, self.count = name, position, count

    @property
    def row(self) -> int:
        """The first bad value's place along the first axis (0 for a scalar)."""
        return self.position[0] if self.position else 0


def refuse(name: str, message: str, bad: Any) -> OutOfRange:
    """OutOfRange for the values where ``bad`` is true."""
    bad = np.asarray(bad)
    count = int(bad.sum())
    first = tuple(int(i) for i in np.unravel_index(int(np.argmax(bad)), bad.shape)) \
        if bad.ndim else ()
    more = f" ({count} values)" if count > 1 else ""
    return OutOfRange(message + more, name, first, count)


def check(name: str, value: Any, *, label: Optional[str] = None, missing: bool = True,
          quantity: Optional[Quantity] = None) -> None:
    """OutOfRange, one line, if ``value`` (a number or an array) holds a
    value outside the range of the input ``name`` or an infinity.  NaN is
    missing data and passes, unless ``missing`` is false.  ``label`` names
    the value in the message (an option, say); ``quantity`` stands for an
    input that is not in the registry (a time step, say).  Lazy (dask)
    values are not looked at here: the chain checks them as they are
    computed."""
    if is_lazy(value):
        return
    q = quantity or INPUTS[name]
    low, high = q.valid_range
    a = np.asarray(value, dtype=float)
    if a.size and not (np.fmin.reduce(a, axis=None) < low or np.fmax.reduce(a, axis=None) > high):
        if missing or not np.isnan(a).any():
            return   # two passes where the six below would find nothing
    ok = (a >= low) & (a <= high)
    bad = ~(ok | np.isnan(a)) if missing else ~ok
    if bad.any():
        first = a[bad].flat[0]
        unit = f" {q.symbol}" if q.symbol and q.symbol != "1" else ""
        raise refuse(name, f"{label or name} must be between {low:g} and {high:g}{unit}, "
                           f"not {shown(first, low, high)}", bad)


def shown(value: float, *bounds: float) -> str:
    """``value`` as a message writes it: short (``:g``), unless that would
    read as one of ``bounds`` (105.0000001 is not 105); then its shortest
    exact form."""
    short = f"{value:g}"
    return repr(float(value)) if any(short == f"{b:g}" for b in bounds) else short


#: More different values than this (NaN aside) that all look like a
#: fraction are refused as one; as many or fewer are warned of.  A value
#: repeated (an option's, filled in over a day or series) is one.
FEW = 3
#: Inputs in a unit whose values a fraction (0 to 1) is easily taken for:
#: name -> what the refusal says.
FRACTIONS = {
    "humidity": "humidity values all 1 % or less: a fraction (0 to 1) given for percent? "
                "Multiply it by 100",
    "cloud": "cloud values all between 0 and 1 and not whole: a fraction (0 to 1) given for "
             "oktas? Multiply it by 8",
}


def check_fraction(name: str, value: Any) -> int:
    """OutOfRange, one line that names the likely cause, for the values of
    ``name`` (humidity in percent, cloud in oktas) that look like a
    fraction from 0 to 1: more than :data:`FEW` different values (NaN
    aside), all of them humidity of 1 % or less, or cloud from 0 to 1 and
    not all whole.  Fewer such values pass: their count is returned, to be
    warned of (0 when nothing looks like a fraction).  Lazy (dask) values are not
    looked at here; the chain checks them block by block."""
    if name not in FRACTIONS or is_lazy(value):
        return 0
    a = np.asarray(value, dtype=float)
    given = ~np.isnan(a)
    values = a[given]
    if not values.size or values.max() > 1.0:
        return 0
    if name == "cloud" and (values.min() < 0.0 or np.all(values == np.round(values))):
        return 0
    if np.unique(values).size > FEW:
        raise refuse(name, FRACTIONS[name], given)
    return int(values.size)


#: A number as a CSV cell or an option may write it: ASCII decimal digits
#: with an optional sign, point and exponent, or an infinity or NaN spelt
#: out.  Python's float also takes "1_0" and other scripts' digits ("２０").
DECIMAL = re.compile(r"[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|inf|infinity|nan)",
                     re.ASCII | re.IGNORECASE)


def decimal(text: str) -> float:
    """The number ``text`` writes (blanks around it aside); ValueError if it
    is not wholly one."""
    text = text.strip()
    if not DECIMAL.fullmatch(text):
        raise ValueError(f"not a number: {text!r}")
    return float(text)


def is_lazy(value: Any) -> bool:
    """Whether ``value`` (or the data of an xarray object) is a dask array."""
    data = getattr(value, "data", value)
    return type(data).__module__.split(".")[0] == "dask"
