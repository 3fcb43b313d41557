"""What the output's coordinates need to follow CF 1.8 as its checkers read
it, whatever the input carried: coordinate variables without a fill value,
the time called time by its standard name, and only the types of classic
NetCDF (CF 1.8 has no 64-bit integers): int32 where the values fit, else
double, which holds every integer count of a time below 2**53 exactly.
Times are counted in units that hold them (and their bounds) as whole
numbers: the input's where they do, else the coarsest that does, so that
times of minutes within the hour stay exact."""

from __future__ import annotations

import warnings
from typing import Any, Optional

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
            units, dtype = given.get("units"), given.get("dtype")
            if not counts_whole(out, name, units, given.get("calendar")):
                units, dtype = units_of(out, name), None
            try:
                numbers, units, calendar = encode_cf_datetime(
                    var.values, units, given.get("calendar"), dtype)
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


def with_bounds(out: Any, name: str) -> Any:
    """The values of the time coordinate ``name`` and of its bounds."""
    bounds = out[name].attrs.get("bounds")
    values = np.asarray(out[name].values).ravel()
    if bounds in out.variables:
        values = np.concatenate([values, np.asarray(out[bounds].values).ravel()])
    return values


def counts_whole(out: Any, name: str, units: Optional[str], calendar: Optional[str]) -> bool:
    """Whether ``units`` (None: xarray's choice) count the times of ``name``
    and of its bounds as whole numbers, which xarray otherwise stores as
    floats and warns about ("Times can't be serialized faithfully")."""
    if units is None:
        return True
    from xarray.coding.times import encode_cf_datetime

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            encode_cf_datetime(with_bounds(out, name), units, calendar, np.dtype("int64"))
        except (ValueError, TypeError, OverflowError):   # left to xarray's writer
            return True
    return not any("faithfully" in str(w.message) for w in caught)


def units_of(out: Any, name: str) -> str:
    """The coarsest units that count the times of ``name`` and of its
    bounds as whole numbers, since the first of them."""
    from xarray.coding.times import infer_datetime_units

    return str(infer_datetime_units(with_bounds(out, name)))
