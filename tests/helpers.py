"""Comparing the native module with the reference: results, outcomes, tracebacks."""

import math
import struct
import traceback
import warnings
from pathlib import Path

import numpy as np
import pytest

SOURCE = "klimora/Strahlkit"
PROJECT = Path(__file__).resolve().parent.parent
# NumPy before 1.25 picks the NaN of an array operation on two NaNs by where
# the arrays lie in memory, so one expression gives NaNs of either sign from
# call to call: there, NaNs in float arrays compare as NaN.
ARRAY_NANS_VARY = np.lib.NumpyVersion(np.__version__) < "1.25.0"
#: turbidity="climatology" reads pvlib's table with h5py (the extra climatology).
CLIMATOLOGY = pytest.mark.needs("pvlib", "h5py")


def same(a, b):
    """Same type and the same bits (arrays: dtype, shape and bytes)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        if a.dtype != b.dtype or a.shape != b.shape:
            return False
        if ARRAY_NANS_VARY and a.dtype.kind == "f":
            nan = np.isnan(a)
            return bool((nan == np.isnan(b)).all()) and a[~nan].tobytes() == b[~nan].tobytes()
        return a.tobytes() == b.tobytes()
    if isinstance(a, np.generic):
        return a.dtype == b.dtype and a.tobytes() == b.tobytes()
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    return a == b


def outcome(fn, *args):
    """What a call gives: ('ok', result, warnings) or ('raise', type, message, warnings)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = fn(*args)
        except Exception as e:  # noqa: BLE001 - every exception is part of the outcome
            got = ("raise", type(e), str(e))
        else:
            got = ("ok", result)
    return got + (tuple((w.category, str(w.message)) for w in caught),)


def same_outcome(a, b, results_agree=None):
    """Same kind of outcome and warnings; results compared by `same` (or
    the comparison given), exceptions by type and message."""
    if a[0] != b[0] or a[-1] != b[-1]:
        return False
    if a[0] == "ok":
        return (results_agree or same)(a[1], b[1])
    return a[1:3] == b[1:3]


def module_entries(exc):
    """The traceback entries the native module added: (function, line)."""
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
            if f.filename == SOURCE]


def qual(name):
    return "klimora.Strahlkit." + name


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def isnan(x):
    return isinstance(x, float) and math.isnan(x)


class Poisoned(Exception):
    pass


class Poison:
    """An operand every operation on which raises Poisoned."""

    def _fail(self, *args):
        raise Poisoned("poison")

    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = _fail
    __truediv__ = __rtruediv__ = __neg__ = __and__ = __rand__ = _fail
    __lt__ = __le__ = __gt__ = __ge__ = __eq__ = __ne__ = _fail
    __array_ufunc__ = _fail
    __hash__ = object.__hash__
