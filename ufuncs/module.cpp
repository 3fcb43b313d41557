// klimora.ufuncs: one NumPy ufunc per function of klimora.Strahlkit, from
// the same function table and the same bodies, equation_of_time, the body
// Sonnenzeit runs nested as ERS, and solar_time, true solar time from
// clock time, and wbgt and globe_temperature, the wet-bulb globe
// temperature outdoors (thermal_comfort/).  Each has one float64 loop
// (ufunc_loop.hpp), and solar_time, wbgt and globe_temperature a float32
// one besides; NumPy casts other real inputs to float64,
// broadcasts, handles out=, where= and the floating-point flags, and runs
// the loops without the GIL; utci and utci_category, the thermal-comfort
// indices, have loops of their own.  Each ufunc of a Strahlkit function is also
// the module's attribute under an English name, the same object
// (klimora.radiation takes its inputs by keyword).
#include "formula/numpy_api.hpp"
#include "formula/numpy_kernels.hpp"
#include "formula/ufunc_loop.hpp"
#include "frame/ref.hpp"
#include "strahlkit/function_table.hpp"
#include "thermal_comfort/thermal_comfort.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string_view>

namespace klimora {
namespace {

struct UfuncDoc {
    const char* name;
    const char* text;
};

struct EnglishName {
    const char* name;
    const char* english;
};

// docs[] and english_names[], written from ufuncs/functions.toml.
#include "ufuncs/functions.inc"

const char* doc_of(std::string_view name) {
    for (const UfuncDoc& d : docs) {
        if (name == d.name) return d.text;
    }
    return nullptr;
}

constexpr std::size_t most_inputs = 16;
// Every loop takes float64 inputs and gives a float64.
constexpr auto float64_types = [] {
    std::array<char, most_inputs + 1> t{};
    t.fill(NPY_DOUBLE);
    return t;
}();

// solar_time's loops: four float32 in, a float32 out; then the float64 one.
constexpr int solar_time_inputs = 4;
constexpr char solar_time_types[] = {NPY_FLOAT, NPY_FLOAT, NPY_FLOAT, NPY_FLOAT, NPY_FLOAT,
                                     NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE};

// wbgt's and globe_temperature's loops: seven float32 in, a float32 out,
// worked out in float64 (thermal_comfort/wbgt.cpp); then the float64 one.
struct Float32Loop {
    const char* name;
    PyUFuncGenericFunction loop;
};
const Float32Loop comfort_float32[] = {
    {"wbgt", thermal_comfort::wbgt_float32},
    {"globe_temperature", thermal_comfort::globe_temperature_float32},
};
constexpr auto comfort_types = [] {
    constexpr std::size_t n = thermal_comfort::inputs + 1;
    std::array<char, 2 * n> t{};
    std::fill(t.begin(), t.begin() + n, NPY_FLOAT);
    std::fill(t.begin() + n, t.end(), NPY_DOUBLE);
    return t;
}();

// NumPy keeps pointers to these for the life of each ufunc.
PyUFuncGenericFunction loops[32][2];
void* loop_data[32][2];

// solar_time on float32: each block of elements widened to float64, run
// through the float64 loop (`data`, the body's) and rounded once to
// float32.  A time a hair below 24 rounds to 24.0f: the next day's 0.0f,
// as in the float64 loop (== is the comparison that leaves NaN quiet).
void solar_time_float32(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps,
                        void* data) {
    constexpr int nin = solar_time_inputs;
    constexpr Py_intptr_t chunk = blocks::block_size;
    const UfuncLoop wide = static_cast<const Body*>(data)->ufunc_loop;
    double buffers[nin + 1][chunk];
    const Py_intptr_t count = dimensions[0];
    // Only the main thread's loops look for Ctrl-C (ufunc_loop.hpp), and
    // only it may read what they found.
    const bool main_thread = PyThread_get_thread_ident() ==
                             blocks::signals::main_thread.load(std::memory_order_relaxed);
    for (Py_intptr_t start = 0; start < count; start += chunk) {
        const Py_intptr_t n = std::min(chunk, count - start);
        char* wide_args[nin + 1];
        for (int j = 0; j < nin; ++j) {
            const char* from = args[j] + start * steps[j];
            for (Py_intptr_t i = 0; i < n; ++i) {
                buffers[j][i] = *reinterpret_cast<const float*>(from + i * steps[j]);
            }
            wide_args[j] = reinterpret_cast<char*>(buffers[j]);
        }
        wide_args[nin] = reinterpret_cast<char*>(buffers[nin]);
        const Py_intptr_t wide_steps[nin + 1] = {sizeof(double), sizeof(double), sizeof(double),
                                                 sizeof(double), sizeof(double)};
        wide(wide_args, &n, wide_steps, nullptr);
        char* to = args[nin] + start * steps[nin];
        for (Py_intptr_t i = 0; i < n; ++i) {
            float r = static_cast<float>(buffers[nin][i]);
            if (r == 24.0f) r = 0.0f;
            *reinterpret_cast<float*>(to + i * steps[nin]) = r;
        }
        // Ctrl-C ended the float64 loop: the rest is NaN too (ufunc_loop.hpp).
        if (main_thread && blocks::signals::interrupted) {
            for (Py_intptr_t i = start + n; i < count; ++i) {
                *reinterpret_cast<float*>(args[nin] + i * steps[nin]) =
                    std::numeric_limits<float>::quiet_NaN();
            }
            return;
        }
    }
}

// The ufuncs of the thermal-comfort indices: loops of their own, float32
// then float64, added last.
struct ComfortUfunc {
    const char* name;
    int inputs;
    PyUFuncGenericFunction float32_loop, float64_loop;
};

constexpr ComfortUfunc comfort_ufuncs[] = {
    {"utci", 4, thermal_comfort::utci_float32, thermal_comfort::utci_float64},
    {"utci_category", 1, thermal_comfort::utci_category_float32,
     thermal_comfort::utci_category_float64},
    {"pet", thermal_comfort::pet_inputs, thermal_comfort::pet_float32, thermal_comfort::pet_float64},
    {"pet_person", thermal_comfort::pet_person_inputs, thermal_comfort::pet_person_float32,
     thermal_comfort::pet_person_float64},
};

// Their types: all float32, then all float64.
char comfort_types_of[std::size(comfort_ufuncs)][2 * (thermal_comfort::pet_person_inputs + 1)];
void* comfort_data[std::size(comfort_ufuncs)][2] = {};
PyUFuncGenericFunction comfort_loops[std::size(comfort_ufuncs)][2];

bool add_comfort_ufunc(PyObject* module, PyObject* names, std::size_t i) {
    const ComfortUfunc& c = comfort_ufuncs[i];
    const int args = c.inputs + 1;
    for (int j = 0; j < args; ++j) {
        comfort_types_of[i][j] = NPY_FLOAT;
        comfort_types_of[i][args + j] = NPY_DOUBLE;
    }
    comfort_loops[i][0] = c.float32_loop;
    comfort_loops[i][1] = c.float64_loop;
    Ref ufunc = Ref::steal(PyUFunc_FromFuncAndData(
        comfort_loops[i], comfort_data[i], comfort_types_of[i], 2, c.inputs, 1, PyUFunc_None,
        c.name, doc_of(c.name), 0));
    Ref name_object = Ref::steal(PyUnicode_FromString(c.name));
    return ufunc && name_object &&
           PyObject_SetAttr(module, name_object.get(), ufunc.get()) == 0 &&
           PyList_Append(names, name_object.get()) == 0;
}

// The thread that runs the signal handlers, where the loops look for
// Ctrl-C (ufunc_loop.hpp).
bool know_main_thread() {
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    if (!threading) return false;
    Ref main = Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) return false;
    Ref ident = Ref::steal(PyObject_GetAttrString(main.get(), "ident"));
    if (!ident) return false;
    const unsigned long id = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) return false;
    blocks::signals::main_thread.store(id);
    return true;
}

