// klimora.ufuncs: one NumPy ufunc per function of klimora.Strahlkit, from
// the same function table and the same bodies, equation_of_time, the body
// Sonnenzeit runs nested as ERS, and solar_time, true solar time from
// clock time, and wbgt and globe_temperature, the wet-bulb globe
// temperature outdoors (thermal_comfort/).  Each has one float64 loop
// (ufunc_loop.hpp), and solar_time, wbgt and globe_temperature a float32
// one besides; NumPy casts other real inputs to float64,
// broadcasts, handles out=, where= and the floating-point flags, and runs
// the loops without the GIL; utci and utci_category, the thermal-comfort
// indices, have loops of their own.  Each ufunc of a Strahlkit function is also
// the module's attribute under an English name, the same object
// (klimora.radiation takes its inputs by keyword).
#include "formula/numpy_api.hpp"
#include "formula/numpy_kernels.hpp"
#include "formula/ufunc_loop.hpp"
#include "frame/ref.hpp"
#include "strahlkit/function_table.hpp"
#include "thermal_comfort/thermal_comfort.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string_view>

namespace klimora {
namespace {

struct UfuncDoc {
    const char* name;
    const char* text;
};

// What each ufunc gives and takes, with units in brackets, in numpydoc
// sections (the API pages are made from them).  NumPy puts the call
// signature (x1, x2, ... / out=, where=, ...) in front.
constexpr UfuncDoc docs[] = {
    {"Sonnenzeit",
     "Time of day folded into one day (0 to 24 h).\n"
     "\n"
     "The longitude and equation-of-time corrections are applied one way,\n"
     "the time folded, then they are undone and it is folded again: what\n"
     "comes out is szeit itself folded into one day, 0 to 24 (a time at\n"
     "midnight may come back as 24.0), not a solar time.  True solar time\n"
     "from clock time is solar_time.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "szeit : array_like\n"
     "    Time of day. [h]\n"
     "zeitzone : array_like\n"
     "    Time-zone offset, east of UTC positive. [h]\n"
     "laenge : array_like\n"
     "    Longitude, east positive. [deg]\n"
     "dayofyear : array_like\n"
     "    Day of the year, 1 to 366. [1]\n"
     "**kwargs\n"
     "    out=, where=, dtype= and the other keywords of every NumPy ufunc.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "time_of_day : ndarray or numpy.float64\n"
     "    szeit folded into one day, 0 to 24. [h]\n"
     "\n"
     "Examples\n"
     "--------\n"
     ">>> from klimora import ufuncs\n"
     ">>> float(ufuncs.Sonnenzeit(25.5, 1.0, 11.58, 172))\n"
     "1.5000000000000002"},
    {"Zenitwinkel",
     "Solar zenith angle.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "szeit : array_like\n"
     "    True solar time, noon at 12. [h]\n"
     "breite : array_like\n"
     "    Latitude, north positive. [deg]\n"
     "dayofyear : array_like\n"
     "    Day of the year, 1 to 366. [1]\n"
     "**kwargs\n"
     "    out=, where=, dtype= and the other keywords of every NumPy ufunc.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "zenith : ndarray or numpy.float64\n"
     "    Solar zenith angle. [deg]\n"
     "\n"
     "Examples\n"
     "--------\n"
     "At noon the latitude less the declination, 48.14 - 23.44 degrees:\n"
     "\n"
     ">>> from klimora import ufuncs\n"
     ">>> ufuncs.Zenitwinkel([8.0, 12.0, 16.0], 48.14, 172).round(1)\n"
     "array([53. , 24.7, 53. ])"},
    {"Azimutwinkel",
     "Solar azimuth angle, from north through east.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "szeit : array_like\n"
     "    True solar time, noon at 12. [h]\n"
     "breite : array_like\n"
     "    Latitude, north positive. [deg]\n"
     "dayofyear : array_like\n"
     "    Day of the year, 1 to 366. [1]\n"
     "**kwargs\n"
     "    out=, where=, dtype= and the other keywords of every NumPy ufunc.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "azimuth : ndarray or numpy.float64\n"
     "    Solar azimuth from north through east, 0 to 360. [deg]\n"
     "\n"
     "Examples\n"
     "--------\n"
     ">>> from klimora import ufuncs\n"
     ">>> ufuncs.Azimutwinkel([8.0, 12.0, 16.0], 48.14, 172).round(1)\n"
     "array([ 95.5, 180. , 264.5])"},
    {"LinkeTruebung",
     "Linke turbidity factor of the air.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "dayofyear : array_like\n"
     "    Day of the year, 1 to 366. [1]\n"
     "breite : array_like\n"
     "    Latitude, north positive. [deg]\n"
     "RH : array_like\n"
     "    Relative humidity. [%]\n"
     "**kwargs\n"
     "    out=, where=, dtype= and the other keywords of every NumPy ufunc.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "linke_turbidity : ndarray or numpy.float64\n"
     "    Linke turbidity factor. [1]\n"
     "\n"
     "Examples\n"
     "--------\n"
     ">>> from klimora import ufuncs\n"
     ">>> ufuncs.LinkeTruebung(172, 48.14, [40.0, 90.0]).round(2)\n"
     "array([4.17, 4.95])"},
    {"RelOptLuftmasse",
     "Relative optical air mass.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "zenitwinkel : array_like\n"
     "    Solar zenith angle. [deg]\n"
     "**kwargs\n"
     "    out=, where=, dtype= and the other keywords of every NumPy ufunc.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "airmass_relative : ndarray or numpy.float64\n"
     "    Relative optical air mass; 999.0 for a zenith angle outside 0 to 91 deg,\n"
     "    NaN (with NumPy's \"invalid value\" warning) for NaN or an infinity. [1]\n"
     "\n"
     "Examples\n"
     "--------\n"
     "The secant of the zenith angle high in the sky, 999.0 below the horizon:\n"
     "\n"
     ">>> from klimora import ufuncs\n"
     ">>> ufuncs.RelOptLuftmasse([0.0, 60.0, 95.0])\n"
     "array([  1.,   2., 999.])"},
    {"MaxDirekteStrahlung",
     "Clear-sky direct irradiance, normal to the beam.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "dayofyear : array_like\n"
     "    Day of the year, 1 to 366. [1]\n"
     "mHoehe : array_like\n"
     "    Height above sea level. [m]\n"
     "zenitwinkel : array_like\n"
     "    Solar zenith angle. [deg]\n"
     "LinkeTr : array_like\n"
     "    Linke turbidity factor. [1]\n"
     "RelOptLuftM : array_like\n"
     "    Relative optical air mass. [1]\n"
     "**kwargs\n"
     "    out=, where=, dtype= and the other keywords of every NumPy ufunc.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "dni_clear : ndarray or numpy.float64\n"
     "    Direct irradiance normal to the beam under a clear sky; 0.0 with the sun\n"
     "    down. [W/m2]\n"
     "\n"
     "Examples\n"
     "--------\n"
     ">>> from klimora import ufuncs\n"
     ">>> ufuncs.MaxDirekteStrahlung(172, 520.0, [24.7, 95.0], 4.17,\n"
     "...                            [1.10, 999.0]).round()\n"
     "array([873.,   0.])"},
    {"MaxGlobalstrahlung",
     "Clear-sky global irradiance on the horizontal.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "dayofyear : array_like\n"
     "    Day of the year, 1 to 366. [1]\n"
     "mHoehe : array_like\n"
     "    Height above sea level. [m]\n"
     "zenitwinkel : array_like\n"
     "    Solar zenith angle. [deg]\n"
     "LinkeTr : array_like\n"
     "    Linke turbidity factor. [1]\n"
     "**kwargs\n"
     "    out=, where=, dtype= and the other keywords of every NumPy ufunc.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "ghi_clear : ndarray or numpy.float64\n"
     "    Global irradiance on the horizontal under a clear sky; 0.0 with the sun\n"
     "    down. [W/m2]\n"
     "\n"
     "Examples\n"
     "--------\n"
     ">>> from klimora import ufuncs\n"
     ">>> ufuncs.MaxGlobalstrahlung(172, 520.0, [24.7, 95.0], 4.17).round()\n"
     "array([898.,   0.])"},
    {"DirStrMBew",
     "Direct irradiance reduced for cloud cover.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "Imax : array_like\n"
     "    Clear-sky direct irradiance, normal to the beam. [W/m2]\n"
     "N : array_like\n"
     "    Cloud cover, 0 clear to 8 overcast. [oktas]\n"
     "**kwargs\n"
     "    out=, where=, dtype= and the other keywords of every NumPy ufunc.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "dni : ndarray or numpy.float64\n"
     "    Direct irradiance under the cloud, normal to the beam. [W/m2]\n"
     "\n"
     "Examples\n"
     "--------\n"
     "The beam falls with the cloud cover, by 1 - N/8:\n"
     "\n"
     ">>> from klimora import ufuncs\n"
     ">>> ufuncs.DirStrMBew(873.0, [0, 2, 8])\n"
     "array([873.  , 654.75,   0.  ])"},
    {"AtmosGegenstr",
     "Atmospheric counter-radiation: the long-wave flux from the sky.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "LuftTemp : array_like\n"
     "    Air temperature. [deg C]\n"
     "Dampfdruck : array_like\n"
     "    Water-vapour pressure. [hPa]\n"
     "N : array_like\n"
     "    Cloud cover, 0 clear to 8 overcast. [oktas]\n"
     "**kwargs\n"
     "    out=, where=, dtype= and the other keywords of every NumPy ufunc.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "counter_radiation : ndarray or numpy.float64\n"
     "    Long-wave flux from the sky. [W/m2]\n"
     "\n"
     "Examples\n"
     "--------\n"
     ">>> from klimora import ufuncs\n"
     ">>> ufuncs.AtmosGegenstr(20.0, 14.0, [0, 8]).round()\n"
     "array([338., 409.])"},
    {"OberflTemp",
     "Surface temperature of the ground.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "Strahlungsbilanz : array_like\n"
     "    Net radiation of the ground. [W/m2]\n"
     "LuftTemp : array_like\n"
     "    Air temperature. [deg C]\n"
     "WindGeschw : array_like\n"
     "    Wind speed. [m/s]\n"
     "Bowen : array_like\n"
     "    Bowen ratio, sensible over latent heat flux; values below -0.9 count as\n"
     "    -0.9. [1]\n"
     "**kwargs\n"
     "    out=, where=, dtype= and the other keywords of every NumPy ufunc.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "temp_surface : ndarray or numpy.float64\n"
     "    Surface temperature. [deg C]\n"
     "\n"
     "Examples\n"
     "--------\n"
     "With no net radiation the ground is at the air's temperature:\n"
     "\n"
     ">>> from klimora import ufuncs\n"
     ">>> ufuncs.OberflTemp([0.0, 400.0], 20.0, 2.0, 1.0).round(1)\n"
     "array([20., 31.])"},
    {"MittlStrTemp",
     "Mean radiant temperature of a person.\n"
     "\n"
     "Strahlkit.MittlStrTemp's ReflStr and albedo_env take no part and are\n"
     "not inputs here.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "zenitwinkel : array_like\n"
     "    Solar zenith angle. [deg]\n"
     "EStrOben : array_like\n"
     "    Long-wave flux from above, weighted by its share of the surroundings.\n"
     "    [W/m2]\n"
     "EStrUnten : array_like\n"
     "    Long-wave flux from below, weighted likewise. [W/m2]\n"
     "AGegenstr : array_like\n"
     "    Counter-radiation of the sky, as it enters the sum. [W/m2]\n"
     "DiffStr : array_like\n"
     "    Diffuse and reflected short-wave flux, weighted likewise. [W/m2]\n"
     "MaxDirStr : array_like\n"
     "    Direct irradiance, normal to the beam. [W/m2]\n"
     "albedo : array_like\n"
     "    Short-wave albedo of the person (1 - albedo is absorbed). [1]\n"
     "**kwargs\n"
     "    out=, where=, dtype= and the other keywords of every NumPy ufunc.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "mrt : ndarray or numpy.float64\n"
     "    Mean radiant temperature. [deg C]\n"
     "\n"
     "Examples\n"
     "--------\n"
     "In the shade and in the sun:\n"
     "\n"
     ">>> from klimora import ufuncs\n"
     ">>> ufuncs.MittlStrTemp(24.7, 170.0, 210.0, 0.0, 200.0, [0.0, 655.0],\n"
     "...                     0.3).round(1)\n"
     "array([37. , 45.6])"},
    {"equation_of_time",
     "Equation of time: apparent minus mean solar time.\n"
     "\n"
     "The equation of time that Strahlkit.Sonnenzeit applies (as ERS).\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "dayofyear : array_like\n"
     "    Day of the year, 1 to 366. [1]\n"
     "**kwargs\n"
     "    out=, where=, dtype= and the other keywords of every NumPy ufunc.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "equation_of_time : ndarray or numpy.float64\n"
     "    Apparent minus mean solar time. [h]\n"
     "\n"
     "Examples\n"
     "--------\n"
     "In minutes, its extremes in February and November:\n"
     "\n"
     ">>> from klimora import ufuncs\n"
     ">>> (ufuncs.equation_of_time([45, 307]) * 60).round(1)\n"
     "array([-14.6,  16.4])"},
    {"solar_time",
     "True solar time from clock time, noon at 12, in [0, 24).\n"
     "\n"
     "np.mod(clock_time - utc_offset + longitude / 15 + equation_of_time(dayofyear),\n"
     "24.0), and 0.0 where that rounds to 24.0.  float32 inputs are worked out\n"
     "in float64 and rounded once to float32 (24.0 again giving 0.0).\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "clock_time : array_like\n"
     "    Clock time of the zone. [h]\n"
     "utc_offset : array_like\n"
     "    Time-zone offset, east of UTC positive. [h]\n"
     "longitude : array_like\n"
     "    Longitude, east positive. [deg]\n"
     "dayofyear : array_like\n"
     "    Day of the year, 1 to 366. [1]\n"
     "**kwargs\n"
     "    out=, where=, dtype= and the other keywords of every NumPy ufunc.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "solar_time : ndarray or numpy.float64\n"
     "    True solar time, noon at 12, from 0 to below 24; float32 for\n"
     "    float32 inputs. [h]\n"
     "\n"
     "Examples\n"
     "--------\n"
     "At 13:00 summer time (UTC+2) at 13.4 deg east in late June:\n"
     "\n"
     ">>> from klimora import ufuncs\n"
     ">>> round(float(ufuncs.solar_time(13.0, 2.0, 13.4, 172)), 3)\n"
     "11.868"},
    {"wbgt",
     "Wet-bulb globe temperature outdoors (Liljegren et al. 2008).\n"
     "\n"
     "0.7 Tnwb + 0.2 Tg + 0.1 Ta, with the natural wet-bulb and globe\n"
     "temperatures the fixed points of the sensors' energy balances; the wind is\n"
     "brought from 10 m to 2 m by the stability-dependent power law (as\n"
     "thermofeel's calculate_wbgt_liljegren).  NaN where a balance does not\n"
     "solve (the invalid flag: a RuntimeWarning) or an input is NaN.  float32\n"
     "inputs are worked out in float64 and rounded once to float32.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "air_temperature : array_like\n"
     "    Air temperature. [deg C]\n"
     "relative_humidity : array_like\n"
     "    Relative humidity. [%]\n"
     "wind_speed : array_like\n"
     "    Wind speed at 10 m; at least 0.62 m/s is taken. [m/s]\n"
     "pressure : array_like\n"
     "    Air pressure. [hPa]\n"
     "global_irradiance : array_like\n"
     "    Global irradiance on the horizontal. [W/m2]\n"
     "diffuse_share : array_like\n"
     "    Diffuse share of the global irradiance, 0 to 1. [1]\n"
     "cos_zenith : array_like\n"
     "    Cosine of the solar zenith angle. [1]\n"
     "**kwargs\n"
     "    out=, where=, dtype= and the other keywords of every NumPy ufunc.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "wbgt : ndarray or numpy.float64\n"
     "    Wet-bulb globe temperature. [deg C]\n"
     "\n"
     "Examples\n"
     "--------\n"
     "A hot, dry afternoon with a light wind:\n"
     "\n"
     ">>> from klimora import ufuncs\n"
     ">>> t = ufuncs.wbgt(30.0, 40.0, 2.0, 1013.0, 800.0, 0.25, 0.85)\n"
     ">>> round(float(t), 1)\n"
     "27.8"},
    {"globe_temperature",
     "Temperature of a black globe in the sun and wind (Liljegren et al. 2008).\n"
     "\n"
     "A 0.0508 m globe of emissivity 0.95 and albedo 0.05, the fixed point of\n"
     "its energy balance.  NaN where the balance does not solve.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "air_temperature : array_like\n"
     "    Air temperature. [deg C]\n"
     "relative_humidity : array_like\n"
     "    Relative humidity. [%]\n"
     "wind_speed : array_like\n"
     "    Wind speed at 10 m; at least 0.62 m/s is taken. [m/s]\n"
     "pressure : array_like\n"
     "    Air pressure. [hPa]\n"
     "global_irradiance : array_like\n"
     "    Global irradiance on the horizontal. [W/m2]\n"
     "diffuse_share : array_like\n"
     "    Diffuse share of the global irradiance, 0 to 1. [1]\n"
     "cos_zenith : array_like\n"
     "    Cosine of the solar zenith angle. [1]\n"
     "**kwargs\n"
     "    out=, where=, dtype= and the other keywords of every NumPy ufunc.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "globe_temperature : ndarray or numpy.float64\n"
     "    Globe temperature. [deg C]\n"
     "\n"
     "Examples\n"
     "--------\n"
     "The globe of wbgt's example, well above the air:\n"
     "\n"
     ">>> from klimora import ufuncs\n"
     ">>> t = ufuncs.globe_temperature(30.0, 40.0, 2.0, 1013.0, 800.0, 0.25, 0.85)\n"
     ">>> round(float(t), 1)\n"
     "45.2"},
    {"pet",
     "Physiological equivalent temperature (PET) of Hoeppe (1999).\n"
     "\n"
     "The air temperature of a room (mean radiant temperature = air\n"
     "temperature, wind 0.1 m/s, vapour pressure 12 hPa) in which the person,\n"
     "at 80 W of work metabolism and 0.9 clo there, has the core and skin\n"
     "temperatures of the actual climate: MEMI in steady state, three nodes\n"
     "(core, skin, clothing), with the corrections of Walther and Goestchel\n"
     "(2018), the model of pythermalcomfort's pet_steady.  Every temperature\n"
     "is solved in a bounded number of steps (closed form for the core,\n"
     "Newton for the clothing, a widened bracket and secant steps for the\n"
     "skin and for PET), where pet_steady runs MINPACK's hybrid method\n"
     "without bounds and rounds to 0.01 K.  Where the balance jumps across\n"
     "zero (sweat on a skin at the air's vapour pressure) PET is that of the\n"
     "jump.  NaN, and the invalid flag, where a temperature does not solve\n"
     "or an input is out of range (negative wind, pressure not positive);\n"
     "NaN quietly for NaN.  float32 inputs are worked out in float64 and\n"
     "rounded once.\n"
     "\n"
     "The person is the standard person of VDI 3787 Part 2 and Hoeppe\n"
     "(1999): 80 W of work on top of the basal metabolism, 0.9 clo, 35\n"
     "years, male, 75 kg, 1.75 m, sitting.  pet_person takes the person as\n"
     "seven more inputs, klimora.comfort.pet by keyword.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "air_temperature : array_like\n"
     "    Air temperature. [deg C]\n"
     "mean_radiant_temperature : array_like\n"
     "    Mean radiant temperature. [deg C]\n"
     "wind_speed : array_like\n"
     "    Wind speed at the person, 1.1 m above ground. [m/s]\n"
     "relative_humidity : array_like\n"
     "    Relative humidity. [%]\n"
     "pressure : array_like\n"
     "    Air pressure. [hPa]\n"
     "**kwargs\n"
     "    out=, where=, dtype= and the other keywords of every NumPy ufunc.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "pet : ndarray or numpy.float64\n"
     "    Physiological equivalent temperature; NaN where unsolved. [deg C]\n"
     "\n"
     "Examples\n"
     "--------\n"
     "Hoeppe's room, and a summer afternoon in the shade:\n"
     "\n"
     ">>> from klimora import ufuncs\n"
     ">>> rh = [100 * 12 / 24.87, 100 * 21 / 42.47]\n"
     ">>> ufuncs.pet([21.0, 30.0], [21.0, 30.0], [0.1, 1.0], rh, 1013.25).round(1)\n"
     "array([21. , 29.3])"},
    {"pet_person",
     "Physiological equivalent temperature (PET) of Hoeppe (1999) of a person.\n"
     "\n"
     "The air temperature of a room (mean radiant temperature = air\n"
     "temperature, wind 0.1 m/s, vapour pressure 12 hPa) in which the person,\n"
     "at 80 W of work metabolism and 0.9 clo there, has the core and skin\n"
     "temperatures of the actual climate: MEMI in steady state, three nodes\n"
     "(core, skin, clothing), with the corrections of Walther and Goestchel\n"
     "(2018), the model of pythermalcomfort's pet_steady.  Every temperature\n"
     "is solved in a bounded number of steps (closed form for the core,\n"
     "Newton for the clothing, a widened bracket and secant steps for the\n"
     "skin and for PET), where pet_steady runs MINPACK's hybrid method\n"
     "without bounds and rounds to 0.01 K.  Where the balance jumps across\n"
     "zero (sweat on a skin at the air's vapour pressure) PET is that of the\n"
     "jump.  NaN, and the invalid flag, where a temperature does not solve\n"
     "or an input is out of range (negative wind, pressure not positive);\n"
     "NaN quietly for NaN.  float32 inputs are worked out in float64 and\n"
     "rounded once.\n"
     "\n"
     "pet is this for the standard person: 80 W, 0.9 clo, 35 years, male,\n"
     "75 kg, 1.75 m, sitting.  A person whose clothing, weight or height is\n"
     "not positive or whose codes are out of range gives NaN and the invalid\n"
     "flag.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "air_temperature : array_like\n"
     "    Air temperature. [deg C]\n"
     "mean_radiant_temperature : array_like\n"
     "    Mean radiant temperature. [deg C]\n"
     "wind_speed : array_like\n"
     "    Wind speed at the person, 1.1 m above ground. [m/s]\n"
     "relative_humidity : array_like\n"
     "    Relative humidity. [%]\n"
     "pressure : array_like\n"
     "    Air pressure. [hPa]\n"
     "work : array_like\n"
     "    Work metabolism on top of the basal metabolism. [W]\n"
     "clothing : array_like\n"
     "    Clothing insulation, more than 0. [clo]\n"
     "age : array_like\n"
     "    Age. [year]\n"
     "male : array_like\n"
     "    1 for a man, 0 for a woman. [1]\n"
     "weight : array_like\n"
     "    Body mass. [kg]\n"
     "height : array_like\n"
     "    Height, more than 0.2 m. [m]\n"
     "posture : array_like\n"
     "    0 sitting, 1 standing, 2 standing in forced convection. [1]\n"
     "**kwargs\n"
     "    out=, where=, dtype= and the other keywords of every NumPy ufunc.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "pet_person : ndarray or numpy.float64\n"
     "    Physiological equivalent temperature; NaN where unsolved. [deg C]\n"
     "\n"
     "Examples\n"
     "--------\n"
     "Summer in the sun, for the standard person and for a woman in light\n"
     "clothes, standing:\n"
     "\n"
     ">>> from klimora import ufuncs\n"
     ">>> ufuncs.pet_person(30.0, 60.0, 1.0, 50.0, 1013.25, 80.0, [0.9, 0.5], 35.0,\n"
     "...                   [1.0, 0.0], 75.0, 1.75, [0.0, 1.0]).round(1)\n"
     "array([41.7, 39.6])"},
    {"utci",
     "Universal Thermal Climate Index.\n"
     "\n"
     "The operational sixth-order polynomial of Broede et al. (2012), which\n"
     "takes the vapour pressure in kPa (divided by 10 here).  Its domain:\n"
     "air_temp -50 to 50 deg C, mrt - air_temp -30 to 70 K, wind 0.5 to 17 m/s\n"
     "(ends included); NaN outside it.  The vapour pressure is not bounded (the\n"
     "fit covers 0 to 50 hPa).  float32 inputs are worked out in float64 and\n"
     "rounded once to float32.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "air_temp : array_like\n"
     "    Air temperature. [deg C]\n"
     "mrt : array_like\n"
     "    Mean radiant temperature. [deg C]\n"
     "wind : array_like\n"
     "    Wind speed 10 m above ground. [m/s]\n"
     "vapour_pressure : array_like\n"
     "    Water-vapour pressure. [hPa]\n"
     "**kwargs\n"
     "    out=, where=, dtype= and the other keywords of every NumPy ufunc.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "utci : ndarray or numpy.float64\n"
     "    Universal Thermal Climate Index; NaN outside the polynomial's\n"
     "    domain. [deg C]\n"
     "\n"
     "Examples\n"
     "--------\n"
     "In the sun and in the shade on a hot afternoon, and beyond the domain:\n"
     "\n"
     ">>> from klimora import ufuncs\n"
     ">>> ufuncs.utci([30.0, 30.0, 60.0], [50.0, 30.0, 60.0], 2.0, 20.0).round(1)\n"
     "array([34.4, 29.4,  nan])"},
    {"utci_category",
     "Thermal stress class of a UTCI, 0 to 9, as a float.\n"
     "\n"
     "0 extreme cold stress (below -40), 1 very strong cold (-40 to -27),\n"
     "2 strong cold (-27 to -13), 3 moderate cold (-13 to 0), 4 slight cold\n"
     "(0 to 9), 5 no thermal stress (9 to 26), 6 moderate heat (26 to 32),\n"
     "7 strong heat (32 to 38), 8 very strong heat (38 to 46), 9 extreme heat\n"
     "(above 46).  A value on a limit is in the milder class: -40 is 1, 0 is 4,\n"
     "9 and 26 are 5, 46 is 8.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "utci : array_like\n"
     "    Universal Thermal Climate Index. [deg C]\n"
     "**kwargs\n"
     "    out=, where=, dtype= and the other keywords of every NumPy ufunc.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "utci_category : ndarray or numpy.float64\n"
     "    Thermal stress class, 0 to 9; NaN for NaN. [1]\n"
     "\n"
     "Examples\n"
     "--------\n"
     "A limit goes to the milder class:\n"
     "\n"
     ">>> from klimora import ufuncs\n"
     ">>> ufuncs.utci_category([-40.0, 9.0, 34.4, 50.0, float(\"nan\")])\n"
     "array([ 1.,  5.,  7.,  9., nan])"},
};

// The English name of each ufunc of a Strahlkit function, in the order of
// the function table; __all__ lists them after the German names.
struct EnglishName {
    const char* name;
    const char* english;
};

constexpr EnglishName english_names[] = {
    {"Sonnenzeit", "solar_time_round_trip"},
    {"Zenitwinkel", "solar_zenith_angle"},
    {"Azimutwinkel", "solar_azimuth_angle"},
    {"LinkeTruebung", "linke_turbidity"},
    {"RelOptLuftmasse", "relative_optical_air_mass"},
    {"MaxDirekteStrahlung", "clear_sky_direct_irradiance"},
    {"MaxGlobalstrahlung", "clear_sky_global_irradiance"},
    {"DirStrMBew", "cloud_reduced_direct_irradiance"},
    {"AtmosGegenstr", "atmospheric_counter_radiation"},
    {"OberflTemp", "surface_temperature"},
    {"MittlStrTemp", "mean_radiant_temperature"},
};

const char* doc_of(std::string_view name) {
    for (const UfuncDoc& d : docs) {
        if (name == d.name) return d.text;
    }
    return nullptr;
}

constexpr std::size_t most_inputs = 16;
// Every loop takes float64 inputs and gives a float64.
constexpr auto float64_types = [] {
    std::array<char, most_inputs + 1> t{};
    t.fill(NPY_DOUBLE);
    return t;
}();

// solar_time's loops: four float32 in, a float32 out; then the float64 one.
constexpr int solar_time_inputs = 4;
constexpr char solar_time_types[] = {NPY_FLOAT, NPY_FLOAT, NPY_FLOAT, NPY_FLOAT, NPY_FLOAT,
                                     NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE};

// wbgt's and globe_temperature's loops: seven float32 in, a float32 out,
// worked out in float64 (thermal_comfort/wbgt.cpp); then the float64 one.
struct Float32Loop {
    const char* name;
    PyUFuncGenericFunction loop;
};
const Float32Loop comfort_float32[] = {
    {"wbgt", thermal_comfort::wbgt_float32},
    {"globe_temperature", thermal_comfort::globe_temperature_float32},
};
constexpr auto comfort_types = [] {
    constexpr std::size_t n = thermal_comfort::inputs + 1;
    std::array<char, 2 * n> t{};
    std::fill(t.begin(), t.begin() + n, NPY_FLOAT);
    std::fill(t.begin() + n, t.end(), NPY_DOUBLE);
    return t;
}();

// NumPy keeps pointers to these for the life of each ufunc.
PyUFuncGenericFunction loops[32][2];
void* loop_data[32][2];

// solar_time on float32: each block of elements widened to float64, run
// through the float64 loop (`data`, the body's) and rounded once to
// float32.  A time a hair below 24 rounds to 24.0f: the next day's 0.0f,
// as in the float64 loop (== is the comparison that leaves NaN quiet).
void solar_time_float32(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps,
                        void* data) {
    constexpr int nin = solar_time_inputs;
    constexpr Py_intptr_t chunk = blocks::block_size;
    const UfuncLoop wide = static_cast<const Body*>(data)->ufunc_loop;
    double buffers[nin + 1][chunk];
    const Py_intptr_t count = dimensions[0];
    // Only the main thread's loops look for Ctrl-C (ufunc_loop.hpp), and
    // only it may read what they found.
    const bool main_thread = PyThread_get_thread_ident() ==
                             blocks::signals::main_thread.load(std::memory_order_relaxed);
    for (Py_intptr_t start = 0; start < count; start += chunk) {
        const Py_intptr_t n = std::min(chunk, count - start);
        char* wide_args[nin + 1];
        for (int j = 0; j < nin; ++j) {
            const char* from = args[j] + start * steps[j];
            for (Py_intptr_t i = 0; i < n; ++i) {
                buffers[j][i] = *reinterpret_cast<const float*>(from + i * steps[j]);
            }
            wide_args[j] = reinterpret_cast<char*>(buffers[j]);
        }
        wide_args[nin] = reinterpret_cast<char*>(buffers[nin]);
        const Py_intptr_t wide_steps[nin + 1] = {sizeof(double), sizeof(double), sizeof(double),
                                                 sizeof(double), sizeof(double)};
        wide(wide_args, &n, wide_steps, nullptr);
        char* to = args[nin] + start * steps[nin];
        for (Py_intptr_t i = 0; i < n; ++i) {
            float r = static_cast<float>(buffers[nin][i]);
            if (r == 24.0f) r = 0.0f;
            *reinterpret_cast<float*>(to + i * steps[nin]) = r;
        }
        // Ctrl-C ended the float64 loop: the rest is NaN too (ufunc_loop.hpp).
        if (main_thread && blocks::signals::interrupted) {
            for (Py_intptr_t i = start + n; i < count; ++i) {
                *reinterpret_cast<float*>(args[nin] + i * steps[nin]) =
                    std::numeric_limits<float>::quiet_NaN();
            }
            return;
        }
    }
}

// The ufuncs of the thermal-comfort indices: loops of their own, float32
// then float64, added last.
struct ComfortUfunc {
    const char* name;
    int inputs;
    PyUFuncGenericFunction float32_loop, float64_loop;
};

constexpr ComfortUfunc comfort_ufuncs[] = {
    {"utci", 4, thermal_comfort::utci_float32, thermal_comfort::utci_float64},
    {"utci_category", 1, thermal_comfort::utci_category_float32,
     thermal_comfort::utci_category_float64},
    {"pet", thermal_comfort::pet_inputs, thermal_comfort::pet_float32, thermal_comfort::pet_float64},
    {"pet_person", thermal_comfort::pet_person_inputs, thermal_comfort::pet_person_float32,
     thermal_comfort::pet_person_float64},
};

// Their types: all float32, then all float64.
char comfort_types_of[std::size(comfort_ufuncs)][2 * (thermal_comfort::pet_person_inputs + 1)];
void* comfort_data[std::size(comfort_ufuncs)][2] = {};
PyUFuncGenericFunction comfort_loops[std::size(comfort_ufuncs)][2];

bool add_comfort_ufunc(PyObject* module, PyObject* names, std::size_t i) {
    const ComfortUfunc& c = comfort_ufuncs[i];
    const int args = c.inputs + 1;
    for (int j = 0; j < args; ++j) {
        comfort_types_of[i][j] = NPY_FLOAT;
        comfort_types_of[i][args + j] = NPY_DOUBLE;
    }
    comfort_loops[i][0] = c.float32_loop;
    comfort_loops[i][1] = c.float64_loop;
    Ref ufunc = Ref::steal(PyUFunc_FromFuncAndData(
        comfort_loops[i], comfort_data[i], comfort_types_of[i], 2, c.inputs, 1, PyUFunc_None,
        c.name, doc_of(c.name), 0));
    Ref name_object = Ref::steal(PyUnicode_FromString(c.name));
    return ufunc && name_object &&
           PyObject_SetAttr(module, name_object.get(), ufunc.get()) == 0 &&
           PyList_Append(names, name_object.get()) == 0;
}

// The thread that runs the signal handlers, where the loops look for
// Ctrl-C (ufunc_loop.hpp).
bool know_main_thread() {
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    if (!threading) return false;
    Ref main = Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) return false;
    Ref ident = Ref::steal(PyObject_GetAttrString(main.get(), "ident"));
    if (!ident) return false;
    const unsigned long id = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) return false;
    blocks::signals::main_thread.store(id);
    return true;
}

