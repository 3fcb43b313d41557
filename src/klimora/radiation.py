"""The model's functions under English names, with keywords.

One function per ufunc of :mod:`klimora.ufuncs`, with named parameters in
the ufunc's order.  Each passes its arguments on to the ufunc by position,
so what it gives is the ufunc's result, bit for bit: a NumPy float64 for
numbers, a float64 array for arrays (broadcast together; solar_time gives
float32 for float32 inputs), and through
NumPy's dispatch an xarray or dask object of the same kind.  Nothing is
checked or converted here; NaN gives what the ufunc gives, which is not
always NaN (comparisons with NaN are false: a NaN zenith angle gives the
sun-down 0.0 of the clear-sky irradiances).

Units in brackets; ``[1]``: a plain number.  docs/glossary.md lists each
function with its German original and each parameter's German name.

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

from typing import Any

from numpy.typing import ArrayLike

from klimora import ufuncs

__all__ = ["solar_time", "solar_time_round_trip", "solar_zenith_angle", "solar_azimuth_angle",
           "linke_turbidity", "relative_optical_air_mass", "clear_sky_direct_irradiance",
           "clear_sky_global_irradiance", "cloud_reduced_direct_irradiance",
           "atmospheric_counter_radiation", "surface_temperature", "mean_radiant_temperature",
           "equation_of_time"]


def solar_time(clock_time: ArrayLike, utc_offset: ArrayLike, longitude: ArrayLike,
               dayofyear: ArrayLike) -> Any:
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
    solar_time : numpy.float64 or array
        True solar time, noon at 12, from 0 to below 24. [h]

    See Also
    --------
    klimora.ufuncs.solar_time : the ufunc called (klimora.Strahlkit has none).
    """
    return ufuncs.solar_time(clock_time, utc_offset, longitude, dayofyear)


def solar_time_round_trip(time_of_day: ArrayLike, utc_offset: ArrayLike, longitude: ArrayLike,
                          dayofyear: ArrayLike) -> Any:
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
    time_of_day : numpy.float64 or array
        The time of day folded into one day. [h]

    See Also
    --------
    klimora.ufuncs.Sonnenzeit : the ufunc called, of klimora.Strahlkit.Sonnenzeit.
    """
    return ufuncs.Sonnenzeit(time_of_day, utc_offset, longitude, dayofyear)


def solar_zenith_angle(solar_time: ArrayLike, latitude: ArrayLike, dayofyear: ArrayLike) -> Any:
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
    zenith : numpy.float64 or array
        Solar zenith angle. [deg]

    See Also
    --------
    klimora.ufuncs.Zenitwinkel : the ufunc called, of klimora.Strahlkit.Zenitwinkel.
    """
    return ufuncs.Zenitwinkel(solar_time, latitude, dayofyear)


