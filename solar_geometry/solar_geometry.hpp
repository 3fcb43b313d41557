// Solar geometry: solar time and the position of the sun.
#pragma once

#include "frame/function_spec.hpp"

namespace klimora::solar_geometry {

extern const Body sonnenzeit;
extern const Body zenitwinkel;
extern const Body azimutwinkel;
// Only a ufunc: the equation of time that the solar time runs as ERS.
extern const Body equation_of_time;
// Only a ufunc: true solar time from clock time, zone, longitude and day.
extern const Body true_solar_time;

}  // namespace klimora::solar_geometry
