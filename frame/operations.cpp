#include "frame/operations.hpp"

#include "frame/ref.hpp"

#include <pthread.h>

#include <cstdint>

namespace klimora {
namespace {

// Bytes of C stack kept free below the deepest call: enough for the
// interpreter to raise, print and unwind.
constexpr std::uintptr_t stack_reserve = 256 << 10;

// The lowest address a call may start from on this thread, or 0 where the
// thread's stack cannot be found out.
std::uintptr_t stack_floor() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void* low = nullptr;
    std::size_t size = 0;
    const int found = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (found != 0 || size <= 2 * stack_reserve) return 0;
    return reinterpret_cast<std::uintptr_t>(low) + stack_reserve;
}

// Whether the C stack is nearly used up.  The interpreter's own recursion
// limit counts calls, not bytes: since 3.12 calls from C count against a
// fixed budget, which the bodies' deeper C frames can overrun, and any
// version lets sys.setrecursionlimit allow more than the stack holds.
bool stack_nearly_full() {
    thread_local const std::uintptr_t floor = stack_floor();
    char here;
    return reinterpret_cast<std::uintptr_t>(&here) < floor;
}

}  // namespace

PyObject* call_object(PyObject* callable, PyObject* const* args, std::size_t nargs) {
    vectorcallfunc vector_call = PyVectorcall_Function(callable);
    ternaryfunc tp_call = Py_TYPE(callable)->tp_call;
    if (vector_call == nullptr && tp_call == nullptr) {
        // Not callable: let the interpreter say so.
        return PyObject_Vectorcall(callable, args, nargs, nullptr);
    }
    if (stack_nearly_full()) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while calling a Python object");
        return nullptr;
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
