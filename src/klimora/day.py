"""The radiation a person outdoors gets at one site over a day: the chain of
the functions of :mod:`klimora.Strahlkit`, as :mod:`klimora.chain` computes
it, at clock times of one day.

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

:func:`run` hands the clock times of a day to :func:`klimora.chain.chain`;
:func:`step` and :func:`day` are uses of it.  :func:`day_times` gives a
day's clock times as the instants they are in a zone with daylight saving
time (23 or 25 hours on the days of its changes), and :func:`run_at`
computes at such instants.  The site and the weather are the chain's
:class:`~klimora.chain.Site` and :class:`~klimora.chain.Weather`.
The assumptions are listed in
:data:`ASSUMPTIONS`, the command line prints them with ``--help`` and the
README repeats them.
"""

from __future__ import annotations

import datetime as dt
import math
from typing import Any, Optional, Sequence, Union

import numpy as np

from klimora.chain import (ASSUMPTIONS, COLUMNS, EPS_GROUND, NAMES, SIGMA, VIEW_GROUND,
                           VIEW_SKY, Options, Site, Weather, chain_with, equation_of_time,
                           magnus)

__all__ = ["AMBIGUOUS", "ASSUMPTIONS", "COLUMNS", "EPS_GROUND", "NAMES", "SIGMA", "VIEW_GROUND",
           "VIEW_SKY", "Site", "Weather", "clock_times", "day", "day_hours", "day_times",
           "equation_of_time", "run", "run_at", "step", "vapour_pressure"]

#: How a clock time that the change from daylight saving time repeats is
#: taken: as NaN, as its earlier (daylight saving) or later instant, or, in a
#: series of them, as the order of the series tells.
AMBIGUOUS = ("nan", "earliest", "latest", "infer")


def vapour_pressure(air_temp: float, humidity: float) -> float:
    """Water-vapour pressure in hPa from air temperature (deg C) and relative
    humidity (%), by the Magnus formula over water, as the chain works it out."""
    return float(humidity / 100.0 * magnus(air_temp))


def clock_times(step_minutes: float) -> list[float]:
    """Clock times in hours over one day, from midnight, every ``step_minutes``."""
    count = math.ceil(1440 / step_minutes - 1e-9)
    return [i * step_minutes / 60 for i in range(count)]


def _date(day: Union[int, dt.date]) -> dt.date:
    """A date as it is; a day of the year in 2024's calendar (a leap year, so
    that 366 is a day too)."""
    if isinstance(day, dt.date):
        return day
    return dt.date(2024, 1, 1) + dt.timedelta(days=int(day) - 1)


def run(site: Site, day: Union[int, dt.date], clocks: Sequence[float], weather: Weather,
        projection_factor: str = "system", utci: bool = False, **options: Any) -> Any:
    """The chain (:func:`klimora.chain.chain`) at the clock times ``clocks``
    (hours in the site's zone) of ``day``: a pandas DataFrame of the
    :data:`COLUMNS` (and "utci" if asked for), indexed by the local times.
    ``day`` is a date, or the day of the year (taken in 2024's calendar,
    which matters only for a zone name's daylight saving time and the
    climatology's month middles, those of a leap year).  Clock
    times that the zone skips or repeats (daylight saving) give NaN.
    ``options`` are the chain's others: turbidity, diffuse_model and
    min_wind (a surface is the weather's Bowen ratio here, and the
    weather always has one).  ValueError if a value is out of range."""
    return run_at(site, wall_clock(_date(day), clocks), weather,
                  Options(projection_factor, utci, **options))


def run_at(site: Site, times: Any, weather: Weather, options: Options = Options()) -> Any:
    """:func:`run` at ``times``, a pandas DatetimeIndex: clock times in the
    site's zone, or instants that carry their zone (NaT gives NaN), with
    the chain's ``options``."""
    import pandas as pd

    frame = pd.DataFrame({name: np.full(len(times), value, dtype=float)
                          for name, value in weather.given().items()}, index=times)
    return chain_with(frame, site=site, options=options)


def wall_clock(date: dt.date, clocks: Sequence[float]) -> Any:
    """The clock times ``clocks`` (hours) of ``date`` as a naive DatetimeIndex."""
    import pandas as pd

    return pd.Timestamp(date) + pd.to_timedelta(np.asarray(clocks, dtype=float), unit="h")


def day_hours(date: dt.date, zone: Union[float, str]) -> float:
    """The length of ``date`` in ``zone``, in hours: 24, or 23 and 25 (say)
    on the days of a zone name's changes to and from daylight saving time."""
    import pandas as pd

    if not isinstance(zone, str):
        return 24.0
    midnights = pd.DatetimeIndex([date, date + dt.timedelta(days=1)]).tz_localize(
        zone, ambiguous=np.ones(2, dtype=bool), nonexistent="shift_forward")
    return float((midnights[1] - midnights[0]) / pd.Timedelta(hours=1))


def day_times(date: dt.date, step_minutes: float, zone: Union[float, str],
              ambiguous: Optional[str] = None) -> tuple[Any, Any]:
    """The clock times of ``date`` every ``step_minutes`` from midnight in
    ``zone`` (hours east of UTC or a zone name), as (clock times, instants):
    a naive DatetimeIndex of the clock time of each row and the instants in
    the zone (a fixed offset for hours).

    Without ``ambiguous``, or with "infer", the rows are the real instants
    of the local day: a clock time that the change to daylight saving time
    skips has none, one that the change back repeats has two, one for each
    offset, in their order, so that the day has its 23 or 25 hours.  With
    "nan", "earliest" or "latest" each clock time is one row: a repeated
    one NaT, its earlier (daylight saving) or its later instant, a skipped
    one NaT."""
    import pandas as pd

    wall = wall_clock(date, clock_times(step_minutes))
    if not isinstance(zone, str):
        return wall, wall.tz_localize(dt.timezone(dt.timedelta(hours=zone)))
    if ambiguous == "nan":
        return wall, wall.tz_localize(zone, ambiguous="NaT", nonexistent="NaT")
    earliest, latest = (wall.tz_localize(zone, ambiguous=np.full(len(wall), first),
                                         nonexistent="NaT") for first in (True, False))
    if ambiguous in ("earliest", "latest"):
        return wall, earliest if ambiguous == "earliest" else latest
    both = pd.Series(np.concatenate([wall, wall]), index=earliest.append(latest))
    both = both[both.index.notna()]
    both = both[~both.index.duplicated()].sort_index()
    return pd.DatetimeIndex(both.to_numpy()), both.index


def step(site: Site, day: Union[int, dt.date], clock: float, weather: Weather,
         **options: Any) -> dict[str, float]:
    """One time step of the chain: a dict of the :data:`COLUMNS`.  ``day``
    is the day of the year (or a date), ``clock`` the clock time in hours
    in the site's zone; ``options`` as for :func:`run`."""
    row = run(site, day, [clock], weather, **options).iloc[0]
    return {name: float(row[name]) for name in NAMES}


def day(site: Site, day_of_year: Union[int, dt.date], weather: Weather,
        step_minutes: float = 60) -> list[tuple[float, dict[str, float]]]:
    """The chain over one day: (clock time in h, :func:`step` result) pairs."""
    clocks = clock_times(step_minutes)
    values = run(site, day_of_year, clocks, weather)[list(NAMES)].to_numpy(dtype=float)
    return [(clock, dict(zip(NAMES, map(float, row)))) for clock, row in zip(clocks, values)]
