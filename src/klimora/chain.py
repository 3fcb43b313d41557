"""The whole chain on arrays: from times, a site and the weather to the
radiation and the mean radiant temperature of a person, on the ufuncs of
:mod:`klimora.ufuncs`.

Per element:

1. solar time from the time in UTC, the longitude and the equation of time
   (``Sonnenzeit`` folds it into one day);
2. zenith and azimuth of the sun (``Zenitwinkel``, ``Azimutwinkel``);
3. Linke turbidity (``LinkeTruebung``) and relative optical air mass
   (``RelOptLuftmasse``);
4. clear-sky direct and global irradiance (``MaxDirekteStrahlung``,
   ``MaxGlobalstrahlung``) and the direct beam reduced for cloud
   (``DirStrMBew``), unless measured;
5. counter-radiation of the sky (``AtmosGegenstr``), unless measured;
6. surface temperature of the ground (``OberflTemp``);
7. mean radiant temperature of a person (``MittlStrTemp``).

The assumptions beyond the module are in :data:`ASSUMPTIONS`.  NaN in an
input gives NaN in every column that depends on it; nothing is filled in.
"""

from __future__ import annotations

import datetime as dt
import math
from dataclasses import dataclass
from typing import Any, Mapping, Optional, Union

import numpy as np

from klimora import ufuncs as U

#: Stefan-Boltzmann constant, W m-2 K-4 (the value the module uses).
SIGMA = 5.67e-8
#: Long-wave emissivity of the ground.
EPS_GROUND = 0.97
#: Share of a person's surroundings taken by the sky, and by the ground
#: (a person standing on open, level ground with a free horizon).
VIEW_SKY = 0.5
VIEW_GROUND = 1.0 - VIEW_SKY

ASSUMPTIONS = (
    "open, level ground with a free horizon, no walls or trees",
    "solar time = time in UTC + longitude/15 h + equation of time, folded into one day "
    "(Sonnenzeit); the day of the year is the local one",
    "vapour pressure, when not given: Magnus formula over water, "
    "e = RH/100 * 6.112 hPa * exp(17.62 t / (243.12 + t))",
    "global irradiance under cloud (Kasten and Czeplak): "
    "G = G_max * (1 - 0.75 (N/8)^3.4)",
    "diffuse irradiance on the ground: D = G - I cos(zenith), at least 0 "
    "(I = cloud-reduced direct beam)",
    "long-wave flux from above: the counter-radiation of AtmosGegenstr",
    "net radiation of the ground at air temperature (isothermal): "
    "Q = (1 - albedo) G + 0.97 L_down - 0.97 sigma (t_air + 273.15)^4; "
    "the surface temperature is OberflTemp(Q, t_air, wind, Bowen)",
    "long-wave flux from below: L_up = 0.97 sigma (t_surface + 273.15)^4 "
    "+ 0.03 L_down (emission plus reflected sky radiation)",
    "a person sees half sky and half ground: MittlStrTemp gets "
    "EStrOben = L_down/2, EStrUnten = L_up/2, AGegenstr = 0 (the sky is in "
    "EStrOben), DiffStr = D/2 + albedo G/2 (diffuse from the sky and "
    "short-wave reflected by the ground), MaxDirStr = I",
    "short-wave albedo of the person 0.3 (absorbed share 0.7)",
    "with the sun below the horizon MittlStrTemp gets the zenith angle 90 "
    "(the beam is zero then)",
)

