// Solar time: a time of day corrected for the time zone, the longitude
// (12/180 hour per degree) and the equation of time, folded into one day.
//
// Each statement carries its source line; the line is what a traceback
// entry shows when the statement fails.
#include "formula/body.hpp"
#include "solar_geometry/equation_of_time.hpp"
#include "solar_geometry/solar_geometry.hpp"

namespace klimora::solar_geometry {
namespace {
using namespace formula;

struct Sonnenzeit {
    // Each stage folds at most once: a value of 48 or more loses 24 only once.
    template <class Frame>
    static auto body(Frame& f, const auto& szeit, const auto& zeitzone, const auto& laenge,
                     const auto& dayofyear) {
        auto zonezeit = f(15, ((szeit + zeitzone) - ((laenge * I<12>) / I<180>)) - nested<ERS>(dayofyear));
        auto zzeit = zonezeit;
        if (f.test(16, zonezeit < I<0>))        zzeit = f(17, zonezeit + F<24.0>);
        else if (f.test(18, zonezeit >= I<24>)) zzeit = f(19, zonezeit - F<24.0>);

        auto s = f(22, ((zzeit - zeitzone) + ((laenge * I<12>) / I<180>)) + nested<ERS>(dayofyear));
        auto Result = s;
        if (f.test(23, s < I<0>))        Result = f(24, s + F<24.0>);
        else if (f.test(25, s >= I<24>)) Result = f(26, s - F<24.0>);
        return Result;
    }
};

}  // namespace

constinit const Body sonnenzeit = define_body<Sonnenzeit, 4>({&ERS::function});

// The equation of time alone, for the ufunc: ERS as a body of its own.
constinit const Body equation_of_time = define_body<ERS, 1>();

}  // namespace klimora::solar_geometry
