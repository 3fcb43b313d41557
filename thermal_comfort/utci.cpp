// The Universal Thermal Climate Index by the operational polynomial of
// Bröde et al. (2012, Int. J. Biometeorol. 56, 481-494): UTCI is the air
// temperature plus an offset, a full polynomial of the sixth degree (210
// terms) in the air temperature t (deg C), the wind at 10 m above ground v
// (m/s), the mean radiant temperature less the air temperature d (K) and
// the water-vapour pressure p (kPa; the ufunc takes hPa and divides by 10).
// The coefficients are those of the published Fortran procedure, as
// thermofeel and pythermalcomfort carry them.  The terms are nested, a
// polynomial in p whose coefficients are polynomials in d, in v and, the
// innermost, in t: the same polynomial in about 210 multiplications and as
// many additions, within 1e-9 K of the sum of the terms over the domain.
//
// The polynomial is fitted for -50 <= t <= 50 deg C, -30 <= d <= 70 K and
// 0.5 <= v <= 17 m/s; beyond that it is NaN (the ends belong to it).  The
// vapour pressure is not bounded here: the fit covers 0 to 5 kPa, and the
// saturation pressure at 50 deg C is 12.3 kPa.
#include "thermal_comfort/thermal_comfort.hpp"

#include <limits>
#include <type_traits>

