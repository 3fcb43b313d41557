// Surface temperature from the surface energy balance: the radiation
// balance plus a heat flux of opposite sign (19 % of a positive balance,
// 32 % otherwise), split by the Bowen ratio (bounded below by -0.9); the
// sensible part, carried away with the wind-dependent coefficient alphaL,
// sets how far the surface lies above or below the air temperature.
#include "formula/body.hpp"
#include "thermal_radiation/thermal_radiation.hpp"

namespace klimora::thermal_radiation {
namespace {
using namespace formula;

struct OberflTemp {
    template <class Frame>
    static auto body(Frame& f, const auto& Strahlungsbilanz, const auto& LuftTemp,
                     const auto& WindGeschw, auto Bowen) {
        auto Q = f.test(196, Strahlungsbilanz > I<0>)
            ? f(197, F<-0.19> * Strahlungsbilanz)
            : f(199, F<-0.32> * Strahlungsbilanz);
        auto alphaL = f(201, F<6.2> + (F<4.26> * WindGeschw));
        if (f.test(202, Bowen < F<-0.9>)) Bowen = f(203, F<-0.9>);
        // No sensible heat: the air temperature itself, the very object.
        if (f.test(204, Bowen == I<0>)) return LuftTemp;
        auto Result = f(207, LuftTemp + ((Strahlungsbilanz + Q) / (alphaL * (I<1> + (I<1> / Bowen)))));
        return Result;
    }
};

}  // namespace

constinit const Body oberfl_temp = define_body<OberflTemp, 4>();

}  // namespace klimora::thermal_radiation
