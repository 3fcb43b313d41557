// The sun's declination and the sines and cosines of latitude and
// declination, shared by the zenith angle and the azimuth.
#pragma once

#include "formula/body.hpp"

#include <tuple>

namespace klimora::solar_geometry {

using namespace formula;

// Solar declination in degrees for a day of the year (about +23.44 at day
// 172, -23.44 at day 355).
constexpr auto declination(const auto& dayofyear) {
    return np.degrees(np.arcsin(F<0.3978> * np.sin(np.radians(
        (((F<0.9856> * dayofyear) - F<2.72>) - F<77.51>) +
        (F<1.92> * np.sin(np.radians((F<0.9856> * dayofyear) - F<2.72>)))))));
}

// The source lines of the five statements in the function that runs them.
struct DeclinationLines { int delta, sinBr, cosBr, sinD, cosD; };

// Returns sinBr, cosBr, sinD, cosD.
template <class Frame>
auto latitude_and_declination(Frame& f, const DeclinationLines& at, const auto& breite,
                              const auto& dayofyear) {
    auto delta = f(at.delta, declination(dayofyear));
    auto sinBr = f(at.sinBr, np.sin(np.radians(breite)));
    auto cosBr = f(at.cosBr, np.cos(np.radians(breite)));
    auto sinD  = f(at.sinD,  np.sin(np.radians(delta)));
    auto cosD  = f(at.cosD,  np.cos(np.radians(delta)));
    return std::tuple{sinBr, cosBr, sinD, cosD};
}

}  // namespace klimora::solar_geometry
