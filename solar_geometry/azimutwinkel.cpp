// Solar azimuth in degrees from north through east.  sz is the northward
// and -sy the eastward component of the unit vector to the sun; Winkel
// turns (northward, eastward) into an angle from 0 to 360 degrees.
#include "solar_geometry/declination.hpp"
#include "solar_geometry/solar_geometry.hpp"

namespace klimora::solar_geometry {
namespace {

// The angle of the point (Ankathete, Gegenkathete) from the positive
// Ankathete axis, 0 to 2 pi, in degrees when Gradmass is true.  The
// quadrant formulas (not a two-argument arctangent) fix the bits, including
// the cases that round to exactly 2 pi.
struct Winkel {
    static inline NestedFunction function{"Winkel", 53};

    template <class Frame>
    static auto body(Frame& f, const auto& Ankathete, const auto& Gegenkathete, const auto& Gradmass) {
        auto phi = [&] {
            if (f.test(54, Gegenkathete == I<0>)) {
                if (f.test(55, Ankathete >= I<0>)) return f(56, I<0>);
                return f(58, np.pi);
            }
            if (f.test(59, Gegenkathete > I<0>)) return f(60, (np.pi / I<2>) - np.arctan(Ankathete / Gegenkathete));
            return f(62, ((I<3> * np.pi) / I<2>) - np.arctan(Ankathete / Gegenkathete));
        }();
        if (f.test(63, Gradmass)) phi = f(64, np.degrees(phi));
        return phi;
    }
};

struct Azimutwinkel {
    template <class Frame>
    static auto body(Frame& f, const auto& szeit, const auto& breite, const auto& dayofyear) {
        auto [sinBr, cosBr, sinD, cosD] =
            latitude_and_declination(f, {67, 69, 70, 71, 72}, breite, dayofyear);
        auto sinSz  = f(73, np.sin((szeit * np.pi) / I<12>));
        auto cosSz  = f(74, np.cos((szeit * np.pi) / I<12>));
        auto sy     = f(75, (-sinSz) * cosD);
        auto sz     = f(76, ((sinBr * cosSz) * cosD) + (sinD * cosBr));
        auto Result = f(77, nested<Winkel>(sz, -sy, True));
        return Result;
    }
};

}  // namespace

constinit const Body azimutwinkel = define_body<Azimutwinkel, 3>({&Winkel::function});

}  // namespace klimora::solar_geometry
