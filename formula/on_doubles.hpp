// The direct path: a body evaluated on C doubles.
//
// When every argument is an exact Python float, a Python int that a double
// holds exactly, or an exact NumPy float64 scalar, and `np` is the NumPy that
// start-up imported (numpy_kernels::ready), a body can run on plain numbers:
// each value carries the kind of object the ordinary path would hold (Python
// int, Python float, NumPy float64 or int64 scalar), every operator follows
// the rules of Python and NumPy scalar arithmetic for those kinds, and every
// NumPy function runs NumPy's own float64 kernel.  The result is boxed into
// the object the ordinary path would return.
//
// Whatever the direct path does not cover (another kind of value, an integer
// NumPy loop, division by zero, any floating-point exception raised on the
// way) gives up, and the call runs the ordinary path from the start: the
// bodies have no side effects, so warnings, errors and their traceback
// entries are then exactly the ordinary ones.
#pragma once

#include "formula/notation.hpp"
#include "formula/numpy_kernels.hpp"

#include <array>
#include <cfenv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>

namespace klimora {

struct Num {
    // The numeric kinds are made of three bits (a number, an integer, a
    // NumPy scalar), so that the rules of arithmetic test both operands of
    // an operation at once.
    static constexpr std::uint8_t numeric_bit = 1, integer_bit = 2, numpy_bit = 4;
    enum class Kind : std::uint8_t {
        opaque = 0,   // not a number the direct path handles (or never read)
        py_int = numeric_bit | integer_bit,                // Python int with |value| <= 2**53
        py_float = numeric_bit,                            // Python float
        np_float64 = numeric_bit | numpy_bit,              // NumPy float64 scalar
        np_int64 = numeric_bit | integer_bit | numpy_bit,  // NumPy int64 scalar, |value| <= 2**53
        boolean = 8,  // a comparison result, only ever tested for truth
        table = 16,   // a float64 array made from a list of float constants
    };
    std::uint8_t bits() const { return static_cast<std::uint8_t>(kind); }
    // The value of every numeric kind (integers are exact in a double up to
    // 2**53); 1 or 0 for a boolean; the length of a table.
    double d = 0.0;
    // The argument or constant object this value is (borrowed), if any; the
    // values of a table.
    const void* ref = nullptr;
    Kind kind = Kind::opaque;

