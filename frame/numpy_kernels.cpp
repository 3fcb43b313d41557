#include "frame/numpy_kernels.hpp"

#include "frame/constants.hpp"
#include "frame/namespace.hpp"
#include "frame/ref.hpp"

#include <cstdint>
#include <cstring>

namespace klimora::numpy_kernels {
namespace {

using npy_intp = Py_ssize_t;
using StridedLoop = int (*)(void* context, char* const* data, const npy_intp* dimensions,
                            const npy_intp* strides, void* auxdata);

// The capsule "numpy_1.24_ufunc_call_info" that _resolve_dtypes_and_context
// makes and _get_strided_loop fills.
struct UfuncCallInfo {
    StridedLoop strided_loop;
    void* context;
    void* auxdata;
    unsigned char requires_pyapi;
    unsigned char no_floatingpoint_errors;
};
constexpr const char* call_info_name = "numpy_1.24_ufunc_call_info";

struct Kernel {
    StridedLoop loop = nullptr;
    void* context = nullptr;
    void* auxdata = nullptr;
    int inputs = 1;
    npy_intp strides[3] = {0, 0, 0};
};

enum class State { untried, ready, off };

// The head of NumPy's array and dtype objects, which NumPy 1 and 2 share.
struct ArrayHead {
    PyObject_HEAD
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};
struct DescrHead {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
};
constexpr int array_owndata = 0x0004;
constexpr int array_aligned = 0x0100;
constexpr int array_writeable = 0x0400;
constexpr int array_writebackifcopy = 0x2000;
constexpr npy_intp min_elide_bytes = 256 * 1024;

struct Kernels {
    State state = State::untried;
    PyObject* numpy = nullptr;          // the module start-up imported
    PyObject* attributes[ufunc_count + 2] = {};   // ufuncs, then pi and float64, as validated
    std::uint64_t validated_version = 0;
    std::uint64_t rejected_version = 0;
    double pi = 0.0;
    PyTypeObject* float64 = nullptr;
    PyTypeObject* ndarray = nullptr;
    PyObject* negative = nullptr;
    Kernel kernels[ufunc_count];
};
Kernels k;   // owned references are kept for the life of the process

std::uint64_t version_of(PyObject* dict) { return dict_version(dict); }

// The names whose attributes the direct path relies on, in `attributes` order.
const char* attribute_name(int i) {
    if (i < ufunc_count) return ufunc_names[i].data();
    return i == ufunc_count ? "pi" : "float64";
}

// np.__dict__[name] (borrowed), which is what reading the attribute of a
// plain module gives for these names.
PyObject* numpy_entry(const char* name) {
    PyObject* value = PyDict_GetItemString(PyModule_GetDict(k.numpy), name);
    return value;
}

// The kernel of `ufunc` for float64 inputs, and a check that it gives what
// a scalar call gives on a few values.
bool take_kernel(int index, PyObject* ufunc, Ref& keep) {
    Kernel& kernel = k.kernels[index];
    kernel.inputs = index == static_cast<int>(Ufunc::power) || index == static_cast<int>(Ufunc::maximum) ? 2 : 1;
    Ref f8 = Ref::steal(PyObject_CallMethod(k.numpy, "dtype", "s", "float64"));
    if (!f8) return false;
    Ref dtypes = Ref::steal(PyTuple_New(kernel.inputs + 1));
    if (!dtypes) return false;
    for (int i = 0; i < kernel.inputs; ++i) PyTuple_SET_ITEM(dtypes.get(), i, Py_NewRef(f8.get()));
    PyTuple_SET_ITEM(dtypes.get(), kernel.inputs, Py_NewRef(Py_None));
    Ref resolved = Ref::steal(
        PyObject_CallMethod(ufunc, "_resolve_dtypes_and_context", "(O)", dtypes.get()));
    if (!resolved || !PyTuple_Check(resolved.get()) || PyTuple_GET_SIZE(resolved.get()) != 2) {
        return false;
    }
    PyObject* chosen = PyTuple_GET_ITEM(resolved.get(), 0);
    PyObject* capsule = PyTuple_GET_ITEM(resolved.get(), 1);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(chosen); ++i) {
        if (PyObject_RichCompareBool(PyTuple_GET_ITEM(chosen, i), f8.get(), Py_EQ) != 1) return false;
    }
    // A scalar call runs the loop on one contiguous element.
    Ref strides = Ref::steal(PyTuple_New(kernel.inputs + 1));
    if (!strides) return false;
    for (int i = 0; i <= kernel.inputs; ++i) {
        PyTuple_SET_ITEM(strides.get(), i, PyLong_FromLong(sizeof(double)));
        kernel.strides[i] = sizeof(double);
    }
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "fixed_strides", strides.get()));
    Ref method = Ref::steal(PyObject_GetAttrString(ufunc, "_get_strided_loop"));
    Ref args = Ref::steal(PyTuple_Pack(1, capsule));
    if (!kwargs || !method || !args) return false;
    Ref filled = Ref::steal(PyObject_Call(method.get(), args.get(), kwargs.get()));
    if (!filled) return false;
    auto* info = static_cast<UfuncCallInfo*>(PyCapsule_GetPointer(capsule, call_info_name));
    if (info == nullptr || info->strided_loop == nullptr || info->requires_pyapi) return false;
    kernel.loop = info->strided_loop;
    kernel.context = info->context;
    kernel.auxdata = info->auxdata;
    keep = Ref::borrow(capsule);   // the capsule owns the loop's data

    // The kernel against the scalar call, bit for bit, on values inside
    // every function's domain (no warning may come of this).
    const double samples[] = {0.5, 0.25, 0.875, 0.125, 1e-3};
    for (double x : samples) {
        const double in[2] = {x, 0.5};
        double out = 0.0;
        if (!run(static_cast<Ufunc>(index), in, &out)) return false;
        Ref a = Ref::steal(PyFloat_FromDouble(in[0]));
        Ref b = Ref::steal(PyFloat_FromDouble(in[1]));
        if (!a || !b) return false;
        Ref expected = Ref::steal(kernel.inputs == 1
            ? PyObject_CallFunctionObjArgs(ufunc, a.get(), nullptr)
            : PyObject_CallFunctionObjArgs(ufunc, a.get(), b.get(), nullptr));
        if (!expected || Py_TYPE(expected.get()) != k.float64) return false;
        const double want = PyFloat_AS_DOUBLE(expected.get());
        if (std::memcmp(&want, &out, sizeof out) != 0) return false;
    }
    return true;
}