// Makes the ufunc `name` from `body`'s float64 loop, with loops[i], and
// adds it to the module and to `names`.
// solar_time has a float32 loop before its float64 one.
bool add_ufunc(PyObject* module, PyObject* names, std::size_t i, const char* name,
               const Body& body) {
    const int inputs = static_cast<int>(body.ufunc_inputs.size);
    const bool with_float32 = std::string_view(name) == "solar_time";
    if (with_float32 && inputs != solar_time_inputs) {
        PyErr_SetString(PyExc_SystemError, "solar_time takes four inputs");
        return false;
    }
    int count = 0;
    if (with_float32) {
        loops[i][count] = solar_time_float32;
        loop_data[i][count++] = const_cast<Body*>(&body);
    }
    PyUFuncGenericFunction comfort = nullptr;
    for (const Float32Loop& c : comfort_float32) {
        if (std::string_view(name) == c.name) comfort = c.loop;
    }
    if (comfort) {
        if (inputs != static_cast<int>(thermal_comfort::inputs)) {
            PyErr_SetString(PyExc_SystemError, "a thermal-comfort ufunc takes seven inputs");
            return false;
        }
        loops[i][count] = comfort;
        loop_data[i][count++] = nullptr;
    }
    loops[i][count] = body.ufunc_loop;
    loop_data[i][count++] = nullptr;
    const char* types = with_float32 ? solar_time_types
                        : comfort    ? comfort_types.data()
                                     : float64_types.data();
    Ref ufunc = Ref::steal(PyUFunc_FromFuncAndData(
        loops[i], loop_data[i], const_cast<char*>(types), count, inputs, 1,
        PyUFunc_None, name, doc_of(name), 0));
    Ref name_object = Ref::steal(PyUnicode_FromString(name));
    return ufunc && name_object &&
           PyObject_SetAttr(module, name_object.get(), ufunc.get()) == 0 &&
           PyList_Append(names, name_object.get()) == 0;
}

