// Indices of thermal comfort from the air, the mean radiant temperature,
// the wind and the humidity: the ufuncs utci and utci_category.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace klimora::thermal_comfort {

// UTCI, deg C, of the air temperature (deg C), the mean radiant
// temperature (deg C), the wind at 10 m (m/s) and the water-vapour
// pressure (hPa); NaN outside the polynomial's domain.
double utci(double air_temp, double mrt, double wind, double vapour_pressure);

// The stress class of a UTCI, 0 (extreme cold stress) to 9 (extreme heat
// stress); NaN for NaN.
double utci_category(double utci);

// The ufuncs' loops, as NumPy calls them: float32 (worked out in float64,
// rounded once) and float64.
void utci_float32(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps, void*);
void utci_float64(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps, void*);
void utci_category_float32(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps,
                           void*);
void utci_category_float64(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps,
                           void*);

}  // namespace klimora::thermal_comfort
