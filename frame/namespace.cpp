#include "frame/namespace.hpp"

#include "frame/compat.hpp"
#include "frame/ref.hpp"

namespace klimora {

ModuleNamespace module_namespace;

namespace {
std::uint64_t version_of(PyObject* dict) { return compat::dict_stamp(dict); }

// The cached value while neither dict has changed since it was found.
PyObject* cached(const GlobalCache& cache) {
    if (cache.value != nullptr && cache.globals_version == version_of(module_namespace.globals) &&
        cache.builtins_version == version_of(module_namespace.builtins)) {
        return cache.value;
    }
    return nullptr;
}
}  // namespace

PyObject* peek_global(PyObject* name, GlobalCache& cache) {
    if (PyObject* value = cached(cache)) return value;
    Ref value = Ref::steal(load_global(name, cache));
    if (!value) PyErr_Clear();
    return value.get();   // still held by the dict it was found in
}

PyObject* load_global(PyObject* name, GlobalCache& cache) {
    if (PyObject* value = cached(cache)) return Py_NewRef(value);
    PyObject* globals = module_namespace.globals;
    PyObject* builtins = module_namespace.builtins;
    // The look-ups below may run __eq__ of odd keys, which may change either
    // dict: the versions from before them make such a change miss the cache.
    const std::uint64_t globals_version = version_of(globals);
    const std::uint64_t builtins_version = version_of(builtins);
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value == nullptr) {
        if (PyErr_Occurred()) return nullptr;
        value = PyDict_GetItemWithError(builtins, name);
        if (value == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            }
            return nullptr;
        }
    }
    cache.globals_version = globals_version;
    cache.builtins_version = builtins_version;
    cache.value = value;
    return Py_NewRef(value);
}

}  // namespace klimora
