// NumPy's loop over a thermal-comfort model solved point by point (WBGT,
// the globe, PET): on float64, or on float32 worked out in float64 and
// rounded once.  NaN where a point does not solve, and the invalid flag
// raised once after the loop; NaN quietly for NaN in.  The solvers may try
// a temperature where the balance has no root (a fourth root of a negative
// number) before they find one: the flags that raises are not NumPy's
// business, so they are held and put back as they were.  Ctrl-C is looked
// for between chunks, as in the other loops.
#pragma once

#include "formula/ufunc_loop.hpp"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstddef>
#include <limits>

namespace klimora::thermal_comfort {

// `model(in)` gives the value of one point from its `inputs` doubles.
template <class T, std::size_t inputs, class Model>
void solving_loop(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps,
                  Model&& model) {
    constexpr Py_intptr_t chunk = 256;
    const Py_intptr_t count = dimensions[0];
    auto at = [&](std::size_t j, Py_intptr_t i) -> T& {
        return *reinterpret_cast<T*>(args[j] + i * steps[j]);
    };
    const bool main_thread = PyThread_get_thread_ident() ==
                             blocks::signals::main_thread.load(std::memory_order_relaxed);
    bool unsolved = false;
    std::fenv_t held;
    std::feholdexcept(&held);
    for (Py_intptr_t start = 0; start < count; start += chunk) {
        if (main_thread && blocks::signals::stop(start == 0 ? 0 : chunk)) {
            for (Py_intptr_t i = start; i < count; ++i) {
                at(inputs, i) = std::numeric_limits<T>::quiet_NaN();
            }
            break;
        }
        const Py_intptr_t end = std::min(count, start + chunk);
        for (Py_intptr_t i = start; i < end; ++i) {
            double in[inputs];
            for (std::size_t j = 0; j < inputs; ++j) in[j] = static_cast<double>(at(j, i));
            const double r = model(static_cast<const double*>(in));
            if (std::isnan(r) &&
                std::none_of(in, in + inputs, [](double x) { return std::isnan(x); })) {
                unsolved = true;
            }
            at(inputs, i) = static_cast<T>(r);
        }
    }
    std::fesetenv(&held);
    if (unsolved) std::feraiseexcept(FE_INVALID);
}

}  // namespace klimora::thermal_comfort
