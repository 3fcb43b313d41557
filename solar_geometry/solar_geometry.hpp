// Solar geometry: solar time and the position of the sun.
#pragma once

#include "frame/function_spec.hpp"

namespace klimora::solar_geometry {

extern const Body sonnenzeit;

}  // namespace klimora::solar_geometry
