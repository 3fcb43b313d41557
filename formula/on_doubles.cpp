#include "formula/on_doubles.hpp"

namespace klimora::direct {

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