// Makes the ufunc `name` from `body`'s float64 loop, with loops[i], and
// adds it to the module and to `names`.
// solar_time has a float32 loop before its float64 one.
bool add_ufunc(PyObject* module, PyObject* names, std::size_t i, const char* name,
               const Body& body) {
    const int inputs = static_cast<int>(body.ufunc_inputs.size);
    const bool with_float32 = std::string_view(name) == "solar_time";
    if (with_float32 && inputs != solar_time_inputs) {
        PyErr_SetString(PyExc_SystemError, "solar_time takes four inputs");
        return false;
    }
    int count = 0;
    if (with_float32) {
        loops[i][count] = solar_time_float32;
        loop_data[i][count++] = const_cast<Body*>(&body);
    }
    PyUFuncGenericFunction comfort = nullptr;
    for (const Float32Loop& c : comfort_float32) {
        if (std::string_view(name) == c.name) comfort = c.loop;
    }
    if (comfort) {
        if (inputs != static_cast<int>(thermal_comfort::inputs)) {
            PyErr_SetString(PyExc_SystemError, "a thermal-comfort ufunc takes seven inputs");
            return false;
        }
        loops[i][count] = comfort;
        loop_data[i][count++] = nullptr;
    }
    loops[i][count] = body.ufunc_loop;
    loop_data[i][count++] = nullptr;
    const char* types = with_float32 ? solar_time_types
                        : comfort    ? comfort_types.data()
                                     : float64_types.data();
    Ref ufunc = Ref::steal(PyUFunc_FromFuncAndData(
        loops[i], loop_data[i], const_cast<char*>(types), count, inputs, 1,
        PyUFunc_None, name, doc_of(name), 0));
    Ref name_object = Ref::steal(PyUnicode_FromString(name));
    return ufunc && name_object &&
           PyObject_SetAttr(module, name_object.get(), ufunc.get()) == 0 &&
           PyList_Append(names, name_object.get()) == 0;
}