#: The result columns: name, unit, meaning.
COLUMNS = (
    ("solar_time", "h", "true solar time"),
    ("zenith", "deg", "solar zenith angle"),
    ("azimuth", "deg", "solar azimuth from north through east"),
    ("linke", "1", "Linke turbidity factor"),
    ("air_mass", "1", "relative optical air mass (999 with the sun well below the horizon)"),
    ("direct_max", "W/m2", "clear-sky direct irradiance, normal to the beam"),
    ("global_max", "W/m2", "clear-sky global irradiance on the ground"),
    ("direct", "W/m2", "direct irradiance reduced for cloud, normal to the beam"),
    ("global", "W/m2", "global irradiance under cloud on the ground"),
    ("diffuse", "W/m2", "diffuse irradiance on the ground"),
    ("counter", "W/m2", "long-wave flux from the sky (counter-radiation)"),
    ("longwave_up", "W/m2", "long-wave flux from the ground"),
    ("net_rad", "W/m2", "net radiation of the ground at air temperature"),
    ("surface_temp", "degC", "surface temperature of the ground"),
    ("mrt", "degC", "mean radiant temperature of a person"),
)
NAMES = tuple(name for name, _, _ in COLUMNS)
UNITS = {name: unit for name, unit, _ in COLUMNS}

#: The weather inputs: name -> (unit, default, lowest, highest, meaning).
#: None as default: worked out by the chain (or measured, when given).
#: Bowen ratios below -0.5 are refused: as the ratio nears -1, 1 + 1/Bowen
#: nears 0 and the surface temperature runs away (-0.9 gives -295 degC).
WEATHER = {
    "air_temp": ("degC", 20.0, -90.0, 60.0, "air temperature"),
    "humidity": ("%", 60.0, 0.0, 100.0, "relative humidity"),
    "vapour_pressure": ("hPa", None, 0.0, 200.0, "water-vapour pressure"),
    "cloud": ("oktas", 2.0, 0.0, 8.0, "cloud cover, 0 clear to 8 overcast"),
    "wind": ("m/s", 2.0, 0.0, 100.0, "wind speed"),
    "albedo": ("1", 0.2, 0.0, 1.0, "short-wave albedo of the ground"),
    "bowen": ("1", 1.0, -0.5, 1000.0, "Bowen ratio of the ground (0: surface at air temperature)"),
    "body_albedo": ("1", 0.3, 0.0, 1.0, "short-wave albedo of the person"),
    "global": ("W/m2", None, 0.0, 2000.0, "measured global irradiance on the ground"),
    "direct": ("W/m2", None, 0.0, 2000.0, "measured direct irradiance, normal to the beam"),
    "diffuse": ("W/m2", None, 0.0, 2000.0, "measured diffuse irradiance on the ground"),
    "longwave_down": ("W/m2", None, 0.0, 2000.0, "measured long-wave flux from the sky"),
    "longwave_up": ("W/m2", None, 0.0, 2000.0, "measured long-wave flux from the ground"),
}
#: The site: name -> (unit, lowest, highest).
SITE = {"latitude": ("deg", -90.0, 90.0), "longitude": ("deg", -180.0, 180.0),
        "height": ("m", -500.0, 9000.0)}
PROJECTION_FACTORS = ("system", "vdi3789")


@dataclass(frozen=True)
class Site:
    """A place: latitude (deg N), longitude (deg E), height above sea level
    (m), each a number or an array; ``zone``, the zone of times that carry
    none: hours east of UTC or a zone name such as "Europe/Berlin" (with
    its daylight saving time), None for UTC."""

    latitude: Any = 48.14
    longitude: Any = 11.58
    height: Any = 520.0
    zone: Union[float, str, None] = 1.0

    def __post_init__(self) -> None:
        for name, (unit, low, high) in SITE.items():
            check(name, getattr(self, name), low, high, unit)
        if self.zone is not None and not isinstance(self.zone, str):
            check("zone", self.zone, -12.0, 14.0, "h")


def limits(name: str) -> tuple[str, float, float]:
    """The unit and the lowest and highest value of a site field or a
    weather input."""
    if name in SITE:
        return SITE[name]
    unit, _, low, high, _ = WEATHER[name]
    return unit, low, high


