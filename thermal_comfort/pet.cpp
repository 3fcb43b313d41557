// The physiological equivalent temperature (PET) of Hoeppe (1999, Int. J.
// Biometeorol. 43, 71-75): the air temperature of a room (Tmrt = Ta,
// v = 0.1 m/s, vapour pressure 12 hPa) in which a person keeps the core
// and skin temperatures that the actual climate gives them.  The person's
// balance is MEMI, the Munich Energy-balance Model for Individuals, in
// steady state, with three nodes (core, skin, clothing), in the form that
// Walther and Goestchel (2018, Build. Environ. 137, 1-10) corrected and
// pythermalcomfort's pet_steady carries: same equations, same constants.
//
// Fluxes are per m2 of the DuBois area A, W/m2, positive into the body:
//
//     core:      H + Eres - (cb mb / 3600 + 5.28) (Tcr - Tsk) = 0          (1)
//     skin:      Rbare + Cbare + Esk + (cb mb / 3600 + 5.28) (Tcr - Tsk)
//                    - htcl (Tsk - Tcl) = 0                                (2)
//     clothing:  Ccl + Rcl + htcl (Tsk - Tcl) = 0                          (3)
//
// and their sum, the whole body's balance
//
//     H + Eres + Rbare + Cbare + Rcl + Ccl + Esk = 0.                      (4)
//
// The actual climate's temperatures: for a skin temperature Tsk, (1) gives
// Tcr in closed form (the blood flow is piecewise linear in Tcr), (3) gives
// Tcl by Newton's method (its balance is concave and falling in Tcl, so
// Newton's steps close in on the root from above after at most one step);
// then (4), falling in Tsk, is solved for Tsk from 34 deg C by secant
// steps that widen a bracket and then close it.  PET is then the root of
// (4) for the room at the air temperature PET, with the actual Tcr, Tsk and
// Tcl, again bracketed, from Tcl.  pythermalcomfort solves (1)-(3) together
// with MINPACK's hybrid method from (36.7, 34, (Ta + Tmrt) / 2), unbounded;
// here every loop has a fixed number of steps, and a point whose bracket
// or iteration does not close is NaN.  Where (4) jumps across zero (the
// skin's wettedness jumps where a sweating skin's vapour pressure passes
// the air's), the bracket closes on the jump: PET is that of the jump,
// where pet_steady stops near it without a root.
#include "thermal_comfort/thermal_comfort.hpp"

#include "formula/ufunc_loop.hpp"
#include "thermal_comfort/solving_loop.hpp"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <iterator>
#include <limits>

