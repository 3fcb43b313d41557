"""NumPy ufuncs of the eleven functions of klimora.Strahlkit,
equation_of_time, the equation of time that Sonnenzeit applies, and
solar_time, true solar time from clock time: float64 in, float64 out
(solar_time: float32 in, float32 out too), element by element what the
function gives on NumPy float64 scalars; wbgt and globe_temperature, the
wet-bulb globe temperature outdoors and its globe's.  Inputs in order
(units in each ufunc's docstring), then the English names of the same ufunc objects
(docs/glossary.md; klimora.radiation takes their inputs by keyword)."""

from typing import Final

import numpy as np

__all__: list[str]

# (szeit, zeitzone, laenge, dayofyear) -> h
Sonnenzeit: Final[np.ufunc]
# (szeit, breite, dayofyear) -> deg
Zenitwinkel: Final[np.ufunc]
# (szeit, breite, dayofyear) -> deg
Azimutwinkel: Final[np.ufunc]
# (dayofyear, breite, RH) -> 1
LinkeTruebung: Final[np.ufunc]
# (zenitwinkel) -> 1
RelOptLuftmasse: Final[np.ufunc]
# (dayofyear, mHoehe, zenitwinkel, LinkeTr, RelOptLuftM) -> W/m2
MaxDirekteStrahlung: Final[np.ufunc]
# (dayofyear, mHoehe, zenitwinkel, LinkeTr) -> W/m2
MaxGlobalstrahlung: Final[np.ufunc]
# (Imax, N) -> W/m2
DirStrMBew: Final[np.ufunc]
# (LuftTemp, Dampfdruck, N) -> W/m2
AtmosGegenstr: Final[np.ufunc]
# (Strahlungsbilanz, LuftTemp, WindGeschw, Bowen) -> deg C
OberflTemp: Final[np.ufunc]
# (zenitwinkel, EStrOben, EStrUnten, AGegenstr, DiffStr, MaxDirStr, albedo) -> deg C
MittlStrTemp: Final[np.ufunc]
# (dayofyear) -> h
equation_of_time: Final[np.ufunc]
# true solar time from clock time, from 0 to below 24
# (clock_time, utc_offset, longitude, dayofyear) -> h
solar_time: Final[np.ufunc]
# wet-bulb globe temperature outdoors (Liljegren et al. 2008)
# (air_temperature, relative_humidity, wind_speed, pressure, global_irradiance,
#  diffuse_share, cos_zenith) -> deg C; deg C, %, m/s at 10 m, hPa, W/m2, 1, 1
wbgt: Final[np.ufunc]
# black-globe temperature (0.0508 m) of the same model, same inputs -> deg C
globe_temperature: Final[np.ufunc]

# English names: the same objects as the German ones above
# (Sonnenzeit's: its input folded into one day, 0 to 24, not a solar time)
solar_time_round_trip: Final[np.ufunc]
solar_zenith_angle: Final[np.ufunc]
solar_azimuth_angle: Final[np.ufunc]
linke_turbidity: Final[np.ufunc]
relative_optical_air_mass: Final[np.ufunc]
clear_sky_direct_irradiance: Final[np.ufunc]
clear_sky_global_irradiance: Final[np.ufunc]
cloud_reduced_direct_irradiance: Final[np.ufunc]
atmospheric_counter_radiation: Final[np.ufunc]
surface_temperature: Final[np.ufunc]
mean_radiant_temperature: Final[np.ufunc]

# Universal Thermal Climate Index, NaN outside its domain (float32 loop too)
# (air_temp degC, mrt degC, wind at 10 m m/s, vapour_pressure hPa) -> degC
utci: Final[np.ufunc]
# its thermal stress class, 0 (extreme cold) to 9 (extreme heat); NaN for NaN
# (utci degC) -> 1
utci_category: Final[np.ufunc]
# physiological equivalent temperature (Hoeppe 1999) of the standard person
# (80 W, 0.9 clo, 35 years, male, 75 kg, 1.75 m, sitting), NaN where unsolved
# (air_temperature degC, mean_radiant_temperature degC, wind_speed m/s,
#  relative_humidity %, pressure hPa) -> degC
pet: Final[np.ufunc]
# the same of a person: the five, then work W, clothing clo, age year,
# male 1|0, weight kg, height m, posture 0 sitting|1 standing|2 forced -> degC
pet_person: Final[np.ufunc]
