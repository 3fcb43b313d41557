// Thermal comfort outdoors, as ufunc-only bodies and loops (no
// klimora.Strahlkit function of their own): the wet-bulb globe temperature
// after Liljegren et al. (2008) and its black-globe temperature; the
// indices from the air, the mean radiant temperature, the wind and the
// humidity, the ufuncs utci and utci_category.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "frame/function_spec.hpp"

namespace klimora::thermal_comfort {

// Inputs of wbgt and globe_temperature, in order: air temperature, deg C;
// relative humidity, %; wind speed at 10 m, m/s; air pressure, hPa; global
// irradiance on the horizontal, W/m2; its diffuse share, 0 to 1; cosine of
// the solar zenith angle.
inline constexpr std::size_t inputs = 7;

// WBGT = 0.7 Tnwb + 0.2 Tg + 0.1 Ta, deg C.
extern const Body wbgt;
// Tg, the temperature of a 0.0508 m black globe, deg C.
extern const Body globe_temperature;

// Their float32 loops: worked out in float64, rounded once.
extern const UfuncLoop wbgt_float32;
extern const UfuncLoop globe_temperature_float32;

// The scalar models, for the loops and for tests in C++.
double wbgt_of(const double* in);
double globe_temperature_of(const double* in);

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

// PET, deg C (thermal_comfort/pet.cpp), of the air temperature (deg C),
// the mean radiant temperature (deg C), the wind (m/s), the relative
// humidity (%) and the pressure (hPa), for the standard person (pet); and
// for a person given by seven more inputs (pet_person): work metabolism
// (W), clothing (clo), age (years), 1 male or 0 female, weight (kg),
// height (m), 0 sitting, 1 standing or 2 standing in forced convection.
inline constexpr std::size_t pet_inputs = 5, pet_person_inputs = 12;
void pet_float32(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps, void*);
void pet_float64(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps, void*);
void pet_person_float32(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps,
                        void*);
void pet_person_float64(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps,
                        void*);

}  // namespace klimora::thermal_comfort