bool set_up() {
    if (k.numpy == nullptr || Py_TYPE(k.numpy) != &PyModule_Type) return false;
    for (int i = 0; i < ufunc_count + 2; ++i) {
        k.attributes[i] = numpy_entry(attribute_name(i));
        if (k.attributes[i] == nullptr) return false;
    }
    PyObject* ufunc_type = numpy_entry("ufunc");
    PyObject* pi = k.attributes[ufunc_count];
    PyObject* float64 = k.attributes[ufunc_count + 1];
    if (ufunc_type == nullptr || !PyFloat_CheckExact(pi) || !PyType_Check(float64)) return false;
    k.float64 = reinterpret_cast<PyTypeObject*>(float64);
    // A float64 scalar is laid out as a Python float: its value is ob_fval.
    if (!PyType_IsSubtype(k.float64, &PyFloat_Type) ||
        k.float64->tp_basicsize != static_cast<Py_ssize_t>(sizeof(PyFloatObject))) {
        return false;
    }
    k.pi = PyFloat_AS_DOUBLE(pi);
    PyObject* ndarray = numpy_entry("ndarray");
    PyObject* negative = numpy_entry("negative");
    if (ndarray == nullptr || !PyType_Check(ndarray) || negative == nullptr ||
        Py_TYPE(negative) != reinterpret_cast<PyTypeObject*>(ufunc_type) ||
        reinterpret_cast<PyTypeObject*>(ndarray)->tp_basicsize <
            static_cast<Py_ssize_t>(sizeof(ArrayHead))) {
        return false;
    }
    Ref capsules[ufunc_count];
    for (int i = 0; i < ufunc_count; ++i) {
        if (Py_TYPE(k.attributes[i]) != reinterpret_cast<PyTypeObject*>(ufunc_type)) return false;
        if (!take_kernel(i, k.attributes[i], capsules[i])) return false;
    }
    // Kept for the life of the process: the kernels live in the capsules.
    for (Ref& capsule : capsules) (void)capsule.release();
    for (PyObject* attribute : k.attributes) Py_INCREF(attribute);
    k.ndarray = reinterpret_cast<PyTypeObject*>(Py_NewRef(ndarray));
    k.negative = Py_NewRef(negative);
    k.validated_version = version_of(PyModule_GetDict(k.numpy));
    return true;
}

// NumPy's namespace changed: still the same attributes?
bool revalidate(std::uint64_t version) {
    if (version == k.rejected_version) return false;
    for (int i = 0; i < ufunc_count + 2; ++i) {
        if (numpy_entry(attribute_name(i)) != k.attributes[i]) {
            k.rejected_version = version;
            return false;
        }
    }
    k.validated_version = version;
    return true;
}

bool only_str_keys(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

}  // namespace

void remember_numpy(PyObject* numpy) {
    if (k.numpy == nullptr) k.numpy = Py_NewRef(numpy);
}

