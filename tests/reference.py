"""The model written in Python with NumPy: the oracle for the native module.

Every statement has the operands, constants (int or float), grouping and
order of the native bodies, so the results must agree to the bit.  `np` is a
module global like the native module's, so a test can replace it.
"""

import numpy as np


def Sonnenzeit(szeit, zeitzone, laenge, dayofyear):
    def ERS(dayofyear):
        B = ((2 * np.pi) * (dayofyear - 81)) / 364
        sinB = np.sin(B)
        cosB = np.cos(B)
        Result = (((9.87 * np.sin(2 * B)) - (7.53 * cosB)) - (1.5 * sinB)) / 60
        return Result

    zonezeit = ((szeit + zeitzone) - ((laenge * 12) / 180)) - ERS(dayofyear)
    if zonezeit < 0:
        zzeit = zonezeit + 24.0
    elif zonezeit >= 24:
        zzeit = zonezeit - 24.0
    else:
        zzeit = zonezeit
    s = ((zzeit - zeitzone) + ((laenge * 12) / 180)) + ERS(dayofyear)
    if s < 0:
        Result = s + 24.0
    elif s >= 24:
        Result = s - 24.0
    else:
        Result = s
    return Result


def _declination(dayofyear):
    return np.degrees(np.arcsin(0.3978 * np.sin(np.radians(
        (((0.9856 * dayofyear) - 2.72) - 77.51)
        + (1.92 * np.sin(np.radians((0.9856 * dayofyear) - 2.72)))))))


def Zenitwinkel(szeit, breite, dayofyear):
    delta = _declination(dayofyear)
    sinBr = np.sin(np.radians(breite))
    cosBr = np.cos(np.radians(breite))
    sinD = np.sin(np.radians(delta))
    cosD = np.cos(np.radians(delta))
    s = np.degrees(np.arcsin((((-cosBr) * np.cos((szeit * np.pi) / 12)) * cosD) + (sinD * sinBr)))
    Result = 90 - s
    return Result


def Winkel(Ankathete, Gegenkathete, Gradmass):
    if Gegenkathete == 0:
        if Ankathete >= 0:
            phi = 0
        else:
            phi = np.pi
    elif Gegenkathete > 0:
        phi = (np.pi / 2) - np.arctan(Ankathete / Gegenkathete)
    else:
        phi = ((3 * np.pi) / 2) - np.arctan(Ankathete / Gegenkathete)
    if Gradmass:
        phi = np.degrees(phi)
    return phi


def Azimutwinkel(szeit, breite, dayofyear):
    delta = _declination(dayofyear)
    sinBr = np.sin(np.radians(breite))
    cosBr = np.cos(np.radians(breite))
    sinD = np.sin(np.radians(delta))
    cosD = np.cos(np.radians(delta))
    sinSz = np.sin((szeit * np.pi) / 12)
    cosSz = np.cos((szeit * np.pi) / 12)
    sy = (-sinSz) * cosD
    sz = ((sinBr * cosSz) * cosD) + (sinD * cosBr)
    Result = Winkel(sz, -sy, True)
    return Result


def LinkeTruebung(dayofyear, breite, RH):
    if RH < 85:
        if breite >= 0:
            Tl = 2.9 - (1.4 * np.cos(((2 * np.pi) * (dayofyear - 15)) / 365))
        else:
            Tl = 2.9 + (1.4 * np.cos(((2 * np.pi) * (dayofyear - 15)) / 365))
        return Tl
    if RH < 100:
        Vm = np.maximum(1, 15 * (1 - np.exp((-np.power(100 - RH, 4)) / np.power(10, 4))))
    else:
        Vm = 1
    Tl = 0.84 + (39 / Vm)
    return Tl


def RelOptLuftmasse(zenitwinkel):
    a = 0.50572
    b = 6.07995
    c = -1.6364
    Tabm = np.array([37.92, 39.22, 40.34, 41.48, 42.63, 43.72,
                     44.81, 45.90, 47.00, 48.08, 49.15, 50.12])
    P = (zenitwinkel * 10) - 900
    i = int(np.trunc(P))
    if 0 <= zenitwinkel <= 91:
        if zenitwinkel < 90:
            if zenitwinkel < 80:
                m = 1 / np.cos(np.radians(zenitwinkel))
            else:
                m = 1 / (np.cos(np.radians(zenitwinkel)) + (a * np.power((90 - zenitwinkel) + b, c)))
        else:
            m = Tabm[i] + ((P - i) * (Tabm[i + 1] - Tabm[i]))
    else:
        m = 999
    return m


