#include "formula/numpy_kernels.hpp"

#include "frame/constants.hpp"
#include "frame/namespace.hpp"
#include "formula/numpy_api.hpp"
#include "frame/ref.hpp"

#include <cfenv>
#include <optional>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace klimora::numpy_kernels {
namespace {

// The capsule "numpy_1.24_ufunc_call_info" that _resolve_dtypes_and_context
// makes and _get_strided_loop fills (NumPy 1.24 on; no header declares it).
struct UfuncCallInfo {
    StridedLoop strided_loop;
    void* context;
    void* auxdata;
    unsigned char requires_pyapi;
    unsigned char no_floatingpoint_errors;
};
constexpr const char* call_info_name = "numpy_1.24_ufunc_call_info";

enum class State { untried, ready, off };

// The size from which NumPy reuses a temporary array's memory.
constexpr npy_intp min_elide_bytes = 256 * 1024;

struct Kernels {
    State state = State::untried;
    PyObject* numpy = nullptr;          // the module start-up imported
    PyObject* attributes[ufunc_count + 2] = {};   // ufuncs, then pi and float64, as validated
    std::uint64_t validated_version = 0;
    std::uint64_t rejected_version = 0;
    double pi = 0.0;
    PyTypeObject* float64 = nullptr;    // null until set-up succeeds
    PyObject* negative = nullptr;
};
Kernels k;   // owned references are kept for the life of the process

}  // namespace

KernelTraits traits[ufunc_count];
Kernel kernels[ufunc_count];
Shared shared;

