// The module klimora.Strahlkit: its definition for multi-phase
// initialisation, the process-wide module record and start-up.
//
// A process holds one module object.  Creation returns it again on every
// later import; execution runs start-up once: constants, the imports of
// numpy and fractions, and the function objects of the function table.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "frame/compat.hpp"
#include "frame/constants.hpp"
#include "frame/function_object.hpp"
#include "frame/namespace.hpp"
#include "formula/numpy_kernels.hpp"
#include "frame/ref.hpp"
#include "frame/traceback.hpp"
#include "strahlkit/function_table.hpp"

#include <array>
#include <cstdint>
#include <cstdio>

namespace klimora {
namespace {

constexpr const char* module_name = "klimora.Strahlkit";

// Lives for the whole process; never released.
struct ModuleRecord {
    std::int64_t interpreter_id = -1;   // -1: no interpreter yet
    PyObject* module = nullptr;
    std::array<FunctionCode, 16> code{};
};
ModuleRecord record;

// ---- creation ---------------------------------------------------------------

// Copies spec.<from> to the namespace entry <to>.  A missing attribute is
// skipped, and so is None where `skip_none` says so.
bool copy_spec_attribute(PyObject* spec, const char* from, PyObject* dict, const char* to,
                         bool skip_none = false) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (skip_none && value.get() == Py_None) return true;
    return PyDict_SetItemString(dict, to, value.get()) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (record.interpreter_id == -1) {
        record.interpreter_id = id;
    } else if (record.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (record.module != nullptr) return Py_NewRef(record.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copy_spec_attribute(spec, "loader", dict, "__loader__") ||
        !copy_spec_attribute(spec, "origin", dict, "__file__") ||
        !copy_spec_attribute(spec, "parent", dict, "__package__") ||
        !copy_spec_attribute(spec, "submodule_search_locations", dict, "__path__", true)) {
        return nullptr;
    }
    return module.release();
}

// ---- execution --------------------------------------------------------------

// Warns when the running interpreter is not the one the module was built
// for, and then refuses to go on: the layout of the interpreter's objects
// differs between minor versions, and a module built for another would read
// them wrongly.
bool check_version() {
    int major = 0, minor = 0;
    std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    char built[32], running[32];
    std::snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    std::snprintf(running, sizeof running, "%d.%d", major, minor);
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "compiletime version %s of module '%.100s' does not match runtime "
                         "version %s",
                         built, module_name, running) < 0) {
        return false;
    }
    PyErr_Format(PyExc_ImportError,
                 "%s was built for CPython %s and cannot run on CPython %s: install klimora "
                 "for this Python",
                 module_name, built, running);
    return false;
}

// `import <name>` (with a from-list if given): relative to the module's
// package first; only an ImportError there makes it try the absolute import.
Ref import_relative_first(const char* name, PyObject* fromlist) {
    Ref module_name_obj = Ref::steal(PyUnicode_FromString(name));
    if (!module_name_obj) return {};
    PyObject* globals = module_namespace.globals;
    Ref module = Ref::steal(
        PyImport_ImportModuleLevelObject(module_name_obj.get(), globals, nullptr, fromlist, 1));
    if (module || !PyErr_ExceptionMatches(PyExc_ImportError)) return module;
    PyErr_Clear();
    return Ref::steal(
        PyImport_ImportModuleLevelObject(module_name_obj.get(), globals, nullptr, fromlist, 0));
}

// Steps 3 onwards of start-up.  `line` follows the step being run, for the
// traceback entry of a failure.
bool start_up(PyObject* module, int& line) {
    line = 1;
    record.module = Py_NewRef(module);
    PyObject* globals = PyModule_GetDict(module);
    Py_XSETREF(module_namespace.globals, Py_NewRef(globals));

    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyDict_SetItemString(globals, "__builtins__", builtins.get()) < 0) return false;
    Py_XSETREF(module_namespace.builtins, Py_NewRef(PyModule_GetDict(builtins.get())));
    if (!compat::watch(globals) || !compat::watch(module_namespace.builtins)) return false;

    if (!ConstantSlot::make_all()) return false;

    PyObject* modules = PyImport_GetModuleDict();
    const int present = PyDict_Contains(modules, Name<"klimora.Strahlkit">::object());
    if (present < 0) return false;
    if (!present && PyDict_SetItem(modules, Name<"klimora.Strahlkit">::object(), module) < 0) {
        return false;
    }

    const auto table = function_table();
    if (table.size() > record.code.size()) {
        PyErr_SetString(PyExc_SystemError, "function table larger than the module record");
        return false;
    }
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i].body->arity != table[i].parameters.size) {
            PyErr_Format(PyExc_SystemError, "%s: body and parameter list differ", table[i].name);
            return false;
        }
        if (!make_function_code(table[i], record.code[i])) return false;
    }

    Ref numpy = import_relative_first("numpy", nullptr);
    if (!numpy || PyDict_SetItem(globals, Name<"np">::object(), numpy.get()) < 0) return false;
    numpy_kernels::remember_numpy(numpy.get());

    line = 2;
    Ref fromlist = Ref::steal(PyList_New(1));
    if (!fromlist) return false;
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(Name<"Fraction">::object()));
    Ref fractions = import_relative_first("fractions", fromlist.get());
    if (!fractions) return false;
    Ref fraction = Ref::steal(PyObject_GetAttr(fractions.get(), Name<"Fraction">::object()));
    if (!fraction) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name %S", Name<"Fraction">::object());
        }
        return false;
    }
    if (PyDict_SetItem(globals, Name<"Fraction">::object(), fraction.get()) < 0) return false;

    Ref qualified_module = Ref::steal(PyUnicode_FromString(module_name));
    for (std::size_t i = 0; i < table.size(); ++i) {
        line = table[i].first_line;
        if (!qualified_module) return false;
        Ref function = Ref::steal(make_function(table[i], record.code[i], qualified_module.get(), globals));
        if (!function || PyDict_SetItemString(globals, table[i].name, function.get()) < 0) {
            return false;
        }
    }

    line = 1;
    Ref test = Ref::steal(PyDict_New());
    return test && PyDict_SetItemString(globals, "__test__", test.get()) == 0;
}

int exec_module(PyObject* module) {
    if (record.module != nullptr) {
        if (record.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'Strahlkit' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (!check_version()) return -1;

    int line = 1;
    if (start_up(module, line)) return 0;

    if (PyErr_Occurred()) {
        Ref code = Ref::steal([] {
            PendingError keep;
            PyObject* c = make_traceback_code("init klimora.Strahlkit", 1);
            if (c == nullptr) PyErr_Clear();
            return c;
        }());
        add_traceback_entry(code.get(), line);
    }
    Py_CLEAR(record.module);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init klimora.Strahlkit");
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "Strahlkit",   // m_name
    nullptr,       // m_doc
    0,             // m_size
    nullptr,       // m_methods
    slots,
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace
}  // namespace klimora

PyMODINIT_FUNC PyInit_Strahlkit(void) {
    return PyModuleDef_Init(&klimora::definition);
}
