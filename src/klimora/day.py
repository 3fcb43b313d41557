"""The radiation a person outdoors gets at one site and time: the chain of the
functions of :mod:`klimora.Strahlkit`, and the assumptions it needs beyond them.

Per time step:

1. solar time from the clock time, the zone and the longitude;
2. zenith and azimuth of the sun (``Zenitwinkel``, ``Azimutwinkel``);
3. Linke turbidity (``LinkeTruebung``) and relative optical air mass
   (``RelOptLuftmasse``);
4. clear-sky direct and global irradiance (``MaxDirekteStrahlung``,
   ``MaxGlobalstrahlung``) and the direct beam reduced for cloud
   (``DirStrMBew``);
5. counter-radiation of the sky (``AtmosGegenstr``);
6. surface temperature of the ground (``OberflTemp``);
7. mean radiant temperature of a person (``MittlStrTemp``).

The steps are those of :mod:`klimora.chain`, here for one time step of
floats; the assumptions are listed in :data:`ASSUMPTIONS`, the command line
prints them with ``--help`` and the README repeats them.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional

import numpy as np

from klimora.chain import (ASSUMPTIONS, COLUMNS, EPS_GROUND, NAMES, SIGMA, VIEW_GROUND,
                           VIEW_SKY, compute, equation_of_time)

__all__ = ["ASSUMPTIONS", "COLUMNS", "EPS_GROUND", "NAMES", "SIGMA", "VIEW_GROUND", "VIEW_SKY",
           "Site", "Weather", "clock_times", "day", "equation_of_time", "step",
           "vapour_pressure"]


@dataclass(frozen=True)
class Site:
    """A place: latitude (deg N), longitude (deg E), zone (h east of UTC),
    height above sea level (m)."""

    latitude: float = 48.14
    longitude: float = 11.58
    zone: float = 1.0
    height: float = 520.0


@dataclass(frozen=True)
class Weather:
    """The weather of one time step.

    ``vapour_pressure``, ``longwave_down``, ``longwave_up`` and ``diffuse``
    are worked out by the chain when they are None.
    """

    air_temp: float = 20.0  # deg C
    humidity: float = 60.0  # %
    vapour_pressure: Optional[float] = None  # hPa
    cloud: float = 2.0  # oktas
    wind: float = 2.0  # m/s
    albedo: float = 0.2  # of the ground
    bowen: float = 1.0
    body_albedo: float = 0.3  # short-wave albedo of the person
    longwave_down: Optional[float] = None  # W/m2, from the upper hemisphere
    longwave_up: Optional[float] = None  # W/m2, from the ground
    diffuse: Optional[float] = None  # W/m2, diffuse irradiance on the ground


def vapour_pressure(air_temp: float, humidity: float) -> float:
    """Water-vapour pressure in hPa from air temperature (deg C) and relative
    humidity (%), by the Magnus formula over water."""
    return humidity / 100.0 * 6.112 * math.exp(17.62 * air_temp / (243.12 + air_temp))


def step(site: Site, day: int, clock: float, weather: Weather) -> dict[str, float]:
    """One time step of the chain (:func:`klimora.chain.compute`): a dict of
    the :data:`COLUMNS`.  ``day`` is the day of the year, ``clock`` the
    clock time in hours in the site's zone."""
    fields = {name: value for name, value in vars(weather).items() if value is not None}
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        result = compute(np.float64(clock - site.zone), np.float64(day), np.float64(site.zone),
                         site.latitude, site.longitude, site.height, fields)
    return {name: float(value) for name, value in result.items()}


def clock_times(step_minutes: float) -> list[float]:
    """Clock times in hours over one day, from midnight, every ``step_minutes``."""
    count = math.ceil(1440 / step_minutes - 1e-9)
    return [i * step_minutes / 60 for i in range(count)]


def day(site: Site, day_of_year: int, weather: Weather,
        step_minutes: float = 60) -> list[tuple[float, dict[str, float]]]:
    """The chain over one day: (clock time in h, :func:`step` result) pairs."""
    return [(clock, step(site, day_of_year, clock, weather)) for clock in clock_times(step_minutes)]
