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

# Generated from ufuncs/functions.toml by make generate, down to the end marker.
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
# equation of time: apparent minus mean solar time
# (dayofyear) -> h
equation_of_time: Final[np.ufunc]
# true solar time from clock time, noon at 12, in [0, 24)
# (clock_time, utc_offset, longitude, dayofyear) -> h
solar_time: Final[np.ufunc]
# wet-bulb globe temperature outdoors (Liljegren et al. 2008)
# (air_temperature, relative_humidity, wind_speed, pressure, global_irradiance, diffuse_share,
#  cos_zenith) -> deg C
wbgt: Final[np.ufunc]
# temperature of a black globe in the sun and wind (Liljegren et al. 2008)
# (air_temperature, relative_humidity, wind_speed, pressure, global_irradiance, diffuse_share,
#  cos_zenith) -> deg C
globe_temperature: Final[np.ufunc]

# English names: the same objects as the German ones above
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

# Universal Thermal Climate Index
# (air_temp, mrt, wind, vapour_pressure) -> deg C
utci: Final[np.ufunc]
# thermal stress class of a UTCI, 0 to 9, as a float
# (utci) -> 1
utci_category: Final[np.ufunc]
# physiological equivalent temperature (PET) of Hoeppe (1999)
# (air_temperature, mean_radiant_temperature, wind_speed, relative_humidity, pressure) -> deg C
pet: Final[np.ufunc]
# physiological equivalent temperature (PET) of Hoeppe (1999) of a person
# (air_temperature, mean_radiant_temperature, wind_speed, relative_humidity, pressure, work,
#  clothing, age, male, weight, height, posture) -> deg C
pet_person: Final[np.ufunc]
# End of the generated stubs.