ReadyStamp ready_stamp;

bool check_ready() {
    ready_stamp.numpy_dict = nullptr;
    static GlobalCache cache;
    // Looking np up must not run code that the ordinary path would run at
    // another moment: with a key other than an exact str in either dict (a
    // key whose __eq__ may be called), the ordinary path alone reads np.
    if (!only_str_keys(module_namespace.globals) || !only_str_keys(module_namespace.builtins)) {
        return false;
    }
    PyObject* np = peek_global(Name<"np">::object(), cache);
    if (np == nullptr || np != k.numpy) return false;
    if (k.state == State::untried) {
        PendingError keep;   // nothing of the set-up may leak out as an exception
        if (set_up()) {
            k.state = State::ready;
        } else if (!PyErr_ExceptionMatches(PyExc_MemoryError)) {
            k.state = State::off;   // not NumPy as we know it: the ordinary path only
        }
        PyErr_Clear();
    }
    if (k.state != State::ready) return false;
    PyObject* numpy_dict = PyModule_GetDict(k.numpy);
    const std::uint64_t version = version_of(numpy_dict);
    if (version != k.validated_version && !revalidate(version)) return false;
    ready_stamp = {version_of(module_namespace.globals), version_of(module_namespace.builtins),
                   version, numpy_dict};
    return true;
}

double pi() { return k.pi; }
PyObject* pi_object() { return k.attributes[ufunc_count]; }
PyTypeObject* float64_type() { return k.float64; }

bool run(Ufunc ufunc, const double* in, double* out) {
    const Kernel& kernel = k.kernels[static_cast<int>(ufunc)];
    double a = in[0], b = in[1];
    char* data[3] = {reinterpret_cast<char*>(&a), reinterpret_cast<char*>(&b),
                     reinterpret_cast<char*>(out)};
    if (kernel.inputs == 1) data[1] = reinterpret_cast<char*>(out);
    const npy_intp one = 1;
    return kernel.loop(kernel.context, data, &one, kernel.strides, kernel.auxdata) == 0;
}

PyObject* new_float64(double value) {
    PyObject* scalar = k.float64->tp_alloc(k.float64, 0);
    if (scalar != nullptr) reinterpret_cast<PyFloatObject*>(scalar)->ob_fval = value;
    return scalar;
}

namespace {

const ArrayHead* as_array(PyObject* x) { return reinterpret_cast<const ArrayHead*>(x); }

// A float64 array in native byte order.
bool native_float64(const ArrayHead* a) {
    const auto* descr = reinterpret_cast<const DescrHead*>(a->descr);
    return descr->typeobj == k.float64 && descr->byteorder == '=';
}

// The temporary side of NumPy's test: the caller's sole reference to a
// large float64 array that owns its writeable memory.
bool large_temporary(PyObject* x) {
    if (k.ndarray == nullptr || Py_REFCNT(x) != 1 || Py_TYPE(x) != k.ndarray) return false;
    const ArrayHead* a = as_array(x);
    if (!native_float64(a)) return false;
    const int needed = array_owndata | array_writeable | array_aligned;
    if ((a->flags & needed) != needed || (a->flags & array_writebackifcopy)) return false;
    npy_intp bytes = sizeof(double);
    for (int i = 0; i < a->nd; ++i) bytes *= a->dimensions[i];
    return bytes >= min_elide_bytes;
}

}  // namespace

bool elidable(PyObject* temporary, PyObject* other) {
    if (!large_temporary(temporary)) return false;
    // The other operand: a scalar that casts safely to float64, or a float64
    // array of the same shape.
    PyTypeObject* type = Py_TYPE(other);
    if (type == &PyFloat_Type || type == k.float64) return true;
    if (type == &PyLong_Type) return Py_SIZE(other) >= -1 && Py_SIZE(other) <= 1;
    if (type != k.ndarray) return false;
    const ArrayHead* t = as_array(temporary);
    const ArrayHead* o = as_array(other);
    if (!native_float64(o)) return false;
    if (o->nd == 0) return true;
    if (o->nd != t->nd) return false;
    for (int i = 0; i < t->nd; ++i) {
        if (o->dimensions[i] != t->dimensions[i]) return false;
    }
    return true;
}

bool elidable(PyObject* temporary) { return large_temporary(temporary); }

PyObject* negate_in_place(PyObject* x) {
    Ref kwnames = Ref::steal(Py_BuildValue("(s)", "out"));
    if (!kwnames) return nullptr;
    PyObject* args[2] = {x, x};
    return PyObject_Vectorcall(k.negative, args, 1, kwnames.get());
}

}  // namespace klimora::numpy_kernels