    PyObject* origin() const {
        return kind == Kind::table ? nullptr : static_cast<PyObject*>(const_cast<void*>(ref));
    }
    const double* table() const { return static_cast<const double*>(ref); }
};

namespace formula {
template <> struct is_value<Num> : std::true_type {};
}  // namespace formula

namespace direct {

inline constexpr double exact_int_limit = 9007199254740992.0;   // 2**53

// Keeps a value in a register at this point of the program, so the
// compiler cannot move the arithmetic that made it across the reading or
// clearing of the floating-point exception flags.
inline double settle(double x) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    asm volatile("" : "+x"(x));
#elif defined(__GNUC__)
    asm volatile("" : "+w"(x));
#else
    volatile double v = x;
    x = v;
#endif
    return x;
}

// The floating-point exception flags that make NumPy warn or raise:
// invalid, divide by zero, overflow, underflow.  On x86-64 every double
// operation (NumPy's kernels included) records them in MXCSR, which is
// much cheaper to read and clear than the whole environment through <cfenv>.
// But glibc's feraiseexcept, with which NumPy raises a flag it finds by
// other means (npy_set_floatstatus_*) and with which the kernels' wrapper
// raises again the flags a kernel cleared, records overflow and underflow
// in the x87 status word; and NumPy reads the flags after a loop with
// fetestexcept, which sees both.  So the flags are read from both
// registers, and the x87 word is cleared with MXCSR (only when it holds
// one: it seldom does).  Its exception bits lie where MXCSR's do.
#if defined(__GNUC__) && defined(__x86_64__)
inline constexpr unsigned mxcsr_flags = 0x01 | 0x04 | 0x08 | 0x10;
inline unsigned read_mxcsr() {
    unsigned m;
    asm volatile("stmxcsr %0" : "=m"(m));
    return m;
}
inline unsigned read_x87_status() {
    unsigned short s;
    asm volatile("fnstsw %0" : "=m"(s));
    return s;
}
// The flags that matter, raised in either register.
inline unsigned raised_flags() { return (read_mxcsr() | read_x87_status()) & mxcsr_flags; }
// Only the flags that matter are cleared, and only when one is set: the
// inexact flag, which nearly every operation raises, is left alone in MXCSR.
inline void clear_fp_flags() {
    const unsigned m = read_mxcsr();
    if (m & mxcsr_flags) {
        const unsigned cleared = m & ~mxcsr_flags;
        asm volatile("ldmxcsr %0" : : "m"(cleared));
    }
    if (read_x87_status() & mxcsr_flags) asm volatile("fnclex");
}
inline bool fp_flags_raised() { return raised_flags() != 0; }
// The code in its scope starts with the flags clear, and the flags raised
// before it (in either register) are raised again after it, in MXCSR, with
// its own: what feholdexcept and feupdateenv do, at the cost of reading
// and writing two registers.  A kernel in its scope that clears the flags
// (NumPy's maximum) clears both registers: what was raised before stays
// in `before_`.
class FlagsHeld {
public:
    FlagsHeld() noexcept : before_(raised_flags()) { clear_fp_flags(); }
    ~FlagsHeld() {
        const unsigned now = read_mxcsr();
        if ((now | before_) != now) {
            const unsigned merged = now | before_;
            asm volatile("ldmxcsr %0" : : "m"(merged));
        }
    }
    FlagsHeld(const FlagsHeld&) = delete;
    FlagsHeld& operator=(const FlagsHeld&) = delete;

private:
    unsigned before_;
};
// A trial: the code in its scope starts with the flags clear, `raised`
// tells whether it has raised one, and at its end the flags are again
// those raised before it, its own dropped.
class FlagsTrial {
public:
    FlagsTrial() noexcept : before_(raised_flags()) { clear_fp_flags(); }
    ~FlagsTrial() {
        clear_fp_flags();
        if (before_ != 0) {
            const unsigned merged = read_mxcsr() | before_;
            asm volatile("ldmxcsr %0" : : "m"(merged));
        }
    }
    bool raised() const { return raised_flags() != 0; }
    FlagsTrial(const FlagsTrial&) = delete;
    FlagsTrial& operator=(const FlagsTrial&) = delete;

private:
    unsigned before_;
};
#else
inline void clear_fp_flags() { std::feclearexcept(FE_ALL_EXCEPT); }
inline bool fp_flags_raised() {
    return std::fetestexcept(FE_DIVBYZERO | FE_INVALID | FE_OVERFLOW | FE_UNDERFLOW) != 0;
}
class FlagsHeld {
public:
    FlagsHeld() noexcept { std::feholdexcept(&saved_); }
    ~FlagsHeld() { std::feupdateenv(&saved_); }
    FlagsHeld(const FlagsHeld&) = delete;
    FlagsHeld& operator=(const FlagsHeld&) = delete;

private:
    std::fenv_t saved_;
};
class FlagsTrial {
public:
    FlagsTrial() noexcept { std::fegetexceptflag(&saved_, FE_ALL_EXCEPT); clear_fp_flags(); }
    ~FlagsTrial() { std::fesetexceptflag(&saved_, FE_ALL_EXCEPT); }
    bool raised() const { return fp_flags_raised(); }
    FlagsTrial(const FlagsTrial&) = delete;
    FlagsTrial& operator=(const FlagsTrial&) = delete;

private:
    std::fexcept_t saved_;
};
#endif

inline Num number(Num::Kind kind, double d) {
    Num n;
    n.kind = kind;
    n.d = settle(d);
    return n;
}

// An integer kind: held as a double, and never as -0.0 (an int has no sign
// of zero, and a float made from it is +0.0).
inline Num whole(Num::Kind kind, double d) { return number(kind, d + 0.0); }

inline Num boolean(bool b) { return number(Num::Kind::boolean, b ? 1.0 : 0.0); }

// An integer result, if it stays within what a double holds exactly.
inline bool exact_integer(double d) { return std::fabs(d) <= exact_int_limit; }

// An argument as the direct path sees it.  NaN inputs take the ordinary
// path: which NaN an operation passes on (sign, payload) depends on the
// order of its operands in the machine instruction, which a compiler may
// swap.  NaN arising from numbers raises the invalid flag and so takes the
// ordinary path too.
inline Num classify(PyObject* object) {
    Num n;
    n.ref = object;
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyFloat_Type || type == numpy_kernels::float64_type()) {
        n.d = PyFloat_AS_DOUBLE(object);
        if (!std::isnan(n.d)) {
            n.kind = type == &PyFloat_Type ? Num::Kind::py_float : Num::Kind::np_float64;
        }
    } else if (type == &PyLong_Type && compat::one_digit_int(object, n.d)) {
        // One digit (30 bits) at most: the value is at hand.
        n.kind = Num::Kind::py_int;
    } else if (type == &PyLong_Type) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (overflow == 0 && v <= (1LL << 53) && v >= -(1LL << 53)) {
            n.kind = Num::Kind::py_int;
            n.d = static_cast<double>(v);
        }
    }
    return n;
}

