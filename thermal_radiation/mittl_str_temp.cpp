// Mean radiant temperature of a person, degrees Celsius: the long-wave
// fluxes unweighted, the short-wave ones absorbed (1 - albedo) and divided
// by the long-wave emissivity, the direct beam weighted by fP, a factor of
// the solar elevation alone (0.308 on the horizon).  ReflStr and
// albedo_env are taken but take no part.
#include "formula/body.hpp"
#include "thermal_radiation/thermal_radiation.hpp"

namespace klimora::thermal_radiation {
namespace {
using namespace formula;

struct MittlStrTemp {
    template <class Frame>
    static auto body(Frame& f, const auto& zenitwinkel, const auto& EStrOben, const auto& EStrUnten,
                     const auto& AGegenstr, const auto& DiffStr, const auto& MaxDirStr,
                     [[maybe_unused]] const auto& ReflStr, const auto& albedo,
                     [[maybe_unused]] const auto& albedo_env) {
        constexpr auto sigma = F<5.67e-8>;   // Stefan-Boltzmann, W m-2 K-4
        constexpr auto epsP = F<0.97>;       // long-wave emissivity of a person
        auto alphaIR = f(214, I<1> - albedo);
        auto gamma   = f(215, I<90> - zenitwinkel);
        auto fP      = f(217, F<0.308> * np.cos(np.radians(gamma * (F<0.998> - (np.sqrt(gamma) / I<50000>)))));
        auto Result  = f(218, np.power((((EStrOben + EStrUnten) + AGegenstr) + ((alphaIR / epsP) * (DiffStr + (MaxDirStr * fP)))) / sigma, F<0.25>) - F<273.15>);
        return Result;
    }
};

}  // namespace

// The ufunc takes the seven parameters the formula uses.
constinit const Body mittl_str_temp =
    define_body<MittlStrTemp, 9, std::index_sequence<0, 1, 2, 3, 4, 5, 7>>();

}  // namespace klimora::thermal_radiation
