// Atmospheric counter-radiation, W/m2: the black-body flux of the air,
// sigma T^4, times an effective emissivity that grows with the vapour
// pressure, raised by up to 21 % at full overcast (N in oktas).
#include "formula/body.hpp"
#include "thermal_radiation/thermal_radiation.hpp"

namespace klimora::thermal_radiation {
namespace {
using namespace formula;

struct AtmosGegenstr {
    template <class Frame>
    static auto body(Frame& f, const auto& LuftTemp, const auto& Dampfdruck, const auto& N) {
        constexpr auto sigma = F<5.67e-8>;   // Stefan-Boltzmann, W m-2 K-4
        auto T      = f(164, LuftTemp + F<273.15>);
        auto A0     = f(175, (sigma * np.power(T, I<4>)) * (F<0.82> - (F<0.25> * np.power(I<10>, F<-0.0945> * Dampfdruck))));
        auto nx     = f(176, np.power(N / I<8>, F<2.5>));
        auto Result = f(177, A0 * (I<1> + (F<0.21> * nx)));
        return Result;
    }
};

}  // namespace

constinit const Body atmos_gegenstr = define_body<AtmosGegenstr, 3>();

}  // namespace klimora::thermal_radiation
