// Evaluating formulas on Python objects.
//
// ObjectFrame is the `f` of a body: f(line, expression) evaluates one
// statement and f.test(line, comparison) one condition.  Every operation is
// the Python operation on the operand objects; the first one that fails
// throws Raised, which unwinds (releasing every intermediate Ref) to the
// function boundary, where the traceback entry for the current line is
// added and the call returns null to the interpreter.
#pragma once

#include "formula/on_doubles.hpp"
#include "formula/notation.hpp"
#include "frame/namespace.hpp"
#include "formula/numpy_kernels.hpp"
#include "frame/operations.hpp"
#include "frame/ref.hpp"
#include "frame/traceback.hpp"

#include <array>
#include <cstddef>
#include <tuple>
#include <utility>

namespace klimora {

// A Python exception is pending.
struct Raised {};

[[noreturn]] inline void raise_pending() { throw Raised{}; }

inline Ref checked(PyObject* result) {
    if (result == nullptr) raise_pending();
    return Ref::steal(result);
}

class ObjectFrame {
public:
    explicit ObjectFrame(PyObject* traceback_code) noexcept : traceback_code_(traceback_code) {}

    // Evaluates one statement of the body, which stands at `line`.
    template <class E>
    Ref operator()(int line, const E& expression) {
        line_ = line;
        return evaluate(*this, formula::node(expression));
    }

    // Evaluates a condition at `line` and tests its truth, as `if` does.
    template <class E>
    bool test(int line, const E& condition) {
        line_ = line;
        Ref value = evaluate(*this, formula::node(condition));
        int truth = PyObject_IsTrue(value.get());
        if (truth < 0) raise_pending();
        return truth != 0;
    }

    int line() const noexcept { return line_; }
    PyObject* traceback_code() const noexcept { return traceback_code_; }

private:
    PyObject* traceback_code_;
    int line_ = 0;
};

// ---- leaves ---------------------------------------------------------------

inline Ref evaluate(ObjectFrame&, const formula::Local<Ref>& x) {
    return Ref::borrow(x.value.get());
}

template <long long V>
Ref evaluate(ObjectFrame&, const formula::Int<V>&) {
    return Ref::borrow(IntConstant<V>::object());
}

template <double V>
Ref evaluate(ObjectFrame&, const formula::Float<V>&) {
    return Ref::borrow(FloatConstant<V>::object());
}

inline Ref evaluate(ObjectFrame&, const formula::TrueObject&) {
    return Ref::borrow(Py_True);
}

// The module global np, looked up at each use.
inline Ref load_numpy() {
    static GlobalCache cache;
    return checked(load_global(formula::NumpyGlobal::name::object(), cache));
}

template <Text S>
Ref evaluate(ObjectFrame&, const formula::NumpyAttribute<S>&) {
    Ref numpy = load_numpy();
    return checked(PyObject_GetAttr(numpy.get(), Name<S>::object()));
}

// ---- composite nodes --------------------------------------------------------

// Evaluates a tuple of nodes left to right (a braced list is sequenced).
template <class... A>
std::array<Ref, sizeof...(A)> evaluate_each(ObjectFrame& f, const std::tuple<A...>& nodes) {
    return std::apply(
        [&f](const auto&... n) { return std::array<Ref, sizeof...(A)>{evaluate(f, n)...}; },
        nodes);
}

template <class Fn, class... A>
Ref evaluate(ObjectFrame& f, const formula::Call<Fn, A...>& e) {
    Ref callee = evaluate(f, e.callee);
    std::array<Ref, sizeof...(A)> args = evaluate_each(f, e.args);
    std::array<PyObject*, sizeof...(A)> raw;
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = args[i].get();
    return checked(call_object(callee.get(), raw.data(), raw.size()));
}

// Two exact Python floats: the float's own arithmetic and comparisons,
// without the dispatch of the number protocol.  Division by zero is left
// to the protocol, which raises ZeroDivisionError.
template <formula::Op O>
PyObject* apply_to_floats(double x, double y) {
    using formula::Op;
    if constexpr (O == Op::add) return PyFloat_FromDouble(x + y);
    else if constexpr (O == Op::sub) return PyFloat_FromDouble(x - y);
    else if constexpr (O == Op::mul) return PyFloat_FromDouble(x * y);
    else if constexpr (O == Op::div) return y != 0.0 ? PyFloat_FromDouble(x / y) : nullptr;
    else if constexpr (O == Op::lt) return PyBool_FromLong(x < y);
    else if constexpr (O == Op::le) return PyBool_FromLong(x <= y);
    else if constexpr (O == Op::eq) return PyBool_FromLong(x == y);
    else if constexpr (O == Op::ne) return PyBool_FromLong(x != y);
    else if constexpr (O == Op::gt) return PyBool_FromLong(x > y);
    else if constexpr (O == Op::ge) return PyBool_FromLong(x >= y);
    else return nullptr;
}

template <formula::Op O>
PyObject* apply_binary(PyObject* a, PyObject* b) {
    using formula::Op;
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
        if (PyObject* r = apply_to_floats<O>(PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b))) return r;
        if (PyErr_Occurred()) return nullptr;
    }
    if constexpr (O == Op::add) return PyNumber_Add(a, b);
    else if constexpr (O == Op::sub) return PyNumber_Subtract(a, b);
    else if constexpr (O == Op::mul) return PyNumber_Multiply(a, b);
    else if constexpr (O == Op::div) return PyNumber_TrueDivide(a, b);
    else if constexpr (O == Op::bit_and) return PyNumber_And(a, b);
    else if constexpr (O == Op::lt) return PyObject_RichCompare(a, b, Py_LT);
    else if constexpr (O == Op::le) return PyObject_RichCompare(a, b, Py_LE);
    else if constexpr (O == Op::eq) return PyObject_RichCompare(a, b, Py_EQ);
    else if constexpr (O == Op::ne) return PyObject_RichCompare(a, b, Py_NE);
    else if constexpr (O == Op::gt) return PyObject_RichCompare(a, b, Py_GT);
    else return PyObject_RichCompare(a, b, Py_GE);
}

