"""A table's columns (a DataFrame's or a mapping's) by the chain's names:
the chain's own, and pvlib's as its readers give them (``read_tmy3``,
``read_epw``, ``get_era5`` with ``map_variables``), so that such a frame
goes into the chain as it is.
"""

from __future__ import annotations

from typing import Any, Mapping

import numpy as np

from klimora import quantities as Q
from klimora.conventions import InputError
from klimora.model import magnus

__all__ = ["FRAME_NAMES", "frame_columns"]

#: The chain's name by pvlib's column name (pvlib.iotools with map_variables),
#: for the columns in the chain's own units.
FRAME_NAMES = {"temp_air": "air_temp", "relative_humidity": "humidity", "wind_speed": "wind",
               "ghi": "global", "dni": "direct", "dhi": "diffuse", "albedo": "albedo",
               "ghi_infrared": "longwave_down"}
#: pvlib's columns that are converted: the dew point (degC) and the sky's
#: cover in tenths (TMY3 and EPW).
DEW_POINT_COLUMN = "temp_dew"
SKY_COVER_COLUMNS = ("total_sky_cover", "TotCld (tenths)", "opaque_sky_cover", "OpqCld (tenths)")


def frame_columns(columns: Mapping[Any, Any]) -> dict[Any, Any]:
    """A table's columns (a DataFrame's or a mapping's) by the chain's
    names: pvlib's names renamed, its dew point turned into a vapour
    pressure (where no humidity is given) and its sky cover in tenths into
    oktas.  A table with pvlib's names is one of pvlib's readers': its other
    columns (pressure, flags, uncertainties) are left aside; in any other,
    an unknown name is refused by the chain's check.  InputError for a
    quantity given twice."""
    pvlib = any(name in FRAME_NAMES and name not in Q.WEATHER for name in columns)
    humid = any(name in columns for name in ("humidity", "relative_humidity", "vapour_pressure"))
    cover = next((name for name in SKY_COVER_COLUMNS if name in columns), None)
    out: dict[Any, Any] = {}
    for name, value in columns.items():
        if name == cover and "cloud" not in columns:
            chain_name, value = "cloud", 0.8 * np.asarray(value, dtype=float)
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
