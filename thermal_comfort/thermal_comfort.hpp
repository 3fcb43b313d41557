// Thermal comfort outdoors: the wet-bulb globe temperature after
// Liljegren et al. (2008) and its black-globe temperature, as ufunc-only
// bodies (no klimora.Strahlkit function of their own).
#pragma once

#include "frame/function_spec.hpp"

namespace klimora::thermal_comfort {

// Inputs of both, in order: air temperature, deg C; relative humidity, %;
// wind speed at 10 m, m/s; air pressure, hPa; global irradiance on the
// horizontal, W/m2; its diffuse share, 0 to 1; cosine of the solar zenith
// angle.
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

}  // namespace klimora::thermal_comfort
