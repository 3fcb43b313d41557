"""The sun over an interval: the mean of cos z across it, in closed form.

cos z = sin(phi) sin(delta) + cos(phi) cos(delta) cos(h) = a + b cos(h),
with h the hour angle, 15 degrees an hour from true solar noon.  Its
positive part integrates between the sunrise and sunset hour angles
+-h0, h0 = arccos(-a / b) (pi in polar day, 0 in polar night):

    F(h) = a min(|h|, h0) + b sin(min(|h|, h0)),  signed as h, for |h| <= pi,

and every turn of 2 pi adds F(pi) - F(-pi) = 2 (a h0 + b sin h0).  So the
integral over any interval of hour angle [h1, h2], across midnight or
several days, is F(h2) - F(h1), and the sunlit time within it S(h2) -
S(h1) with S the same sum of min(|h|, h0).  The declination and the
equation of time are the chain's: those of ``Zenitwinkel`` and
``Sonnenzeit`` (:func:`declination`, :func:`klimora.ufuncs.equation_of_time`),
taken at the interval's middle.

An interval's mean global irradiance G (an hour of ERA5 ``ssrd``
de-accumulated, CMIP's 3-hourly ``rsds``, a station's hourly mean) is the
mean of G(t) over the whole interval, dark part included.  With the
clearness of the sky steady across the interval, G(t) = G cos z(t) / c,
c the whole interval's mean of max(cos z, 0) (:func:`mean_cos_zenith`):
the beam normal to the sun is then the interval's beam on the ground over
c, which is its sunlit mean over the sunlit mean of cos z.
"""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np

from klimora import ufuncs as U

__all__ = ["INTERVAL_COS_ZENITH", "CosZenithMean", "declination", "hour_angle_integrals",
           "mean_cos_zenith", "over_the_interval", "sunlit_mean_cos_zenith"]


class CosZenithMean(NamedTuple):
    """The means of max(cos z, 0) over intervals: ``sunlit`` over the part
    with the sun up (0 where it stays down), ``whole`` over the whole
    interval, and ``fraction``, the share of the interval with the sun up
    (whole = sunlit * fraction)."""

    sunlit: Any
    whole: Any
    fraction: Any


def declination(dayofyear: Any) -> Any:
    """The sun's declination in degrees on a day of the year, as
    ``Zenitwinkel`` takes it (about +23.44 at day 172, -23.44 at day 355)."""
    day = np.asarray(dayofyear, dtype=float)
    return np.degrees(np.arcsin(0.3978 * np.sin(np.radians(
        0.9856 * day - 2.72 - 77.51 + 1.92 * np.sin(np.radians(0.9856 * day - 2.72))))))


def hour_angle_integrals(h1: Any, h2: Any, latitude: Any, dayofyear: Any) -> tuple[Any, Any]:
    """The integral of max(cos z, 0) over the hour angle from ``h1`` to
    ``h2`` (radians, h2 >= h1, any number of turns), and the sunlit hour
    angle within it (radians), at ``latitude`` (degrees) on a day of the
    year."""
    phi = np.radians(np.asarray(latitude, dtype=float))
    delta = np.radians(declination(dayofyear))
    a = np.sin(phi) * np.sin(delta)
    b = np.cos(phi) * np.cos(delta)
    with np.errstate(divide="ignore", invalid="ignore"):
        # b is 0 at the poles, where the sun keeps its height all day
        ratio = np.where(b > 0, -a / np.where(b > 0, b, 1.0), np.where(a > 0, -1.0, 1.0))
    h0 = np.arccos(np.clip(ratio, -1.0, 1.0))
    sin_h0 = np.where(h0 < np.pi, np.sin(h0), 0.0)   # sin(pi) exactly 0 in polar day
    turn = 2.0 * (a * h0 + b * sin_h0)

    def cumulative(h: Any) -> tuple[Any, Any]:
        turns = np.floor((h + np.pi) / (2.0 * np.pi))
        r = h - 2.0 * np.pi * turns                   # in [-pi, pi)
        up = np.minimum(np.abs(r), h0)
        sign = np.sign(r)
        return (turns * turn + sign * (a * up + b * np.sin(up)),
                turns * 2.0 * h0 + sign * up)

    f1, s1 = cumulative(np.asarray(h1, dtype=float))
    f2, s2 = cumulative(np.asarray(h2, dtype=float))
    return np.maximum(f2 - f1, 0.0), np.maximum(s2 - s1, 0.0)


