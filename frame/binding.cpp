#include "frame/binding.hpp"

namespace klimora {
namespace {

void arity_error(const FunctionSpec& spec, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, "exactly", expected, "s", given);
}

bool same_name(PyObject* key, PyObject* name) {
    return key == name || PyUnicode_Compare(key, name) == 0;
}

// Finds the first keyword that binds no parameter of p[k..n) and reports it.
bool check_extra_keywords(const FunctionSpec& spec, PyObject* parameters, Py_ssize_t k,
                          PyObject* kwargs) {
    const Py_ssize_t n = PyTuple_GET_SIZE(parameters);
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        bool binds = false;
        for (Py_ssize_t i = k; i < n && !binds; ++i) {
            binds = key == PyTuple_GET_ITEM(parameters, i);
        }
        if (!binds && !PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
            return false;
        }
        for (Py_ssize_t i = k; i < n && !binds; ++i) {
            binds = same_name(key, PyTuple_GET_ITEM(parameters, i));
        }
        if (binds) continue;
        for (Py_ssize_t i = 0; i < k; ++i) {
            if (same_name(key, PyTuple_GET_ITEM(parameters, i))) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got multiple values for keyword argument '%U'", spec.name, key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name,
                     key);
        return false;
    }
    return true;
}

bool bind_keyword_form(const FunctionSpec& spec, PyObject* parameters, PyObject* args,
                       PyObject* kwargs, Ref* out) {
    const Py_ssize_t n = PyTuple_GET_SIZE(parameters);
    const Py_ssize_t k = PyTuple_GET_SIZE(args);
    if (kwargs == nullptr) {
        if (k != n) {
            arity_error(spec, n, k);
            return false;
        }
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
        return true;
    }
    if (k > n) {
        arity_error(spec, n, k);
        return false;
    }
    for (Py_ssize_t i = 0; i < k; ++i) out[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
    for (Py_ssize_t i = k; i < n; ++i) {
        out[i] = Ref::borrow(PyDict_GetItemWithError(kwargs, PyTuple_GET_ITEM(parameters, i)));
        if (!out[i]) {
            if (!PyErr_Occurred()) arity_error(spec, n, i);
            return false;
        }
    }
    if (PyDict_GET_SIZE(kwargs) > n - k) return check_extra_keywords(spec, parameters, k, kwargs);
    return true;
}

bool bind_single_argument(const FunctionSpec& spec, PyObject* args, PyObject* kwargs,
                          Ref* out) {
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", spec.name);
        return false;
    }
    const Py_ssize_t k = PyTuple_GET_SIZE(args);
    if (k != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)",
                     spec.name, k);
        return false;
    }
    out[0] = Ref::borrow(PyTuple_GET_ITEM(args, 0));
    return true;
}

}  // namespace

bool bind_arguments(const FunctionSpec& spec, PyObject* parameters, PyObject* args,
                    PyObject* kwargs, Ref* out) {
    if (spec.form == CallForm::single_argument) return bind_single_argument(spec, args, kwargs, out);
    return bind_keyword_form(spec, parameters, args, kwargs, out);
}

}  // namespace klimora
