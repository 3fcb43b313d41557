// Direct irradiance reduced for cloud cover: the beam scaled by the
// cloud-free fraction of the sky, N in oktas, unclamped.
#include "formula/body.hpp"
#include "solar_radiation/solar_radiation.hpp"

namespace klimora::solar_radiation {
namespace {
using namespace formula;

struct DirStrMBew {
    template <class Frame>
    static auto body(Frame& f, const auto& Imax, const auto& N) {
        auto Result = f(157, Imax * (I<1> - (N / I<8>)));
        return Result;
    }
};

}  // namespace

constinit const Body dir_str_m_bew = define_body<DirStrMBew, 2>();

}  // namespace klimora::solar_radiation