// Makes the ufunc `name` the module's attribute `english` too, and adds
// `english` to `names`.
bool add_english_name(PyObject* module, PyObject* names, const char* name,
                      const char* english) {
    Ref ufunc = Ref::steal(PyObject_GetAttrString(module, name));
    if (!ufunc) return false;
    Ref english_object = Ref::steal(PyUnicode_FromString(english));
    return english_object && PyObject_SetAttr(module, english_object.get(), ufunc.get()) == 0 &&
           PyList_Append(names, english_object.get()) == 0;
}

int exec_module(PyObject* module) {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy || !import_numpy_api() || !numpy_kernels::take_kernels(numpy.get())) return -1;
    if (!know_main_thread()) return -1;
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return -1;
    if (function_table().size() + ufunc_only_table().size() > std::size(loops)) {
        PyErr_SetString(PyExc_SystemError, "more ufuncs than loops");
        return -1;
    }
    std::size_t i = 0;
    for (const FunctionSpec& spec : function_table()) {
        if (!add_ufunc(module, names.get(), i++, spec.name, *spec.body)) return -1;
    }
    for (const UfuncOnlyRow& row : ufunc_only_table()) {
        if (!add_ufunc(module, names.get(), i++, row.name, *row.body)) return -1;
    }
    for (const EnglishName& e : english_names) {
        if (!add_english_name(module, names.get(), e.name, e.english)) return -1;
    }
    for (std::size_t c = 0; c < std::size(comfort_ufuncs); ++c) {
        if (!add_comfort_ufunc(module, names.get(), c)) return -1;
    }
    return PyModule_AddObjectRef(module, "__all__", names.get());
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "ufuncs",
    "One NumPy ufunc per function of klimora.Strahlkit, each element exactly what\n"
    "the function gives on that element's NumPy float64 scalars,\n"
    "equation_of_time, the equation of time that Sonnenzeit applies, and\n"
    "solar_time, true solar time from clock time.  Each ufunc of a function is\n"
    "here under its English name too (solar_zenith_angle is Zenitwinkel);\n"
    "klimora.radiation takes the inputs by keyword.",
    0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace klimora

PyMODINIT_FUNC PyInit_ufuncs() { return PyModuleDef_Init(&klimora::definition); }
