#include "frame/namespace.hpp"

namespace klimora {

ModuleNamespace module_namespace;

namespace {
std::uint64_t version_of(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
}  // namespace

PyObject* load_global(PyObject* name, GlobalCache& cache) {
    PyObject* globals = module_namespace.globals;
    PyObject* builtins = module_namespace.builtins;
    if (cache.value != nullptr && cache.globals_version == version_of(globals) &&
        cache.builtins_version == version_of(builtins)) {
        return Py_NewRef(cache.value);
    }
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
