"""What the output's coordinates need to follow CF 1.8 as its checkers read
it, whatever the input carried: coordinate variables without a fill value,
the time called time by its standard name, and only the types of classic
NetCDF (CF 1.8 has no 64-bit integers): int32 where the values fit, else
double, which holds every integer count of a time below 2**53 exactly."""

from __future__ import annotations

from typing import Any

import numpy as np

INT32 = np.iinfo(np.int32)


def is_time(var: Any) -> bool:
    """Whether ``var`` holds dates: datetime64, or cftime's objects."""
    return var.dtype.kind == "M" or (var.dtype.kind == "O" and var.size > 0 and
                                     hasattr(var.values.flat[0], "calendar"))


def narrow(values: Any) -> str:
    """int32 if every one of the integer ``values`` fits, else float64."""
    values = np.asarray(values)
    if values.size == 0 or (values.min() >= INT32.min and values.max() <= INT32.max):
        return "int32"
    return "float64"


def coordinates(out: Any) -> tuple[Any, dict[str, dict[str, Any]]]:
    """``out`` with a standard_name "time" on its time coordinates that have
    none, and the encoding of each coordinate for CF 1.8 (to be given to
    xarray's writer with the columns' own)."""
    from xarray.coding.times import encode_cf_datetime

    encoding: dict[str, dict[str, Any]] = {}
    attributes = {}
    for name, var in out.coords.items():
        name = str(name)
        given = dict(var.encoding)
        wanted: dict[str, Any] = {}
        if name in out.dims or "_FillValue" not in given:
            wanted["_FillValue"] = None
        if is_time(var):
            if name in out.dims and "standard_name" not in var.attrs:
                attributes[name] = {**var.attrs, "standard_name": "time"}
            try:
                numbers, units, calendar = encode_cf_datetime(
                    var.values, given.get("units"), given.get("calendar"), given.get("dtype"))
            except (ValueError, TypeError, OverflowError):   # left to xarray's writer
                numbers = None
            if numbers is not None:
                wanted.update(units=units, calendar=calendar)
                if np.asarray(numbers).dtype.kind in "iu" and np.asarray(numbers).itemsize > 4:
                    wanted["dtype"] = narrow(numbers)
        elif var.dtype.kind in "iu" and var.dtype.itemsize > 4:
            wanted["dtype"] = narrow(var.values)
        encoding[name] = wanted
    for name, attrs in attributes.items():
        out[name].attrs = attrs
    return out, encoding
