// Clear-sky direct irradiance normal to the sun's rays, W/m2, by the Linke
// turbidity model: the extraterrestrial irradiance attenuated by
// exp(-Linke turbidity * Rayleigh optical thickness * air mass * pressure
// correction).  The int 0 for a sun not above the horizon.
#include "solar_radiation/extraterrestrial.hpp"
#include "solar_radiation/solar_radiation.hpp"

namespace klimora::solar_radiation {
namespace {

// Rayleigh optical thickness; the air mass is ignored from 85 degrees on,
// and the marker 999 stands for an angle outside 0 to 91.
struct OptDicke {
    static inline NestedFunction function{"OptDicke", 122};

    template <class Frame>
    static auto body(Frame& f, const auto& zenitwinkel, const auto& RelOptLuftM) {
        // Both comparisons are made and combined before the one truth test.
        if (!f.test(123, (I<0> <= zenitwinkel) & (zenitwinkel < I<91>))) return f(129, I<999>);
        auto rho = f.test(124, zenitwinkel < I<85>)
            ? f(125, I<1> / (F<9.4> + (F<0.9> * RelOptLuftM)))
            : f(127, F<0.0408> + (F<0.0028> * (I<90> - zenitwinkel)));
        return rho;
    }
};

using Extraterrestrial = ExtraterrStrahlung<118, 119, 120>;
using Pressure = Druckkorrektur<131, 132>;

struct MaxDirekteStrahlung {
    template <class Frame>
    static auto body(Frame& f, const auto& dayofyear, const auto& mHoehe, const auto& zenitwinkel,
                     const auto& LinkeTr, const auto& RelOptLuftM) {
        if (!f.test(135, zenitwinkel < I<90>)) return f(138, I<0>);
        auto Isenkr = f(136, nested<Extraterrestrial>(dayofyear) *
                             np.exp((((-LinkeTr) * nested<OptDicke>(zenitwinkel, RelOptLuftM)) * RelOptLuftM) *
                                    nested<Pressure>(mHoehe)));
        return Isenkr;
    }
};

}  // namespace

constinit const Body max_direkte_strahlung = define_body<MaxDirekteStrahlung, 5>(
    {&Extraterrestrial::function, &OptDicke::function, &Pressure::function});

}  // namespace klimora::solar_radiation
