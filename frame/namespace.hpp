// The module namespace that function bodies read their globals from.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace klimora {

struct ModuleNamespace {
    PyObject* globals = nullptr;    // the module's __dict__ (borrowed from the module)
    PyObject* builtins = nullptr;   // the builtins module's __dict__ (owned)
};

// Set by module execution; read by every body.
extern ModuleNamespace module_namespace;

// One use site's memory of a global look-up.  It stays valid while neither
// the module namespace nor the builtins change: a dict's stamp
// (compat::dict_stamp) moves on every modification, so equal stamps mean an
// unchanged dict.
struct GlobalCache {
    std::uint64_t globals_version = 0;
    std::uint64_t builtins_version = 0;
    PyObject* value = nullptr;   // borrowed from the dict that holds it
};

// Reads a global as Python does: the module namespace, then the builtins.
// Returns a new reference, or null with NameError "name '...' is not
// defined" (or the dict's own error) set.
PyObject* load_global(PyObject* name, GlobalCache& cache);

// The same look-up without raising: a borrowed reference, or null if the
// name is not there (or the look-up failed; the error is cleared).
PyObject* peek_global(PyObject* name, GlobalCache& cache);

}  // namespace klimora