def check(name: str, value: Any, low: float, high: float, unit: str = "") -> None:
    """ValueError, one line, if a value is outside [low, high] or infinite.
    NaN is missing data and passes.  Lazy (dask) values are not looked at
    here: chain checks them as they are computed."""
    if _is_lazy(value):
        return
    a = np.asarray(value, dtype=float)
    if a.size and not (np.fmin.reduce(a, axis=None) < low or np.fmax.reduce(a, axis=None) > high):
        return   # two passes where the six below would find nothing (NaN passes)
    bad = ~(np.isnan(a) | ((a >= low) & (a <= high)))
    if bad.any():
        first = a[bad].flat[0]
        unit = f" {unit}" if unit and unit != "1" else ""
        more = f" ({int(bad.sum())} values)" if bad.sum() > 1 else ""
        raise ValueError(f"{name} must be between {low:g} and {high:g}{unit}, not {first:g}{more}")


def magnus(air_temp: Any) -> Any:
    """Saturation vapour pressure over water in hPa (Magnus)."""
    return 6.112 * np.exp(17.62 * air_temp / (243.12 + air_temp))


def equation_of_time(dayofyear: Any) -> Any:
    """Apparent minus mean solar time in hours (the formula Sonnenzeit uses)."""
    b = 2 * np.pi * (dayofyear - 81) / 364
    return (9.87 * np.sin(2 * b) - 7.53 * np.cos(b) - 1.5 * np.sin(b)) / 60


def time_parts(times: Any, zone: Union[float, str, None]) -> tuple[Any, Any, Any]:
    """UTC hour of the day, local day of the year and the zone's offset in
    hours, as float arrays, for times given as a DatetimeIndex, datetime64
    values or a time zone-aware series; NaT gives NaN.  Times without a zone
    are in ``zone`` (a zone name, with daylight saving time; hours east of
    UTC; None: UTC); times with one keep it, and ``zone`` (a name or hours)
    only sets the local day."""
    import pandas as pd

    shape = np.shape(times)
    if _is_cftime(times):
        return _cftime_parts(times, zone)
    if _holds_numbers(times):
        raise ValueError("times must be dates and times, not numbers")
    try:
        return _datetime_parts(times, zone, shape)
    except pd.errors.OutOfBoundsDatetime as e:
        raise ValueError(f"times must lie between {pd.Timestamp.min:%Y-%m-%d} and "
                         f"{pd.Timestamp.max:%Y-%m-%d}, the span of pandas' nanosecond "
                         f"times ({' '.join(str(e).split())})") from None


def _holds_numbers(values: Any) -> bool:
    """Whether ``values`` are plain numbers (or booleans), which pandas
    would read as nanoseconds since 1970 rather than refuse as times."""
    import pandas as pd

    dtype = getattr(values, "dtype", None)
    if dtype is None:
        values = np.asarray(values)
        dtype = values.dtype
    if isinstance(dtype, np.dtype) and dtype.kind in "biufc":
        return True
    if dtype == object and np.size(values):
        return pd.api.types.infer_dtype(np.ravel(np.asarray(values, dtype=object)),
                                        skipna=True) in NUMBER_KINDS
    return False


#: What pandas infers for an object array of numbers.
NUMBER_KINDS = ("integer", "floating", "mixed-integer-float", "decimal", "complex", "boolean")


def _datetime_parts(times: Any, zone: Union[float, str, None],
                    shape: tuple[int, ...]) -> tuple[Any, Any, Any]:
    import pandas as pd

    if isinstance(times, (pd.Series, pd.DatetimeIndex)):
        index = pd.DatetimeIndex(times)   # kept whole: a zone-aware ravel makes objects
    else:
        index = pd.DatetimeIndex(np.ravel(times))
    hour = pd.Timedelta(hours=1)
    if index.tz is None:
        if isinstance(zone, str):
            index = index.tz_localize(zone, ambiguous="NaT", nonexistent="NaT")
        else:
            offset = 0.0 if zone is None else float(zone)
            return _parts(index - offset * hour, index, np.full(len(index), offset), shape)
    utc = index.tz_convert("UTC").tz_localize(None)
    if isinstance(zone, str):
        local = index.tz_convert(zone).tz_localize(None)
    elif zone is not None:
        local = utc + float(zone) * hour
    else:
        local = index.tz_localize(None)   # the wall time of the times' own zone
    return _parts(utc, local, np.asarray((local - utc) / hour, dtype=float), shape)