def ExtraterrStrahlung(dayofyear):
    S0 = 1367
    Result = S0 * (1 + (0.03344 * np.cos((np.pi / 180) * ((0.9856 * dayofyear) - 2.72))))
    return Result


def OptDicke(zenitwinkel, RelOptLuftM):
    if (0 <= zenitwinkel) & (zenitwinkel < 91):
        if zenitwinkel < 85:
            rho = 1 / (9.4 + (0.9 * RelOptLuftM))
        else:
            rho = 0.0408 + (0.0028 * (90 - zenitwinkel))
        return rho
    return 999


def Druckkorrektur(Hoehe):
    Result = np.exp((-Hoehe) / 8434.5)
    return Result


def MaxDirekteStrahlung(dayofyear, mHoehe, zenitwinkel, LinkeTr, RelOptLuftM):
    if zenitwinkel < 90:
        Isenkr = ExtraterrStrahlung(dayofyear) * np.exp(
            (((-LinkeTr) * OptDicke(zenitwinkel, RelOptLuftM)) * RelOptLuftM) * Druckkorrektur(mHoehe))
    else:
        Isenkr = 0
    return Isenkr


def MaxGlobalstrahlung(dayofyear, mHoehe, zenitwinkel, LinkeTr):
    if zenitwinkel < 90:
        Gmax = ((0.84 * ExtraterrStrahlung(dayofyear)) * np.cos(np.radians(zenitwinkel))) * np.exp(
            ((-0.027 * Druckkorrektur(mHoehe)) * LinkeTr) / np.cos(np.radians(zenitwinkel)))
    else:
        Gmax = 0
    return Gmax


def DirStrMBew(Imax, N):
    Result = Imax * (1 - (N / 8))
    return Result


def AtmosGegenstr(LuftTemp, Dampfdruck, N):
    sigma = 5.67e-8
    T = LuftTemp + 273.15
    A0 = (sigma * np.power(T, 4)) * (0.82 - (0.25 * np.power(10, -0.0945 * Dampfdruck)))
    nx = np.power(N / 8, 2.5)
    Result = A0 * (1 + (0.21 * nx))
    return Result


def OberflTemp(Strahlungsbilanz, LuftTemp, WindGeschw, Bowen):
    if Strahlungsbilanz > 0:
        Q = -0.19 * Strahlungsbilanz
    else:
        Q = -0.32 * Strahlungsbilanz
    alphaL = 6.2 + (4.26 * WindGeschw)
    if Bowen < -0.9:
        Bowen = -0.9
    if Bowen == 0:
        Result = LuftTemp
    else:
        Result = LuftTemp + ((Strahlungsbilanz + Q) / (alphaL * (1 + (1 / Bowen))))
    return Result


def MittlStrTemp(zenitwinkel, EStrOben, EStrUnten, AGegenstr, DiffStr, MaxDirStr, ReflStr, albedo,
                 albedo_env):
    sigma = 5.67e-8
    epsP = 0.97
    alphaIR = 1 - albedo
    gamma = 90 - zenitwinkel
    fP = 0.308 * np.cos(np.radians(gamma * (0.998 - (np.sqrt(gamma) / 50000))))
    Result = np.power((((EStrOben + EStrUnten) + AGegenstr)
                       + ((alphaIR / epsP) * (DiffStr + (MaxDirStr * fP)))) / sigma, 0.25) - 273.15
    return Result


NAMES = ["Sonnenzeit", "Zenitwinkel", "Azimutwinkel", "LinkeTruebung", "RelOptLuftmasse",
         "MaxDirekteStrahlung", "MaxGlobalstrahlung", "DirStrMBew", "AtmosGegenstr",
         "OberflTemp", "MittlStrTemp"]
