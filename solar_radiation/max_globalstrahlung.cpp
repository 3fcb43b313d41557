// Clear-sky global irradiance on a horizontal surface, W/m2:
// 0.84 * extraterrestrial * cos z * exp(-0.027 * pressure correction *
// Linke turbidity / cos z).  The int 0 for a sun not above the horizon.
#include "solar_radiation/extraterrestrial.hpp"
#include "solar_radiation/solar_radiation.hpp"

namespace klimora::solar_radiation {
namespace {

using Extraterrestrial = ExtraterrStrahlung<142, 143, 144>;
using Pressure = Druckkorrektur<146, 147>;

struct MaxGlobalstrahlung {
    template <class Frame>
    static auto body(Frame& f, const auto& dayofyear, const auto& mHoehe, const auto& zenitwinkel,
                     const auto& LinkeTr) {
        if (!f.test(150, zenitwinkel < I<90>)) return f(153, I<0>);
        auto Gmax = f(151, ((F<0.84> * nested<Extraterrestrial>(dayofyear)) * np.cos(np.radians(zenitwinkel))) *
                           np.exp(((F<-0.027> * nested<Pressure>(mHoehe)) * LinkeTr) / np.cos(np.radians(zenitwinkel))));
        return Gmax;
    }
};

}  // namespace

constinit const Body max_globalstrahlung = define_body<MaxGlobalstrahlung, 4>(
    {&Extraterrestrial::function, &Pressure::function});

}  // namespace klimora::solar_radiation
