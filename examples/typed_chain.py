"""The chain at one place and time, and on arrays, with every function of
klimora.Strahlkit; `make test` checks it with mypy --strict."""

import numpy as np
from numpy.typing import NDArray

from klimora import Strahlkit as S

day, latitude, longitude, zone, height = 172, 48.14, 11.58, 1.0, 520.0

solar: np.float64 = S.Sonnenzeit(10.5, zone, longitude, day)
zenith: np.float64 = S.Zenitwinkel(solar, latitude, day)
azimuth: np.float64 = S.Azimutwinkel(solar, latitude, day)
turbidity: float = S.LinkeTruebung(day, latitude, 60.0)
air_mass: float = S.RelOptLuftmasse(zenith)
direct_max: float = S.MaxDirekteStrahlung(day, height, zenith, turbidity, air_mass)
global_max: float = S.MaxGlobalstrahlung(day, height, zenith, turbidity)
direct: float = S.DirStrMBew(direct_max, 2)
counter: np.float64 = S.AtmosGegenstr(20.0, 14.0, 2)
surface: float = S.OberflTemp(400.0, 20.0, 2.0, 1.0)
ground = 0.97 * 5.67e-8 * (surface + 273.15) ** 4
mrt: np.float64 = S.MittlStrTemp(zenith, 0.5 * counter, 0.5 * ground, 0.0, 100.0, direct,
                                 None, 0.3, None)

hours = np.linspace(0.0, 23.0, 24)
zeniths: NDArray[np.float64] = S.Zenitwinkel(hours, latitude, day)
beams: NDArray[np.float64] = S.DirStrMBew(np.full(24, direct_max), np.arange(24) % 9)
counters: NDArray[np.float64] = S.AtmosGegenstr(np.linspace(10.0, 25.0, 24), 14.0, 2)
mrts: NDArray[np.float64] = S.MittlStrTemp(np.minimum(zeniths, 90.0), 0.5 * counters,
                                           0.5 * counters, 0.0, 100.0, beams, None, 0.3, None)

print(f"solar time {solar:.2f} h, zenith {zenith:.1f} deg, azimuth {azimuth:.1f} deg, "
      f"mean radiant temperature {mrt:.1f} degC; over the day {mrts.min():.1f} to "
      f"{mrts.max():.1f} degC")
