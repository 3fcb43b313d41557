// What a body file includes: the formula notation, its evaluations (on
// Python objects, on doubles, on blocks of a ufunc's elements) and
// define_body, which turns a body struct into the Body that the function
// table points at.
//
// A body struct has a static member template
//
//     template <class Frame> static auto body(Frame& f, const auto&... parameters);
//
// and a nested function is a struct with the same member and a static
// NestedFunction named `function`.
#pragma once

#include "formula/on_objects.hpp"
#include "formula/notation.hpp"
#include "frame/function_spec.hpp"
#include "formula/ufunc_loop.hpp"

#include <initializer_list>
#include <utility>

namespace klimora {

template <class B, std::size_t N>
PyObject* run(PyObject* const* args, PyObject* traceback_code) {
    return run_body<B>(args, traceback_code, std::make_index_sequence<N>{});
}

template <class B, std::size_t N, std::size_t... In>
constexpr Body make_body(std::initializer_list<NestedFunction*> nested, std::index_sequence<In...>) {
    return Body{&run<B, N>, N, nested, &blocks::ufunc_loop<B, N, In...>, {In...}};
}

// The ufunc takes the parameters in UfuncInputs (all of them by default).
template <class B, std::size_t N, class UfuncInputs = std::make_index_sequence<N>>
constexpr Body define_body(std::initializer_list<NestedFunction*> nested = {}) {
    return make_body<B, N>(nested, UfuncInputs{});
}

}  // namespace klimora
