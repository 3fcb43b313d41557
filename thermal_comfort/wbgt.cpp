// The wet-bulb globe temperature outdoors after Liljegren, Carhart, Lawday,
// Tschopp and Sharp (2008), "Modeling the wet bulb globe temperature using
// standard meteorological measurements", J. Occup. Environ. Hyg. 5, 645-655:
//
//     WBGT = 0.7 Tnwb + 0.2 Tg + 0.1 Ta                               (1)
//
// with Tg the temperature of a black globe (0.0508 m, emissivity 0.95,
// albedo 0.05) and Tnwb that of a naturally ventilated wet wick (0.007 m by
// 0.0254 m), each from the steady energy balance of the sensor in sun,
// sky and ground radiation and in the wind.  The paper leaves a few choices
// to the implementation; they are made here as thermofeel makes them (its
// calculate_wbgt_liljegren), so that both give the same WBGT:
//
// - the wind is the 10 m wind, at least 0.62 m/s, brought to the sensors'
//   2 m by a power law whose exponent follows the Pasquill-Gifford
//   stability class of the sun, the irradiance and the wind (urban
//   exponents), and at least 0.13 m/s there;
// - the direct share of the irradiance is 1 less the diffuse share, at
//   most 0.9, and none with the sun below 89.5 deg zenith;
// - the ground is at air temperature (emissivity 0.999, albedo 0.45) and
//   the sky's emissivity is Oke's clear-sky 0.575 e^0.143 (e in hPa).
//
// Each balance is solved by the secant method, at most 40 steps: the
// globe's in Tg^4, from Ta and the globe's temperature without convection,
// the wick's as Tw = g(Tw) from the dew point, the paper's start.  A point
// where that fails falls back to the paper's damped iteration (T <- 0.9 T + 0.1 g(T),
// done when |g(T) - T| < 0.02 K, at most 500 steps).  What neither solves
// is NaN.  The paper's iteration stops within 0.02 K of the fixed point,
// so the two agree to that.
#include "thermal_comfort/thermal_comfort.hpp"

#include "formula/ufunc_loop.hpp"
#include "thermal_comfort/solving_loop.hpp"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <limits>
#include <numbers>