def _is_cftime(times: Any) -> bool:
    """Whether ``times`` are cftime datetimes (calendars other than the
    proleptic Gregorian one, as xarray decodes them)."""
    if getattr(times, "dtype", None) != object or not np.size(times):
        return False
    return type(np.ravel(times)[0]).__module__.split(".")[0] == "cftime"


def _cftime_parts(times: Any, zone: Union[float, str, None]) -> tuple[Any, Any, Any]:
    """time_parts for cftime datetimes, in their own calendar: the hour from
    whole nanoseconds since midnight, as pandas forms it, and the day of the
    year of the local time."""
    if isinstance(zone, str):
        raise ValueError("times in a cftime calendar take a zone in hours, not a zone name")
    offset = 0.0 if zone is None else float(zone)
    flat = np.ravel(times)
    hour, doy = np.empty(len(flat)), np.empty(len(flat))
    shift = dt.timedelta(hours=offset)
    for i, t in enumerate(flat):
        if t is None:
            hour[i] = doy[i] = np.nan
            continue
        ns = ((t.hour * 60 + t.minute) * 60 + t.second) * 10**9 + t.microsecond * 1000
        hour[i] = np.float64(ns) / np.float64(3_600_000_000_000)
        doy[i] = (t + shift).dayofyr
    offsets = np.where(np.isnan(hour), np.nan, offset)
    shape = np.shape(times)
    return hour.reshape(shape), doy.reshape(shape), offsets.reshape(shape)


def _parts(utc: Any, local: Any, offsets: Any, shape: tuple[int, ...]) -> tuple[Any, Any, Any]:
    import pandas as pd

    hour = pd.Timedelta(hours=1)
    utc_hour = np.asarray((utc - utc.normalize()) / hour, dtype=float)
    doy = np.asarray(local.day_of_year, dtype=float)
    missing = np.asarray(utc.isna()) | np.asarray(local.isna())
    for a in (utc_hour, doy, offsets):
        a[missing] = np.nan
    return utc_hour.reshape(shape), doy.reshape(shape), np.asarray(offsets).reshape(shape)