// a += b and the like, for a large temporary array (see elidable).
template <formula::Op O>
PyObject* apply_in_place(PyObject* a, PyObject* b) {
    using formula::Op;
    if constexpr (O == Op::add) return PyNumber_InPlaceAdd(a, b);
    else if constexpr (O == Op::sub) return PyNumber_InPlaceSubtract(a, b);
    else if constexpr (O == Op::mul) return PyNumber_InPlaceMultiply(a, b);
    else return PyNumber_InPlaceTrueDivide(a, b);
}

template <formula::Op O, class L, class R>
Ref evaluate(ObjectFrame& f, const formula::Binary<O, L, R>& e) {
    using formula::Op;
    Ref left = evaluate(f, e.left);
    Ref right = evaluate(f, e.right);
    if constexpr (formula::is_arithmetic(O)) {
        // Where Python code would have NumPy reuse a temporary's memory,
        // so does the module: the left operand, or for + and * either one.
        if (numpy_kernels::elidable(left.get(), right.get())) {
            return checked(apply_in_place<O>(left.get(), right.get()));
        }
        if constexpr (O == Op::add || O == Op::mul) {
            if (numpy_kernels::elidable(right.get(), left.get())) {
                return checked(apply_in_place<O>(right.get(), left.get()));
            }
        }
    }
    return checked(apply_binary<O>(left.get(), right.get()));
}

template <class X>
Ref evaluate(ObjectFrame& f, const formula::Negative<X>& e) {
    Ref operand = evaluate(f, e.operand);
    if (numpy_kernels::elidable(operand.get())) {
        return checked(numpy_kernels::negate_in_place(operand.get()));
    }
    return checked(PyNumber_Negative(operand.get()));
}

template <class X, class Index>
Ref evaluate(ObjectFrame& f, const formula::Item<X, Index>& e) {
    Ref object = evaluate(f, e.object);
    Ref index = evaluate(f, e.index);
    return checked(get_item(object.get(), index.get()));
}

template <class X>
Ref evaluate(ObjectFrame& f, const formula::Integer<X>& e) {
    Ref operand = evaluate(f, e.operand);
    return checked(to_python_int(operand.get()));
}

template <class... E>
Ref evaluate(ObjectFrame& f, const formula::List<E...>& e) {
    std::array<Ref, sizeof...(E)> items = evaluate_each(f, e.items);
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyList_SET_ITEM(list.get(), i, items[i].release());
    }
    return list;
}

// Runs a nested function's body in a frame of its own: a failure inside it
// gets the nested entry first, then (further up) the enclosing one.
template <class Nested, class... A>
Ref evaluate(ObjectFrame& f, const formula::NestedCall<Nested, A...>& e) {
    std::array<Ref, sizeof...(A)> args = evaluate_each(f, e.args);
    ObjectFrame inner(Nested::function.traceback_code);
    try {
        return std::apply([&inner](const auto&... a) { return Nested::body(inner, a...); }, args);
    } catch (const Raised&) {
        add_traceback_entry(inner.traceback_code(), inner.line());
        throw;
    }
}

// ---- the function boundary ----------------------------------------------------

// Runs a public function's body on its bound arguments: on the direct path
// where it can, else on Python objects.  Returns the result (new
// reference), or null with the exception and its traceback entry set.
template <class Body, std::size_t... I>
PyObject* run_body(PyObject* const* args, PyObject* traceback_code,
                   std::index_sequence<I...> indices) {
    if (PyObject* result = run_direct<Body>(args, indices)) return result;
    ObjectFrame f(traceback_code);
    try {
        const std::array<Ref, sizeof...(I)> parameters{Ref::borrow(args[I])...};
        return Body::body(f, parameters[I]...).release();
    } catch (const Raised&) {
        add_traceback_entry(traceback_code, f.line());
        return nullptr;
    }
}

}  // namespace klimora
