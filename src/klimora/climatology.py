"""The monthly Linke turbidity of a place, from the worldwide climatology
that pvlib ships (LinkeTurbidities.h5: a grid of 1/12 degree, twelve months,
turbidity times 20 as bytes; Remund et al. 2003, SoDa).  Needs the extra
``klimora[climatology]`` (pvlib, h5py)."""

from __future__ import annotations

import functools
from typing import Any

import numpy as np

#: Cells of the grid per degree, and the grid's rows and columns.
CELLS_PER_DEGREE = 12
ROWS, COLUMNS = 180 * CELLS_PER_DEGREE, 360 * CELLS_PER_DEGREE


def _month_middles(february: int) -> Any:
    """The middle of each month as a day of the year (a year whose February
    has ``february`` days), with December of the year before and January of
    the year after: each month's value is its mean, taken at its middle and
    interpolated between."""
    lengths = np.array([31, february, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31], dtype=float)
    ends = np.cumsum(lengths)
    return np.concatenate(([-lengths[-1] / 2], ends - lengths / 2, [ends[-1] + lengths[0] / 2]))


#: The month middles of a common year and of a leap year (from March on a
#: day later); _MIDDLES holds them as its rows 0 and 1.
MONTH_MIDDLES = _month_middles(28)
LEAP_MONTH_MIDDLES = _month_middles(29)
_MIDDLES = np.stack([MONTH_MIDDLES, LEAP_MONTH_MIDDLES])


@functools.lru_cache(maxsize=1)
def table() -> Any:
    """The whole climatology as a (rows, columns, 12) uint8 array."""
    try:
        import h5py
        import pvlib
    except ImportError:
        raise ImportError("turbidity='climatology' needs pvlib and h5py: "
                          "pip install '.[climatology]'") from None
    from pathlib import Path

    path = Path(pvlib.__file__).parent / "data" / "LinkeTurbidities.h5"
    with h5py.File(path, "r") as f:
        return np.asarray(f["LinkeTurbidity"][:])


def linke_turbidity(latitude: Any, longitude: Any, dayofyear: Any, leap: Any = False) -> Any:
    """The Linke turbidity on ``dayofyear`` in the cell that holds
    (latitude, longitude): the monthly values, linear between the months'
    middles of a common year, or of a leap year where ``leap`` is true, as
    pvlib's ``lookup_linke_turbidity`` does by default; for arrays that
    broadcast together, NaN where an input is NaN."""
    lat, lon, doy, in_leap = np.broadcast_arrays(np.asarray(latitude, dtype=float),
                                                 np.asarray(longitude, dtype=float),
                                                 np.asarray(dayofyear, dtype=float),
                                                 np.asarray(leap, dtype=bool))
    gone = np.isnan(lat) | np.isnan(lon) | np.isnan(doy)
    lat, lon, doy = (np.where(gone, 0.0, a) for a in (lat, lon, doy))
    row = np.clip(np.floor((90.0 - lat) * CELLS_PER_DEGREE), 0, ROWS - 1).astype(np.intp)
    column = np.clip(np.floor((lon + 180.0) * CELLS_PER_DEGREE), 0, COLUMNS - 1).astype(np.intp)
    cell = table()[row, column]
    after = np.where(in_leap, np.searchsorted(LEAP_MONTH_MIDDLES, doy, side="right"),
                     np.searchsorted(MONTH_MIDDLES, doy, side="right"))
    after = np.clip(after, 1, 13)
    before = after - 1
    months = np.array([11, *range(12), 0])
    low = np.take_along_axis(cell, months[before][..., None], axis=-1)[..., 0].astype(float)
    high = np.take_along_axis(cell, months[after][..., None], axis=-1)[..., 0].astype(float)
    year = in_leap.astype(np.intp)
    start, end = _MIDDLES[year, before], _MIDDLES[year, after]
    # np.interp's steps on the stored values (turbidity times 20), then / 20.
    value = ((high - low) / (end - start) * (doy - start) + low) / 20.0
    return np.where(gone, np.nan, value)
