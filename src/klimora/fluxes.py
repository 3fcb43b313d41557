"""klimora.radiation's functions of the air, the fluxes and the
temperatures, under English names, with keywords: the Linke turbidity, the
air mass, the clear-sky and cloudy irradiances, the counter-radiation, the
ground's surface temperature and the mean radiant temperature.  Take them
from :mod:`klimora.radiation`, which has the sun's time and position too;
each passes its arguments on to its ufunc by position, as there.

Units in brackets; ``[1]``: a plain number.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Union

from numpy.typing import ArrayLike

from klimora import ufuncs

if TYPE_CHECKING:
    import dask.array as da
    import numpy as np
    import pandas as pd
    import xarray as xr
    from numpy.typing import NDArray

# What each function of klimora.radiation gives (docs/api/radiation.rst says
# which when).
Float64Result = Union["np.float64", "NDArray[np.float64]", "pd.Series", "xr.DataArray", "da.Array"]


# Generated from ufuncs/functions.toml by make generate, down to the end marker.

__all__ = ["Float64Result", "linke_turbidity", "relative_optical_air_mass",
           "clear_sky_direct_irradiance", "clear_sky_global_irradiance",
           "cloud_reduced_direct_irradiance", "atmospheric_counter_radiation",
           "surface_temperature", "mean_radiant_temperature"]


def linke_turbidity(dayofyear: ArrayLike, latitude: ArrayLike,
                    relative_humidity: ArrayLike) -> Float64Result:
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
    linke_turbidity : Float64Result
        What :func:`klimora.ufuncs.LinkeTruebung` gives: Linke turbidity factor. [1]

    Examples
    --------
    >>> linke_turbidity(dayofyear=172, latitude=48.14,
    ...                 relative_humidity=[40.0, 90.0]).round(2)
    array([4.17, 4.95])
    """
    return ufuncs.LinkeTruebung(dayofyear, latitude, relative_humidity)


def relative_optical_air_mass(zenith: ArrayLike) -> Float64Result:
    """Relative optical air mass.

    Parameters
    ----------
    zenith : array_like
        Solar zenith angle. [deg]

    Returns
    -------
    airmass_relative : Float64Result
        What :func:`klimora.ufuncs.RelOptLuftmasse` gives: relative optical air mass; 999.0 for a
        zenith angle outside 0 to 91 deg, NaN (with NumPy's "invalid value" warning) for NaN or an
        infinity. [1]

    Examples
    --------
    The secant of the zenith angle high in the sky, 999.0 below the horizon:

    >>> relative_optical_air_mass(zenith=[0.0, 60.0, 95.0])
    array([  1.,   2., 999.])
    """
    return ufuncs.RelOptLuftmasse(zenith)


def clear_sky_direct_irradiance(dayofyear: ArrayLike, altitude: ArrayLike, zenith: ArrayLike,
                                linke_turbidity: ArrayLike,
                                airmass_relative: ArrayLike) -> Float64Result:
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
    dni_clear : Float64Result
        What :func:`klimora.ufuncs.MaxDirekteStrahlung` gives: direct irradiance normal to the beam
        under a clear sky; 0.0 with the sun down. [W/m2]

    Examples
    --------
    >>> clear_sky_direct_irradiance(dayofyear=172, altitude=520.0,
    ...                             zenith=[24.7, 95.0], linke_turbidity=4.17,
    ...                             airmass_relative=[1.10, 999.0]).round()
    array([873.,   0.])
    """
    return ufuncs.MaxDirekteStrahlung(dayofyear, altitude, zenith, linke_turbidity,
                                      airmass_relative)


def clear_sky_global_irradiance(dayofyear: ArrayLike, altitude: ArrayLike, zenith: ArrayLike,
                                linke_turbidity: ArrayLike) -> Float64Result:
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
    ghi_clear : Float64Result
        What :func:`klimora.ufuncs.MaxGlobalstrahlung` gives: global irradiance on the horizontal
        under a clear sky; 0.0 with the sun down. [W/m2]

    Examples
    --------
    >>> clear_sky_global_irradiance(dayofyear=172, altitude=520.0,
    ...                             zenith=[24.7, 95.0], linke_turbidity=4.17).round()
    array([898.,   0.])
    """
    return ufuncs.MaxGlobalstrahlung(dayofyear, altitude, zenith, linke_turbidity)