namespace {

std::uint64_t version_of(PyObject* dict) { return dict_version(dict); }

// The names whose attributes the direct path relies on, in `attributes` order.
const char* attribute_name(int i) {
    if (i < ufunc_count) return ufunc_names[i].data();
    return i == ufunc_count ? "pi" : "float64";
}

// np.__dict__[name] (borrowed), which is what reading the attribute of a
// plain module gives for these names.
PyObject* numpy_entry(const char* name) {
    return PyDict_GetItemString(PyModule_GetDict(k.numpy), name);
}

// Keeps the floating-point exception flags raised before it across a
// kernel, which may clear them (NumPy's maximum does, after comparing).
class FlagsKept {
public:
    FlagsKept() noexcept
        : before_(std::fetestexcept(FE_DIVBYZERO | FE_INVALID | FE_OVERFLOW | FE_UNDERFLOW)) {}
    ~FlagsKept() { if (before_) std::feraiseexcept(before_); }
    FlagsKept(const FlagsKept&) = delete;
    FlagsKept& operator=(const FlagsKept&) = delete;

private:
    int before_;
};

// Whether each kernel, run over many elements at once, gives bit for bit
// what it gives one element at a time (NumPy's SIMD loops are meant to;
// where one does not, the ufunc loops run it element by element).  The
// values cover each function's domain, its edges and the special values.
void check_blocks() {
    constexpr int n = 1031;   // a length no vector width divides
    constexpr int gap = 16;   // buffers that do not touch (see run_kernel)
    static double space[4 * (n + gap)];
    double* a = space;
    double* b = a + n + gap;
    double* whole = b + n + gap;
    double* single = whole + n + gap;
    const double specials[] = {0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 2.0, 1e-310, -1e-310, 1e-300,
                               1e300, -1e300, 710.0, -746.0, 1e16, -1e16, 90.0, 180.0,
                               HUGE_VAL, -HUGE_VAL, std::nan("")};
    constexpr int n_specials = sizeof specials / sizeof specials[0];
    std::uint64_t state = 0x9e3779b97f4a7c15u;
    auto next = [&state] {   // xorshift: reproducible values without a library
        state ^= state << 13; state ^= state >> 7; state ^= state << 17;
        return static_cast<double>(state >> 11) / 9007199254740992.0;
    };
    const double scales[] = {1.0, 4.0, 100.0, 800.0, 1e5};
    for (int i = 0; i < n; ++i) {
        if (i < n_specials * n_specials) {
            a[i] = specials[i % n_specials];
            b[i] = specials[i / n_specials];
        } else {
            a[i] = (2.0 * next() - 1.0) * scales[i % 5];
            b[i] = (2.0 * next() - 1.0) * scales[(i / 5) % 5];
        }
    }
    std::fenv_t saved;
    std::feholdexcept(&saved);
    for (Kernel& kernel : kernels) {
        char* data[3] = {reinterpret_cast<char*>(a), reinterpret_cast<char*>(b),
                         reinterpret_cast<char*>(whole)};
        if (kernel.inputs == 1) data[1] = reinterpret_cast<char*>(whole);
        const npy_intp count = n;
        kernel.loop(kernel.context, data, &count, kernel.strides, kernel.auxdata);
        for (int i = 0; i < n; ++i) run_kernel(kernel, a[i], b[i], &single[i]);
        kernel.blockwise = std::memcmp(whole, single, n * sizeof(double)) == 0;
    }
    std::fesetenv(&saved);
}

// What the direct path may know of each kernel without running it: whether
// it clears the floating-point flags raised before it (NumPy's maximum
// does, after comparing), and whether it is one multiplication by a
// constant (radians and degrees: x * (pi/180) and x * (180/pi), one
// correctly rounded product).  A product is taken as such only when it
// gives the kernel's bits over values of every magnitude and the special
// values, and raises the same flags.
void check_traits() {
    const double specials[] = {0.0, -0.0, 1.0, -1.0, 0.5, 90.0, 180.0, 360.0, 1e-310, -1e-310,
                               4.9e-324, 2.2250738585072014e-308, 1e300, -1e300, 1.7e308,
                               -1.7e308, HUGE_VAL, -HUGE_VAL};
    std::uint64_t state = 0x2545f4914f6cdd1du;
    auto next = [&state] {   // xorshift, as in check_blocks
        state ^= state << 13; state ^= state >> 7; state ^= state << 17;
        return state;
    };
    std::fenv_t saved;
    std::feholdexcept(&saved);
    for (int i = 0; i < ufunc_count; ++i) {
        const Kernel& kernel = kernels[i];
        double out = 0.0;
        std::feraiseexcept(FE_INVALID);
        run_kernel(kernel, 0.5, 0.25, &out);
        traits[i].clears_flags = !std::fetestexcept(FE_INVALID);
        std::feclearexcept(FE_ALL_EXCEPT);
    }
    const std::pair<Ufunc, double> products[] = {{Ufunc::radians, M_PI / 180.0},
                                                  {Ufunc::degrees, 180.0 / M_PI}};
    for (const auto& [ufunc, factor] : products) {
        const Kernel& kernel = kernels[static_cast<int>(ufunc)];
        bool same = kernel.inputs == 1;
        for (int n = 0; same && n < 20000; ++n) {
            double x;
            if (n < static_cast<int>(sizeof specials / sizeof specials[0])) {
                x = specials[n];
            } else {
                const std::uint64_t bits = next();
                std::memcpy(&x, &bits, sizeof x);   // every exponent and sign
                if (std::isnan(x)) continue;
            }
            std::feclearexcept(FE_ALL_EXCEPT);
            double from_kernel = 0.0;
            run_kernel(kernel, x, 0.0, &from_kernel);
            const int kernel_flags = std::fetestexcept(FE_ALL_EXCEPT & ~FE_INEXACT);
            std::feclearexcept(FE_ALL_EXCEPT);
            volatile double a = x, b = factor;
            const double product = a * b;
            const int product_flags = std::fetestexcept(FE_ALL_EXCEPT & ~FE_INEXACT);
            same = std::memcmp(&product, &from_kernel, sizeof product) == 0 &&
                   product_flags == kernel_flags;
        }
        traits[static_cast<int>(ufunc)].factor = same ? factor : 0.0;
    }
    std::fesetenv(&saved);
}

// The kernel of `ufunc` for float64 inputs, and a check that it gives what
// a scalar call gives on a few values.
bool take_kernel(int index, PyObject* ufunc, Ref& keep) {
    Kernel& kernel = kernels[index];
    kernel.inputs = index == static_cast<int>(Ufunc::power) || index == static_cast<int>(Ufunc::maximum) ||
                    index == static_cast<int>(Ufunc::mod) ? 2 : 1;
    Ref f8 = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
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
        PyObject* descr = PyTuple_GET_ITEM(chosen, i);
        if (!PyArray_DescrCheck(descr) ||
            !PyArray_EquivTypes(reinterpret_cast<PyArray_Descr*>(descr),
                                reinterpret_cast<PyArray_Descr*>(f8.get()))) {
            return false;
        }
    }
    // A scalar call runs the loop on one contiguous element.
    Ref strides = Ref::steal(PyTuple_New(kernel.inputs + 1));
    if (!strides) return false;
    for (int i = 0; i <= kernel.inputs; ++i) {
        PyObject* stride = PyLong_FromLong(sizeof(double));
        if (stride == nullptr) return false;
        PyTuple_SET_ITEM(strides.get(), i, stride);
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
        double out = 0.0;
        if (!run_kernel(kernel, x, 0.5, &out)) return false;
        Ref a = Ref::steal(PyFloat_FromDouble(x));
        Ref b = Ref::steal(PyFloat_FromDouble(0.5));
        if (!a || !b) return false;
        Ref expected = Ref::steal(kernel.inputs == 1
            ? PyObject_CallFunctionObjArgs(ufunc, a.get(), nullptr)
            : PyObject_CallFunctionObjArgs(ufunc, a.get(), b.get(), nullptr));
        if (!expected || !PyArray_IsScalar(expected.get(), Double)) return false;
        const double want = PyArrayScalar_VAL(expected.get(), Double);
        if (std::memcmp(&want, &out, sizeof out) != 0) return false;
    }
    return true;
}

