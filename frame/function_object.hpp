// The type of the module's public function objects.
//
// A function object offers what introspection expects of a Python function
// (__name__, __qualname__, __module__, __doc__, __globals__, __code__,
// __defaults__, __kwdefaults__, __closure__, a writable __dict__), binds as
// a method when read through an instance, pickles by reference, and on a
// call binds its arguments and runs the body of its table row.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "frame/function_spec.hpp"

namespace klimora {

// The code objects of one table row, made once at start-up and kept for
// the life of the process.
struct FunctionCode {
    PyObject* parameters = nullptr;       // tuple of the parameter names
    PyObject* traceback_code = nullptr;   // names the function in tracebacks
};

// Fills `out` for `spec` (and the traceback codes of its nested functions)
// where not made yet.  Returns false with a Python error set.
bool make_function_code(const FunctionSpec& spec, FunctionCode& out);

// A new function object for `spec`, or null with a Python error set.
PyObject* make_function(const FunctionSpec& spec, const FunctionCode& code,
                        PyObject* module_name, PyObject* globals);

}  // namespace klimora