def compute(utc_hour: Any, dayofyear: Any, zone_hours: Any, latitude: Any, longitude: Any,
            height: Any, weather: Mapping[str, Any], projection_factor: str = "system",
            utci: bool = False) -> dict[str, Any]:
    """The chain on arrays that broadcast together: the :data:`COLUMNS` as
    a dict, and "utci" after them if asked for.  ``weather`` holds any of
    :data:`WEATHER`; the others take their defaults, and the measured ones
    replace what the chain would work out."""
    if projection_factor not in PROJECTION_FACTORS:
        raise ValueError(f"projection_factor must be one of {', '.join(PROJECTION_FACTORS)}")
    w = {name: weather.get(name, default) for name, (_, default, _, _, _) in WEATHER.items()}
    lat, lon, doy = latitude, longitude, dayofyear
    shifted = utc_hour + lon / 15 + equation_of_time(doy)
    szeit = np.mod(U.Sonnenzeit(shifted, zone_hours, lon, doy), 24.0)
    szeit = np.where(szeit >= 24.0, 0.0, szeit)   # a hair below 0 folds to 24
    zenith = U.Zenitwinkel(szeit, lat, doy)
    azimuth = missing(U.Azimutwinkel(szeit, lat, doy), szeit, lat, doy)
    linke = missing(U.LinkeTruebung(doy, lat, w["humidity"]), doy, lat, w["humidity"])
    air_mass = U.RelOptLuftmasse(zenith)
    direct_max = missing(U.MaxDirekteStrahlung(doy, height, zenith, linke, air_mass),
                         doy, height, zenith, linke, air_mass)
    global_max = missing(U.MaxGlobalstrahlung(doy, height, zenith, linke),
                         doy, height, zenith, linke)
    cloud = w["cloud"]
    direct = U.DirStrMBew(direct_max, cloud) if w["direct"] is None else w["direct"] + 0 * zenith
    glob = (global_max * (1 - 0.75 * (cloud / 8) ** 3.4) if w["global"] is None
            else w["global"] + 0 * zenith)
    if w["diffuse"] is None:
        beam = direct * np.cos(np.radians(np.minimum(zenith, 90.0)))
        diffuse = np.where(zenith < 90, np.maximum(glob - beam, 0.0), 0.0)
        diffuse = np.where(np.isnan(zenith) | np.isnan(glob) | np.isnan(beam), np.nan, diffuse)
    else:
        diffuse = w["diffuse"] + 0 * zenith
    air = w["air_temp"]
    vapour = w["vapour_pressure"]
    if vapour is None:
        vapour = w["humidity"] / 100.0 * magnus(air)
    counter = U.AtmosGegenstr(air, vapour, cloud) if w["longwave_down"] is None \
        else w["longwave_down"] + 0 * zenith
    net = (1 - w["albedo"]) * glob + EPS_GROUND * counter - EPS_GROUND * SIGMA * (air + 273.15) ** 4
    surface = missing(U.OberflTemp(net, air, w["wind"], w["bowen"]), net, air, w["wind"],
                      w["bowen"])
    up = (EPS_GROUND * SIGMA * (surface + 273.15) ** 4 + (1 - EPS_GROUND) * counter
          if w["longwave_up"] is None else w["longwave_up"] + 0 * zenith)
    sun = np.minimum(zenith, 90.0)
    beam_for_person = direct * projection_scale(sun, projection_factor)
    mrt = U.MittlStrTemp(sun, VIEW_SKY * counter, VIEW_GROUND * up, 0.0,
                         VIEW_SKY * diffuse + VIEW_GROUND * w["albedo"] * glob, beam_for_person,
                         w["body_albedo"])
    values = (szeit, zenith, azimuth, linke, air_mass, direct_max, global_max, direct, glob,
              diffuse, counter, up, net, surface, mrt)
    result = dict(zip(NAMES, values))
    if utci:
        result["utci"] = universal_thermal_climate_index(air, mrt, w["wind"], w["humidity"])
    return result


#: The optional column: name, unit, meaning.
UTCI_COLUMN = ("utci", "degC", "Universal Thermal Climate Index (pythermalcomfort)")


def result_columns(utci: bool) -> tuple[tuple[str, str, str], ...]:
    """The columns of a result: :data:`COLUMNS`, and "utci" if asked for."""
    return COLUMNS + ((UTCI_COLUMN,) if utci else ())


def universal_thermal_climate_index(air_temp: Any, mrt: Any, wind: Any, humidity: Any) -> Any:
    """UTCI by pythermalcomfort, from the air temperature, the mean radiant
    temperature, the wind (taken as the wind at 10 m, which UTCI expects)
    and the relative humidity; NaN outside the range UTCI is defined for."""
    try:
        from pythermalcomfort.models import utci
    except ImportError:
        raise ImportError("the utci column needs pythermalcomfort: "
                          "pip install 'klimora[utci]'") from None
    shape = np.broadcast_shapes(*(np.shape(x) for x in (air_temp, mrt, wind, humidity)))
    args = [np.broadcast_to(np.asarray(x, dtype=float), shape).ravel()
            for x in (air_temp, mrt, wind, humidity)]
    value = utci(tdb=args[0], tr=args[1], v=args[2], rh=args[3], limit_inputs=True,
                 round_output=False).utci
    return np.asarray(value, dtype=float).reshape(shape)


def missing(result: Any, *inputs: Any) -> Any:
    """NaN wherever an input is NaN.  The functions that branch compare
    their inputs, and NaN compares false: LinkeTruebung of a missing
    humidity would give the saturated-air value, MaxGlobalstrahlung of a
    missing zenith angle the sun-down 0."""
    gone = np.zeros(np.shape(result), dtype=bool)
    for x in inputs:
        gone = gone | np.isnan(x)
    return np.where(gone, np.nan, result)


