// One row per public function: its name, calling form, parameters, the
// further names of its code object, its first source line, its docstring
// and its body.  Start-up makes the function objects from these rows in
// this order; binding and its messages read them on every call.
#include "strahlkit/function_table.hpp"

#include "solar_geometry/solar_geometry.hpp"
#include "solar_radiation/solar_radiation.hpp"
#include "thermal_radiation/thermal_radiation.hpp"
#include "thermal_comfort/thermal_comfort.hpp"

namespace klimora {
namespace {

// The zenith angle and the azimuth carry the text of the declination
// routine they inline.
#define KLIMORA_DEKLIN_BODY                                                                   \
    "np.degrees(np.arcsin(0.3978*np.sin(np.radians(0.9856*dayofyear-2.72-77.51+1.92*np.sin(" \
    "np.radians(0.9856*dayofyear-2.72))))))"

constexpr const char* zenitwinkel_doc =
    "\n"
    "    def deklin(dayofyear):\n"
    "        Result = " KLIMORA_DEKLIN_BODY "\n"
    "        return Result\n"
    "    delta = deklin(dayofyear)\n"
    "    ";

constexpr const char* azimutwinkel_doc =
    "\n"
    "    def deklin(dayofyear):\n"
    "        Result=" KLIMORA_DEKLIN_BODY "\n"
    "        return Result\n"
    "    ";

#undef KLIMORA_DEKLIN_BODY

constexpr const char* no_doc = nullptr;

const FunctionSpec table[] = {
    {"Sonnenzeit", CallForm::keyword,
     {"szeit", "zeitzone", "laenge", "dayofyear"},
     {"ERS", "ERS", "zonezeit", "zzeit", "s", "Result"},
     6, no_doc, &solar_geometry::sonnenzeit},
    {"Zenitwinkel", CallForm::keyword,
     {"szeit", "breite", "dayofyear"},
     {"delta", "sinBr", "cosBr", "sinD", "cosD", "s", "Result"},
     31, zenitwinkel_doc, &solar_geometry::zenitwinkel},
    {"Azimutwinkel", CallForm::keyword,
     {"szeit", "breite", "dayofyear"},
     {"Winkel", "Winkel", "delta", "sinBr", "cosBr", "sinD", "cosD", "sinSz", "cosSz", "sy", "sz", "Result"},
     47, azimutwinkel_doc, &solar_geometry::azimutwinkel},
    {"LinkeTruebung", CallForm::keyword,
     {"dayofyear", "breite", "RH"},
     {"Tl", "Vm"},
     80, no_doc, &solar_radiation::linke_truebung},
    {"RelOptLuftmasse", CallForm::single_argument,
     {"zenitwinkel"},
     {"a", "b", "c", "Tabm", "i", "m"},
     98, no_doc, &solar_radiation::rel_opt_luftmasse},
    {"MaxDirekteStrahlung", CallForm::keyword,
     {"dayofyear", "mHoehe", "zenitwinkel", "LinkeTr", "RelOptLuftM"},
     {"ExtraterrStrahlung", "ExtraterrStrahlung", "OptDicke", "OptDicke", "Druckkorrektur", "Druckkorrektur", "Isenkr"},
     117, no_doc, &solar_radiation::max_direkte_strahlung},
    {"MaxGlobalstrahlung", CallForm::keyword,
     {"dayofyear", "mHoehe", "zenitwinkel", "LinkeTr"},
     {"ExtraterrStrahlung", "ExtraterrStrahlung", "Druckkorrektur", "Druckkorrektur", "Gmax"},
     141, no_doc, &solar_radiation::max_globalstrahlung},
    {"DirStrMBew", CallForm::keyword,
     {"Imax", "N"},
     {"Result"},
     156, no_doc, &solar_radiation::dir_str_m_bew},
    {"AtmosGegenstr", CallForm::keyword,
     {"LuftTemp", "Dampfdruck", "N"},
     {"epseff", "sigma", "T", "A0", "nx", "Result"},
     161, no_doc, &thermal_radiation::atmos_gegenstr},
    {"OberflTemp", CallForm::keyword,
     {"Strahlungsbilanz", "LuftTemp", "WindGeschw", "Bowen"},
     {"Q", "B", "alphaL", "Result"},
     193, no_doc, &thermal_radiation::oberfl_temp},
    {"MittlStrTemp", CallForm::keyword,
     {"zenitwinkel", "EStrOben", "EStrUnten", "AGegenstr", "DiffStr", "MaxDirStr", "ReflStr", "albedo", "albedo_env"},
     {"sigma", "epsP", "alphaIR", "gamma", "fP", "Result"},
     211, no_doc, &thermal_radiation::mittl_str_temp},
};

const UfuncOnlyRow ufunc_only[] = {
    {"equation_of_time", &solar_geometry::equation_of_time},
    {"solar_time", &solar_geometry::true_solar_time},
    {"wbgt", &thermal_comfort::wbgt},
    {"globe_temperature", &thermal_comfort::globe_temperature},
};

}  // namespace

std::span<const FunctionSpec> function_table() { return table; }

std::span<const UfuncOnlyRow> ufunc_only_table() { return ufunc_only; }

}  // namespace klimora
