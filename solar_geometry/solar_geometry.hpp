// Solar geometry: solar time and the position of the sun.
#pragma once

#include "frame/function_spec.hpp"

namespace klimora::solar_geometry {

extern const Body sonnenzeit;
extern const Body zenitwinkel;
extern const Body azimutwinkel;
// Only a ufunc: the equation of time that the solar time runs as ERS.
extern const Body equation_of_time;

}  // namespace klimora::solar_geometry