// Takes the kernels from k.numpy and checks them against its scalar calls.
bool take_all() {
    if (!import_numpy_api()) return false;
    for (int i = 0; i < ufunc_count + 2; ++i) {
        k.attributes[i] = numpy_entry(attribute_name(i));
        if (k.attributes[i] == nullptr) return false;
    }
    shared.pi_object = k.attributes[ufunc_count];
    // np must be the NumPy whose C API this is.
    PyObject* pi = k.attributes[ufunc_count];
    PyObject* float64 = k.attributes[ufunc_count + 1];
    if (!PyFloat_CheckExact(pi) || float64 != reinterpret_cast<PyObject*>(&PyDoubleArrType_Type)) {
        return false;
    }
    k.pi = PyFloat_AS_DOUBLE(pi);
    shared.pi = k.pi;
    Ref capsules[ufunc_count];
    for (int i = 0; i < ufunc_count; ++i) {
        if (Py_TYPE(k.attributes[i]) != &PyUFunc_Type) return false;
        if (!take_kernel(i, k.attributes[i], capsules[i])) return false;
    }
    // Kept for the life of the process: the kernels live in the capsules.
    for (Ref& capsule : capsules) (void)capsule.release();
    for (PyObject* attribute : k.attributes) Py_INCREF(attribute);
    check_traits();
    return true;
}

bool set_up() {
    if (k.numpy == nullptr || Py_TYPE(k.numpy) != &PyModule_Type || !take_all() ||
        numpy_entry("ndarray") != reinterpret_cast<PyObject*>(&PyArray_Type)) {
        return false;
    }
    k.float64 = &PyDoubleArrType_Type;
    shared.float64 = k.float64;
    k.validated_version = version_of(PyModule_GetDict(k.numpy));
    return true;
}

// The ordinary path reuses temporary arrays whatever np is, with NumPy's
// C API and its own negative ufunc, taken on first need.
State array_api = State::untried;

bool take_array_api() {
    PendingError keep;   // nothing of this may leak out as an exception
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));   // NumPy itself, whatever np is
    if (numpy && import_numpy_api()) {
        Ref negative = Ref::steal(PyObject_GetAttrString(numpy.get(), "negative"));
        if (negative && PyObject_TypeCheck(negative.get(), &PyUFunc_Type)) {
            k.negative = negative.release();
            array_api = State::ready;
        }
    }
    if (array_api == State::untried && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
        array_api = State::off;
    }
    PyErr_Clear();
    return array_api == State::ready;
}

// For a candidate temporary: its object offers a buffer, as arrays do.
inline bool have_array_api(PyObject* candidate) {
    if (array_api == State::ready) return true;
    return array_api == State::untried && PyObject_CheckBuffer(candidate) && take_array_api();
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

// The answer to ready() under the namespaces as they stand.  None, when it
// may change without any of them changing (a set-up that ran out of memory
// is tried again).
enum class Answer { yes, no, not_now };

Answer decide() {
    if (k.state == State::off) return Answer::no;
    static GlobalCache cache;
    // Looking np up must not run code that the ordinary path would run at
    // another moment: with a key other than an exact str in either dict (a
    // key whose __eq__ may be called), the ordinary path alone reads np.
    if (!only_str_keys(module_namespace.globals) || !only_str_keys(module_namespace.builtins)) {
        return Answer::no;
    }
    PyObject* np = peek_global(Name<"np">::object(), cache);
    if (np == nullptr || np != k.numpy) return Answer::no;
    if (k.state == State::untried) {
        PendingError keep;   // nothing of the set-up may leak out as an exception
        if (set_up()) {
            k.state = State::ready;
        } else if (!PyErr_ExceptionMatches(PyExc_MemoryError)) {
            k.state = State::off;   // not NumPy as we know it: the ordinary path only
        }
        PyErr_Clear();
        if (k.state == State::untried) return Answer::not_now;
        if (k.state == State::off) return Answer::no;
    }
    const std::uint64_t version = version_of(PyModule_GetDict(k.numpy));
    if (version != k.validated_version && !revalidate(version)) return Answer::no;
    return Answer::yes;
}

}  // namespace

