// The two nested functions that the clear-sky direct and global irradiance
// each define for themselves: the same formulas, but each function's pair
// has its own lines (and so its own traceback entries).
#pragma once

#include "formula/body.hpp"

namespace klimora::solar_radiation {

using namespace formula;

// Extraterrestrial irradiance in W/m2: the solar constant 1367 corrected for
// the eccentricity of the earth's orbit.
template <int FirstLine, int S0Line, int ResultLine>
struct ExtraterrStrahlung {
    static inline NestedFunction function{"ExtraterrStrahlung", FirstLine};

    template <class Frame>
    static auto body(Frame& f, const auto& dayofyear) {
        auto S0     = f(S0Line, I<1367>);
        auto Result = f(ResultLine, S0 * (I<1> + (F<0.03344> * np.cos((np.pi / I<180>) * ((F<0.9856> * dayofyear) - F<2.72>)))));
        return Result;
    }
};

// Pressure correction for the site's height, scale height 8434.5 m.
template <int FirstLine, int ResultLine>
struct Druckkorrektur {
    static inline NestedFunction function{"Druckkorrektur", FirstLine};

    template <class Frame>
    static auto body(Frame& f, const auto& Hoehe) {
        auto Result = f(ResultLine, np.exp((-Hoehe) / F<8434.5>));
        return Result;
    }
};

}  // namespace klimora::solar_radiation