// The object the ordinary path would return for `n`; null (with no error
// set) if the direct path cannot make it.
PyObject* box(const Num& n);

}  // namespace direct

class DirectFrame {
public:
    // A tree is walked where it stands, not copied first.
    template <class E>
    Num operator()(int, const E& expression) {
        if constexpr (formula::NodeType<E>) return evaluate(*this, expression);
        else return evaluate(*this, formula::node(expression));
    }

    template <class E>
    bool test(int, const E& condition) {
        Num value;
        if constexpr (formula::NodeType<E>) value = evaluate(*this, condition);
        else value = evaluate(*this, formula::node(condition));
        if (value.kind != Num::Kind::boolean) {
            give_up();
            return false;
        }
        return value.d != 0.0;
    }

    // This call is not one for the direct path.
    Num give_up() {
        failed_ = true;
        return Num{};
    }
    bool failed() const { return failed_; }

private:
    bool failed_ = false;
};

// ---- leaves ---------------------------------------------------------------

inline Num evaluate(DirectFrame&, const formula::Local<Num>& x) { return x.value; }

template <long long V>
Num evaluate(DirectFrame&, const formula::Int<V>&) {
    static_assert(V >= -(1LL << 53) && V <= (1LL << 53));
    Num n = direct::number(Num::Kind::py_int, static_cast<double>(V));
    n.ref = IntConstant<V>::object();
    return n;
}

template <double V>
Num evaluate(DirectFrame&, const formula::Float<V>&) {
    Num n = direct::number(Num::Kind::py_float, V);
    n.ref = FloatConstant<V>::object();
    return n;
}

inline Num evaluate(DirectFrame&, const formula::TrueObject&) {
    Num n = direct::boolean(true);
    n.ref = Py_True;
    return n;
}

template <Text S>
Num evaluate(DirectFrame& f, const formula::NumpyAttribute<S>&) {
    if constexpr (std::string_view(S.chars) == "pi") {
        Num n = direct::number(Num::Kind::py_float, numpy_kernels::pi());
        n.ref = numpy_kernels::pi_object();
        return n;
    } else {
        return f.give_up();
    }
}

// ---- arithmetic -----------------------------------------------------------