namespace klimora::thermal_comfort {
namespace {

// q_kj is the coefficient of p^k d^j, a polynomial in v (one line per power
// of v, from the 0th) whose coefficients are polynomials in t.
[[gnu::always_inline]] inline double offset(double t, double v, double d, double p) {
    const double q00 =
        6.07562052e-1 + t * (-2.27712343e-2 + t * (8.06470249e-4 + t * (-1.54271372e-4 + t * (-3.24651735e-6 + t * (7.32602852e-8 + t * (1.35959073e-9))))))
        + v * (-2.25836520 + t * (8.80326035e-2 + t * (2.16844454e-3 + t * (-1.53347087e-5 + t * (-5.72983704e-7 + t * (-2.55090145e-9)))))
        + v * (-7.51269505e-1 + t * (-4.08350271e-3 + t * (-5.21670675e-5 + t * (1.94544667e-6 + t * (1.14099531e-8))))
        + v * (1.58137256e-1 + t * (-6.57263143e-5 + t * (2.22697524e-7 + t * (-4.16117031e-8)))
        + v * (-1.27762753e-2 + t * (9.66891875e-6 + t * (2.52785852e-9))
        + v * (4.56306672e-4 + t * (-1.74202546e-7)
        + v * (-5.91491269e-6))))));
    const double q01 =
        3.98374029e-1 + t * (1.83945314e-4 + t * (-1.73754510e-4 + t * (-7.60781159e-7 + t * (3.77830287e-8 + t * (5.43079673e-10)))))
        + v * (-2.00518269e-2 + t * (8.92859837e-4 + t * (3.45433048e-6 + t * (-3.77925774e-7 + t * (-1.69699377e-9))))
        + v * (1.69992415e-4 + t * (-4.99204314e-5 + t * (2.47417178e-7 + t * (1.07596466e-8)))
        + v * (8.49242932e-5 + t * (1.35191328e-6 + t * (-6.21531254e-9))
        + v * (-4.99410301e-6 + t * (-1.89489258e-8)
        + v * (8.15300114e-8)))));
    const double q02 =
        7.55043090e-4 + t * (-5.65095215e-5 + t * (-4.52166564e-7 + t * (2.46688878e-8 + t * (2.42674348e-10))))
        + v * (1.54547250e-4 + t * (5.24110970e-6 + t * (-8.75874982e-8 + t * (-1.50743064e-9)))
        + v * (-1.56236307e-5 + t * (-1.33895614e-7 + t * (2.49709824e-9))
        + v * (6.51711721e-7 + t * (1.94960053e-9)
        + v * (-1.00361113e-8))));
    const double q03 =
        -1.21206673e-5 + t * (-2.18203660e-7 + t * (7.51269482e-9 + t * (9.79063848e-11)))
        + v * (1.25006734e-6 + t * (-1.81584736e-9 + t * (-3.52197671e-10))
        + v * (-3.36514630e-8 + t * (1.35908359e-10)
        + v * (4.17032620e-10)));
    const double q04 = -1.30369025e-9 + t * (4.13908461e-10 + t * (9.22652254e-12))
        + v * (-5.08220384e-9 + t * (-2.24730961e-11)
        + v * (1.17139133e-10));
    const double q05 =
        6.62154879e-10 + t * (4.03863260e-13) + v * (1.95087203e-12);
    const double q06 = -4.73602469e-12;
    const double q10 =
        5.12733497 + t * (-3.12788561e-1 + t * (-1.96701861e-2 + t * (9.99690870e-4 + t * (9.51738512e-6 + t * (-4.66426341e-7)))))
        + v * (5.48050612e-1 + t * (-3.30552823e-3 + t * (-1.64119440e-3 + t * (-5.16670694e-6 + t * (9.52692432e-7))))
        + v * (-4.29223622e-2 + t * (5.00845667e-3 + t * (1.00601257e-6 + t * (-1.81748644e-6)))
        + v * (-1.25813502e-3 + t * (-1.79330391e-4 + t * (2.34994441e-6))
        + v * (1.29735808e-4 + t * (1.29064870e-6)
        + v * (-2.28558686e-6)))));
    const double q11 =
        -3.69476348e-2 + t * (1.62325322e-3 + t * (-3.14279680e-5 + t * (2.59835559e-6 + t * (-4.77136523e-8))))
        + v * (8.64203390e-3 + t * (-6.87405181e-4 + t * (-9.13863872e-6 + t * (5.15916806e-7)))
        + v * (-3.59217476e-5 + t * (3.28696511e-5 + t * (-7.10542454e-7))
        + v * (-1.24382300e-5 + t * (-7.38584400e-9)
        + v * (2.20609296e-7))));
    const double q12 =
        -7.32469180e-4 + t * (-1.87381964e-5 + t * (4.80925239e-6 + t * (-8.75492040e-8)))
        + v * (2.77862930e-5 + t * (-5.06004592e-6 + t * (1.14325367e-7))
        + v * (2.53016723e-6 + t * (-1.72857035e-8)
        + v * (-3.95079398e-8)));
    const double q13 = -3.59413173e-7 + t * (7.04388046e-7 + t * (-1.89309167e-8))
        + v * (-4.79768731e-7 + t * (7.96079978e-9)
        + v * (1.62897058e-9));
    const double q14 = 3.94367674e-8 + t * (-1.18566247e-9) + v * (3.34678041e-10);
    const double q15 = -1.15606447e-10;
    const double q20 =
        -2.80626406 + t * (5.48712484e-1 + t * (-3.99428410e-3 + t * (-9.54009191e-4 + t * (1.93090978e-5))))
        + v * (-3.08806365e-1 + t * (1.16952364e-2 + t * (4.95271903e-4 + t * (-1.90710882e-5)))
        + v * (2.10787756e-3 + t * (-6.98445738e-4 + t * (2.30109073e-5))
        + v * (4.17856590e-4 + t * (-1.27043871e-5)
        + v * (-3.04620472e-6))));
    const double q21 =
        5.14507424e-2 + t * (-4.32510997e-3 + t * (8.99281156e-5 + t * (-7.14663943e-7)))
        + v * (-2.66016305e-4 + t * (2.63789586e-4 + t * (-7.01199003e-6))
        + v * (-1.06823306e-4 + t * (3.61341136e-6)
        + v * (2.29748967e-7)));
    const double q22 = 3.04788893e-4 + t * (-6.42070836e-5 + t * (1.16257971e-6))
        + v * (7.68023384e-6 + t * (-5.47446896e-7)
        + v * (-3.59937910e-8));
    const double q23 = -4.36497725e-6 + t * (1.68737969e-7) + v * (2.67489271e-8);
    const double q24 = 3.23926897e-9;
    const double q30 =
        -3.53874123e-2 + t * (-2.21201190e-1 + t * (1.55126038e-2 + t * (-2.63917279e-4)))
        + v * (4.53433455e-2 + t * (-4.32943862e-3 + t * (1.45389826e-4))
        + v * (2.17508610e-4 + t * (-6.66724702e-5)
        + v * (3.33217140e-5)));
    const double q31 = -2.26921615e-3 + t * (3.80261982e-4 + t * (-5.45314314e-9))
        + v * (-7.96355448e-4 + t * (2.53458034e-5)
        + v * (-6.31223658e-6));
    const double q32 = 3.02122035e-4 + t * (-4.77403547e-6) + v * (1.73825715e-6);
    const double q33 = -4.09087898e-7;
    const double q40 = 6.14155345e-1 + t * (-6.16755931e-2 + t * (1.33374846e-3))
        + v * (3.55375387e-3 + t * (-5.13027851e-4)
        + v * (1.02449757e-4));
    const double q41 =
        -1.48526421e-3 + t * (-4.11469183e-5) + v * (-6.80434415e-6);
    const double q42 = -9.77675906e-6;
    const double q50 = 8.82773108e-2 + t * (-3.01859306e-3) + v * (1.04452989e-3);
    const double q51 = 2.47090539e-4;
    const double q60 = 1.48348065e-3;
    const double r0 = q00 + d * (q01 + d * (q02 + d * (q03 + d * (q04 + d * (q05 + d * (q06))))));
    const double r1 = q10 + d * (q11 + d * (q12 + d * (q13 + d * (q14 + d * (q15)))));
    const double r2 = q20 + d * (q21 + d * (q22 + d * (q23 + d * (q24))));
    const double r3 = q30 + d * (q31 + d * (q32 + d * (q33)));
    const double r4 = q40 + d * (q41 + d * (q42));
    const double r5 = q50 + d * (q51);
    const double r6 = q60;
    return (r0 + p * (r1 + p * (r2 + p * (r3 + p * (r4 + p * (r5 + p * (r6)))))));
}

// UTCI of one element, written without a branch so that the compiler can
// run several elements at once.  NaN is first swapped for a value out of
// the domain, with ==, the comparison NaN leaves quiet: the others raise
// the invalid flag on it.  Outside the domain the polynomial runs on zeros,
// so that an infinity raises no flag either.
[[gnu::always_inline]] inline double utci_of(double t, double mrt, double v, double e) {
    constexpr double away = 1000.0;
    t = t == t ? t : away;
    mrt = mrt == mrt ? mrt : away;
    v = v == v ? v : away;
    const bool air_in = (t >= -50.0) & (t <= 50.0);
    const double d = mrt - (air_in ? t : 0.0);
    const bool inside = air_in & (d >= -30.0) & (d <= 70.0) & (v >= 0.5) & (v <= 17.0);
    const double t0 = inside ? t : 0.0;
    const double value = t0 + offset(t0, inside ? v : 0.0, inside ? d : 0.0,
                                     (inside ? e : 0.0) / 10.0);
    return inside ? value : std::numeric_limits<double>::quiet_NaN();
}

// Contiguous float64 elements: the loop that the compiler vectorizes, in
// AVX2 where the processor has it (four elements at once; the same IEEE
// operations, no contraction, so the same bits as the plain SSE2 build).
[[gnu::target_clones("avx2", "default")]]
void utci_contiguous(const double* t, const double* mrt, const double* v, const double* e,
                     double* out, Py_intptr_t n) {
    for (Py_intptr_t i = 0; i < n; ++i) out[i] = utci_of(t[i], mrt[i], v[i], e[i]);
}

// The loops: strided elements, each on its own, and a loop of its own for
// contiguous float64 arrays, which the compiler vectorizes.  NumPy runs
// them without the GIL (no object arrays).
template <class Real>
void utci_loop(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps) {
    const Py_intptr_t n = dimensions[0];
    constexpr Py_intptr_t size = sizeof(Real);
    if (steps[0] == size && steps[1] == size && steps[2] == size && steps[3] == size &&
        steps[4] == size) {
        if constexpr (std::is_same_v<Real, double>) {
            utci_contiguous(reinterpret_cast<const double*>(args[0]),
                            reinterpret_cast<const double*>(args[1]),
                            reinterpret_cast<const double*>(args[2]),
                            reinterpret_cast<const double*>(args[3]),
                            reinterpret_cast<double*>(args[4]), n);
            return;
        }
        const Real* t = reinterpret_cast<const Real*>(args[0]);
        const Real* mrt = reinterpret_cast<const Real*>(args[1]);
        const Real* v = reinterpret_cast<const Real*>(args[2]);
        const Real* e = reinterpret_cast<const Real*>(args[3]);
        Real* out = reinterpret_cast<Real*>(args[4]);
        for (Py_intptr_t i = 0; i < n; ++i) {
            out[i] = static_cast<Real>(utci_of(t[i], mrt[i], v[i], e[i]));
        }
        return;
    }
    for (Py_intptr_t i = 0; i < n; ++i) {
        const double t = *reinterpret_cast<const Real*>(args[0] + i * steps[0]);
        const double mrt = *reinterpret_cast<const Real*>(args[1] + i * steps[1]);
        const double v = *reinterpret_cast<const Real*>(args[2] + i * steps[2]);
        const double e = *reinterpret_cast<const Real*>(args[3] + i * steps[3]);
        *reinterpret_cast<Real*>(args[4] + i * steps[4]) = static_cast<Real>(utci_of(t, mrt, v, e));
    }
}

template <class Real>
void category_loop(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps) {
    const Py_intptr_t n = dimensions[0];
    for (Py_intptr_t i = 0; i < n; ++i) {
        const double u = *reinterpret_cast<const Real*>(args[0] + i * steps[0]);
        *reinterpret_cast<Real*>(args[1] + i * steps[1]) = static_cast<Real>(utci_category(u));
    }
}

}  // namespace

double utci(double air_temp, double mrt, double wind, double vapour_pressure) {
    return utci_of(air_temp, mrt, wind, vapour_pressure);
}

// The classes' limits, deg C, from cold to hot.  A UTCI on a limit is in
// the milder class, the one nearer to no thermal stress: -40 is very
// strong cold stress, 9 and 26 are no thermal stress, 46 very strong heat
// stress.
double utci_category(double u) {
    if (u != u) return u;
    constexpr double cold[] = {-40.0, -27.0, -13.0, 0.0, 9.0};   // classes 0 to 4 below each
    constexpr double heat[] = {26.0, 32.0, 38.0, 46.0};          // classes 6 to 9 above each
    if (u < cold[4]) {
        int k = 0;
        while (u >= cold[k]) ++k;
        return k;
    }
    int k = 5;
    for (double limit : heat) k += u > limit;
    return k;
}

void utci_float32(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps, void*) {
    utci_loop<float>(args, dimensions, steps);
}
void utci_float64(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps, void*) {
    utci_loop<double>(args, dimensions, steps);
}
void utci_category_float32(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps,
                           void*) {
    category_loop<float>(args, dimensions, steps);
}
void utci_category_float64(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps,
                           void*) {
    category_loop<double>(args, dimensions, steps);
}

}  // namespace klimora::thermal_comfort
