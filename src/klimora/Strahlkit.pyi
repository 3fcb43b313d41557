"""Type stubs of the native module klimora.Strahlkit.

Angles in degrees, times in hours, temperatures in deg C, radiant flux
densities in W/m2, cloud cover in oktas, heights in m, humidity in %.
Functions that test a comparison for truth take scalars; Zenitwinkel,
DirStrMBew, AtmosGegenstr and MittlStrTemp also work element by element on
arrays (NumPy, and through NumPy's dispatch xarray and dask).
"""

from fractions import Fraction as Fraction
from types import ModuleType
from typing import Any, Protocol, Union, overload

import numpy
from numpy.typing import NDArray

np: ModuleType

_Scalar = Union[float, numpy.floating[Any], numpy.integer[Any]]
_Array = Union[NDArray[Any], _Scalar]

class _UfuncOperand(Protocol):
    """An array type that takes part in NumPy's dispatch (xarray, dask, ...)."""

    def __array_ufunc__(self, ufunc: Any, method: str, *inputs: Any, **kwargs: Any) -> Any: ...

_Operand = Union[_UfuncOperand, _Array]

# The element-wise functions: scalars give a NumPy float64 (DirStrMBew: a
# float), NumPy arrays an array, other array types (xarray, dask) their own
# type (Any here).  A scalar call matches the first overload, which is the narrower one.

# Generated from ufuncs/functions.toml by make generate, down to the end marker.
def Sonnenzeit(szeit: _Scalar, zeitzone: _Scalar, laenge: _Scalar,
               dayofyear: _Scalar) -> numpy.float64: ...
@overload
def Zenitwinkel(szeit: _Scalar, breite: _Scalar, dayofyear: _Scalar) -> numpy.float64: ...  # type: ignore[overload-overlap]
@overload
def Zenitwinkel(szeit: _Array, breite: _Array, dayofyear: _Array) -> NDArray[numpy.float64]: ...
@overload
def Zenitwinkel(szeit: _Operand, breite: _Operand, dayofyear: _Operand) -> Any: ...
def Azimutwinkel(szeit: _Scalar, breite: _Scalar, dayofyear: _Scalar) -> numpy.float64: ...
def LinkeTruebung(dayofyear: _Scalar, breite: _Scalar, RH: _Scalar) -> float: ...
def RelOptLuftmasse(zenitwinkel: _Scalar, /) -> float: ...
def MaxDirekteStrahlung(dayofyear: _Scalar, mHoehe: _Scalar, zenitwinkel: _Scalar, LinkeTr: _Scalar,
                        RelOptLuftM: _Scalar) -> float: ...
def MaxGlobalstrahlung(dayofyear: _Scalar, mHoehe: _Scalar, zenitwinkel: _Scalar,
                       LinkeTr: _Scalar) -> float: ...
@overload
def DirStrMBew(Imax: _Scalar, N: _Scalar) -> float: ...  # type: ignore[overload-overlap]
@overload
def DirStrMBew(Imax: _Array, N: _Array) -> NDArray[numpy.float64]: ...
@overload
def DirStrMBew(Imax: _Operand, N: _Operand) -> Any: ...
@overload
def AtmosGegenstr(LuftTemp: _Scalar, Dampfdruck: _Scalar, N: _Scalar) -> numpy.float64: ...  # type: ignore[overload-overlap]
@overload
def AtmosGegenstr(LuftTemp: _Array, Dampfdruck: _Array, N: _Array) -> NDArray[numpy.float64]: ...
@overload
def AtmosGegenstr(LuftTemp: _Operand, Dampfdruck: _Operand, N: _Operand) -> Any: ...
def OberflTemp(Strahlungsbilanz: _Scalar, LuftTemp: _Scalar, WindGeschw: _Scalar,
               Bowen: _Scalar) -> float: ...
@overload
def MittlStrTemp(zenitwinkel: _Scalar, EStrOben: _Scalar, EStrUnten: _Scalar, AGegenstr: _Scalar,  # type: ignore[overload-overlap]
                 DiffStr: _Scalar, MaxDirStr: _Scalar, ReflStr: object, albedo: _Scalar,
                 albedo_env: object) -> numpy.float64: ...
@overload
def MittlStrTemp(zenitwinkel: _Array, EStrOben: _Array, EStrUnten: _Array, AGegenstr: _Array,
                 DiffStr: _Array, MaxDirStr: _Array, ReflStr: object, albedo: _Array,
                 albedo_env: object) -> NDArray[numpy.float64]: ...
@overload
def MittlStrTemp(zenitwinkel: _Operand, EStrOben: _Operand, EStrUnten: _Operand,
                 AGegenstr: _Operand, DiffStr: _Operand, MaxDirStr: _Operand, ReflStr: object,
                 albedo: _Operand, albedo_env: object) -> Any: ...
# End of the generated stubs.