namespace direct {

inline bool is_numeric(const Num& n) { return (n.bits() & Num::numeric_bit) != 0; }
inline bool is_integer(const Num& n) { return (n.bits() & Num::integer_bit) != 0; }
inline bool is_numpy(const Num& n) { return (n.bits() & Num::numpy_bit) != 0; }
// Both operands numbers; either of them a NumPy scalar; both integers.
inline bool both_numeric(const Num& a, const Num& b) {
    return (a.bits() & b.bits() & Num::numeric_bit) != 0;
}
inline bool either_numpy(const Num& a, const Num& b) {
    return ((a.bits() | b.bits()) & Num::numpy_bit) != 0;
}
inline bool both_integer(const Num& a, const Num& b) {
    return (a.bits() & b.bits() & Num::integer_bit) != 0;
}

template <formula::Op O>
double ieee(double a, double b) {
    using formula::Op;
    if constexpr (O == Op::add) return a + b;
    else if constexpr (O == Op::sub) return a - b;
    else if constexpr (O == Op::mul) return a * b;
    else return a / b;
}

// + - * / on two numbers, as Python and NumPy scalars do it.
template <formula::Op O>
Num arithmetic(DirectFrame& f, const Num& a, const Num& b) {
    using formula::Op;
    using K = Num::Kind;
    if (!both_numeric(a, b)) return f.give_up();
    if (either_numpy(a, b)) {
        // NumPy scalar arithmetic in float64; only integer NumPy arithmetic
        // (other than true division) is left to the ordinary path.
        if (O != Op::div && both_integer(a, b)) return f.give_up();
        return number(K::np_float64, ieee<O>(a.d, b.d));
    }
    if (both_integer(a, b)) {   // two Python ints
        if constexpr (O == Op::div) {
            if (b.d == 0.0) return f.give_up();   // ZeroDivisionError
            return number(K::py_float, a.d / b.d);   // both exact: one rounding, as Python
        } else {
            // Exact while the result stays within 2**53.
            const double r = ieee<O>(a.d, b.d);
            if (!exact_integer(r)) return f.give_up();
            return whole(K::py_int, r);
        }
    }
    // A Python float with a Python float or a (converted, exact) int.
    if (O == Op::div && b.d == 0.0) return f.give_up();   // ZeroDivisionError
    return number(K::py_float, ieee<O>(a.d, b.d));
}

// A rich comparison tested for truth (quiet: NaN raises no flag).
template <formula::Op O>
Num compare(DirectFrame& f, const Num& a, const Num& b) {
    using formula::Op;
    if (!both_numeric(a, b)) return f.give_up();
    if constexpr (O == Op::lt) return boolean(std::isless(a.d, b.d));
    else if constexpr (O == Op::le) return boolean(std::islessequal(a.d, b.d));
    else if constexpr (O == Op::gt) return boolean(std::isgreater(a.d, b.d));
    else if constexpr (O == Op::ge) return boolean(std::isgreaterequal(a.d, b.d));
    else if constexpr (O == Op::eq) return boolean(a.d == b.d);
    else return boolean(a.d != b.d);
}

}  // namespace direct

namespace direct {

// Any binary operation of the notation on two numbers (or booleans).
template <formula::Op O>
Num binary(DirectFrame& f, const Num& a, const Num& b) {
    using formula::Op;
    if constexpr (formula::is_arithmetic(O)) {
        return arithmetic<O>(f, a, b);
    } else if constexpr (O == Op::bit_and) {
        if (a.kind != Num::Kind::boolean || b.kind != Num::Kind::boolean) return f.give_up();
        return boolean(a.d != 0.0 && b.d != 0.0);
    } else {
        return compare<O>(f, a, b);
    }
}

inline Num negative(DirectFrame& f, const Num& a) {
    switch (a.kind) {
    case Num::Kind::py_int:
    case Num::Kind::np_int64: return whole(a.kind, -a.d);
    case Num::Kind::py_float:
    case Num::Kind::np_float64: return number(a.kind, -a.d);
    default: return f.give_up();
    }
}

}  // namespace direct

template <formula::Op O, class L, class R>
Num evaluate(DirectFrame& f, const formula::Binary<O, L, R>& e) {
    Num a = evaluate(f, e.left);
    Num b = evaluate(f, e.right);
    return direct::binary<O>(f, a, b);
}

template <class X>
Num evaluate(DirectFrame& f, const formula::Negative<X>& e) {
    return direct::negative(f, evaluate(f, e.operand));
}

// ---- NumPy calls ----------------------------------------------------------

// np.array([float constants...]): a table the body can index.
template <double... V>
Num evaluate(DirectFrame&,
             const formula::Call<formula::NumpyAttribute<"array">, formula::List<formula::Float<V>...>>&) {
    static constexpr double values[] = {V...};
    Num n = direct::number(Num::Kind::table, sizeof...(V));
    n.ref = values;
    return n;
}

