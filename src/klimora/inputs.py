"""What the chain takes, and its checks where the inputs enter: the site,
the weather of one time step, and the check of weather fields against the
registry (:mod:`klimora.quantities`) and of the vapour pressure against
saturation."""

from __future__ import annotations

import os
import sys
import warnings
from dataclasses import dataclass
from typing import Any, Mapping, Optional, Union

import numpy as np

from klimora import quantities as Q
from klimora.model import TURBIDITY_BEYOND_CLIMATOLOGY, magnus

__all__ = ["ChainWarning", "Site", "Weather", "validate_weather", "check_saturation", "warn"]

#: The package's folder: a ChainWarning points at the first line outside it.
PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep


class ChainWarning(UserWarning):
    """What the chain took that the user did not give, or changed of what
    they gave, or doubts: one line each.

    Parameters
    ----------
    kind : {"height", "sea level", "zone", "humidity", "turbidity", "percent", "oktas", \
"land", "utci", "pet", "wbgt"}
        What it is about: no height (a site at sea level), no
        surface_altitude (a grid at sea level), times without a zone (taken
        as UTC), humidity above 100 % (taken as 100 %), a turbidity from
        the humidity beyond any climatology, values that look like
        fractions given for percent (humidity of 1 % or less) or for oktas
        (cloud between 0 and 1, not whole), accumulations on ERA5-Land's
        grid taken as ERA5-Land's with no attribute that says so, or a
        thermal index left NaN where the weather lies outside its model.
    count : int, default 0
        How many values it concerns (0 for a whole run), so that a reader
        of many chunks can sum them and say it once (:meth:`about`).

    Both are kept as the attributes ``kind`` and ``count``.
    """

    # kind -> the line, with {count} and {s} (plural s) for counted kinds.
    LINES = {
        "height": "no height given: the site is taken at sea level (0 m)",
        "sea level": "no surface_altitude: the grid is taken at sea level (0 m)",
        "zone": "times without a zone are taken as UTC: give the site's zone",
        "humidity": "{count} humidity value{s} above 100 % taken as 100 %",
        "turbidity": "{count} step{s} with a Linke turbidity above "
                     f"{TURBIDITY_BEYOND_CLIMATOLOGY:g} from the humidity "
                     "(85 % and more), beyond any climatology: give the turbidity ({linke}) "
                     "or take {turbidity}",
        "percent": "{count} humidity value{s} of 1 % or less: humidity is in percent (0 to "
                   "100), not a fraction",
        "oktas": "{count} cloud value{s} between 0 and 1, not whole: cloud is in oktas (0 to "
                 "8), not a fraction",
        "land": "{count} accumulated field{s} on ERA5-Land's 0.1° grid taken as accumulated "
                "from 00 UTC, as ERA5-Land's are: for ERA5 regridded to 0.1°, set the file's "
                "global attribute source to ERA5",
        "utci": "{count} UTCI value{s} outside the model's range (air -50 to 50 °C, "
                "MRT - air -30 to 70 K, wind 0.5 to 17 m/s) left NaN",
        "pet": "{count} PET value{s} left NaN: the body's heat balance has no steady state "
               "there",
        "wbgt": "{count} WBGT value{s} left NaN: the globe's or the wet wick's heat balance "
                "does not solve there",
    }
    # How the lines name what the user may give, in Python; the command line
    # names its options instead.
    WORDS = {"linke": "linke",
             "turbidity": "turbidity='bounded' (the default) or 'climatology'"}

    def __init__(self, kind: str, count: int = 0) -> None:
        super().__init__(self.about(kind, count))
        self.kind, self.count = kind, count

    @classmethod
    def about(cls, kind: str, count: int = 0, words: Optional[Mapping[str, str]] = None) -> str:
        """The line for ``count`` values of ``kind``, naming what may be
        given by ``words`` (``WORDS`` by default)."""
        return cls.LINES[kind].format(count=count, s="" if count == 1 else "s",
                                      **(words or cls.WORDS))


def warn(kind: str, count: int = 0) -> None:
    """Warns ``ChainWarning(kind, count)`` at the line that called into
    klimora: the frames of the package, however many, are walked out of, so
    that the warning names the user's file and line."""
    frame = sys._getframe(1)
    level = 2
    while frame.f_back is not None and frame.f_code.co_filename.startswith(PACKAGE):
        frame, level = frame.f_back, level + 1
    warnings.warn(ChainWarning(kind, count), stacklevel=level)


