"""The thermal indices that follow the mean radiant temperature, as the chain
adds them to its columns: UTCI, PET and WBGT (:mod:`klimora.ufuncs`), from
the chain's own air, humidity, wind, radiation and mean radiant temperature,
and how many of each are NaN because the weather lies outside what the
index's model is defined for or its balance did not solve.

The chain's wind is measured at a height it is not told; every index takes
it as the wind its model asks for (10 m for UTCI and WBGT, the person's
height for PET), as the chain has always done for UTCI.
"""

from __future__ import annotations

from collections.abc import Collection, Mapping
from typing import Any

import numpy as np

from klimora import quantities as Q
from klimora import ufuncs as U
from klimora.comfort import pet

__all__ = ["INDICES", "asked_indices", "outside", "standard_pressure", "thermal_indices",
           "universal_thermal_climate_index"]

#: The indices the chain adds when asked, in the order of its columns.
INDICES = Q.INDICES


def asked_indices(indices: Any, utci: bool = False) -> tuple[str, ...]:
    """The indices asked for, in the columns' order: ``indices`` is a name,
    names separated by commas ("utci,pet"), or a collection of names;
    ``utci`` asks for "utci" besides.  ValueError, one line, for a name
    that is no index."""
    if isinstance(indices, str):
        names = [name.strip() for name in indices.split(",") if name.strip()]
    elif isinstance(indices, Collection):
        names = list(indices)
    else:
        raise ValueError(f"indices must be names such as ('utci', 'pet', 'wbgt'), not "
                         f"{indices!r}")
    for name in names:
        if name not in INDICES:
            raise ValueError(f"unknown index {name!r}; the indices are {', '.join(INDICES)}")
    return tuple(name for name in INDICES if name in names or (utci and name == "utci"))


def standard_pressure(height: Any) -> Any:
    """Air pressure of the ICAO standard atmosphere at ``height`` metres
    above sea level, in hPa: 1013.25 (1 - 2.25577e-5 h)^5.25588."""
    return 1013.25 * (1.0 - 2.25577e-5 * height) ** 5.25588


def universal_thermal_climate_index(air_temp: Any, mrt: Any, wind: Any, vapour: Any) -> Any:
    """UTCI (:func:`klimora.ufuncs.utci`) from the air temperature, the mean
    radiant temperature, the wind and the chain's vapour pressure (hPa); NaN
    outside the range UTCI is defined for.  The chain's wind is measured at
    the station's height, which it does not know; it is taken as the wind at
    10 m that UTCI expects, as the chain always has."""
    return U.utci(air_temp, mrt, wind, vapour)


def thermal_indices(asked: Collection[str], *, air: Any, humidity: Any, vapour: Any, wind: Any,
                    pressure: Any, mrt: Any, glob: Any, diffuse: Any, zenith: Any
                    ) -> dict[str, Any]:
    """The indices ``asked`` for, by name: the air temperature (degC), the
    relative humidity (%) and the vapour pressure (hPa) it goes with, the
    wind (m/s), the air pressure (hPa), the mean radiant temperature
    (degC), the global and diffuse irradiance on the ground (W/m2) and the
    solar zenith angle (deg) of the chain."""
    values: dict[str, Any] = {}
    if "utci" in asked:
        values["utci"] = universal_thermal_climate_index(air, mrt, wind, vapour)
    if "pet" in asked:
        values["pet"] = pet(air, mrt, wind, humidity, pressure)   # the standard person
    if "wbgt" in asked:
        # The globe and the wick see the beam at cos z and the diffuse share
        # of the global; with no global at all the sky is all diffuse.
        cos_zenith = np.cos(np.radians(np.minimum(zenith, 90.0)))
        with np.errstate(invalid="ignore", divide="ignore"):
            share = np.where(glob > 0.0, np.clip(diffuse / glob, 0.0, 1.0), 1.0)
        share = np.where(np.isnan(glob) | np.isnan(diffuse), np.nan, share)
        values["wbgt"] = U.wbgt(air, humidity, wind, pressure, glob, share, cos_zenith)
    return values


#: The weather each index is computed from, besides the mean radiant
#: temperature: where these are known and the index is NaN, the weather lay
#: outside its model or its balance did not solve.
FROM = {"utci": ("air_temp", "wind", "humidity", "vapour_pressure"),
        "pet": ("air_temp", "wind", "humidity", "vapour_pressure", "pressure"),
        "wbgt": ("air_temp", "wind", "humidity", "vapour_pressure", "pressure", "global",
                 "diffuse")}


def outside(name: str, value: Any, mrt: Any, weather: Mapping[str, Any]) -> int:
    """How many values of the index ``name`` are NaN for being outside its
    model's range: NaN where the mean radiant temperature and the weather
    it is computed from (those of :data:`FROM` given) are not."""
    known = np.isfinite(mrt)
    for quantity in FROM[name]:
        if weather.get(quantity) is not None:
            known = known & np.isfinite(np.asarray(weather[quantity], dtype=float))
    return int(np.count_nonzero(np.isnan(value) & known))