def projection_scale(zenith: Any, kind: str) -> Any:
    """1 for the system's projection factor of a standing person, which
    ``MittlStrTemp`` applies itself (0.308 cos(g (0.998 - sqrt(g)/50000)),
    g the solar elevation in degrees); for "vdi3789" the ratio of the
    published factor (g^2 in place of sqrt(g)) to it, so that the beam
    handed to ``MittlStrTemp`` comes out weighted by the published one."""
    if kind == "system":
        return 1.0
    g = 90.0 - zenith
    system = np.cos(np.radians(g * (0.998 - np.sqrt(g) / 50000)))
    published = np.cos(np.radians(g * (0.998 - g ** 2 / 50000)))
    return published / system


def chain(weather: Any = None, *, site: Optional[Site] = None, times: Any = None,
          projection_factor: str = "system", utci: bool = False) -> Any:
    """The chain over a weather series or field.

    ``weather`` is a pandas DataFrame (times in its DatetimeIndex or a
    column "time"), an xarray Dataset (a coordinate "time"), or a mapping
    of names to arrays (times in ``times``).  Its columns or variables are
    any of :data:`WEATHER`; the absent ones take their defaults.  The site
    may hold arrays (for a grid), and an xarray Dataset's "latitude",
    "longitude" and "height" variables or coordinates (or "lat", "lon")
    replace it.  The result is of the same kind: a DataFrame with the same
    index, a Dataset with the same coordinates, or a dict, with the
    :data:`COLUMNS` and their units (``attrs["units"]`` of a DataFrame,
    each variable's ``units`` in a Dataset).  ``projection_factor``
    "vdi3789" weights the beam on a person with the published factor of VDI
    3789-2 instead of the system's (:func:`projection_scale`); ``utci`` adds
    the column "utci" (needs pythermalcomfort)."""
    site = site or Site()
    if weather is None:
        weather = {}
    kind = type(weather).__module__.split(".")[0], type(weather).__name__
    if kind == ("pandas", "DataFrame"):
        return _chain_frame(weather, site, projection_factor, utci)
    if kind == ("xarray", "Dataset"):
        return _chain_dataset(weather, site, projection_factor, utci)
    if kind[0] in ("pandas", "xarray") or not isinstance(weather, Mapping):
        raise TypeError("weather must be a pandas DataFrame, an xarray Dataset or a mapping of "
                        f"names to arrays, not a {kind[1]}")
    if times is None:
        raise ValueError("times are needed: give them as times=...")
    fields = {name: np.asarray(value, dtype=float) for name, value in weather.items()}
    return _run(fields, times, site, site.latitude, site.longitude, site.height,
                projection_factor, utci)


def validate_weather(fields: Mapping[str, Any],
                     whole: Optional[Mapping[str, Any]] = None) -> None:
    """ValueError, one line, for an unknown name or a value the chain would
    not mean anything for; ``whole``, if given, holds the rest of the
    weather that the vapour pressure is held against."""
    unknown = sorted(set(fields) - set(WEATHER))
    if unknown:
        raise ValueError(f"unknown weather {unknown[0]!r}; known: {', '.join(WEATHER)}")
    for name, value in fields.items():
        unit, _, low, high, _ = WEATHER[name]
        check(name, value, low, high, unit)
    air = (whole or fields).get("air_temp", WEATHER["air_temp"][1])
    if "vapour_pressure" in fields and not (_is_lazy(fields["vapour_pressure"]) or _is_lazy(air)):
        check_saturation(fields["vapour_pressure"], air)


