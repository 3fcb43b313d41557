// NumPy's C API, as every source of the module sees it.
//
// The module is built against NumPy 2 headers with NPY_TARGET_VERSION set to
// NumPy 1.24 (CMakeLists.txt), so one build runs on NumPy 1.24 through 2.x.
// The API tables live in numpy_api.cpp; they are filled by import_numpy_api,
// which only the direct path's set-up calls: start-up imports `numpy` by
// name and must work with whatever module that name gives, so the C API is
// taken only once `np` is known to be NumPy itself.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef KLIMORA_NUMPY_API_TABLES
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#endif
#include <numpy/ndarrayobject.h>
#include <numpy/arrayscalars.h>
#include <numpy/ufuncobject.h>

namespace klimora {

// Fills the API tables from the installed NumPy: false with an exception
// set if it cannot be had.
bool import_numpy_api();

}  // namespace klimora
