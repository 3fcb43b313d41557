"""The chain's model on arrays: from the UTC hour, the day of the year,
the zone, the site and the weather to the radiation and the mean radiant
temperature of a person, on the ufuncs of :mod:`klimora.ufuncs`.  Arrays in,
columns out: no checks, no times, no pandas or xarray (those are
:mod:`klimora.chain`'s, :mod:`klimora.times`' and
:mod:`klimora.datasets`').

Per element:

1. solar time from the time in UTC, the longitude and the equation of time
   (``Sonnenzeit`` folds it into one day);
2. zenith and azimuth of the sun (``Zenitwinkel``, ``Azimutwinkel``);
3. Linke turbidity (``LinkeTruebung``, by default bounded:
   :func:`bounded_turbidity`) and relative optical air mass
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

import math
from typing import Any, Mapping

import numpy as np

from klimora import quantities as Q
from klimora import ufuncs as U
from klimora.indices import standard_pressure, thermal_indices
# The options are klimora.options'; they are this module's names too.
from klimora.options import (DIFFUSE_MODELS, MIN_WIND, PROJECTION_FACTORS, SURFACES,
                             TIME_LABELS, TURBIDITIES, Options, check_interval, result_columns,
                             surface_bowen)
from klimora.separation import separation
from klimora.sunlit import INTERVAL_COS_ZENITH, over_the_interval

__all__ = ["ASSUMPTIONS", "BLOCK", "COLUMNS", "DIFFUSE_MODELS", "DRY_AIR_HUMIDITY", "EPS_GROUND",
           "MIN_WIND", "NAMES", "PROJECTION_FACTORS", "SIGMA", "SURFACES", "TIME_LABELS",
           "TURBIDITIES", "TURBIDITY_BEYOND_CLIMATOLOGY", "UNITS", "UTCI_COLUMN", "VIEW_GROUND",
           "VIEW_SKY", "Options", "blocks", "blockwise", "bounded_turbidity", "check_interval",
           "compute", "compute_blocks", "equation_of_time", "magnus", "missing",
           "projection_scale", "result_columns", "surface_bowen"]

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
    "a measured global that is an interval's mean (time_label start or end) follows cos z "
    "across the interval under a steady clearness: G(t) = G cos z(t) / mean of cos z",
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

#: The result columns: (name, unit, meaning), from the registry.
COLUMNS = tuple((q.name, q.symbol, q.long_name) for q in Q.COLUMNS.values())
NAMES = tuple(Q.COLUMNS)
UNITS = {q.name: q.symbol for q in Q.COLUMNS.values()}
#: The optional column: (name, unit, meaning).
UTCI_COLUMN = (Q.UTCI.name, Q.UTCI.symbol, Q.UTCI.long_name)
#: The Linke turbidity above which the humidity branch of LinkeTruebung
#: lies beyond any climatology (monthly values stay below about 7).
TURBIDITY_BEYOND_CLIMATOLOGY = 7.0
#: A relative humidity below LinkeTruebung's humidity branch (which starts
#: at 85 %): the model's turbidity of dry air, from the day and hemisphere.
DRY_AIR_HUMIDITY = 0.0


def magnus(air_temp: Any) -> Any:
    """Saturation vapour pressure over water in hPa (Magnus)."""
    return 6.112 * np.exp(17.62 * air_temp / (243.12 + air_temp))


#: Apparent minus mean solar time in hours: the module's own formula, the
#: one its solar time (``Sonnenzeit``) applies, as a ufunc.
equation_of_time = U.equation_of_time


def compute(utc_hour: Any, dayofyear: Any, zone_hours: Any, latitude: Any, longitude: Any,
            height: Any, weather: Mapping[str, Any], options: Options = Options(),
            leap: Any = None) -> dict[str, Any]:
    """The chain on arrays that broadcast together: the :data:`COLUMNS` as
    a dict, and "utci" after them if asked for.  ``weather`` holds any of
    the registry's weather; the others take their defaults, and the
    measured ones replace what the chain would work out; a given global
    that is an interval's mean comes with :data:`INTERVAL_COS_ZENITH`
    (:func:`over_the_interval`).  Humidity above 100 % (up to 105, what
    sensors report in fog) is taken as 100.  ``leap``: whether each day
    lies in a leap year (None: none does), for the climatology's month
    middles (:func:`klimora.times.leap_years`)."""
    w = {name: weather.get(name, q.default) for name, q in Q.WEATHER.items()}
    lat, lon, doy = latitude, longitude, dayofyear
    humidity = np.minimum(w["humidity"], 100.0)
    # U.solar_time(utc_hour, 0.0, lon, doy) is this shift folded by np.mod alone:
    # Sonnenzeit's round trip moves the last bits of many values, and is kept.
    shifted = utc_hour + lon / 15 + equation_of_time(doy)
    szeit = np.mod(U.Sonnenzeit(shifted, zone_hours, lon, doy), 24.0)
    szeit = np.where(szeit >= 24.0, 0.0, szeit)   # a hair below 0 folds to 24
    zenith = U.Zenitwinkel(szeit, lat, doy)
    azimuth = missing(U.Azimutwinkel(szeit, lat, doy), szeit, lat, doy)
    if w["linke"] is not None:
        linke = w["linke"] + 0 * zenith
    elif options.turbidity == "climatology":
        from klimora.climatology import linke_turbidity

        linke = linke_turbidity(lat, lon, doy, False if leap is None else leap) + 0 * zenith
    elif options.turbidity == "bounded":
        linke = missing(bounded_turbidity(doy, lat, humidity), doy, lat, humidity)
    else:
        linke = missing(U.LinkeTruebung(doy, lat, humidity), doy, lat, humidity)
    air_mass = U.RelOptLuftmasse(zenith)
    direct_max = missing(U.MaxDirekteStrahlung(doy, height, zenith, linke, air_mass),
                         doy, height, zenith, linke, air_mass)
    global_max = missing(U.MaxGlobalstrahlung(doy, height, zenith, linke),
                         doy, height, zenith, linke)
    cloud = w["cloud"]
    direct = U.DirStrMBew(direct_max, cloud) if w["direct"] is None else w["direct"] + 0 * zenith
    glob = (global_max * (1 - 0.75 * (cloud / 8) ** 3.4) if w["global"] is None
            else w["global"] + 0 * zenith)
    sun = np.minimum(zenith, 90.0)
    if w["global"] is not None and weather.get(INTERVAL_COS_ZENITH) is not None:
        glob = over_the_interval(glob, sun, weather[INTERVAL_COS_ZENITH])
    if w["diffuse"] is None:
        cos_zenith = np.cos(np.radians(sun))
        beam = direct * cos_zenith
        diffuse = np.where(zenith < 90, np.maximum(glob - beam, 0.0), 0.0)
        diffuse = np.where(np.isnan(zenith) | np.isnan(glob) | np.isnan(beam), np.nan, diffuse)
        if options.diffuse_model == "separation" and w["direct"] is None:
            diffuse, direct = separation(diffuse, direct, glob, direct_max, global_max,
                                         zenith, sun, cos_zenith, szeit, doy)
    else:
        diffuse = w["diffuse"] + 0 * zenith
    air = w["air_temp"]
    vapour = w["vapour_pressure"]
    if vapour is None:
        vapour = humidity / 100.0 * magnus(air)
    counter = U.AtmosGegenstr(air, vapour, cloud) if w["longwave_down"] is None \
        else w["longwave_down"] + 0 * zenith
    wind = w["wind"] if options.min_wind is None else np.maximum(w["wind"], options.min_wind)
    net = (1 - w["albedo"]) * glob + EPS_GROUND * counter - EPS_GROUND * SIGMA * (air + 273.15) ** 4
    surface = missing(U.OberflTemp(net, air, wind, w["bowen"]), net, air, wind, w["bowen"])
    up = (EPS_GROUND * SIGMA * (surface + 273.15) ** 4 + (1 - EPS_GROUND) * counter
          if w["longwave_up"] is None else w["longwave_up"] + 0 * zenith)
    beam_for_person = direct * projection_scale(sun, options.projection_factor)
    mrt = U.MittlStrTemp(sun, VIEW_SKY * counter, VIEW_GROUND * up, 0.0,
                         VIEW_SKY * diffuse + VIEW_GROUND * w["albedo"] * glob, beam_for_person,
                         w["body_albedo"])
    values = {"solar_time": szeit, "zenith": zenith, "azimuth": azimuth, "linke": linke,
              "air_mass": air_mass, "direct_max": direct_max, "global_max": global_max,
              "direct": direct, "global": glob, "diffuse": diffuse, "counter": counter,
              "longwave_up": up, "net_rad": net, "surface_temp": surface, "mrt": mrt}
    if options.indices:
        # The indices' humidity goes with the vapour pressure where that was given.
        rh = humidity if w["vapour_pressure"] is None else \
            np.minimum(100.0 * vapour / magnus(air), 100.0)
        pressure = standard_pressure(height) if w["pressure"] is None else w["pressure"]
        values.update(thermal_indices(options.indices, air=air, humidity=rh, vapour=vapour,
                                      wind=wind, pressure=pressure, mrt=mrt, glob=glob,
                                      diffuse=diffuse, zenith=zenith))
    return {name: values[name] for name, _, _ in result_columns(options.indices)}


def bounded_turbidity(dayofyear: Any, latitude: Any, humidity: Any) -> Any:
    """LinkeTruebung of the day, latitude and humidity where it is at most
    :data:`TURBIDITY_BEYOND_CLIMATOLOGY`, and LinkeTruebung of dry air
    (the day and hemisphere alone) where its humidity branch goes beyond.

    The humidity branch reads the air's humidity as a visibility, 39 km
    divided by it added to 0.84; above 7 that is less than 6.3 km, haze
    thicker than any monthly climatology holds and mist towards fog.  A
    sky given as clear (or as a cloud cover) has no such mist in it: the
    humidity measured near the ground on a clear dawn says nothing of the
    column, and on the clear steps of the validation stations the
    turbidity of the measured beam does not rise with it
    (docs/validation.md).  There the model's own clear-air value is
    taken; everywhere else the values are LinkeTruebung's, bit for bit."""
    linke = U.LinkeTruebung(dayofyear, latitude, humidity)
    with np.errstate(invalid="ignore"):
        beyond = np.asarray(linke > TURBIDITY_BEYOND_CLIMATOLOGY)
    if beyond.any():
        linke = np.where(beyond, U.LinkeTruebung(dayofyear, latitude, DRY_AIR_HUMIDITY), linke)
    return linke