def check_saturation(vapour_pressure: Any, air_temp: Any) -> None:
    """ValueError, one line, for a vapour pressure above saturation (with 5 %
    to spare for the sensors) at the air temperature."""
    with np.errstate(invalid="ignore"):
        over = np.asarray(vapour_pressure > 1.05 * magnus(air_temp))
    if over.any():
        more = f" ({int(over.sum())} values)" if over.sum() > 1 else ""
        raise ValueError(f"vapour_pressure above saturation at the air temperature{more}")


def _run(fields: Mapping[str, Any], times: Any, site: Site, lat: Any, lon: Any, height: Any,
         projection_factor: str, utci: bool) -> dict[str, Any]:
    validate_weather(fields)
    utc_hour, doy, zone_hours = time_parts(times, site.zone)
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        return compute(utc_hour, doy, zone_hours, lat, lon, height, fields, projection_factor,
                       utci)


def _chain_frame(frame: Any, site: Site, projection_factor: str, utci: bool) -> Any:
    import pandas as pd

    twice = frame.columns[frame.columns.duplicated()]
    if len(twice):
        raise ValueError(f"column {twice[0]!r} appears twice")
    if "time" in frame.columns:
        if _holds_numbers(frame["time"]):
            raise ValueError("column 'time' holds numbers, not dates and times")
        try:
            times = pd.to_datetime(frame["time"], utc=None)
        except (ValueError, TypeError) as e:
            raise ValueError(f"column 'time': {' '.join(str(e).split())}") from None
        fields = frame.drop(columns="time")
    elif _holds_numbers(frame.index):
        raise ValueError("no times: the DataFrame needs a DatetimeIndex or a column 'time' "
                         f"(its index is a {type(frame.index).__name__} of numbers)")
    else:
        times, fields = frame.index, frame
    arrays = {name: fields[name].to_numpy(dtype=float) for name in fields.columns}
    result = _run(arrays, times, site, site.latitude, site.longitude, site.height,
                  projection_factor, utci)
    out = pd.DataFrame(result, index=frame.index)
    out.attrs["units"] = {**UNITS, **({"utci": UTCI_COLUMN[1]} if utci else {})}
    return out


def _chain_dataset(ds: Any, site: Site, projection_factor: str, utci: bool,
                   coordinates: Optional[Mapping[str, Any]] = None) -> Any:
    """chain on a Dataset; ``coordinates`` may give "latitude", "longitude"
    and "height" as DataArrays in place of the Dataset's own."""
    import xarray as xr

    columns = result_columns(utci)
    stacked = _chain_stacked(ds, site, projection_factor, utci, coordinates)
    out = xr.Dataset({name: stacked.isel(column=k) for k, (name, _, _) in enumerate(columns)})
    for name, unit, meaning in columns:
        out[name].attrs.update(units=unit, long_name=meaning)
    return out


def _chain_stacked(ds: Any, site: Site, projection_factor: str, utci: bool,
                   coordinates: Optional[Mapping[str, Any]] = None) -> Any:
    """The columns of chain on a Dataset as one DataArray, along a last
    dimension "column": one task a block under dask, however many columns."""
    import xarray as xr

    def pick(name: str, *names: str, default: Any) -> Any:
        if coordinates and name in coordinates:
            return coordinates[name]
        for n in (name, *names):
            if n in ds.variables:
                return ds[n]
        return default

    place = {"latitude": pick("latitude", "lat", default=site.latitude),
             "longitude": pick("longitude", "lon", default=site.longitude),
             "height": pick("height", default=site.height)}
    for name, value in place.items():
        unit, low, high = limits(name)
        check(name, value, low, high, unit)
    names = [name for name in WEATHER if name in ds.data_vars]
    fields = {name: ds[name] for name in names}
    lazy = [name for name in (*SITE, *names) if _is_lazy({**place, **fields}[name])]
    validate_weather({name: field.data for name, field in fields.items()})
    if "time" not in ds.variables:
        raise ValueError("no times: the Dataset needs a coordinate 'time' of dates and times")
    times = ds["time"]
    if _holds_numbers(times.values):
        raise ValueError("the Dataset's 'time' holds numbers, not dates and times (are its "
                         "units and calendar decoded?)")
    utc_hour, doy, zone_hours = time_parts(times.values, site.zone)
    hour = xr.DataArray(utc_hour, coords=times.coords, dims=times.dims)
    day = xr.DataArray(doy, coords=times.coords, dims=times.dims)
    zone = xr.DataArray(zone_hours, coords=times.coords, dims=times.dims)
    kernel = _Kernel(names, lazy, projection_factor, utci)
    return xr.apply_ufunc(kernel, hour, day, zone, *place.values(),
                          *(fields[name] for name in names),
                          output_core_dims=[["column"]], dask="parallelized",
                          output_dtypes=[float],
                          dask_gufunc_kwargs={"output_sizes":
                                              {"column": len(result_columns(utci))}})