def cloud_reduced_direct_irradiance(dni_clear: ArrayLike, cloud_cover: ArrayLike) -> Float64Result:
    """Direct irradiance reduced for cloud cover.

    Parameters
    ----------
    dni_clear : array_like
        Clear-sky direct irradiance, normal to the beam. [W/m2]
    cloud_cover : array_like
        Cloud cover, 0 clear to 8 overcast. [oktas]

    Returns
    -------
    dni : Float64Result
        What :func:`klimora.ufuncs.DirStrMBew` gives: direct irradiance under the cloud, normal to
        the beam. [W/m2]

    Examples
    --------
    The beam falls with the cloud cover, by 1 - N/8:

    >>> cloud_reduced_direct_irradiance(dni_clear=873.0, cloud_cover=[0, 2, 8])
    array([873.  , 654.75,   0.  ])
    """
    return ufuncs.DirStrMBew(dni_clear, cloud_cover)


def atmospheric_counter_radiation(temp_air: ArrayLike, vapour_pressure: ArrayLike,
                                  cloud_cover: ArrayLike) -> Float64Result:
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
    counter_radiation : Float64Result
        What :func:`klimora.ufuncs.AtmosGegenstr` gives: long-wave flux from the sky. [W/m2]

    Examples
    --------
    >>> atmospheric_counter_radiation(temp_air=20.0, vapour_pressure=14.0,
    ...                               cloud_cover=[0, 8]).round()
    array([338., 409.])
    """
    return ufuncs.AtmosGegenstr(temp_air, vapour_pressure, cloud_cover)


def surface_temperature(net_radiation: ArrayLike, temp_air: ArrayLike, wind_speed: ArrayLike,
                        bowen_ratio: ArrayLike) -> Float64Result:
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
        Bowen ratio, sensible over latent heat flux; values below -0.9 count as
        -0.9. [1]

    Returns
    -------
    temp_surface : Float64Result
        What :func:`klimora.ufuncs.OberflTemp` gives: surface temperature. [deg C]

    Examples
    --------
    With no net radiation the ground is at the air's temperature:

    >>> surface_temperature(net_radiation=[0.0, 400.0], temp_air=20.0,
    ...                     wind_speed=2.0, bowen_ratio=1.0).round(1)
    array([20., 31.])
    """
    return ufuncs.OberflTemp(net_radiation, temp_air, wind_speed, bowen_ratio)


def mean_radiant_temperature(zenith: ArrayLike, longwave_above: ArrayLike,
                             longwave_below: ArrayLike, counter_radiation: ArrayLike,
                             diffuse: ArrayLike, dni: ArrayLike,
                             body_albedo: ArrayLike) -> Float64Result:
    """Mean radiant temperature of a person.

    The fluxes enter as given: weight each by the share of the person's
    surroundings it comes from.  klimora.Strahlkit.MittlStrTemp's
    ``ReflStr`` and ``albedo_env`` take no part and are not parameters here.

    Parameters
    ----------
    zenith : array_like
        Solar zenith angle. [deg]
    longwave_above : array_like
        Long-wave flux from above, weighted by its share of the surroundings.
        [W/m2]
    longwave_below : array_like
        Long-wave flux from below, weighted likewise. [W/m2]
    counter_radiation : array_like
        Counter-radiation of the sky, as it enters the sum (0 when it is in
        ``longwave_above``). [W/m2]
    diffuse : array_like
        Diffuse and reflected short-wave flux, weighted likewise. [W/m2]
    dni : array_like
        Direct irradiance, normal to the beam. [W/m2]
    body_albedo : array_like
        Short-wave albedo of the person (1 - albedo is absorbed). [1]

    Returns
    -------
    mrt : Float64Result
        What :func:`klimora.ufuncs.MittlStrTemp` gives: mean radiant temperature. [deg C]

    Examples
    --------
    In the shade and in the sun:

    >>> mean_radiant_temperature(zenith=24.7, longwave_above=170.0,
    ...                          longwave_below=210.0, counter_radiation=0.0,
    ...                          diffuse=200.0, dni=[0.0, 655.0],
    ...                          body_albedo=0.3).round(1)
    array([37. , 45.6])
    """
    return ufuncs.MittlStrTemp(zenith, longwave_above, longwave_below, counter_radiation, diffuse,
                               dni, body_albedo)

# End of the generated functions.