def missing(result: Any, *inputs: Any) -> Any:
    """NaN wherever an input is NaN.  The functions that branch compare
    their inputs, and NaN compares false: LinkeTruebung of a missing
    humidity would give the saturated-air value, MaxGlobalstrahlung of a
    missing zenith angle the sun-down 0."""
    gone = np.zeros(np.shape(result), dtype=bool)
    for x in inputs:
        gone |= np.isnan(x)
    return np.where(gone, np.nan, result) if gone.any() else np.asarray(result)


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


#: Elements the chain takes at a time: its forty-odd temporaries of a block
#: (10 MB) stay in the last-level cache instead of streaming through memory,
#: and its two hundred-odd NumPy calls a block cost under 10 ns a step.
BLOCK = 32768


def blockwise(arrays: list[Any], names: list[str], options: Options, leap: Any = None) -> Any:
    """compute on arrays that broadcast together, block by block of about
    :data:`BLOCK` elements in C order; an array that is constant along an
    axis (length 1) is not spread along it, so what depends on time alone
    is worked out once per time.  Each element is computed as on the whole.
    The columns come along a last axis, each contiguous in memory.
    ``leap`` (None, or an array that broadcasts with them) as for compute."""
    given = len(arrays)
    if leap is not None:
        arrays = [*arrays, np.asarray(leap)]
    shape = np.broadcast_shapes(*(a.shape for a in arrays))
    # One step is worked out as a row of one: on 0-d arrays NumPy takes its
    # scalar paths, whose power (libm's) may differ in the last bit from
    # the vector loop it runs on a row, and the step must equal that step
    # of a series.
    single = shape == ()
    if single:
        shape = (1,)
    arrays = [a.reshape((1,) * (len(shape) - a.ndim) + a.shape) for a in arrays]
    columns = [name for name, _, _ in result_columns(options.indices)]
    stacked = np.empty((len(columns), *shape))
    outputs = {name: stacked[i, ...] for i, name in enumerate(columns)}   # 0-d views too
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        for block in blocks(shape, BLOCK):
            parts = [a[tuple(s if n > 1 else slice(None) for s, n in zip(block, a.shape))]
                     for a in arrays]
            hour, day, zone, lat, lon, height = parts[:6]
            result = compute(hour, day, zone, lat, lon, height,
                             dict(zip(names, parts[6:given])), options,
                             leap=parts[given] if leap is not None else None)
            for name, out in outputs.items():
                out[block] = result[name]
    columns_last = np.moveaxis(stacked, 0, -1)
    return columns_last[0] if single else columns_last


def compute_blocks(utc_hour: Any, dayofyear: Any, zone_hours: Any, latitude: Any,
                   longitude: Any, height: Any, weather: Mapping[str, Any],
                   options: Options = Options(), leap: Any = None) -> dict[str, Any]:
    """:func:`compute` block by block (:func:`blockwise`): the same values,
    each column a row of one C-ordered array of the columns."""
    names = [name for name, value in weather.items() if value is not None]
    arrays = [np.asarray(a, dtype=float) for a in
              (utc_hour, dayofyear, zone_hours, latitude, longitude, height,
               *(weather[name] for name in names))]
    stacked = np.moveaxis(blockwise(arrays, names, options, leap), -1, 0)
    return {name: stacked[i] for i, (name, _, _) in enumerate(result_columns(options.indices))}


def blocks(shape: tuple[int, ...], size: int) -> Any:
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
            for rest_block in blocks(shape[1:], size):
                yield (slice(i, i + 1), *rest_block)
