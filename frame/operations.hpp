// The Python operations that formula steps need beyond the number protocol.
// Each returns a new reference, or null with a Python error set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace klimora {

// Calls `callable` with positional arguments only, through the recursion
// guard (" while calling a Python object"); a callee that returns null
// without setting an error gives SystemError.
PyObject* call_object(PyObject* callable, PyObject* const* args, std::size_t nargs);

// x[i]: mapping subscription first, then the sequence item with i converted
// through the index protocol.
PyObject* get_item(PyObject* object, PyObject* index);

// int(x), with an exact int taken as it is.
PyObject* to_python_int(PyObject* x);

}  // namespace klimora
