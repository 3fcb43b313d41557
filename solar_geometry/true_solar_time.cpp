// True solar time from clock time: the ufunc solar_time.  The clock time
// less the zone is the time in UTC; the longitude adds 1/15 hour per
// degree east and the equation of time (ERS, the one body of it) the
// sun's lead on its mean; np.mod folds the sum into one day.  A sum a hair
// below 0 comes out of np.mod as 24.0 after rounding, which is the next
// day's 0.0.  Written as the Python it stands for:
//
//     def solar_time(clock, zone, laenge, dayofyear):         # line 1
//         utc = clock - zone                                  # line 2
//         shifted = utc + laenge / 15 + ERS(dayofyear)        # line 3
//         Result = np.mod(shifted, 24.0)                      # line 4
//         if Result >= 24.0:                                  # line 5
//             Result = 0.0                                    # line 6
//         return Result
#include "formula/body.hpp"
#include "solar_geometry/equation_of_time.hpp"
#include "solar_geometry/solar_geometry.hpp"

namespace klimora::solar_geometry {
namespace {
using namespace formula;

struct TrueSolarTime {
    template <class Frame>
    static auto body(Frame& f, const auto& clock, const auto& zone, const auto& laenge,
                     const auto& dayofyear) {
        auto utc     = f(2, clock - zone);
        auto shifted = f(3, (utc + (laenge / I<15>)) + nested<ERS>(dayofyear));
        auto Result  = f(4, np.mod(shifted, F<24.0>));
        if (f.test(5, Result >= F<24.0>)) Result = f(6, F<0.0>);
        return Result;
    }
};

}  // namespace

constinit const Body true_solar_time = define_body<TrueSolarTime, 4>({&ERS::function});

}  // namespace klimora::solar_geometry
