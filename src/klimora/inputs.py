"""What the chain takes, and its checks where the inputs enter: the site,
the weather of one time step, and the check of weather fields against the
registry (:mod:`klimora.quantities`) and of the vapour pressure against
saturation."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Mapping, Optional, Union

import numpy as np

from klimora import quantities as Q
from klimora.model import magnus

__all__ = ["Site", "Weather", "validate_weather", "check_saturation"]

_SITE = {name: q.default for name, q in Q.SITE.items()}


@dataclass(frozen=True)
class Site:
    """A place: latitude (deg N), longitude (deg E), height above sea level
    (m), each a number or an array; ``zone``, the zone of times that carry
    none: hours east of UTC or a zone name such as "Europe/Berlin" (with
    its daylight saving time), None for UTC."""

    latitude: Any = _SITE["latitude"]
    longitude: Any = _SITE["longitude"]
    height: Any = _SITE["height"]
    zone: Union[float, str, None] = _SITE["zone"]

    def __post_init__(self) -> None:
        for name in ("latitude", "longitude", "height"):
            Q.check(name, getattr(self, name))
        if self.zone is not None and not isinstance(self.zone, str):
            Q.check("zone", self.zone)


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
        validate_weather({name: value for name, value in values.items() if value is not None})
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


def validate_weather(fields: Mapping[str, Any],
                     whole: Optional[Mapping[str, Any]] = None) -> None:
    """ValueError, one line, for an unknown name; OutOfRange for a value the
    chain would not mean anything for, with where it is: of all the values
    refused, the one in the earliest row (the first field's, of several in
    that row).  ``whole``, if given, holds the rest of the weather that the
    vapour pressure is held against."""
    unknown = sorted(set(fields) - set(Q.WEATHER))
    if unknown:
        raise ValueError(f"unknown weather {unknown[0]!r}; known: {', '.join(Q.WEATHER)}")
    refused: list[Q.OutOfRange] = []
    for name, value in fields.items():
        try:
            Q.check(name, value)
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


def check_saturation(vapour_pressure: Any, air_temp: Any) -> None:
    """OutOfRange, one line, for a vapour pressure above saturation (with 5 %
    to spare for the sensors) at the air temperature."""
    with np.errstate(invalid="ignore"):
        over = np.asarray(vapour_pressure > 1.05 * magnus(air_temp))
    if over.any():
        raise Q.refuse("vapour_pressure",
                       "vapour_pressure above saturation at the air temperature", over)
