// What the frame knows of a function: one row of the module's function
// table, and the body that the row carries.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>

#include "frame/ref.hpp"

namespace klimora {

enum class CallForm {
    keyword,           // every parameter by position or by keyword
    single_argument,   // exactly one positional argument, no keywords
};

// A short list of names or pointers that can stand in a constant table.
template <class T, std::size_t Capacity>
struct FixedList {
    std::array<T, Capacity> items{};
    std::size_t size = 0;

    constexpr FixedList() = default;
    constexpr FixedList(std::initializer_list<T> list) {
        for (T x : list) items[size++] = x;
    }
    constexpr const T* begin() const { return items.data(); }
    constexpr const T* end() const { return items.data() + size; }
    constexpr T operator[](std::size_t i) const { return items[i]; }
};

using NameList = FixedList<const char*, 16>;

// A private function that a body defines inside itself and runs directly.
struct NestedFunction {
    const char* name;
    int first_line;
    PyObject* traceback_code = nullptr;   // made at start-up
};

// Runs a body on its bound arguments (borrowed: the caller keeps them alive
// for the call): a new reference, or null with the exception and its
// traceback entries set.
using BodyRunner = PyObject* (*)(PyObject* const* args, PyObject* traceback_code);

// A ufunc's float64 loop, as NumPy calls it (PyUFuncGenericFunction).
using UfuncLoop = void (*)(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps,
                           void* data);

struct Body {
    BodyRunner run;
    std::size_t arity;
    FixedList<NestedFunction*, 4> nested;
    UfuncLoop ufunc_loop;
    FixedList<std::size_t, 16> ufunc_inputs;   // the parameters the ufunc takes, by position
};

struct FunctionSpec {
    const char* name;
    CallForm form;
    NameList parameters;
    NameList further_names;   // the code object's names after the parameters
    int first_line;
    const char* doc;          // null: no docstring
    const Body* body;
};

}  // namespace klimora
