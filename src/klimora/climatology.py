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
#: The middle of each month as a day of the year (365 days), with December
#: of the year before and January of the year after: each month's value is
#: its mean, taken at its middle and interpolated between.
MONTH_MIDDLES = np.array([-15.5, 15.5, 45.0, 74.5, 105.0, 135.5, 166.0, 196.5, 227.5, 258.0,
                          288.5, 319.0, 349.5, 380.5])


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


def linke_turbidity(latitude: Any, longitude: Any, dayofyear: Any) -> Any:
    """The Linke turbidity on ``dayofyear`` in the cell that holds
    (latitude, longitude): the monthly values, linear between the months'
    middles, as pvlib's ``lookup_linke_turbidity`` does by default; for
    arrays that broadcast together, NaN where an input is NaN."""
    lat, lon, doy = np.broadcast_arrays(np.asarray(latitude, dtype=float),
                                        np.asarray(longitude, dtype=float),
                                        np.asarray(dayofyear, dtype=float))
    gone = np.isnan(lat) | np.isnan(lon) | np.isnan(doy)
    lat, lon, doy = (np.where(gone, 0.0, a) for a in (lat, lon, doy))
    row = np.clip(np.floor((90.0 - lat) * CELLS_PER_DEGREE), 0, ROWS - 1).astype(np.intp)
    column = np.clip(np.floor((lon + 180.0) * CELLS_PER_DEGREE), 0, COLUMNS - 1).astype(np.intp)
    cell = table()[row, column]
    after = np.clip(np.searchsorted(MONTH_MIDDLES, doy, side="right"), 1, 13)
    before = after - 1
    months = np.array([11, *range(12), 0])
    low = np.take_along_axis(cell, months[before][..., None], axis=-1)[..., 0] / 20.0
    high = np.take_along_axis(cell, months[after][..., None], axis=-1)[..., 0] / 20.0
    share = (doy - MONTH_MIDDLES[before]) / (MONTH_MIDDLES[after] - MONTH_MIDDLES[before])
    value = low + share * (high - low)
    return np.where(gone, np.nan, value)
