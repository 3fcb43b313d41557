"""A table's columns (a DataFrame's or a mapping's) by the chain's names:
the chain's own, and pvlib's as its readers give them (``read_tmy3``,
``read_epw``, ``get_era5`` with ``map_variables``), so that such a frame
goes into the chain as it is.

``get_era5`` renames some of ERA5's short names and converts their units
(2 m temperature and dew point to degC, the hour's accumulated ssrd and
strd to its mean in W m-2) and leaves the others as ERA5 names them: the
wind's components ``u10``, ``v10`` (or ``u100``, ``v100``, at 100 m) in
m/s, and ``tcc``, the cloud cover as a fraction.  Its radiation is the
mean of the hour that ends at the stamp (:func:`hourly_means`).
"""

from __future__ import annotations

from typing import Any, Mapping

import numpy as np

from klimora import quantities as Q
from klimora.conventions import WIND_HEIGHT, InputError, profile
from klimora.model import magnus

__all__ = ["ERA5_COLUMNS", "FRAME_NAMES", "frame_columns", "hourly_means"]

#: The chain's name by pvlib's column name (pvlib.iotools with map_variables),
#: for the columns in the chain's own units.
FRAME_NAMES = {"temp_air": "air_temp", "relative_humidity": "humidity", "wind_speed": "wind",
               "ghi": "global", "dni": "direct", "dhi": "diffuse", "albedo": "albedo",
               "ghi_infrared": "longwave_down"}
#: pvlib's columns that are converted: the dew point (degC) and the sky's
#: cover in tenths (TMY3 and EPW).
DEW_POINT_COLUMN = "temp_dew"
SKY_COVER_COLUMNS = ("total_sky_cover", "TotCld (tenths)", "opaque_sky_cover", "OpqCld (tenths)")
#: The columns of ``get_era5`` in ERA5's own short names, which tell its
#: frames: the wind's components at 10 m and 100 m, sea level pressure,
#: sea surface and skin temperature, cloud cover.
ERA5_COLUMNS = ("u10", "v10", "u100", "v100", "msl", "sst", "skt", "tcc")
#: The wind's components of ``get_era5`` and their height, m.
WIND_COMPONENTS = (("u10", "v10", 10.0), ("u100", "v100", 100.0))


def hourly_means(columns: Any) -> bool:
    """Whether a table is one of ``get_era5``'s, whose radiation (``ghi``,
    ``longwave_down``) is each hour's mean up to its stamp: pvlib's names
    beside ERA5's own short names (:data:`ERA5_COLUMNS`)."""
    names = set(columns)
    return bool(names & set(ERA5_COLUMNS)) and bool(names & {"temp_air", "temp_dew", "ghi"})


def era5_wind(columns: Mapping[Any, Any]) -> Any:
    """The wind speed at the chain's 10 m from ``get_era5``'s components,
    those at 100 m by the logarithmic profile
    (:func:`klimora.conventions.profile`); None without them."""
    for east, north, height in WIND_COMPONENTS:
        if east in columns and north in columns:
            speed = np.hypot(np.asarray(columns[east], dtype=float),
                             np.asarray(columns[north], dtype=float))
            return speed if height == WIND_HEIGHT else speed * profile(height)
    return None


def frame_columns(columns: Mapping[Any, Any]) -> dict[Any, Any]:
    """A table's columns (a DataFrame's or a mapping's) by the chain's
    names: pvlib's names renamed, its dew point turned into a vapour
    pressure (where no humidity is given), its sky cover in tenths into
    oktas and, in ``get_era5``'s frames, ERA5's cloud cover (a fraction)
    into oktas and the wind's components into the speed at 10 m.  A table
    with pvlib's names is one of pvlib's readers': its pressure is taken in
    hPa (from Pa where it is given so), its other columns (flags,
    uncertainties) are left aside; in any other, an
    unknown name is refused by the chain's check.  InputError for a
    quantity given twice."""
    pvlib = any(name in FRAME_NAMES and name not in Q.WEATHER for name in columns)
    humid = any(name in columns for name in ("humidity", "relative_humidity", "vapour_pressure"))
    cover = next((name for name in SKY_COVER_COLUMNS if name in columns), None)
    out: dict[Any, Any] = {}
    era5 = pvlib and hourly_means(columns)
    if era5 and "wind" not in columns and "wind_speed" not in columns:
        wind = era5_wind(columns)
        if wind is not None:
            out["wind"] = wind
    for name, value in columns.items():
        if name == cover and "cloud" not in columns:
            chain_name, value = "cloud", 0.8 * np.asarray(value, dtype=float)
        elif name == "tcc" and era5 and "cloud" not in columns:
            chain_name, value = "cloud", 8.0 * np.asarray(value, dtype=float)
        elif name == "pressure" and pvlib:
            # pvlib's readers give Pa (get_era5, EPW) or mbar (TMY3); the
            # ranges do not meet: 300 to 1100 hPa is 30,000 to 110,000 Pa.
            value = np.asarray(value, dtype=float)
            chain_name, value = "pressure", value / 100.0 if np.any(value > 2000.0) else value
        elif name == DEW_POINT_COLUMN and pvlib and not humid:
            chain_name, value = "vapour_pressure", magnus(np.asarray(value, dtype=float))
        elif name in FRAME_NAMES:
            chain_name = FRAME_NAMES[name]
        elif name in Q.WEATHER or not pvlib:
            chain_name = name
        else:
            continue
        if chain_name in out:
            raise InputError(f"{chain_name} given twice (as {name!r} and by another column)")
        out[chain_name] = value
    return out
