// The module's public functions, in the order of their definitions.
#pragma once

#include "frame/function_spec.hpp"

#include <span>

namespace klimora {

std::span<const FunctionSpec> function_table();

}  // namespace klimora
