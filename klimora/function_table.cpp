// One row per public function: its name, calling form, parameters, the
// further names of its code object, its first source line, its docstring
// and its body.  Start-up makes the function objects from these rows in
// this order; binding and its messages read them on every call.
#include "klimora/function_table.hpp"

#include "solar_geometry/solar_geometry.hpp"

namespace klimora {
namespace {

const FunctionSpec table[] = {
    {"Sonnenzeit", CallForm::keyword,
     {"szeit", "zeitzone", "laenge", "dayofyear"},
     {"ERS", "ERS", "zonezeit", "zzeit", "s", "Result"},
     6, nullptr, &solar_geometry::sonnenzeit},
};

}  // namespace

std::span<const FunctionSpec> function_table() { return table; }

}  // namespace klimora
