"""Thermal comfort with keywords: the physiological equivalent temperature
of a person whose defaults are the standard person of VDI 3787 Part 2 and
Höppe (1999), through :func:`klimora.ufuncs.pet_person`.

Units in brackets; ``[1]``: a plain number.
"""

from __future__ import annotations

from numpy.typing import ArrayLike

from klimora import ufuncs
from klimora.fluxes import Float64Result

__all__ = ["pet", "SEXES", "POSTURES"]

#: pet_person's codes of the person's sex and posture.
SEXES = {"male": 1.0, "female": 0.0}
POSTURES = {"sitting": 0.0, "standing": 1.0, "standing, forced convection": 2.0}


def code(name: str, codes: dict[str, float], what: str) -> float:
    """pet_person's code of ``name``; a one-line error naming the choices."""
    try:
        return codes[name]
    except (KeyError, TypeError):
        choices = ", ".join(f'"{c}"' for c in codes)
        raise ValueError(f"{what} must be one of {choices}, not {name!r}") from None


def pet(air_temperature: ArrayLike, mean_radiant_temperature: ArrayLike, wind_speed: ArrayLike,
        relative_humidity: ArrayLike, pressure: ArrayLike = 1013.25, *,
        work: ArrayLike = 80.0, clothing: ArrayLike = 0.9, age: ArrayLike = 35.0,
        sex: str = "male", weight: ArrayLike = 75.0, height: ArrayLike = 1.75,
        posture: str = "sitting") -> Float64Result:
    """Physiological equivalent temperature (PET) of Höppe (1999).

    The air temperature of a room (mean radiant temperature equal to it,
    0.1 m/s, 12 hPa of vapour) in which the person, at 80 W of work and
    0.9 clo there, has the core and skin temperatures of the climate given:
    MEMI in steady state with the corrections of Walther and Goestchel
    (2018), as pythermalcomfort's ``pet_steady`` has it.  The defaults are
    the standard person of VDI 3787 Part 2 and Höppe (1999): 80 W of work
    metabolism on top of the basal metabolism, 0.9 clo, 35 years, male,
    75 kg, 1.75 m; sitting, the posture whose PET is nearer Höppe's table.

    Parameters
    ----------
    air_temperature : array_like
        Air temperature. [deg C]
    mean_radiant_temperature : array_like
        Mean radiant temperature. [deg C]
    wind_speed : array_like
        Wind speed at the person. [m/s]
    relative_humidity : array_like
        Relative humidity. [%]
    pressure : array_like
        Air pressure. [hPa]
    work : array_like
        Work metabolism on top of the basal metabolism. [W]
    clothing : array_like
        Clothing insulation, more than 0. [clo]
    age : array_like
        Age. [year]
    sex : {"male", "female"}
        The person's sex.
    weight : array_like
        Body mass. [kg]
    height : array_like
        Height, more than 0.2 m. [m]
    posture : {"sitting", "standing", "standing, forced convection"}
        The person's posture.

    Returns
    -------
    pet : Float64Result
        What :func:`klimora.ufuncs.pet_person` gives: physiological equivalent
        temperature, NaN (with NumPy's invalid-value warning) where it does
        not solve. [deg C]

    Examples
    --------
    Summer in the sun and in the shade, for the standard person and for a
    woman in light clothes:

    >>> pet([30.0, 30.0], [60.0, 30.0], 1.0, 50.0).round(1)
    array([41.7, 29.4])
    >>> pet([30.0, 30.0], [60.0, 30.0], 1.0, 50.0, sex="female", clothing=0.5).round(1)
    array([40.6, 28.3])
    """
    return ufuncs.pet_person(air_temperature, mean_radiant_temperature, wind_speed, relative_humidity,
                      pressure, work, clothing, age, code(sex, SEXES, "sex"), weight, height,
                      code(posture, POSTURES, "posture"))
