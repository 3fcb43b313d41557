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

The assumptions are listed in :data:`ASSUMPTIONS`; the command line prints
them with ``--help`` and the README repeats them.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional

from klimora import Strahlkit as S

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
    "solar time = clock time - zone + longitude/15 h + equation of time; "
    "Sonnenzeit folds it into one day",
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


def vapour_pressure(air_temp: float, humidity: float) -> float:
    """Water-vapour pressure in hPa from air temperature (deg C) and relative
    humidity (%), by the Magnus formula over water."""
    return humidity / 100.0 * 6.112 * math.exp(17.62 * air_temp / (243.12 + air_temp))


def equation_of_time(day: int) -> float:
    """Apparent minus mean solar time in hours (the formula Sonnenzeit uses)."""
    b = 2 * math.pi * (day - 81) / 364
    return (9.87 * math.sin(2 * b) - 7.53 * math.cos(b) - 1.5 * math.sin(b)) / 60


def solar_time(clock: float, day: int, site: Site) -> float:
    """True solar time in hours for a clock time (h) in the site's zone.

    Sonnenzeit applies the longitude and equation-of-time corrections one way
    and then the other, so it gives back the time it is given, folded into one
    day; the shift from clock time to solar time is made here.
    """
    shifted = clock - site.zone + site.longitude / 15 + equation_of_time(day)
    return float(S.Sonnenzeit(shifted, site.zone, site.longitude, day))


def step(site: Site, day: int, clock: float, weather: Weather) -> dict[str, float]:
    """One time step of the chain: a dict of the :data:`COLUMNS`.

    ``day`` is the day of the year, ``clock`` the clock time in hours in the
    site's zone.
    """
    w = weather
    szeit = solar_time(clock, day, site)
    zenith = float(S.Zenitwinkel(szeit, site.latitude, day))
    azimuth = float(S.Azimutwinkel(szeit, site.latitude, day))
    linke = float(S.LinkeTruebung(day, site.latitude, w.humidity))
    air_mass = float(S.RelOptLuftmasse(zenith))
    direct_max = float(S.MaxDirekteStrahlung(day, site.height, zenith, linke, air_mass))
    global_max = float(S.MaxGlobalstrahlung(day, site.height, zenith, linke))
    direct = float(S.DirStrMBew(direct_max, w.cloud))
    glob = global_max * (1 - 0.75 * (w.cloud / 8) ** 3.4)
    if w.diffuse is not None:
        diffuse = w.diffuse
    elif zenith < 90:
        diffuse = max(glob - direct * math.cos(math.radians(zenith)), 0.0)
    else:
        diffuse = 0.0
    vapour = w.vapour_pressure
    if vapour is None:
        vapour = vapour_pressure(w.air_temp, w.humidity)
    counter = w.longwave_down
    if counter is None:
        counter = float(S.AtmosGegenstr(w.air_temp, vapour, w.cloud))
    net = ((1 - w.albedo) * glob + EPS_GROUND * counter
           - EPS_GROUND * SIGMA * (w.air_temp + 273.15) ** 4)
    surface = float(S.OberflTemp(net, w.air_temp, w.wind, w.bowen))
    up = w.longwave_up
    if up is None:
        up = EPS_GROUND * SIGMA * (surface + 273.15) ** 4 + (1 - EPS_GROUND) * counter
    mrt = float(S.MittlStrTemp(min(zenith, 90.0), VIEW_SKY * counter, VIEW_GROUND * up, 0.0,
                               VIEW_SKY * diffuse + VIEW_GROUND * w.albedo * glob, direct,
                               None, w.body_albedo, None))
    return {"solar_time": szeit, "zenith": zenith, "azimuth": azimuth, "linke": linke,
            "air_mass": air_mass, "direct_max": direct_max, "global_max": global_max,
            "direct": direct, "global": glob, "diffuse": diffuse, "counter": counter,
            "longwave_up": up, "net_rad": net, "surface_temp": surface, "mrt": mrt}


def clock_times(step_minutes: float) -> list[float]:
    """Clock times in hours over one day, from midnight, every ``step_minutes``."""
    count = math.ceil(1440 / step_minutes - 1e-9)
    return [i * step_minutes / 60 for i in range(count)]


def day(site: Site, day_of_year: int, weather: Weather,
        step_minutes: float = 60) -> list[tuple[float, dict[str, float]]]:
    """The chain over one day: (clock time in h, :func:`step` result) pairs."""
    return [(clock, step(site, day_of_year, clock, weather)) for clock in clock_times(step_minutes)]