void remember_numpy(PyObject* numpy) {
    if (k.numpy == nullptr) k.numpy = Py_NewRef(numpy);
}

ReadyStamp ready_stamp;

bool check_ready() {
    ready_stamp.numpy_dict = nullptr;
    if (k.numpy == nullptr) return false;
    const Answer answer = decide();
    if (answer == Answer::not_now) return false;
    // The answer holds until one of the three dicts changes.
    PyObject* numpy_dict = PyModule_GetDict(k.numpy);
    if (!compat::watch(numpy_dict)) {
        PyErr_Clear();
        return false;
    }
    ready_stamp = {version_of(module_namespace.globals), version_of(module_namespace.builtins),
                   version_of(numpy_dict), numpy_dict, answer == Answer::yes};
    return ready_stamp.ready;
}

bool take_kernels(PyObject* numpy) {
    remember_numpy(numpy);
    if (!take_all()) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "NumPy's float64 loops do not give what its scalar calls give");
        }
        return false;
    }
    check_blocks();
    return true;
}


void run_block(Ufunc ufunc, const double* a, const double* b, double* out, std::ptrdiff_t n) {
    const Kernel& kernel = kernels[static_cast<int>(ufunc)];
    std::optional<FlagsKept> kept;
    if (traits[static_cast<int>(ufunc)].clears_flags) kept.emplace();
    if (kernel.blockwise) {
        char* data[3] = {reinterpret_cast<char*>(const_cast<double*>(a)),
                         reinterpret_cast<char*>(const_cast<double*>(b)),
                         reinterpret_cast<char*>(out)};
        if (kernel.inputs == 1) data[1] = reinterpret_cast<char*>(out);
        const npy_intp count = n;
        kernel.loop(kernel.context, data, &count, kernel.strides, kernel.auxdata);
        return;
    }
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        run_kernel(kernel, a[i], kernel.inputs == 2 ? b[i] : 0.0, &out[i]);
    }
}

PyObject* new_float64(double value) {
    PyObject* scalar = PyArrayScalar_New(Double);
    if (scalar != nullptr) PyArrayScalar_ASSIGN(scalar, Double, value);
    return scalar;
}

namespace {

// A float64 array in native byte order.
bool native_float64(PyArrayObject* a) {
    PyArray_Descr* descr = PyArray_DESCR(a);
    return descr->type_num == NPY_DOUBLE && PyArray_ISNBO(descr->byteorder);
}

// The temporary side of NumPy's test: the caller's sole reference to a
// large float64 array that owns its writeable memory.
bool large_temporary(PyObject* x) {
    if (Py_REFCNT(x) != 1 || !have_array_api(x) || !PyArray_CheckExact(x)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(x);
    if (!native_float64(a)) return false;
    if (!PyArray_CHKFLAGS(a, NPY_ARRAY_OWNDATA | NPY_ARRAY_WRITEABLE | NPY_ARRAY_ALIGNED) ||
        PyArray_CHKFLAGS(a, NPY_ARRAY_WRITEBACKIFCOPY)) {
        return false;
    }
    return PyArray_NBYTES(a) >= min_elide_bytes;
}

}  // namespace

bool elidable(PyObject* temporary, PyObject* other) {
    if (!large_temporary(temporary)) return false;
    // The other operand: a scalar that casts safely to float64, or a float64
    // array of the same shape.
    PyTypeObject* type = Py_TYPE(other);
    if (type == &PyFloat_Type || type == &PyDoubleArrType_Type) return true;
    double value;
    if (type == &PyLong_Type) return compat::one_digit_int(other, value);
    if (!PyArray_CheckExact(other)) return false;
    auto* t = reinterpret_cast<PyArrayObject*>(temporary);
    auto* o = reinterpret_cast<PyArrayObject*>(other);
    if (!native_float64(o)) return false;
    if (PyArray_NDIM(o) == 0) return true;
    return PyArray_NDIM(o) == PyArray_NDIM(t) &&
           PyArray_CompareLists(PyArray_DIMS(o), PyArray_DIMS(t), PyArray_NDIM(t));
}

bool elidable(PyObject* temporary) { return large_temporary(temporary); }

PyObject* negate_in_place(PyObject* x) {
    Ref kwnames = Ref::steal(Py_BuildValue("(s)", "out"));
    if (!kwnames) return nullptr;
    PyObject* args[2] = {x, x};
    return PyObject_Vectorcall(k.negative, args, 1, kwnames.get());
}

}  // namespace klimora::numpy_kernels
