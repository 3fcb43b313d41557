// Linke turbidity factor.  Below 85 % relative humidity a seasonal
// climatology, 2.9 -/+ 1.4 cos of the day angle from day 15 (minus in the
// northern hemisphere, latitude 0 included); from 85 % on it follows from
// a visibility estimate Vm held between 1 and 15: 0.84 + 39 / Vm.
#include "formula/body.hpp"
#include "solar_radiation/solar_radiation.hpp"

namespace klimora::solar_radiation {
namespace {
using namespace formula;

struct LinkeTruebung {
    template <class Frame>
    static auto body(Frame& f, const auto& dayofyear, const auto& breite, const auto& RH) {
        if (f.test(81, RH < I<85>)) {
            const auto K = F<1.4> * np.cos(((I<2> * np.pi) * (dayofyear - I<15>)) / I<365>);
            if (f.test(83, breite >= I<0>)) return f(84, F<2.9> - K);
            return f(86, F<2.9> + K);
        }
        // np.power(10, 4) is a NumPy integer; with an int RH the first power
        // is an exact integer power too.
        auto Vm = f.test(89, RH < I<100>)
            ? f(90, np.maximum(I<1>, I<15> * (I<1> - np.exp((-np.power(I<100> - RH, I<4>)) / np.power(I<10>, I<4>)))))
            : f(92, I<1>);
        auto Tl = f(94, F<0.84> + (I<39> / Vm));
        return Tl;
    }
};

}  // namespace

constinit const Body linke_truebung = define_body<LinkeTruebung, 3>();

}  // namespace klimora::solar_radiation
