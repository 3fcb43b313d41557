#include "frame/direct.hpp"

#include <cmath>

namespace klimora::direct {

// NaN inputs take the ordinary path: which NaN an operation passes on
// (sign, payload) depends on the order of its operands in the machine
// instruction, which a compiler may swap.  NaN arising from numbers raises
// the invalid flag and so takes the ordinary path too.
Num classify(PyObject* object) {
    Num n;
    n.ref = object;
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyFloat_Type || type == numpy_kernels::float64_type()) {
        n.d = PyFloat_AS_DOUBLE(object);
        if (!std::isnan(n.d)) n.kind = type == &PyFloat_Type ? Num::Kind::py_float : Num::Kind::np_float64;
    } else if (type == &PyLong_Type && Py_SIZE(object) >= -1 && Py_SIZE(object) <= 1) {
        // One digit (30 bits) at most: the value is at hand.
        n.kind = Num::Kind::py_int;
        n.d = static_cast<double>(Py_SIZE(object)) *
              static_cast<double>(reinterpret_cast<PyLongObject*>(object)->ob_digit[0]);
        n.d += 0.0;
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

PyObject* box(const Num& n) {
    PyObject* result = nullptr;
    if (PyObject* same = n.origin()) return Py_NewRef(same);
    switch (n.kind) {
    case Num::Kind::py_float: result = PyFloat_FromDouble(n.d); break;
    case Num::Kind::py_int: result = PyLong_FromDouble(n.d); break;
    case Num::Kind::np_float64: result = numpy_kernels::new_float64(n.d); break;
    default: return nullptr;
    }
    if (result == nullptr) PyErr_Clear();   // the ordinary path will meet the same shortage
    return result;
}

}  // namespace klimora::direct
