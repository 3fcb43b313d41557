// klimora.ufuncs: one NumPy ufunc per function of klimora.Strahlkit, from
// the same function table and the same bodies, and equation_of_time, the
// body Sonnenzeit runs nested as ERS.  Each has one float64 loop
// (ufunc_loop.hpp); NumPy casts other real inputs to float64, broadcasts,
// handles out=, where= and the floating-point flags, and runs the loop
// without the GIL.  Each ufunc of a Strahlkit function is also the
// module's attribute under an English name, the same object
// (klimora.radiation takes its inputs by keyword).
#include "formula/numpy_api.hpp"
#include "formula/numpy_kernels.hpp"
#include "formula/ufunc_loop.hpp"
#include "frame/ref.hpp"
#include "strahlkit/function_table.hpp"

#include <array>
#include <cstring>
#include <string_view>

namespace klimora {
namespace {

struct UfuncDoc {
    const char* name;
    const char* text;
};

// What each ufunc gives and takes, with units.  NumPy puts the call
// signature (x1, x2, ... / out=, where=, ...) in front.
constexpr UfuncDoc docs[] = {
    {"Sonnenzeit",
     "Time of day folded into one day, h.\n\n"
     "Parameters: szeit, time of day, h; zeitzone, time-zone offset east of UTC, h;\n"
     "laenge, longitude east, deg; dayofyear, day of the year, 1 to 366."},
    {"Zenitwinkel",
     "Solar zenith angle, deg.\n\n"
     "Parameters: szeit, true solar time (noon at 12), h; breite, latitude north, deg;\n"
     "dayofyear, day of the year, 1 to 366."},
    {"Azimutwinkel",
     "Solar azimuth from north through east, 0 to 360 deg.\n\n"
     "Parameters: szeit, true solar time (noon at 12), h; breite, latitude north, deg;\n"
     "dayofyear, day of the year, 1 to 366."},
    {"LinkeTruebung",
     "Linke turbidity factor, 1.\n\n"
     "Parameters: dayofyear, day of the year, 1 to 366; breite, latitude north, deg;\n"
     "RH, relative humidity, %."},
    {"RelOptLuftmasse",
     "Relative optical air mass, 1; 999.0 outside 0 to 91 deg; NaN (invalid) for a\n"
     "zenith angle of NaN or an infinity.\n\n"
     "Parameters: zenitwinkel, solar zenith angle, deg."},
    {"MaxDirekteStrahlung",
     "Clear-sky direct irradiance normal to the beam, W/m2; 0.0 with the sun down.\n\n"
     "Parameters: dayofyear, day of the year, 1 to 366; mHoehe, height above sea\n"
     "level, m; zenitwinkel, solar zenith angle, deg; LinkeTr, Linke turbidity, 1;\n"
     "RelOptLuftM, relative optical air mass, 1."},
    {"MaxGlobalstrahlung",
     "Clear-sky global irradiance on the horizontal, W/m2; 0.0 with the sun down.\n\n"
     "Parameters: dayofyear, day of the year, 1 to 366; mHoehe, height above sea\n"
     "level, m; zenitwinkel, solar zenith angle, deg; LinkeTr, Linke turbidity, 1."},
    {"DirStrMBew",
     "Direct irradiance reduced for cloud cover, W/m2.\n\n"
     "Parameters: Imax, clear-sky direct irradiance, W/m2; N, cloud cover, oktas\n"
     "(0 clear to 8 overcast)."},
    {"AtmosGegenstr",
     "Atmospheric counter-radiation, W/m2.\n\n"
     "Parameters: LuftTemp, air temperature, deg C; Dampfdruck, water-vapour\n"
     "pressure, hPa; N, cloud cover, oktas."},
    {"OberflTemp",
     "Surface temperature, deg C.\n\n"
     "Parameters: Strahlungsbilanz, net radiation of the ground, W/m2; LuftTemp, air\n"
     "temperature, deg C; WindGeschw, wind speed, m/s; Bowen, Bowen ratio, 1 (values\n"
     "below -0.9 count as -0.9)."},
    {"MittlStrTemp",
     "Mean radiant temperature of a person, deg C.\n\n"
     "Parameters: zenitwinkel, solar zenith angle, deg; EStrOben, EStrUnten,\n"
     "long-wave flux from above and from below, W/m2; AGegenstr, counter-radiation\n"
     "of the sky, W/m2; DiffStr, diffuse and reflected short-wave flux, W/m2;\n"
     "MaxDirStr, direct irradiance normal to the beam, W/m2; albedo, short-wave\n"
     "albedo of the person, 1.  (Strahlkit.MittlStrTemp's ReflStr and albedo_env\n"
     "take no part and are not inputs here.)"},
    {"equation_of_time",
     "Equation of time, apparent minus mean solar time, h.\n\n"
     "Parameters: dayofyear, day of the year, 1 to 366."},
};

// The English name of each ufunc of a Strahlkit function, in the order of
// the function table; __all__ lists them after the German names.
struct EnglishName {
    const char* name;
    const char* english;
};

constexpr EnglishName english_names[] = {
    {"Sonnenzeit", "solar_time"},
    {"Zenitwinkel", "solar_zenith_angle"},
    {"Azimutwinkel", "solar_azimuth_angle"},
    {"LinkeTruebung", "linke_turbidity"},
    {"RelOptLuftmasse", "relative_optical_air_mass"},
    {"MaxDirekteStrahlung", "clear_sky_direct_irradiance"},
    {"MaxGlobalstrahlung", "clear_sky_global_irradiance"},
    {"DirStrMBew", "cloud_reduced_direct_irradiance"},
    {"AtmosGegenstr", "atmospheric_counter_radiation"},
    {"OberflTemp", "surface_temperature"},
    {"MittlStrTemp", "mean_radiant_temperature"},
};

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

// NumPy keeps pointers to these for the life of each ufunc.
PyUFuncGenericFunction loops[32][1];
void* loop_data[32][1];

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
bool add_ufunc(PyObject* module, PyObject* names, std::size_t i, const char* name,
               const Body& body) {
    loops[i][0] = body.ufunc_loop;
    loop_data[i][0] = nullptr;
    const int inputs = static_cast<int>(body.ufunc_inputs.size);
    Ref ufunc = Ref::steal(PyUFunc_FromFuncAndData(
        loops[i], loop_data[i], const_cast<char*>(float64_types.data()), 1, inputs, 1,
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
    "the function gives on that element's NumPy float64 scalars, and\n"
    "equation_of_time, the equation of time that Sonnenzeit applies.  Each ufunc\n"
    "of a function is here under its English name too (solar_zenith_angle is\n"
    "Zenitwinkel); klimora.radiation takes the inputs by keyword.",
    0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace klimora

PyMODINIT_FUNC PyInit_ufuncs() { return PyModuleDef_Init(&klimora::definition); }