def solar_azimuth_angle(solar_time: ArrayLike, latitude: ArrayLike, dayofyear: ArrayLike) -> Any:
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
    azimuth : numpy.float64 or array
        Solar azimuth from north through east, 0 to 360. [deg]

    See Also
    --------
    klimora.ufuncs.Azimutwinkel : the ufunc called, of klimora.Strahlkit.Azimutwinkel.
    """
    return ufuncs.Azimutwinkel(solar_time, latitude, dayofyear)


def linke_turbidity(dayofyear: ArrayLike, latitude: ArrayLike,
                    relative_humidity: ArrayLike) -> Any:
    """Linke turbidity factor of the air.

    Parameters
    ----------
    dayofyear : array_like
        Day of the year, 1 to 366. [1]
    latitude : array_like
        Latitude, north positive. [deg]
    relative_humidity : array_like
        Relative humidity. [%]

    Returns
    -------
    linke_turbidity : numpy.float64 or array
        Linke turbidity factor. [1]

    See Also
    --------
    klimora.ufuncs.LinkeTruebung : the ufunc called, of klimora.Strahlkit.LinkeTruebung.
    """
    return ufuncs.LinkeTruebung(dayofyear, latitude, relative_humidity)


def relative_optical_air_mass(zenith: ArrayLike) -> Any:
    """Relative optical air mass.

    Parameters
    ----------
    zenith : array_like
        Solar zenith angle. [deg]

    Returns
    -------
    airmass_relative : numpy.float64 or array
        Relative optical air mass; 999.0 for a zenith angle outside 0 to 91
        deg, NaN for NaN or an infinity. [1]

    See Also
    --------
    klimora.ufuncs.RelOptLuftmasse : the ufunc called, of klimora.Strahlkit.RelOptLuftmasse.
    """
    return ufuncs.RelOptLuftmasse(zenith)


def clear_sky_direct_irradiance(dayofyear: ArrayLike, altitude: ArrayLike, zenith: ArrayLike,
                                linke_turbidity: ArrayLike, airmass_relative: ArrayLike) -> Any:
    """Clear-sky direct irradiance, normal to the beam.

    Parameters
    ----------
    dayofyear : array_like
        Day of the year, 1 to 366. [1]
    altitude : array_like
        Height above sea level. [m]
    zenith : array_like
        Solar zenith angle. [deg]
    linke_turbidity : array_like
        Linke turbidity factor. [1]
    airmass_relative : array_like
        Relative optical air mass. [1]

    Returns
    -------
    dni_clear : numpy.float64 or array
        Direct irradiance normal to the beam under a clear sky; 0.0 with the
        sun down. [W/m2]

    See Also
    --------
    klimora.ufuncs.MaxDirekteStrahlung : the ufunc called, of
        klimora.Strahlkit.MaxDirekteStrahlung.
    """
    return ufuncs.MaxDirekteStrahlung(dayofyear, altitude, zenith, linke_turbidity,
                                      airmass_relative)


def clear_sky_global_irradiance(dayofyear: ArrayLike, altitude: ArrayLike, zenith: ArrayLike,
                                linke_turbidity: ArrayLike) -> Any:
    """Clear-sky global irradiance on the horizontal.

    Parameters
    ----------
    dayofyear : array_like
        Day of the year, 1 to 366. [1]
    altitude : array_like
        Height above sea level. [m]
    zenith : array_like
        Solar zenith angle. [deg]
    linke_turbidity : array_like
        Linke turbidity factor. [1]

    Returns
    -------
    ghi_clear : numpy.float64 or array
        Global irradiance on the horizontal under a clear sky; 0.0 with the
        sun down. [W/m2]

    See Also
    --------
    klimora.ufuncs.MaxGlobalstrahlung : the ufunc called, of
        klimora.Strahlkit.MaxGlobalstrahlung.
    """
    return ufuncs.MaxGlobalstrahlung(dayofyear, altitude, zenith, linke_turbidity)


def cloud_reduced_direct_irradiance(dni_clear: ArrayLike, cloud_cover: ArrayLike) -> Any:
    """Direct irradiance reduced for cloud cover.

    Parameters
    ----------
    dni_clear : array_like
        Clear-sky direct irradiance, normal to the beam. [W/m2]
    cloud_cover : array_like
        Cloud cover, 0 clear to 8 overcast. [oktas]

    Returns
    -------
    dni : numpy.float64 or array
        Direct irradiance under the cloud, normal to the beam. [W/m2]

    See Also
    --------
    klimora.ufuncs.DirStrMBew : the ufunc called, of klimora.Strahlkit.DirStrMBew.
    """
    return ufuncs.DirStrMBew(dni_clear, cloud_cover)


def atmospheric_counter_radiation(temp_air: ArrayLike, vapour_pressure: ArrayLike,
                                  cloud_cover: ArrayLike) -> Any:
    """Atmospheric counter-radiation: the long-wave flux from the sky.

    Parameters
    ----------
    temp_air : array_like
        Air temperature. [deg C]
    vapour_pressure : array_like
        Water-vapour pressure. [hPa]
    cloud_cover : array_like
        Cloud cover, 0 clear to 8 overcast. [oktas]

    Returns
    -------
    counter_radiation : numpy.float64 or array
        Long-wave flux from the sky. [W/m2]

    See Also
    --------
    klimora.ufuncs.AtmosGegenstr : the ufunc called, of klimora.Strahlkit.AtmosGegenstr.
    """
    return ufuncs.AtmosGegenstr(temp_air, vapour_pressure, cloud_cover)


def surface_temperature(net_radiation: ArrayLike, temp_air: ArrayLike, wind_speed: ArrayLike,
                        bowen_ratio: ArrayLike) -> Any:
    """Surface temperature of the ground.

    Parameters
    ----------
    net_radiation : array_like
        Net radiation of the ground. [W/m2]
    temp_air : array_like
        Air temperature. [deg C]
    wind_speed : array_like
        Wind speed. [m/s]
    bowen_ratio : array_like
        Bowen ratio, sensible over latent heat flux; values below -0.9 count
        as -0.9. [1]

    Returns
    -------
    temp_surface : numpy.float64 or array
        Surface temperature. [deg C]

    See Also
    --------
    klimora.ufuncs.OberflTemp : the ufunc called, of klimora.Strahlkit.OberflTemp.
    """
    return ufuncs.OberflTemp(net_radiation, temp_air, wind_speed, bowen_ratio)


def mean_radiant_temperature(zenith: ArrayLike, longwave_above: ArrayLike,
                             longwave_below: ArrayLike, counter_radiation: ArrayLike,
                             diffuse: ArrayLike, dni: ArrayLike, body_albedo: ArrayLike) -> Any:
    """Mean radiant temperature of a person.

    The fluxes enter as given: weight each by the share of the person's
    surroundings it comes from.  klimora.Strahlkit.MittlStrTemp's
    ``ReflStr`` and ``albedo_env`` take no part and are not parameters here.

    Parameters
    ----------
    zenith : array_like
        Solar zenith angle. [deg]
    longwave_above : array_like
        Long-wave flux from above. [W/m2]
    longwave_below : array_like
        Long-wave flux from below. [W/m2]
    counter_radiation : array_like
        Counter-radiation of the sky, as it enters the sum (0 when it is in
        ``longwave_above``). [W/m2]
    diffuse : array_like
        Diffuse and reflected short-wave flux. [W/m2]
    dni : array_like
        Direct irradiance, normal to the beam. [W/m2]
    body_albedo : array_like
        Short-wave albedo of the person (1 - albedo is absorbed). [1]

    Returns
    -------
    mrt : numpy.float64 or array
        Mean radiant temperature. [deg C]

    See Also
    --------
    klimora.ufuncs.MittlStrTemp : the ufunc called, of klimora.Strahlkit.MittlStrTemp.
    """
    return ufuncs.MittlStrTemp(zenith, longwave_above, longwave_below, counter_radiation,
                               diffuse, dni, body_albedo)


def equation_of_time(dayofyear: ArrayLike) -> Any:
    """Equation of time: apparent minus mean solar time.

    Parameters
    ----------
    dayofyear : array_like
        Day of the year, 1 to 366. [1]

    Returns
    -------
    equation_of_time : numpy.float64 or array
        Apparent minus mean solar time. [h]

    See Also
    --------
    klimora.ufuncs.equation_of_time : the ufunc called; klimora.Strahlkit.Sonnenzeit
        applies it (as ERS).
    """
    return ufuncs.equation_of_time(dayofyear)