@dataclass(frozen=True)
class _Kernel:
    """The chain on one block of a Dataset's arrays: hour, day, zone,
    latitude, longitude, height and the weather ``names``; a plain object,
    so that dask.distributed sends it to its workers by pickling."""

    names: list[str]
    lazy: list[str]   # the inputs (site or weather) checked here, as they are computed
    projection_factor: str
    utci: bool

    def __call__(self, *inputs: Any) -> Any:
        arrays = [np.asarray(a, dtype=float) for a in inputs]
        values = dict(zip((*SITE, *self.names), arrays[3:]))
        for name in self.lazy:
            unit, low, high = limits(name)
            check(name, values[name], low, high, unit)
        # The vapour pressure against saturation, whenever either side of
        # it was not there to be looked at before.
        if "vapour_pressure" in self.names and \
                ({"vapour_pressure", "air_temp"} & set(self.lazy)):
            check_saturation(values["vapour_pressure"],
                             values.get("air_temp", WEATHER["air_temp"][1]))
        return _blockwise(arrays, self.names, self.projection_factor, self.utci)


#: Elements the chain takes at a time on a Dataset: its forty-odd temporaries
#: of a block stay in the cache instead of streaming through memory.
BLOCK = 16384


def _blockwise(arrays: list[Any], names: list[str], projection_factor: str, utci: bool) -> Any:
    """compute on arrays that broadcast together, block by block of about
    :data:`BLOCK` elements in C order; an array that is constant along an
    axis (length 1) is not spread along it, so what depends on time alone
    is worked out once per time.  Each element is computed as on the whole.
    The columns come along a last axis, each contiguous in memory."""
    shape = np.broadcast_shapes(*(a.shape for a in arrays))
    arrays = [a.reshape((1,) * (len(shape) - a.ndim) + a.shape) for a in arrays]
    stacked = np.empty((len(result_columns(utci)), *shape))
    outputs = list(stacked)
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        for block in _blocks(shape, BLOCK):
            parts = [a[tuple(s if n > 1 else slice(None) for s, n in zip(block, a.shape))]
                     for a in arrays]
            hour, day, zone, lat, lon, height = parts[:6]
            result = compute(hour, day, zone, lat, lon, height, dict(zip(names, parts[6:])),
                             projection_factor, utci)
            for out, value in zip(outputs, result.values()):
                out[block] = value
    return np.moveaxis(stacked, 0, -1)


def _blocks(shape: tuple[int, ...], size: int) -> Any:
    """Index tuples of slices that cover ``shape`` in C order, each of at
    most ``size`` elements (at least one row of the last axis)."""
    if not shape:
        yield ()
        return
    inner = math.prod(shape[1:])
    if inner <= size:
        step = max(1, size // max(inner, 1))
        rest = (slice(None),) * (len(shape) - 1)
        for i in range(0, shape[0], step):
            yield (slice(i, i + step), *rest)
    else:
        for i in range(shape[0]):
            for rest_block in _blocks(shape[1:], size):
                yield (slice(i, i + 1), *rest_block)


def _is_lazy(value: Any) -> bool:
    data = getattr(value, "data", value)
    return type(data).__module__.split(".")[0] == "dask"