namespace klimora::thermal_comfort {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double kelvin = 273.15;
constexpr double sigma = 5.67e-8;              // W m-2 K-4
constexpr double skin_emissivity = 0.99;
constexpr double clothing_emissivity = 0.95;
constexpr double vaporisation_heat = 2.42e6;   // J/kg
constexpr double blood_heat = 3640.0;          // J kg-1 K-1
constexpr double woodcock = 0.38;              // i_m, vapour through clothing
constexpr double lewis = 1.67;                 // K/hPa
constexpr double core_set = 36.6, skin_set = 34.0;   // deg C
constexpr double standard_pressure = 1013.25;        // hPa

// The room of PET: v = 0.1 m/s, 12 hPa, a person at 80 W of work and 0.9 clo.
constexpr double room_wind = 0.1, room_vapour = 12.0, room_work = 80.0, room_clo = 0.9;

// Saturation vapour pressure, hPa, over ice below 0 deg C and over water
// above (Hyland and Wexler 1983, as ASHRAE gives it):
//     ln ps = c1 / T + c2 + c3 T + c4 T^2 + c5 T^3 + c6 T^4 + c7 ln T     (Pa)
double saturation(double t) {
    const double k = t + kelvin;
    const double lnk = std::log(k);
    const double ln_pa =
        k < kelvin
            ? -5674.5359 / k + 6.3925247 +
                  k * (-0.9677843e-2 +
                       k * (0.62215701e-6 + k * (0.20747825e-8 + -0.9484024e-12 * k))) +
                  4.1635019 * lnk
            : -5800.2206 / k + 1.3914993 +
                  k * (-0.048640239 + k * (0.41764768e-4 + -0.14452093e-7 * k)) +
                  6.5459673 * lnk;
    return std::exp(ln_pa) / 100.0;
}

double fourth(double t) {
    const double k = t + kelvin;
    return k * k * k * k;
}

// The person: work metabolism on top of the basal, W; clothing, clo; age,
// years; 1 male, 0 female; weight, kg; height, m; 0 sitting, 1 standing,
// 2 standing in forced convection.
struct Person {
    double work, clo, age, male, weight, height, posture;
    bool operator==(const Person&) const = default;
};

bool valid(const Person& p) {
    return p.clo > 0.0 && p.weight > 0.0 && p.height > 0.2 && (p.male == 0.0 || p.male == 1.0) &&
           (p.posture == 0.0 || p.posture == 1.0 || p.posture == 2.0);
}

// The person in their clothes, whatever the climate.
struct Wearer {
    double area;        // DuBois area A, m2
    double basal;       // basal metabolism, W
    double fcl;         // Burton's increase of the surface by the clothing
    double bare;        // 1 - fa, the bare share of the skin
    double clothed;     // a_clo / A
    double r_cl;        // resistance of the clothing, m2 K W-1
    double htcl;        // its conductance per m2 of A, W m-2 K-1
    double f_eff;       // share of A that radiates
    double posture;
};

// Basal metabolism, W (Hoeppe's fit in weight, height and age):
//     male:   3.45 W^0.75 (1 + 0.004 (30 - age) + 0.01 (100 h / W^1/3 - 43.4))
//     female: 3.19 W^0.75 (1 + 0.004 (30 - age) + 0.018 (100 h / W^1/3 - 42.1))
double basal(const Person& p) {
    const double shape = p.height * 100.0 / std::cbrt(p.weight);
    const double w75 = std::pow(p.weight, 0.75);
    return p.male == 1.0 ? 3.45 * w75 * (1.0 + 0.004 * (30.0 - p.age) + 0.01 * (shape - 43.4))
                         : 3.19 * w75 * (1.0 + 0.004 * (30.0 - p.age) + 0.018 * (shape - 42.1));
}

Wearer wearer(const Person& p, double clo) {
    Wearer w{};
    // DuBois area, m2: A = 0.202 W^0.425 h^0.725.
    w.area = 0.202 * std::pow(p.weight, 0.425) * std::pow(p.height, 0.725);
    w.basal = basal(p);
    // Burton's fcl = 1 + 0.31 clo, the clothed share of the skin
    //     fa = (173.51 clo - 2.36 - 100.76 clo^2 + 19.28 clo^3) / 100
    // and the clothed area a_clo = A fa + A (fcl - 1), fa taken at most 1 after.
    w.fcl = 1.0 + 0.31 * clo;
    double fa = (173.51 * clo - 2.36 - 100.76 * clo * clo + 19.28 * std::pow(clo, 3.0)) / 100.0;
    w.clothed = fa + (w.fcl - 1.0);
    fa = std::min(fa, 1.0);
    w.bare = 1.0 - fa;
    w.f_eff = p.posture == 1.0 ? 0.696 : 0.725;
    w.posture = p.posture;
    // The clothing as a cylinder of height y h from radius r1 to r2:
    //     r2 = A (fcl - 1 + fa) / (2 pi h y),  r1 = fa A / (2 pi h y)
    //     htcl = 2 pi h y (r2 - r1) / (Rcl ln(r2 / r1) a_clo),  Rcl = clo / 6.45
    const double y = clo >= 2.0  ? 1.0
                     : clo > 0.6 ? (p.height - 0.2) / p.height
                     : clo > 0.3 ? 0.5
                                 : 0.1;
    w.r_cl = clo / 6.45;
    const double cylinder = 6.28 * p.height * y;
    const double r2 = w.area * (w.fcl - 1.0 + fa) / cylinder;
    const double r1 = fa * w.area / cylinder;
    w.htcl = cylinder * (r2 - r1) / (w.r_cl * std::log(r2 / r1) * w.clothed * w.area);
    return w;
}

// The wearer in a climate: what does not depend on the three temperatures.
struct Setting {
    Wearer w;
    double ta, tr, vapour, pressure;
    double metabolism;        // H = (work + basal) / A, W/m2
    double respiration;       // Eres, W/m2
    double hc;                // convective coefficient, W m-2 K-1
    double e_max_factor;      // Emax = he fecl (ps(Tsk) - e)
    double r_ecl;             // vapour resistance of air and clothing
};

// Breathing: expired air at 0.47 Ta + 21, a flow of 1.44e-6 H kg m-2 s-1,
//     Eres = 1010 (Ta - Tex) V + 0.623 L / p (e - ps(Tex)) V
double respiration(double ta, double vapour, double pressure, double metabolism) {
    const double expired = 0.47 * ta + 21.0;
    const double flow = metabolism * 1.44e-6;
    return 1010.0 * (ta - expired) * flow +
           0.623 * vaporisation_heat / pressure * (vapour - saturation(expired)) * flow;
}

Setting setting(const Wearer& w, double work, double ta, double tr, double wind, double vapour,
                double pressure) {
    Setting s{};
    s.w = w;
    s.ta = ta;
    s.tr = tr;
    s.vapour = vapour;
    s.pressure = pressure;
    s.metabolism = (work + w.basal) / w.area;
    s.respiration = respiration(ta, vapour, pressure, s.metabolism);
    // Convection: hc = 2.67 + 6.5 v^0.67 sitting, 2.26 + 7.42 v^0.67
    // standing, 8.6 v^0.513 in forced convection; at least 3 (p / p0)^0.53;
    // times (p / p0)^0.55.
    const double hc = w.posture == 0.0   ? 2.67 + 6.5 * std::pow(wind, 0.67)
                      : w.posture == 1.0 ? 2.26 + 7.42 * std::pow(wind, 0.67)
                                         : 8.6 * std::pow(wind, 0.513);
    const double relative = pressure / standard_pressure;
    s.hc = std::max(3.0 * std::pow(relative, 0.53), hc) * std::pow(relative, 0.55);
    // Evaporation: he = hc LR, Burton's fecl = 1 / (1 + 0.92 hc Rcl), and
    // Woodcock's resistance Recl = (1 / (fcl hc) + Rcl) / (LR i_m).
    s.e_max_factor = s.hc * lewis / (1.0 + 0.92 * s.hc * w.r_cl);
    s.r_ecl = (1.0 / (w.fcl * s.hc) + w.r_cl) / (lewis * woodcock);
    return s;
}

// Blood flow, l m-2 h-1, from the core's and the skin's departures from
// their set points:
//     mb = (6.3 + 75 max(Tcr - 36.6, 0)) / (1 + 0.5 max(34 - Tsk, 0)),  mb <= 90
// and the core-skin conductance cb mb / 3600 + 5.28, W m-2 K-1.
double blood_flow(double tcr, double tsk) {
    const double core = std::max(tcr - core_set, 0.0), skin = std::max(skin_set - tsk, 0.0);
    return std::min((6.3 + 75.0 * core) / (1.0 + 0.5 * skin), 90.0);
}
double conductance(double flow) { return flow / 3600.0 * blood_heat + 5.28; }

// (1) for Tcr: K(Tcr) (Tcr - Tsk) = H + Eres = q, with K rising with Tcr,
// so one root.  Below 36.6 K is a constant K0; above it, uncapped,
// K = a d + k0 in d = Tcr - Tsk, and a d^2 + k0 d - q = 0; with the flow at
// its cap, K = K90.
double core_temperature(const Setting& s, double tsk) {
    const double q = s.metabolism + s.respiration;
    const double skin = 1.0 + 0.5 * std::max(skin_set - tsk, 0.0);
    const double resting = tsk + q / conductance(6.3 / skin);
    if (resting <= core_set) return resting;
    const double capped = tsk + q / conductance(90.0);
    if (blood_flow(capped, tsk) >= 90.0) return capped;
    const double a = 75.0 / skin / 3600.0 * blood_heat;
    const double k0 = (6.3 + 75.0 * (tsk - core_set)) / skin / 3600.0 * blood_heat + 5.28;
    const double root = std::sqrt(k0 * k0 + 4.0 * a * q);
    return tsk + 2.0 * q / (k0 + root);
}

// (3) for Tcl by Newton's method from `start`:
//     F(Tcl) = hc (Ta - Tcl) acl + f_eff acl eps sigma (Tr^4 - Tcl^4) + htcl (Tsk - Tcl)
double clothing_temperature(const Setting& s, double tsk, double start) {
    constexpr int most = 40;
    const double radiative = s.w.f_eff * s.w.clothed * clothing_emissivity * sigma;
    const double tr4 = fourth(s.tr);
    double t = start;
    for (int i = 0; i < most; ++i) {
        const double k = t + kelvin;
        const double k3 = k * k * k;
        const double f = s.hc * (s.ta - t) * s.w.clothed + radiative * (tr4 - k3 * k) +
                         s.w.htcl * (tsk - t);
        const double slope = -s.hc * s.w.clothed - 4.0 * radiative * k3 - s.w.htcl;
        const double step = f / slope;
        if (!std::isfinite(step)) return nan;
        t -= step;
        if (std::abs(step) < 1e-10) return t;
    }
    return nan;
}

// Sweat, g m-2 h-1, from the body temperature's departure from its set
// point 0.1 * 34 + 0.9 * 36.6 (Gagge): 304.94 max(Tb - Tb0, 0), at most 500.
double sweat(double tbody) {
    constexpr double set = 0.1 * skin_set + 0.9 * core_set;
    return std::min(304.94 * std::max(tbody - set, 0.0), 500.0);
}

// Skin evaporation Esk, W/m2, for the body temperature Tb:
//     Esw = L / 1000 sweat / 3600,  Emax = he fecl (ps(Tsk) - e),  w = Esw / Emax
//     w at most 1 (then Esw is kept), Ediff = (1 - w) (ps(Tsk) - e) / Recl
//     Esk = -(Ediff + max(Esw, 0))
double evaporation(const Setting& s, double tsk, double tbody) {
    double esw = vaporisation_heat / 1000.0 * sweat(tbody) / 3600.0;
    const double gradient = saturation(tsk) - s.vapour;
    double e_max = s.e_max_factor * gradient;
    if (e_max == 0.0) e_max = 0.001;
    double w = esw / e_max;
    if (w > 1.0) w = 1.0;
    esw = std::max(esw, 0.0);
    return -((1.0 - w) * gradient / s.r_ecl + esw);
}

// The body temperature Tb = alpha Tsk + (1 - alpha) Tcr, with
// alpha = 0.0417737 + 0.7451833 / (mb + 0.585417).
double body_temperature(double tcr, double tsk) {
    const double alpha = 0.0417737 + 0.7451833 / (blood_flow(tcr, tsk) + 0.585417);
    return alpha * tsk + (1.0 - alpha) * tcr;
}

// (4) less Esk, W/m2: radiation and convection of bare skin and clothing.
//     Rbare = f_eff (1 - fa) eps_sk sigma (Tr^4 - Tsk^4),  Cbare = hc (Ta - Tsk) (1 - fa)
//     Rcl = f_eff acl eps_cl sigma (Tr^4 - Tcl^4),        Ccl = hc (Ta - Tcl) acl
double dry_balance(const Setting& s, double tsk, double tcl) {
    const double tr4 = fourth(s.tr);
    const Wearer& w = s.w;
    const double r_bare = w.f_eff * w.bare * skin_emissivity * sigma * (tr4 - fourth(tsk));
    const double r_clo = w.f_eff * w.clothed * clothing_emissivity * sigma * (tr4 - fourth(tcl));
    const double c_bare = s.hc * (s.ta - tsk) * w.bare;
    const double c_clo = s.hc * (s.ta - tcl) * w.clothed;
    return s.metabolism + s.respiration + r_bare + r_clo + c_bare + c_clo;
}

// The root of f, which falls with x, nearest x0: secant steps from x0 and
// x0 + step (each at most four times the last, 5 % beyond the secant's
// root, within [lo, hi]) until f changes sign, then secant steps kept in
// that bracket.  NaN if f is not finite, changes sign nowhere in [lo, hi]
// or the bracket does not close in the steps allowed.
template <class F>
double root_near(const F& f, double x0, double step, double lo, double hi) {
    constexpr int most_widening = 40, most_closing = 100;
    constexpr double tolerance = 1e-8;   // K
    double a = x0, fa = f(a);
    if (!std::isfinite(fa)) return nan;
    if (fa == 0.0) return a;
    const double direction = fa > 0.0 ? 1.0 : -1.0;   // towards the root
    double b = std::clamp(a + direction * step, lo, hi), fb = f(b);
    for (int i = 0; (fb > 0.0) == (fa > 0.0) && fb != 0.0; ++i) {
        if (!std::isfinite(fb) || i == most_widening || b == lo || b == hi) return nan;
        const double last = std::abs(b - a);
        const double slope = (fb - fa) / (b - a);
        // The secant's root lies ahead where f falls; else step on.
        const double ahead = slope < 0.0 ? -fb / slope * direction * 1.05 : 4.0 * last;
        a = b;
        fa = fb;
        b = std::clamp(a + direction * std::clamp(ahead, 1e-6, std::max(4.0 * last, 1e-6)), lo, hi);
        fb = f(b);
    }
    if (!std::isfinite(fb)) return nan;
    if (fb == 0.0) return b;
    // Secant steps from the last two points, kept inside the bracket; a
    // step outside it, or the fourth in a row that has not halved it, is
    // the bracket's midpoint.  Done when a step or the bracket is shorter
    // than the tolerance.
    double x1 = a, f1 = fa, x2 = b, f2 = fb;
    double halved = std::abs(b - a);
    int since = 0;
    for (int i = 0; i < most_closing; ++i) {
        double c = x2 - f2 * (x2 - x1) / (f2 - f1);
        if (!(c > std::min(a, b) && c < std::max(a, b)) || since >= 3) c = 0.5 * (a + b);
        const double fc = f(c);
        if (!std::isfinite(fc)) return nan;
        if (fc == 0.0) return c;
        if ((fc > 0.0) == (fa > 0.0)) {
            a = c;
            fa = fc;
        } else {
            b = c;
            fb = fc;
        }
        const double moved = std::abs(c - x2);
        x1 = x2;
        f1 = f2;
        x2 = c;
        f2 = fc;
        if (moved < tolerance || std::abs(b - a) < tolerance) return c;
        if (std::abs(b - a) <= 0.5 * halved) {
            halved = std::abs(b - a);
            since = 0;
        } else {
            ++since;
        }
    }
    return nan;
}

// PET, deg C, of the person in the actual climate, with the room's
// settings at any air temperature; NaN where a temperature does not solve.
double pet_of(const Setting& actual, const Setting& room) {
    // The actual climate: (1) and (3) for a given Tsk, then (4) for Tsk.
    double tcl = 0.5 * (actual.ta + actual.tr);
    auto whole = [&](double tsk) {
        const double tcr = core_temperature(actual, tsk);
        tcl = clothing_temperature(actual, tsk, tcl);
        if (!std::isfinite(tcl)) tcl = 0.5 * (actual.ta + actual.tr);
        return dry_balance(actual, tsk, tcl) + evaporation(actual, tsk, body_temperature(tcr, tsk));
    };
    // (4) falls with Tsk; skin from -100 to 100 deg C covers any climate of
    // this world and keeps the fourth powers' bases positive.
    const double tsk = root_near(whole, skin_set, 1.0, -100.0, 100.0);
    if (std::isnan(tsk)) return nan;
    const double tcr = core_temperature(actual, tsk);
    tcl = clothing_temperature(actual, tsk, tcl);
    if (!std::isfinite(tcr) || !std::isfinite(tcl)) return nan;
    // The room at air temperature x, with these Tcr, Tsk and Tcl: (4) rises
    // with x, its evaporation does not depend on x.
    const double esk = evaporation(room, tsk, body_temperature(tcr, tsk));
    Setting at = room;
    auto balance = [&](double x) {
        at.ta = at.tr = x;
        at.respiration = respiration(x, room_vapour, at.pressure, at.metabolism);
        return -(dry_balance(at, tsk, tcl) + esk);
    };
    return root_near(balance, tcl, 1.0, -200.0, 200.0);
}

// The loop: the person's settings are worked out again only where the
// person or the pressure changes from the element before.
// The standard person of VDI 3787 Part 2 and Hoeppe (1999): 80 W of work
// on top of the basal metabolism, 0.9 clo, 35 years, male, 75 kg, 1.75 m;
// sitting.
constexpr double standard_person[] = {80.0, 0.9, 35.0, 1.0, 75.0, 1.75, 0.0};

// NumPy's loop over `count` inputs (thermal_comfort/solving_loop.hpp): the
// climate's five, then the person's seven, or the standard person where
// there are five.  The person's own balances (the clothed and the room's)
// are kept from one point to the next while the person and the pressure
// stay the same, as they do along a grid.
template <class T, std::size_t count_in>
void pet_loop(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps, void*) {
    Person last{nan, nan, nan, nan, nan, nan, nan};
    double last_pressure = nan;
    Wearer dressed{};
    Setting room{};
    solving_loop<T, count_in>(args, dimensions, steps, [&](const double* given) {
        if (std::any_of(given, given + count_in, [](double x) { return std::isnan(x); })) {
            return nan;
        }
        double in[pet_person_inputs];
        std::copy(given, given + count_in, in);
        std::copy(std::begin(standard_person) + (count_in - pet_inputs), std::end(standard_person),
                  in + count_in);
        const Person person{in[5], in[6], in[7], in[8], in[9], in[10], in[11]};
        const double pressure = in[4];
        if (!valid(person) || !(pressure > 0.0) || !(in[2] >= 0.0)) return nan;
        if (!(person == last) || pressure != last_pressure) {
            dressed = wearer(person, person.clo);
            room = setting(wearer(person, room_clo), room_work, 0.0, 0.0, room_wind, room_vapour,
                           pressure);
            last = person;
            last_pressure = pressure;
        }
        // e = RH ps(Ta)
        const double vapour = in[3] / 100.0 * saturation(in[0]);
        const Setting actual = setting(dressed, person.work, in[0], in[1], in[2], vapour, pressure);
        return pet_of(actual, room);
    });
}

}  // namespace

void pet_float32(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps, void* data) {
    pet_loop<float, pet_inputs>(args, dimensions, steps, data);
}
void pet_float64(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps, void* data) {
    pet_loop<double, pet_inputs>(args, dimensions, steps, data);
}
void pet_person_float32(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps,
                        void* data) {
    pet_loop<float, pet_person_inputs>(args, dimensions, steps, data);
}
void pet_person_float64(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps,
                        void* data) {
    pet_loop<double, pet_person_inputs>(args, dimensions, steps, data);
}

}  // namespace klimora::thermal_comfort
