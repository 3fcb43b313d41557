"""The whole chain over a weather series or field: from times, a site and
the weather to the radiation and the mean radiant temperature of a person.

:func:`chain` takes a pandas DataFrame, an xarray Dataset (eager or on dask,
:mod:`klimora.datasets`) or a mapping of names to arrays, checks what it
is given where it enters (:mod:`klimora.inputs`), turns the times into
hours and days (:mod:`klimora.times`) and runs the model
(:mod:`klimora.model`) on arrays.  The quantities, their units and ranges
are declared in :mod:`klimora.quantities`.
"""

from __future__ import annotations

from typing import Any, Mapping, Optional

import numpy as np

from klimora.datasets import chain_dataset
from klimora.inputs import Site, Weather, check_saturation, validate_weather
from klimora.model import (ASSUMPTIONS, COLUMNS, EPS_GROUND, NAMES, PROJECTION_FACTORS, SIGMA,
                           UNITS, UTCI_COLUMN, VIEW_GROUND, VIEW_SKY, compute, equation_of_time,
                           magnus, projection_scale, result_columns,
                           universal_thermal_climate_index)
from klimora.times import holds_numbers, time_parts

__all__ = ["ASSUMPTIONS", "COLUMNS", "EPS_GROUND", "NAMES", "PROJECTION_FACTORS", "SIGMA",
           "UNITS", "UTCI_COLUMN", "VIEW_GROUND", "VIEW_SKY", "Site", "Weather", "chain",
           "check_saturation", "compute", "equation_of_time", "magnus", "projection_scale",
           "result_columns", "time_parts", "universal_thermal_climate_index",
           "validate_weather"]


def chain(weather: Any = None, *, site: Optional[Site] = None, times: Any = None,
          projection_factor: str = "system", utci: bool = False) -> Any:
    """The chain over a weather series or field.

    ``weather`` is a pandas DataFrame (times in its DatetimeIndex or a
    column "time"), an xarray Dataset (a coordinate "time"), or a mapping
    of names to arrays (times in ``times``).  Its columns or variables are
    any of the registry's weather (:data:`klimora.quantities.WEATHER`); the
    absent ones take their defaults.  The site
    may hold arrays (for a grid), and an xarray Dataset's "latitude",
    "longitude" and "height" variables or coordinates (or "lat", "lon")
    replace it.  The result is of the same kind: a DataFrame with the same
    index, a Dataset with the same coordinates, or a dict, with the
    :data:`COLUMNS` and their units (``attrs["units"]`` of a DataFrame,
    each variable's ``units`` in a Dataset).  ``projection_factor``
    "vdi3789" weights the beam on a person with the published factor of VDI
    3789-2 instead of the system's (:func:`projection_scale`); ``utci`` adds
    the column "utci" (needs pythermalcomfort)."""
    site = site or Site()
    if weather is None:
        weather = {}
    kind = type(weather).__module__.split(".")[0], type(weather).__name__
    if kind == ("pandas", "DataFrame"):
        return _chain_frame(weather, site, projection_factor, utci)
    if kind == ("xarray", "Dataset"):
        return chain_dataset(weather, site, projection_factor, utci)
    if kind[0] in ("pandas", "xarray") or not isinstance(weather, Mapping):
        raise TypeError("weather must be a pandas DataFrame, an xarray Dataset or a mapping of "
                        f"names to arrays, not a {kind[1]}")
    if times is None:
        raise ValueError("times are needed: give them as times=...")
    fields = {name: np.asarray(value, dtype=float) for name, value in weather.items()}
    return _run(fields, times, site, site.latitude, site.longitude, site.height,
                projection_factor, utci)


def _run(fields: Mapping[str, Any], times: Any, site: Site, lat: Any, lon: Any, height: Any,
         projection_factor: str, utci: bool) -> dict[str, Any]:
    validate_weather(fields)
    utc_hour, doy, zone_hours = time_parts(times, site.zone)
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        return compute(utc_hour, doy, zone_hours, lat, lon, height, fields, projection_factor,
                       utci)


def _chain_frame(frame: Any, site: Site, projection_factor: str, utci: bool) -> Any:
    import pandas as pd

    twice = frame.columns[frame.columns.duplicated()]
    if len(twice):
        raise ValueError(f"column {twice[0]!r} appears twice")
    if "time" in frame.columns:
        if holds_numbers(frame["time"]):
            raise ValueError("column 'time' holds numbers, not dates and times")
        try:
            times = pd.to_datetime(frame["time"], utc=None)
        except (ValueError, TypeError) as e:
            raise ValueError(f"column 'time': {' '.join(str(e).split())}") from None
        fields = frame.drop(columns="time")
    elif holds_numbers(frame.index):
        raise ValueError("no times: the DataFrame needs a DatetimeIndex or a column 'time' "
                         f"(its index is a {type(frame.index).__name__} of numbers)")
    else:
        times, fields = frame.index, frame
    arrays = {name: fields[name].to_numpy(dtype=float) for name in fields.columns}
    result = _run(arrays, times, site, site.latitude, site.longitude, site.height,
                  projection_factor, utci)
    out = pd.DataFrame(result, index=frame.index)
    out.attrs["units"] = {**UNITS, **({"utci": UTCI_COLUMN[1]} if utci else {})}
    return out
