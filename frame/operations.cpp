#include "frame/operations.hpp"

#include "frame/ref.hpp"

namespace klimora {

PyObject* call_object(PyObject* callable, PyObject* const* args, std::size_t nargs) {
    vectorcallfunc vector_call = PyVectorcall_Function(callable);
    ternaryfunc tp_call = Py_TYPE(callable)->tp_call;
    if (vector_call == nullptr && tp_call == nullptr) {
        // Not callable: let the interpreter say so.
        return PyObject_Vectorcall(callable, args, nargs, nullptr);
    }
    PyObject* result;
    if (vector_call != nullptr) {
        if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
        result = vector_call(callable, args, nargs, nullptr);
        Py_LeaveRecursiveCall();
    } else {
        Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(nargs)));
        if (!tuple) return nullptr;
        for (std::size_t i = 0; i < nargs; ++i) {
            PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
        }
        if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
        result = tp_call(callable, tuple.get(), nullptr);
        Py_LeaveRecursiveCall();
    }
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return result;
}

PyObject* get_item(PyObject* object, PyObject* index) {
    PyMappingMethods* mapping = Py_TYPE(object)->tp_as_mapping;
    if (mapping != nullptr && mapping->mp_subscript != nullptr) {
        return mapping->mp_subscript(object, index);
    }
    PySequenceMethods* sequence = Py_TYPE(object)->tp_as_sequence;
    if (sequence != nullptr && sequence->sq_item != nullptr) {
        Py_ssize_t i = PyNumber_AsSsize_t(index, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred()) return nullptr;
        return PySequence_GetItem(object, i);
    }
    if (PyType_Check(object)) return PyObject_GetItem(object, index);   // __class_getitem__
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not subscriptable",
                 Py_TYPE(object)->tp_name);
    return nullptr;
}

PyObject* to_python_int(PyObject* x) {
    if (PyLong_CheckExact(x)) return Py_NewRef(x);
    return PyNumber_Long(x);
}

}  // namespace klimora
