// The equation of time, apparent minus mean solar time, in hours: the
// nested function ERS of the solar time, and on its own the body of the
// ufunc equation_of_time.  Both run this one formula.
#pragma once

#include "formula/body.hpp"

namespace klimora::solar_geometry {

using namespace formula;

// Worked out in minutes, divided by 60.  The source lines are ERS's inside
// Sonnenzeit; they are what a traceback entry of the solar time shows.
struct ERS {
    static inline NestedFunction function{"ERS", 8};

    template <class Frame>
    static auto body(Frame& f, const auto& dayofyear) {
        auto B      = f(9,  ((I<2> * np.pi) * (dayofyear - I<81>)) / I<364>);
        auto sinB   = f(10, np.sin(B));
        auto cosB   = f(11, np.cos(B));
        auto Result = f(12, (((F<9.87> * np.sin(I<2> * B)) - (F<7.53> * cosB)) - (F<1.5> * sinB)) / I<60>);
        return Result;
    }
};

}  // namespace klimora::solar_geometry