// Makes the ufunc `name` the module's attribute `english` too, and adds
// `english` to `names`.
bool add_english_name(PyObject* module, PyObject* names, const char* name,
                      const char* english) {
    Ref ufunc = Ref::steal(PyObject_GetAttrString(module, name));
    if (!ufunc) return false;
    Ref english_object = Ref::steal(PyUnicode_FromString(english));
    return english_object && PyObject_SetAttr(module, english_object.get(), ufunc.get()) == 0 &&
           PyList_Append(names, english_object.get()) == 0;
}

int exec_module(PyObject* module) {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy || !import_numpy_api() || !numpy_kernels::take_kernels(numpy.get())) return -1;
    if (!know_main_thread()) return -1;
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return -1;
    if (function_table().size() + ufunc_only_table().size() > std::size(loops)) {
        PyErr_SetString(PyExc_SystemError, "more ufuncs than loops");
        return -1;
    }
    std::size_t i = 0;
    for (const FunctionSpec& spec : function_table()) {
        if (!add_ufunc(module, names.get(), i++, spec.name, *spec.body)) return -1;
    }
    for (const UfuncOnlyRow& row : ufunc_only_table()) {
        if (!add_ufunc(module, names.get(), i++, row.name, *row.body)) return -1;
    }
    for (const EnglishName& e : english_names) {
        if (!add_english_name(module, names.get(), e.name, e.english)) return -1;
    }
    for (std::size_t c = 0; c < std::size(comfort_ufuncs); ++c) {
        if (!add_comfort_ufunc(module, names.get(), c)) return -1;
    }
    return PyModule_AddObjectRef(module, "__all__", names.get());
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "ufuncs",
    "One NumPy ufunc per function of klimora.Strahlkit, each element exactly what\n"
    "the function gives on that element's NumPy float64 scalars,\n"
    "equation_of_time, the equation of time that Sonnenzeit applies, and\n"
    "solar_time, true solar time from clock time.  Each ufunc of a function is\n"
    "here under its English name too (solar_zenith_angle is Zenitwinkel);\n"
    "klimora.radiation takes the inputs by keyword.",
    0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace klimora

PyMODINIT_FUNC PyInit_ufuncs() { return PyModuleDef_Init(&klimora::definition); }
