"""How the chain works out what it is not given: its options
(:class:`Options`), their allowed values, the grounds of ``surface=`` and
the columns a result has for the indices asked for.  Checked here once, for
every surface that takes them (``chain()``, the day, the command line, the
grid)."""

from __future__ import annotations

from collections.abc import Collection
from dataclasses import dataclass
from typing import Any, Optional, Union

from klimora import quantities as Q
from klimora.indices import asked_indices

__all__ = ["DIFFUSE_MODELS", "MIN_WIND", "PROJECTION_FACTORS", "SURFACES", "TIME_LABELS",
           "TURBIDITIES", "Options", "check_interval", "result_columns", "surface_bowen"]

PROJECTION_FACTORS = ("system", "vdi3789")
TURBIDITIES = ("bounded", "model", "climatology")
DIFFUSE_MODELS = ("separation", "residual")
TIME_LABELS = ("instant", "start", "end")
#: Wind below which the ground's energy balance and UTCI take this wind
#: (m/s): in calm air the surface temperature of OberflTemp runs away (a
#: ground 45 K above the air at 0 m/s), while free convection still carries
#: heat off.  0.5 m/s is the usual floor of both.
MIN_WIND = 0.5


#: Typical Bowen ratios (sensible over latent heat flux) of surfaces around
#: midday in the warm season, for ``surface=``: Stull (1988), An
#: Introduction to Boundary Layer Meteorology, section 7.6, and Oke (1987),
#: Boundary Layer Climates, chapter 4.  Grass is the default: over the
#: grass of radiation stations the ratio of 1 that the chain took before
#: put the long-wave flux from the ground 52 W/m2 above the measured one in
#: June, 0.3 only 11.5 (docs/validation.md).
SURFACES = {
    "water": 0.1,      # sea and lakes
    "crops": 0.2,      # irrigated fields and orchards
    "grass": 0.3,      # well-watered grassland, lawns
    "forest": 0.5,     # temperate forest
    "dry_soil": 5.0,   # bare, dry soil and semi-arid land
    "asphalt": 10.0,   # paving and roofs that hold no water
}


def surface_bowen(surface: Optional[str], has_bowen: bool, surface_word: str = "the surface",
                  bowen_word: str = "the Bowen ratio") -> Optional[float]:
    """The Bowen ratio of the ground ``surface`` (:data:`SURFACES`), None
    without one; ValueError for an unknown surface, or for one given where
    the weather ``has_bowen`` already (the message names the two as
    ``surface_word`` and ``bowen_word``)."""
    if surface is None:
        return None
    if surface not in SURFACES:
        raise ValueError(f"unknown surface {surface!r}; known: {', '.join(SURFACES)}")
    if has_bowen:
        raise ValueError(f"give {surface_word} or {bowen_word}, not both")
    return SURFACES[surface]


@dataclass(frozen=True)
class Options:
    """How the chain works out what is not given.

    ``projection_factor``: "system" or "vdi3789" (:func:`klimora.model.projection_scale`).
    ``utci``: add the column "utci" (as ``indices=("utci",)`` does).
    ``turbidity``: "bounded" (LinkeTruebung
    from the day, latitude and humidity where it is at most 7, else its
    value for dry air: :func:`klimora.model.bounded_turbidity`), "model" (LinkeTruebung as
    it is) or "climatology" (the monthly Linke turbidity of the site,
    :mod:`klimora.climatology`); a ``linke`` input replaces any.
    ``diffuse_model``: "separation" (global minus beam, made physical by
    Engerer's separation: :func:`klimora.separation.separation`) or
    "residual" (global minus beam, at least 0).
    ``min_wind``: the lowest wind the ground's energy balance and UTCI take
    (None: the wind as given).  ``time_label``: "instant" (each time stamp
    a moment), "start" or "end" (each the start or end of an averaging
    interval of length ``interval``, a timedelta, its text or a number of
    seconds, by default the median step of the times; instants have none).
    ``indices``: the thermal indices to add as columns after the mean
    radiant temperature, any of "utci", "pet" and "wbgt"
    (:mod:`klimora.indices`), as names or one text of them separated by
    commas; kept as a tuple in the columns' order, with "utci" in it
    whenever ``utci`` is true (and ``utci`` true whenever it is)."""

    projection_factor: str = "system"
    utci: bool = False
    turbidity: str = "bounded"
    diffuse_model: str = "separation"
    min_wind: Optional[float] = MIN_WIND
    time_label: str = "instant"
    interval: Any = None
    indices: Any = ()

    def __post_init__(self) -> None:
        for name, allowed in (("projection_factor", PROJECTION_FACTORS),
                              ("turbidity", TURBIDITIES), ("diffuse_model", DIFFUSE_MODELS)):
            if getattr(self, name) not in allowed:
                raise ValueError(f"{name} must be one of {', '.join(allowed)}, "
                                 f"not {getattr(self, name)!r}")
        if self.min_wind is not None and not 0.0 <= self.min_wind <= 5.0:
            raise ValueError(f"min_wind must be between 0 and 5 m/s, not {self.min_wind:g}")
        if self.time_label not in TIME_LABELS:
            raise ValueError(f"time_label must be one of {', '.join(TIME_LABELS)}, not "
                             f"{self.time_label!r}")
        check_interval(self.time_label, self.interval)
        asked = asked_indices(self.indices, self.utci)
        object.__setattr__(self, "indices", asked)
        object.__setattr__(self, "utci", "utci" in asked)


def check_interval(time_label: str, interval: Any) -> None:
    """ValueError for an interval given with instants, which have none."""
    if interval is not None and time_label == "instant":
        raise ValueError("interval is the length of the intervals of time_label 'start' or "
                         "'end'; instants have none")


def result_columns(indices: Union[bool, Collection[str]]) -> tuple[tuple[str, str, str], ...]:
    """The columns of a result, in the registry's order
    (:data:`klimora.quantities.RESULTS`): those every result has, and the
    optional ones among ``indices`` (:attr:`Options.indices`; true: "utci"
    alone, as ``utci=True`` asks)."""
    asked: Collection[str] = ("utci",) if indices is True else () if indices is False \
        else indices
    return tuple((q.name, q.symbol, q.long_name) for q in Q.RESULTS.values()
                 if not q.optional or q.name in asked)
