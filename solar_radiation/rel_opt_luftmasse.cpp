// Relative optical air mass for a zenith angle in degrees: the secant up to
// 80 degrees, the Kasten-Young (1989) formula up to 90, a linear
// interpolation in a table of twelve air masses (steps of 0.1 degree) up to
// 91, and the marker 999 outside 0 to 91.
#include "formula/body.hpp"
#include "solar_radiation/solar_radiation.hpp"

namespace klimora::solar_radiation {
namespace {
using namespace formula;

struct RelOptLuftmasse {
    template <class Frame>
    static auto body(Frame& f, const auto& zenitwinkel) {
        constexpr auto a = F<0.50572>;
        constexpr auto b = F<6.07995>;
        constexpr auto c = F<-1.6364>;
        // Entry k stands for 90.0 + 0.1 k degrees.
        auto Tabm = f(103, np.array(list(F<37.92>, F<39.22>, F<40.34>, F<41.48>, F<42.63>, F<43.72>,
                                         F<44.81>, F<45.90>, F<47.00>, F<48.08>, F<49.15>, F<50.12>)));
        // The table position is converted for every angle, before the range
        // test: NaN, infinities and longer arrays fail here.
        auto P = f(104, (zenitwinkel * I<10>) - I<900>);
        auto i = f(104, to_int(np.trunc(P)));
        if (!(f.test(105, I<0> <= zenitwinkel) && f.test(105, zenitwinkel <= I<91>))) return f(114, I<999>);
        if (f.test(106, zenitwinkel < I<90>)) {
            if (f.test(107, zenitwinkel < I<80>)) return f(108, I<1> / np.cos(np.radians(zenitwinkel)));
            // The base stays (90 - z) + 6.07995: 96.07995 - z may differ in the last bit.
            return f(110, I<1> / (np.cos(np.radians(zenitwinkel)) + (a * np.power((I<90> - zenitwinkel) + b, c))));
        }
        auto m = f(112, item(Tabm, i) + ((P - i) * (item(Tabm, i + I<1>) - item(Tabm, i))));
        return m;
    }
};

}  // namespace

constinit const Body rel_opt_luftmasse = define_body<RelOptLuftmasse, 1>();

}  // namespace klimora::solar_radiation
