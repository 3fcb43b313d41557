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
#: The last day of each month of a year of 365 days (366: December).
MONTH_ENDS = np.array([31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 366])


@functools.lru_cache(maxsize=1)
def table() -> Any:
    """The whole climatology as a (rows, columns, 12) uint8 array."""
    try:
        import h5py
        import pvlib
    except ImportError:
        raise ImportError("turbidity='climatology' needs pvlib and h5py: "
                          "pip install 'klimora[climatology]'") from None
    from pathlib import Path

    path = Path(pvlib.__file__).parent / "data" / "LinkeTurbidities.h5"
    with h5py.File(path, "r") as f:
        return np.asarray(f["LinkeTurbidity"][:])


def linke_turbidity(latitude: Any, longitude: Any, dayofyear: Any) -> Any:
    """The Linke turbidity of the month of ``dayofyear`` in the cell that
    holds (latitude, longitude), for arrays that broadcast together; NaN
    where an input is NaN."""
    lat, lon, doy = np.broadcast_arrays(np.asarray(latitude, dtype=float),
                                        np.asarray(longitude, dtype=float),
                                        np.asarray(dayofyear, dtype=float))
    gone = np.isnan(lat) | np.isnan(lon) | np.isnan(doy)
    lat, lon, doy = (np.where(gone, 0.0, a) for a in (lat, lon, doy))
    row = np.clip(np.floor((90.0 - lat) * CELLS_PER_DEGREE), 0, ROWS - 1).astype(np.intp)
    column = np.clip(np.floor((lon + 180.0) * CELLS_PER_DEGREE), 0, COLUMNS - 1).astype(np.intp)
    month = np.clip(np.searchsorted(MONTH_ENDS, np.ceil(doy)), 0, 11)
    value = table()[row, column, month] / 20.0
    return np.where(gone, np.nan, value)