@dataclass(frozen=True)
class Site:
    """A place, and the zone of times that carry none.

    Parameters
    ----------
    latitude : float or array_like
        Latitude, north positive. [deg]
    longitude : float or array_like
        Longitude, east positive. [deg]
    height : float or array_like, optional
        Height above sea level. [m]  Without it the chain takes sea level
        and says so (:class:`ChainWarning`).
    zone : float or str, optional
        The zone of times that carry none: hours east of UTC, or a zone
        name such as "Europe/Berlin" (with its daylight saving time).
        Without it such times are UTC, and the chain says so, except for a
        Dataset's times, which CF keeps in UTC.

    Raises
    ------
    ValueError
        One line, without a latitude or a longitude, or for a zone name the
        tz database does not know.
    klimora.quantities.OutOfRange
        For a value outside its range (:data:`klimora.quantities.SITE`), a
        zone of NaN hours among them.

    Examples
    --------
    >>> from klimora.chain import Site
    >>> Site(latitude=48.14, longitude=11.58, height=520, zone=1)
    Site(latitude=48.14, longitude=11.58, height=520, zone=1)
    >>> Site(latitude=95.0, longitude=0.0)
    Traceback (most recent call last):
    ...
    klimora.quantities.OutOfRange: latitude must be between -90 and 90 deg, not 95
    """

    latitude: Any
    longitude: Any
    height: Any = None
    zone: Union[float, str, None] = None

    def __post_init__(self) -> None:
        for name in ("latitude", "longitude"):
            if getattr(self, name) is None:
                raise ValueError(f"the site's {name} must be given")
        for name in ("latitude", "longitude", "height"):
            if getattr(self, name) is not None:
                Q.check(name, getattr(self, name))
        if isinstance(self.zone, str):
            known_zone(self.zone)
        elif self.zone is not None:
            Q.check("zone", self.zone, missing=False)

    def height_or_sea_level(self) -> Any:
        """The height, or 0 m with a ChainWarning if none was given."""
        if self.height is None:
            warn("height")
            return 0.0
        return self.height


class Weather:
    """The weather of one time step (or of a whole day, constant over it):
    any of the registry's weather quantities by name, as keywords.  The
    absent ones take their defaults; those without one (None) the chain
    works out, unless measured.  Read them as attributes.  ValueError if a
    value is out of range."""

    __slots__ = ("_values",)
    _values: dict[str, Optional[float]]

    def __init__(self, **values: Optional[float]) -> None:
        unknown = set(values) - set(Q.WEATHER)
        if unknown:
            raise TypeError(f"Weather() got an unexpected keyword argument {sorted(unknown)[0]!r}")
        validate_weather({name: value for name, value in values.items() if value is not None},
                         tell=False)
        object.__setattr__(self, "_values", {name: values.get(name, q.default)
                                             for name, q in Q.WEATHER.items()})

    def __getattr__(self, name: str) -> Optional[float]:
        try:
            return self._values[name]
        except KeyError:
            raise AttributeError(f"'Weather' object has no attribute {name!r}") from None

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("Weather is immutable")

    def given(self) -> dict[str, float]:
        """The values that are not None, by name."""
        return {name: value for name, value in self._values.items() if value is not None}

    def asdict(self) -> dict[str, Optional[float]]:
        """Every weather quantity, in the registry's order."""
        return dict(self._values)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Weather) and self._values == other._values

    def __hash__(self) -> int:
        return hash(tuple(self._values.items()))

    def __repr__(self) -> str:
        return "Weather(" + ", ".join(f"{k}={v!r}" for k, v in self._values.items()) + ")"


def known_zone(name: str) -> None:
    """ValueError, one line, unless ``name`` is a time zone of the tz
    database, such as Europe/Berlin."""
    import zoneinfo

    try:
        zoneinfo.ZoneInfo(name)
    except (zoneinfo.ZoneInfoNotFoundError, ValueError, OSError):   # OSError: a folder
        raise ValueError(f"the site's zone must be hours east of UTC or a time zone name such "
                         f"as Europe/Berlin, not {name!r}") from None


def validate_weather(fields: Mapping[str, Any], whole: Optional[Mapping[str, Any]] = None,
                     tell: bool = True) -> None:
    """ValueError, one line, for an unknown name; OutOfRange for a value the
    chain would not mean anything for, with where it is: of all the values
    refused, the one in the earliest row (the first field's, of several in
    that row).  A humidity or cloud cover that is a fraction given for
    percent or oktas is refused too (:func:`klimora.quantities.check_fraction`),
    and a few values that look so are, with ``tell``, warned of.  ``whole``,
    if given, holds the rest of the weather that the vapour pressure is held
    against."""
    unknown = sorted(set(fields) - set(Q.WEATHER))
    if unknown:
        raise ValueError(f"unknown weather {unknown[0]!r}; known: {', '.join(Q.WEATHER)}")
    refused: list[Q.OutOfRange] = []
    few: dict[str, int] = {}
    for name, value in fields.items():
        try:
            Q.check(name, value)
            few[name] = Q.check_fraction(name, value)
        except Q.OutOfRange as e:
            refused.append(e)
    air = (whole or fields).get("air_temp", Q.WEATHER["air_temp"].default)
    if "vapour_pressure" in fields and not (Q.is_lazy(fields["vapour_pressure"])
                                            or Q.is_lazy(air)):
        try:
            check_saturation(fields["vapour_pressure"], air)
        except Q.OutOfRange as e:
            refused.append(e)
    if refused:
        raise min(refused, key=lambda e: e.position)
    for name, kind in (("humidity", "percent"), ("cloud", "oktas")):
        if tell and few.get(name):
            warn(kind, few[name])


def check_saturation(vapour_pressure: Any, air_temp: Any) -> None:
    """OutOfRange, one line, for a vapour pressure above saturation (with 5 %
    to spare for the sensors) at the air temperature."""
    with np.errstate(invalid="ignore"):
        over = np.asarray(vapour_pressure > 1.05 * magnus(air_temp))
    if over.any():
        raise Q.refuse("vapour_pressure",
                       "vapour_pressure above saturation at the air temperature", over)