def mean_cos_zenith(middle_utc_hour: Any, dayofyear: Any, latitude: Any, longitude: Any,
                    hours: Any) -> CosZenithMean:
    """The means of max(cos z, 0) over intervals of ``hours`` hours
    centred on ``middle_utc_hour`` (hours since 0 UTC of the day; any
    value) on a day of the year, at ``latitude`` and ``longitude``
    (degrees, east positive).  The hour angle is the chain's: 15 degrees
    an hour from true solar noon, true solar time being the UTC time plus
    longitude / 15 hours plus the equation of time of the day."""
    hours = np.asarray(hours, dtype=float)
    solar = (np.asarray(middle_utc_hour, dtype=float) + np.asarray(longitude, dtype=float) / 15
             + U.equation_of_time(np.asarray(dayofyear, dtype=float)))
    middle = np.radians(15.0 * (solar - 12.0))
    half = np.radians(7.5 * hours)
    integral, sunlit = hour_angle_integrals(middle - half, middle + half, latitude, dayofyear)
    width = 2.0 * half
    with np.errstate(divide="ignore", invalid="ignore"):
        whole = integral / width
        sunlit_mean = np.where(sunlit > 0, integral / np.where(sunlit > 0, sunlit, 1.0), 0.0)
        fraction = sunlit / width
    nan = np.isnan(whole)
    return CosZenithMean(np.where(nan, np.nan, sunlit_mean), whole, fraction)


def sunlit_mean_cos_zenith(start_utc: Any, end_utc: Any, latitude: Any, longitude: Any) \
        -> CosZenithMean:
    """The means of max(cos z, 0) over the intervals from ``start_utc`` to
    ``end_utc`` (datetime64 values or anything NumPy reads as such, in UTC)
    at ``latitude`` and ``longitude`` (degrees): over their sunlit part
    and over the whole (:class:`CosZenithMean`).  The day of the year is
    that of the interval's middle in UTC."""
    start = np.asarray(start_utc, dtype="datetime64[ns]")
    end = np.asarray(end_utc, dtype="datetime64[ns]")
    length = (end - start).astype("timedelta64[ns]")
    middle = start + length // 2
    day = middle.astype("datetime64[D]")
    hour = (middle - day).astype(np.int64) / 3.6e12
    year = day.astype("datetime64[Y]")
    dayofyear = (day - year).astype(np.int64) + 1.0
    return mean_cos_zenith(hour, dayofyear, latitude, longitude, length.astype(np.int64) / 3.6e12)


#: The key of ``compute``'s weather that holds, for a given global that is
#: an interval's mean, the whole interval's mean of max(cos z, 0)
#: (:func:`klimora.sunlit.mean_cos_zenith`).
INTERVAL_COS_ZENITH = "interval_cos_zenith"


def over_the_interval(glob: Any, sun: Any, mean_cos_zenith: Any) -> Any:
    """The global at an instant of an interval whose mean global is
    ``glob``: with the sky's clearness steady across the interval, the
    global follows cos z, G(t) = G cos z(t) / c with c the interval's mean
    of max(cos z, 0).  The beam normal to the sun that the chain then
    derives, (G(t) - D(t)) / cos z(t), is the interval's mean beam on the
    ground over c; with the constant mean instead it grows without bound
    towards a sunrise or sunset within the interval.  Intervals the sun
    never enters (c = 0) keep the global as given."""
    lit = mean_cos_zenith > 0
    cos_zenith = np.where(sun < 90, np.cos(np.radians(sun)), 0.0)
    shaped = glob * cos_zenith / np.where(lit, mean_cos_zenith, 1.0)
    return np.where(lit, shaped, glob)