namespace klimora::thermal_comfort {
namespace {

// Physical constants, SI (kg, m, s, K; the gas constant per kmol).
constexpr double stefan_boltzmann = 5.6696e-8;          // W m-2 K-4
constexpr double cp = 1003.5;                           // dry air, J kg-1 K-1
constexpr double m_air = 28.97, m_h2o = 18.015;         // kg kmol-1
constexpr double r_air = 8314.34 / m_air;               // J kg-1 K-1
constexpr double prandtl = cp / (cp + 1.25 * r_air);    // Pr of air, Eucken
constexpr double psychrometric_ratio = cp * m_air / m_h2o;
constexpr double kelvin = 273.15;

// The sensors and the ground.
constexpr double emis_globe = 0.95, alb_globe = 0.05, d_globe = 0.0508;   // m
constexpr double emis_wick = 0.95, alb_wick = 0.4, d_wick = 0.007, l_wick = 0.0254;
constexpr double emis_sfc = 0.999, alb_sfc = 0.45;

constexpr double cza_min = 0.00873;       // cos 89.5 deg: the sun is down below
constexpr double min_speed = 0.13;        // m/s at 2 m
constexpr double min_wind_10m = 0.62;     // m/s at 10 m
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Saturation vapour pressure over water, hPa (Buck 1981, enhanced):
//     es = 1.004 * 6.1121 exp(17.502 (T - 273.15) / (T - 32.18))
double esat(double t) { return 1.004 * 6.1121 * std::exp(17.502 * (t - kelvin) / (t - 32.18)); }

// Its inverse: the dew point, K, of a vapour pressure e, hPa.
double dew_point(double e) {
    const double z = std::log(e / (6.1121 * 1.004));
    return kelvin + 240.97 * z / (17.502 - z);
}

// Dynamic viscosity of air, kg m-1 s-1 (Bird, Stewart and Lightfoot,
// Lennard-Jones sigma 3.617 A, eps/k 97 K, collision integral linearised):
//     mu = 2.6693e-6 sqrt(M T) / (sigma^2 Omega)
double viscosity(double t) {
    constexpr double sigma = 3.617, eps_kappa = 97.0;
    const double omega = (t / eps_kappa - 2.9) / 0.4 * (-0.034) + 1.048;
    return 2.6693e-6 * std::sqrt(m_air * t) / (sigma * sigma * omega);
}

// Thermal conductivity of air, W m-1 K-1 (Eucken): k = (cp + 1.25 R) mu.
double thermal_conductivity(double mu) { return (cp + 1.25 * r_air) * mu; }

// Diffusivity of water vapour in air, m2/s, at pressure p, hPa (Bird,
// Stewart and Lightfoot p. 505):
//     D = a (T / sqrt(Tc,a Tc,w))^b (pc,a pc,w)^1/3 (Tc,a Tc,w)^5/12
//         sqrt(1/Ma + 1/Mw) / (p / 1013.25) * 1e-4
double diffusivity(double t, double p) {
    constexpr double pcrit_air = 36.4, pcrit_h2o = 218.0, tcrit_air = 132.0, tcrit_h2o = 647.3;
    constexpr double a = 3.640e-4, b = 2.334;
    static const double pcrit13 = std::cbrt(pcrit_air * pcrit_h2o);
    static const double tcrit512 = std::pow(tcrit_air * tcrit_h2o, 5.0 / 12.0);
    static const double tcrit12 = std::sqrt(tcrit_air * tcrit_h2o);
    static const double mmix = std::sqrt(1.0 / m_air + 1.0 / m_h2o);
    return a * std::pow(t / tcrit12, b) * pcrit13 * tcrit512 * mmix / (p / 1013.25) * 1e-4;
}

// Latent heat of vaporisation, J/kg, linear over 283 to 313 K.
double evaporation_heat(double t) { return (313.15 - t) / 30.0 * (-71100.0) + 2.4073e6; }

// Density of air, kg/m3, at pressure p, hPa: rho = 100 p / (R T).
double density(double t, double p) { return p * 100.0 / (r_air * t); }

// The 10 m wind brought to 2 m: u2 = u10 (2/10)^n, n the urban exponent
// of the Pasquill-Gifford stability class (1 very unstable to 6 stable),
// from the irradiance and the wind by day and from the wind by night.
double wind_at_2m(double u10, double cza, double global) {
    // Class by wind row and radiation column (by day: >= 925, >= 675,
    // >= 175 W/m2, less; column 5: the night).
    constexpr int stability[5][6] = {
        {1, 1, 2, 4, 0, 5}, {1, 2, 3, 4, 0, 5}, {2, 2, 3, 4, 0, 4},
        {3, 3, 4, 4, 0, 0}, {3, 4, 4, 4, 0, 0}};
    static const double factor[6] = {std::pow(0.2, 0.15), std::pow(0.2, 0.15),
                                     std::pow(0.2, 0.20), std::pow(0.2, 0.25),
                                     std::pow(0.2, 0.30), std::pow(0.2, 0.30)};
    const bool day = cza > 0.0;
    const int column = !day ? 5 : global >= 925.0 ? 0 : global >= 675.0 ? 1 : global >= 175.0 ? 2 : 3;
    const int row = day ? (u10 >= 6.0 ? 4 : u10 >= 5.0 ? 3 : u10 >= 3.0 ? 2 : u10 >= 2.0 ? 1 : 0)
                        : (u10 >= 2.5 ? 2 : u10 >= 2.0 ? 1 : 0);
    return std::max(u10 * factor[stability[row][column] - 1], min_speed);
}

// What both sensors see: the inputs in SI, and the radiation terms that do
// not depend on the sensor's temperature.
struct Conditions {
    double ta, rh, p, speed, solar, fdir;
    double cz, tan_sza;   // cos z, 1 with the sun down, and tan z
    double eair;        // vapour pressure, hPa: e = RH es(Ta)
    double longwave;    // 0.5 (eps_a Ta^4 + eps_s Ts^4), K^4, ground at Ts = Ta
};

// False if an input is NaN: the result is NaN then, quietly.
bool conditions(const double* in, Conditions& c) {
    for (std::size_t j = 0; j < inputs; ++j) {
        if (std::isnan(in[j])) return false;
    }
    c.ta = in[0] + kelvin;
    c.rh = in[1] / 100.0;
    c.p = in[3];
    c.solar = in[4];
    const double cza = in[6];
    c.speed = wind_at_2m(std::max(in[2], min_wind_10m), cza, c.solar);
    // Direct share, at most 0.9, none with the sun down.
    c.fdir = cza < cza_min ? 0.0 : std::clamp(1.0 - in[5], 0.0, 0.9);
    // tan of the zenith angle, for the beam on the wick's side.
    c.cz = cza > cza_min ? std::min(cza, 1.0) : 1.0;
    c.tan_sza = std::sqrt(1.0 - c.cz * c.cz) / c.cz;
    c.eair = c.rh * esat(c.ta);
    // Sky emissivity, clear (Oke): eps_a = 0.575 e^0.143.
    const double emis_atm = 0.575 * std::pow(c.eair, 0.143);
    const double ta4 = c.ta * c.ta * c.ta * c.ta;
    c.longwave = 0.5 * (emis_atm * ta4 + emis_sfc * ta4);
    return true;
}

// The root of r between or near x0 and x1 by the secant method, at most
// max_secant steps: NaN if it leaves the finite values or does not settle.
template <class R>
double secant(const R& r, double x0, double x1) {
    constexpr int max_secant = 40;
    constexpr double tolerance = 1e-3;   // K, a step this short: the root is far nearer
    double f0 = r(x0), f1 = r(x1);
    for (int i = 0; i < max_secant && std::isfinite(f0) && std::isfinite(f1) && f1 != f0; ++i) {
        const double x2 = x1 - f1 * (x1 - x0) / (f1 - f0);
        if (std::abs(x2 - x1) < tolerance) return x2;
        x0 = x1;
        f0 = f1;
        x1 = x2;
        f1 = r(x1);
    }
    return nan;
}

// The paper's damped iteration of T = g(T) from `start`: T <- 0.9 T +
// 0.1 g(T), g(T) once |g(T) - T| < 0.02 K, NaN after 500 steps.
template <class G>
double damped(const G& g, double start) {
    constexpr int max_damped = 500;
    constexpr double convergence = 0.02;   // K
    double prev = start;
    for (int i = 0; i < max_damped; ++i) {
        const double next = g(prev);
        if (std::abs(next - prev) < convergence) return next;
        if (!std::isfinite(next)) return nan;
        prev = 0.9 * prev + 0.1 * next;
    }
    return nan;
}

// The globe, K.  Its balance, with h the convective coefficient of a
// sphere, Tref = (Tg + Ta) / 2 the film temperature:
//     Tg^4 = 0.5 (eps_a Ta^4 + eps_s Ts^4) - h / (sigma eps_g) (Tg - Ta)
//            + S / (2 sigma eps_g) (1 - alpha_g) (f (1 / (2 cos z) - 1) + 1 + alpha_s)
//     h = k / D (2 + 0.6 Re^1/2 Pr^1/3),   Re = u rho D / mu
double globe_kelvin(const Conditions& c) {
    const double beam = c.fdir > 0.0 ? c.fdir * (1.0 / (2.0 * c.cz) - 1.0) : 0.0;
    const double shortwave = c.solar / (2.0 * stefan_boltzmann * emis_globe) * (1.0 - alb_globe) *
                             (beam + 1.0 + alb_sfc);
    static const double pr13 = std::pow(prandtl, 0.3333);
    // The convective term h / (sigma eps_g) (Tg - Ta), K^4.
    auto convection = [&](double tg) {
        const double tref = 0.5 * (tg + c.ta);
        const double mu = viscosity(tref);
        const double re = c.speed * density(tref, c.p) * d_globe / mu;
        const double h = (2.0 + 0.6 * std::sqrt(re) * pr13) * thermal_conductivity(mu) / d_globe;
        return h / (stefan_boltzmann * emis_globe) * (tg - c.ta);
    };
    const double absorbed = c.longwave + shortwave;
    // Solved as Tg^4 + convection - absorbed = 0, which rises with Tg and
    // has no fourth root to leave the real numbers: the root lies between
    // Ta and the globe's temperature without convection, absorbed^1/4 (the
    // paper's g(Tg) steps past it by far, convection moving Tg^4 ten times
    // as fast as radiation).
    const double radiative = std::sqrt(std::sqrt(absorbed));
    const double tg = secant([&](double t) { return t * t * t * t + convection(t) - absorbed; },
                             c.ta, radiative);
    if (!std::isnan(tg)) return tg;
    return damped([&](double t) { return std::sqrt(std::sqrt(absorbed - convection(t))); }, c.ta);
}

// The natural wet bulb, K.  Its balance, with h the convective coefficient
// of a cylinder across the wind, Sc = mu / (rho D) the Schmidt number:
//     Tw = Ta - L / (cp Ma / Mw) (ew - e) / (p - ew) (Pr / Sc)^0.56 + F / h
//     F  = sigma eps_w (0.5 (eps_a Ta^4 + eps_s Ts^4) - Tw^4)
//          + (1 - alpha_w) S ((1 - f) (1 + D / 4L) + f (tan z / pi + D / 4L) + alpha_s)
//     h  = k / D 0.281 Re^0.6 Pr^0.44
double wet_bulb_kelvin(const Conditions& c) {
    constexpr double end_share = 0.25 * d_wick / l_wick;
    const double shortwave = (1.0 - alb_wick) * c.solar *
                             ((1.0 - c.fdir) * (1.0 + end_share) +
                              c.fdir * (c.tan_sza / std::numbers::pi + end_share) + alb_sfc);
    static const double pr44 = std::pow(prandtl, 1.0 - 0.56);
    // The powers of Re and Sc, as exponentials of logarithms that share
    // log Tref and log mu (g runs some six times a point):
    //     Re = u rho d / mu = (100 p u d / R) / (Tref mu)
    //     Pr / Sc = Pr rho D / mu,  rho D = (rho D)(1 K) Tref^(b - 1)
    // rho D does not depend on the pressure (D goes as 1 / p), b = 2.334.
    const double log_re_scale = std::log(100.0 * c.p * c.speed * d_wick / r_air);
    static const double log_pr_rho_d =
        std::log(prandtl * density(1.0, 1013.25) * diffusivity(1.0, 1013.25));
    auto g = [&](double tw) {
        const double tref = 0.5 * (tw + c.ta);
        const double mu = viscosity(tref);
        const double log_tref = std::log(tref), log_mu = std::log(mu);
        const double re06 = std::exp(0.6 * (log_re_scale - log_tref - log_mu));   // Re^0.6
        const double pr_sc = std::exp(0.56 * (log_pr_rho_d + (2.334 - 1.0) * log_tref - log_mu));
        const double h = 0.281 * re06 * pr44 * thermal_conductivity(mu) / d_wick;
        const double tw4 = tw * tw * tw * tw;
        const double f = stefan_boltzmann * emis_wick * (c.longwave - tw4) + shortwave;
        const double ew = esat(tw);
        return c.ta -
               evaporation_heat(tref) / psychrometric_ratio * (ew - c.eair) / (c.p - ew) * pr_sc +
               f / h;
    };
    // Tw = g(Tw): the root of g(Tw) - Tw, from the dew point and g there.
    const double start = dew_point(c.eair);
    const double tw = secant([&](double t) { return g(t) - t; }, start, g(start));
    return std::isnan(tw) ? damped(g, start) : tw;
}

// NumPy's loops over one of the scalar models (thermal_comfort/solving_loop.hpp).
template <class T, double (*model)(const double*)>
void loop(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps, void*) {
    solving_loop<T, inputs>(args, dimensions, steps, model);
}

PyObject* no_function(PyObject* const*, PyObject*) {
    PyErr_SetString(PyExc_SystemError, "a ufunc-only body has no function");
    return nullptr;
}

}  // namespace

double globe_temperature_of(const double* in) {
    Conditions c;
    if (!conditions(in, c)) return nan;
    return globe_kelvin(c) - kelvin;
}

double wbgt_of(const double* in) {
    Conditions c;
    if (!conditions(in, c)) return nan;
    const double tg = globe_kelvin(c) - kelvin;
    const double tnwb = wet_bulb_kelvin(c) - kelvin;
    // (1): WBGT = 0.7 Tnwb + 0.2 Tg + 0.1 Ta, deg C.
    return 0.1 * in[0] + 0.2 * tg + 0.7 * tnwb;
}

constinit const Body wbgt = {no_function, inputs, {}, loop<double, wbgt_of>, {0, 1, 2, 3, 4, 5, 6}};
constinit const Body globe_temperature = {no_function, inputs, {}, loop<double, globe_temperature_of>,
                                          {0, 1, 2, 3, 4, 5, 6}};

const UfuncLoop wbgt_float32 = loop<float, wbgt_of>;
const UfuncLoop globe_temperature_float32 = loop<float, globe_temperature_of>;

}  // namespace klimora::thermal_comfort
