// The module's public functions, in the order of their definitions.
#pragma once

#include "frame/function_spec.hpp"

#include <span>

namespace klimora {

std::span<const FunctionSpec> function_table();

// A ufunc with no function of its own in klimora.Strahlkit: a body that a
// function runs nested, made a ufunc by itself.  klimora.ufuncs adds these
// after the functions', in this order.
struct UfuncOnlyRow {
    const char* name;
    const Body* body;
};

std::span<const UfuncOnlyRow> ufunc_only_table();

}  // namespace klimora
