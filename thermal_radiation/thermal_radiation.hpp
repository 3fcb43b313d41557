// Thermal radiation: counter-radiation, surface temperature and mean
// radiant temperature.
#pragma once

#include "frame/function_spec.hpp"

namespace klimora::thermal_radiation {

extern const Body atmos_gegenstr;
extern const Body oberfl_temp;
extern const Body mittl_str_temp;

}  // namespace klimora::thermal_radiation
