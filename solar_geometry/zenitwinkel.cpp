// Solar zenith angle in degrees: 90 minus the elevation, where
// sin(elevation) = sin(latitude) sin(declination) + cos(latitude)
// cos(declination) cos(hour angle).  cos((szeit * pi) / 12) is the negated
// cosine of the hour angle, hence -cosBr.  No branch: arrays work element
// by element.
#include "solar_geometry/declination.hpp"
#include "solar_geometry/solar_geometry.hpp"

namespace klimora::solar_geometry {
namespace {

struct Zenitwinkel {
    template <class Frame>
    static auto body(Frame& f, const auto& szeit, const auto& breite, const auto& dayofyear) {
        auto [sinBr, cosBr, sinD, cosD] =
            latitude_and_declination(f, {38, 39, 40, 41, 42}, breite, dayofyear);
        auto s      = f(43, np.degrees(np.arcsin((((-cosBr) * np.cos((szeit * np.pi) / I<12>)) * cosD) + (sinD * sinBr))));
        auto Result = f(44, I<90> - s);
        return Result;
    }
};

}  // namespace

constinit const Body zenitwinkel = define_body<Zenitwinkel, 3>();

}  // namespace klimora::solar_geometry