namespace direct {

// np.<ufunc>(args...) on numbers, as a scalar call computes it.
template <numpy_kernels::Ufunc U, std::size_t N>
Num call(DirectFrame& f, const std::array<Num, N>& args) {
    using numpy_kernels::Ufunc;
    std::uint8_t common = 0xff;   // the bits every argument has
    for (const Num& a : args) common &= a.bits();
    if (!(common & Num::numeric_bit)) return f.give_up();
    if (common & Num::integer_bit) {
        // Integer loops: only np.power(int, int) with an exact result.
        if constexpr (U == Ufunc::power) {
            const double base = args[0].d, exponent = args[1].d;
            if (exponent < 0 || exponent > 64) return f.give_up();
            double r = 1.0;
            for (int n = 0; n < exponent; ++n) {
                r *= base;
                if (!exact_integer(r)) return f.give_up();
            }
            return whole(Num::Kind::np_int64, r);
        } else if constexpr (U == Ufunc::trunc || U == Ufunc::maximum || U == Ufunc::mod) {
            return f.give_up();
        }
    }
    const numpy_kernels::KernelTraits& traits = numpy_kernels::traits_of(U);
    if constexpr (U == Ufunc::radians || U == Ufunc::degrees) {
        // np.radians and np.degrees: one product, done here (set-up finds
        // no product for any other kernel).
        if (traits.factor != 0.0) return number(Num::Kind::np_float64, args[0].d * traits.factor);
    }
    // A kernel that clears the flags when it finishes: what the steps so
    // far raised is read before.
    if (traits.clears_flags && fp_flags_raised()) return f.give_up();
    double in[2] = {args[0].d, N > 1 ? args[N - 1].d : 0.0};
    double out = 0.0;
    if (!numpy_kernels::run(U, in, &out)) return f.give_up();
    return number(Num::Kind::np_float64, out);
}

}  // namespace direct

template <Text S, class... A>
Num evaluate(DirectFrame& f, const formula::Call<formula::NumpyAttribute<S>, A...>& e) {
    constexpr auto ufunc = numpy_kernels::ufunc_named(S.chars);
    if constexpr (!ufunc) {
        return f.give_up();
    } else {
        std::array<Num, sizeof...(A)> args = std::apply(
            [&f](const auto&... a) { return std::array<Num, sizeof...(A)>{evaluate(f, a)...}; },
            e.args);
        return direct::call<*ufunc>(f, args);
    }
}

// ---- subscription, int(), nested bodies -------------------------------------

template <class X, class Index>
Num evaluate(DirectFrame& f, const formula::Item<X, Index>& e) {
    Num table = evaluate(f, e.object);
    Num index = evaluate(f, e.index);
    if (table.kind != Num::Kind::table || index.kind != Num::Kind::py_int) return f.give_up();
    const double i = index.d < 0 ? index.d + table.d : index.d;
    if (i < 0 || i >= table.d) return f.give_up();   // IndexError
    return direct::number(Num::Kind::np_float64, table.table()[static_cast<std::size_t>(i)]);
}

template <class X>
Num evaluate(DirectFrame& f, const formula::Integer<X>& e) {
    Num x = evaluate(f, e.operand);
    if (x.kind == Num::Kind::py_int) return x;
    if (x.kind != Num::Kind::py_float && x.kind != Num::Kind::np_float64) return f.give_up();
    if (!(std::fabs(x.d) < direct::exact_int_limit)) return f.give_up();   // NaN, inf, huge
    return direct::whole(Num::Kind::py_int, std::trunc(x.d));
}

template <class Nested, class... A>
Num evaluate(DirectFrame& f, const formula::NestedCall<Nested, A...>& e) {
    std::array<Num, sizeof...(A)> args = std::apply(
        [&f](const auto&... a) { return std::array<Num, sizeof...(A)>{evaluate(f, a)...}; },
        e.args);
    return std::apply([&f](const auto&... a) { return Nested::body(f, a...); }, args);
}

// ---- the function boundary ----------------------------------------------------

// Runs a body on the direct path.  Returns the result (new reference), or
// null, with no error set, when the call must take the ordinary path.
// Flattened: the whole body becomes one straight run of code over values
// held in registers.
template <class Body, std::size_t... I>
[[gnu::flatten]] PyObject* run_direct(PyObject* const* args, std::index_sequence<I...>) {
    if (!numpy_kernels::ready()) return nullptr;
    std::array<Num, sizeof...(I)> numbers{direct::classify(args[I])...};
    DirectFrame f;
    direct::clear_fp_flags();
    for (Num& n : numbers) n.d = direct::settle(n.d);
    Num result = Body::body(f, numbers[I]...);
    result.d = direct::settle(result.d);
    if (f.failed() || direct::fp_flags_raised()) {
        return nullptr;
    }
    return direct::box(result);
}

}  // namespace klimora
