// Binding the arguments of a call to a function's parameters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "frame/function_spec.hpp"
#include "frame/ref.hpp"

namespace klimora {

// Binds `args` (a tuple) and `kwargs` (a dict, or null) to the parameters
// named in `parameters` (a tuple of str) and writes a reference to each
// bound object to `out`.  Returns false with the TypeError of a wrong call set;
// the caller adds the traceback entry its calling form asks for.
bool bind_arguments(const FunctionSpec& spec, PyObject* parameters, PyObject* args,
                    PyObject* kwargs, Ref* out);

}  // namespace klimora
