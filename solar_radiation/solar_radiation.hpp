// Solar radiation: turbidity, optical air mass and short-wave irradiance.
#pragma once

#include "frame/function_spec.hpp"

namespace klimora::solar_radiation {

extern const Body linke_truebung;
extern const Body rel_opt_luftmasse;
extern const Body max_direkte_strahlung;
extern const Body max_globalstrahlung;
extern const Body dir_str_m_bew;

}  // namespace klimora::solar_radiation
