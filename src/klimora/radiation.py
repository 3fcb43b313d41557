"""The model's functions under English names, with keywords.

One function per ufunc of :mod:`klimora.ufuncs`, with named parameters in
the ufunc's order.  Each passes its arguments on to the ufunc by position,
so what it gives is the ufunc's result, bit for bit: a NumPy float64 for
numbers, a float64 array for arrays (broadcast together; solar_time gives
float32 for float32 inputs), and through NumPy's dispatch an xarray or dask
object of the same kind.  Nothing is checked or converted here; NaN gives
what the ufunc gives, which is not always NaN (comparisons with NaN are
false: a NaN zenith angle gives the sun-down 0.0 of the clear-sky
irradiances).

Units in brackets; ``[1]``: a plain number.  docs/glossary.md lists each
function with its German original and each parameter's German name.  The
examples take the functions from ``from klimora.radiation import *``.  The
sun's time and position are here; the air, the fluxes and the temperatures
are written in :mod:`klimora.fluxes` and taken from here.

>>> from klimora import radiation
>>> solar = radiation.solar_time(clock_time=13.0, utc_offset=2.0, longitude=13.4,
...                              dayofyear=172)
>>> round(float(solar), 3)
11.868
>>> round(float(radiation.solar_zenith_angle(solar_time=12.0, latitude=48.14,
...                                           dayofyear=172)), 2)
24.7
"""

from __future__ import annotations

from numpy.typing import ArrayLike

from klimora import ufuncs
# Generated from ufuncs/functions.toml by make generate, down to the end marker.
from klimora.fluxes import (Float64Result, atmospheric_counter_radiation,
                            clear_sky_direct_irradiance, clear_sky_global_irradiance,
                            cloud_reduced_direct_irradiance, linke_turbidity,
                            mean_radiant_temperature, relative_optical_air_mass,
                            surface_temperature)

__all__ = ["solar_time", "solar_time_round_trip", "solar_zenith_angle", "solar_azimuth_angle",
           "linke_turbidity", "relative_optical_air_mass", "clear_sky_direct_irradiance",
           "clear_sky_global_irradiance", "cloud_reduced_direct_irradiance",
           "atmospheric_counter_radiation", "surface_temperature", "mean_radiant_temperature",
           "equation_of_time"]


def solar_time(clock_time: ArrayLike, utc_offset: ArrayLike, longitude: ArrayLike,
               dayofyear: ArrayLike) -> Float64Result:
    """True solar time from clock time, the input of the sun's position.

    ``clock_time - utc_offset + longitude / 15 + equation_of_time(dayofyear)``
    folded into [0, 24) with ``np.mod``; float32 inputs give float32.

    Parameters
    ----------
    clock_time : array_like
        Clock time of the zone. [h]
    utc_offset : array_like
        Time-zone offset, east of UTC positive. [h]
    longitude : array_like
        Longitude, east positive. [deg]
    dayofyear : array_like
        Day of the year, 1 to 366. [1]

    Returns
    -------
    solar_time : Float64Result
        What :func:`klimora.ufuncs.solar_time` gives (klimora.Strahlkit has no such function): true
        solar time, noon at 12, from 0 to below 24; float32 for float32 inputs. [h]

    Examples
    --------
    At 13:00 summer time (UTC+2) at 13.4 deg east in late June, before
    solar noon:

    >>> round(float(solar_time(clock_time=13.0, utc_offset=2.0, longitude=13.4,
    ...                        dayofyear=172)), 3)
    11.868
    """
    return ufuncs.solar_time(clock_time, utc_offset, longitude, dayofyear)


def solar_time_round_trip(time_of_day: ArrayLike, utc_offset: ArrayLike, longitude: ArrayLike,
                          dayofyear: ArrayLike) -> Float64Result:
    """The time of day folded into one day, 0 to 24: not a solar time.

    Applies the longitude and equation-of-time corrections, folds, undoes
    them and folds again (a time at midnight may come back as 24.0);
    :func:`solar_time` gives true solar time.

    Parameters
    ----------
    time_of_day : array_like
        Time of day. [h]
    utc_offset : array_like
        Time-zone offset, east of UTC positive. [h]
    longitude : array_like
        Longitude, east positive. [deg]
    dayofyear : array_like
        Day of the year, 1 to 366. [1]

    Returns
    -------
    time_of_day : Float64Result
        What :func:`klimora.ufuncs.Sonnenzeit` gives: the time of day folded into one day. [h]

    Examples
    --------
    >>> float(solar_time_round_trip(time_of_day=25.5, utc_offset=1.0, longitude=11.58,
    ...                             dayofyear=172))
    1.5000000000000002
    """
    return ufuncs.Sonnenzeit(time_of_day, utc_offset, longitude, dayofyear)


def solar_zenith_angle(solar_time: ArrayLike, latitude: ArrayLike,
                       dayofyear: ArrayLike) -> Float64Result:
    """Solar zenith angle.

    Parameters
    ----------
    solar_time : array_like
        True solar time, noon at 12. [h]
    latitude : array_like
        Latitude, north positive. [deg]
    dayofyear : array_like
        Day of the year, 1 to 366. [1]

    Returns
    -------
    zenith : Float64Result
        What :func:`klimora.ufuncs.Zenitwinkel` gives: solar zenith angle. [deg]

    Examples
    --------
    At noon the latitude less the declination, 48.14 - 23.44 degrees:

    >>> solar_zenith_angle(solar_time=[8.0, 12.0, 16.0], latitude=48.14,
    ...                    dayofyear=172).round(1)
    array([53. , 24.7, 53. ])
    """
    return ufuncs.Zenitwinkel(solar_time, latitude, dayofyear)


def solar_azimuth_angle(solar_time: ArrayLike, latitude: ArrayLike,
                        dayofyear: ArrayLike) -> Float64Result:
    """Solar azimuth angle, from north through east.

    Parameters
    ----------
    solar_time : array_like
        True solar time, noon at 12. [h]
    latitude : array_like
        Latitude, north positive. [deg]
    dayofyear : array_like
        Day of the year, 1 to 366. [1]

    Returns
    -------
    azimuth : Float64Result
        What :func:`klimora.ufuncs.Azimutwinkel` gives: solar azimuth from north through east, 0 to
        360. [deg]

    Examples
    --------
    >>> solar_azimuth_angle(solar_time=[8.0, 12.0, 16.0], latitude=48.14,
    ...                     dayofyear=172).round(1)
    array([ 95.5, 180. , 264.5])
    """
    return ufuncs.Azimutwinkel(solar_time, latitude, dayofyear)


def equation_of_time(dayofyear: ArrayLike) -> Float64Result:
    """Equation of time: apparent minus mean solar time.

    The equation of time that Strahlkit.Sonnenzeit applies (as ERS).

    Parameters
    ----------
    dayofyear : array_like
        Day of the year, 1 to 366. [1]

    Returns
    -------
    equation_of_time : Float64Result
        What :func:`klimora.ufuncs.equation_of_time` gives (klimora.Strahlkit has no such function):
        apparent minus mean solar time. [h]

    Examples
    --------
    In minutes, its extremes in February and November:

    >>> (equation_of_time(dayofyear=[45, 307]) * 60).round(1)
    array([-14.6,  16.4])
    """
    return ufuncs.equation_of_time(dayofyear)

# End of the generated functions.
