// NumPy's own float64 kernels, for the direct path.
//
// A scalar call such as np.sin(0.5) spends nearly all its time in the
// ufunc machinery around one run of a strided loop over one element.  NumPy
// hands out that very loop (ufunc._resolve_dtypes_and_context and
// ufunc._get_strided_loop); running it on one double gives the bits the
// scalar call gives, without the machinery.
//
// The kernels are only used while the module global `np` is the NumPy module
// that start-up imported, with the attributes they were taken from.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "frame/compat.hpp"
#include "frame/namespace.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace klimora::numpy_kernels {

enum class Ufunc { sin, cos, arcsin, arctan, radians, degrees, exp, power, sqrt, maximum, trunc, mod };
inline constexpr int ufunc_count = 12;
inline constexpr std::string_view ufunc_names[ufunc_count] = {
    "sin", "cos", "arcsin", "arctan", "radians", "degrees", "exp", "power", "sqrt", "maximum",
    "trunc", "mod"};

constexpr std::optional<Ufunc> ufunc_named(std::string_view name) {
    for (int i = 0; i < ufunc_count; ++i) {
        if (ufunc_names[i] == name) return static_cast<Ufunc>(i);
    }
    return std::nullopt;
}

// The functions that cost many times an arithmetic operation an element.
constexpr bool costly(Ufunc u) {
    return u == Ufunc::sin || u == Ufunc::cos || u == Ufunc::arcsin || u == Ufunc::arctan ||
           u == Ufunc::exp || u == Ufunc::power || u == Ufunc::mod;
}

// Start-up hands over the NumPy module it imported.
void remember_numpy(PyObject* numpy);

// For the ufunc loops: takes every kernel from `numpy`, NumPy itself, checks
// each against NumPy's scalar calls and whether it may run over a whole
// block at once.  False with an exception set if NumPy is not as expected.
bool take_kernels(PyObject* numpy);

// Runs the kernel over n elements: a (and b, for two inputs) in, out.  The
// floating-point exception flags raised before it stay raised.  Runs
// without the GIL.
void run_block(Ufunc ufunc, const double* a, const double* b, double* out, std::ptrdiff_t n);

// The dict versions under which the last full check answered, and its
// answer: while none of the three dicts has changed, it stands.
struct ReadyStamp {
    std::uint64_t globals = 0;
    std::uint64_t builtins = 0;
    std::uint64_t numpy = 0;
    PyObject* numpy_dict = nullptr;   // null until a check has answered
    bool ready = false;
};
extern ReadyStamp ready_stamp;

inline std::uint64_t dict_version(PyObject* dict) { return compat::dict_stamp(dict); }

// The full check behind ready(); refreshes the stamp when it succeeds.
bool check_ready();

// True while the module global `np` is that module and its attributes are
// the ones the kernels were taken from.  Sets the kernels up on first use;
// raises nothing.
inline bool ready() {
    const ReadyStamp& s = ready_stamp;
    if (s.numpy_dict != nullptr && dict_version(module_namespace.globals) == s.globals &&
        dict_version(module_namespace.builtins) == s.builtins &&
        dict_version(s.numpy_dict) == s.numpy) {
        return s.ready;
    }
    return check_ready();
}

// What the direct path reads of the set-up on every call, kept where a
// call reads it without calling into this module's other file.
struct Shared {
    double pi = 0.0;                    // np.pi as it stands in NumPy (valid while ready())
    PyObject* pi_object = nullptr;
    PyTypeObject* float64 = nullptr;    // null until set-up succeeds
};
extern Shared shared;
inline double pi() { return shared.pi; }
inline PyObject* pi_object() { return shared.pi_object; }

// What set-up found out about each kernel (see check_traits).
struct KernelTraits {
    bool clears_flags = true;   // the flags raised before it are lost
    double factor = 0.0;        // the kernel is x * factor, bit for bit (0: it is not)
};
extern KernelTraits traits[ufunc_count];
inline const KernelTraits& traits_of(Ufunc ufunc) { return traits[static_cast<int>(ufunc)]; }

// A float64 loop as NumPy hands it out (PyArrayMethod_StridedLoop).
using StridedLoop = int (*)(void* context, char* const* data, const Py_intptr_t* dimensions,
                            const Py_intptr_t* strides, void* auxdata);

struct Kernel {
    StridedLoop loop = nullptr;
    void* context = nullptr;
    void* auxdata = nullptr;
    int inputs = 1;
    Py_intptr_t strides[3] = {0, 0, 0};
    bool blockwise = false;   // a run over n elements gives what n one-element runs give
};
extern Kernel kernels[ufunc_count];

// Runs a kernel on one element in buffers of their own, each on a cache line
// of its own, as a scalar call's freshly allocated arrays are.  NumPy 1.x
// counts buffers that merely touch as overlapping and then runs another
// implementation (the C library's exp rather than its AVX-512 one, which
// differs in the last bit): with touching buffers the kernel would not give
// the scalar call's bits.
inline bool run_kernel(const Kernel& kernel, double a, double b, double* result) {
    struct alignas(64) Slot { double value; };
    Slot in0{a}, in1{b}, out{0.0};
    char* data[3] = {reinterpret_cast<char*>(&in0.value), reinterpret_cast<char*>(&in1.value),
                     reinterpret_cast<char*>(&out.value)};
    if (kernel.inputs == 1) data[1] = reinterpret_cast<char*>(&out.value);
    const Py_intptr_t one = 1;
    const bool ok = kernel.loop(kernel.context, data, &one, kernel.strides, kernel.auxdata) == 0;
    *result = out.value;
    return ok;
}

// Runs the kernel on one element: inputs in `in`, the result in `*out`.
// False if the kernel reported an error.
inline bool run(Ufunc ufunc, const double* in, double* out) {
    return run_kernel(kernels[static_cast<int>(ufunc)], in[0], in[1], out);
}

// A new NumPy float64 scalar (null with MemoryError set).
PyObject* new_float64(double value);
inline PyTypeObject* float64_type() { return shared.float64; }

// NumPy works a large temporary array over in place when Python code
// combines it with an operand of its shape or a scalar: `(a * b) + c` adds c
// into the product's memory instead of allocating a third array.  The
// module does the same where NumPy would: `temporary` is an intermediate
// result only the caller holds.
bool elidable(PyObject* temporary, PyObject* other);
bool elidable(PyObject* temporary);   // unary minus
// np.negative(x, out=x): a new reference to x, or null with an error set.
PyObject* negate_in_place(PyObject* x);

}  // namespace klimora::numpy_kernels
