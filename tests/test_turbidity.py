"""The chain's default turbidity, "bounded": LinkeTruebung where it stays
within the range of measured climatologies (at most 7), the model's
dry-air value of the day and hemisphere where its humidity branch goes
beyond; and turbidity="model", LinkeTruebung as it is, bit for bit."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest

import klimora.Strahlkit as S
from klimora import ufuncs as U
from klimora.chain import NAMES, ChainWarning, Site, chain

BOUND = 7.0


def seasonal(doy, lat):
    """The dry-air turbidity written out: 2.9 -/+ 1.4 cos(2 pi (J - 15) / 365)
    in the northern/southern hemisphere."""
    swing = 1.4 * math.cos(2 * math.pi * (doy - 15) / 365)
    return 2.9 - swing if lat >= 0 else 2.9 + swing


def noon(doy, **columns):
    """One step at 12 UTC on day ``doy`` of 2025, clear sky."""
    index = pd.DatetimeIndex([pd.Timestamp("2025-01-01 12:00") + pd.Timedelta(days=doy - 1)])
    return pd.DataFrame({"cloud": [0.0], **{k: [v] for k, v in columns.items()}}, index=index)


# day, latitude, humidity, which value the default takes: "model" where
# LinkeTruebung stays at most 7, "dry" (the seasonal value) beyond
CASES = [
    (172, 48.14, 20.0, "model"),     # the seasonal branch: the same value
    (355, 48.14, 84.9, "model"),
    (172, 48.14, 85.0, "model"),     # the humidity branch from 85 %: 3.46
    (355, 48.14, 90.0, "model"),     # 4.95
    (172, -33.87, 91.0, "model"),    # 6.24, the last whole percent within the bound
    (172, 48.14, 92.0, "dry"),       # 8.58: beyond
    (355, 48.14, 95.0, "dry"),       # 39.84: beyond, December's 1.63
    (172, -33.87, 100.0, "dry"),     # southern winter: 1.63
    (15, -33.87, 99.0, "dry"),       # southern summer: 4.3
    (200, 0.0, 99.0, "dry"),         # the equator counts as north
    (80, 1.35, 104.0, "dry"),        # above 100 % taken as 100
]


@pytest.mark.parametrize("doy, lat, humidity, which", CASES)
def test_the_default_turbidity_keeps_within_the_bound(doy, lat, humidity, which):
    model = float(S.LinkeTruebung(doy, lat, min(humidity, 100.0)))
    assert (model <= BOUND) == (which == "model")          # the table itself
    want = model if which == "model" else seasonal(doy, lat)
    site = Site(latitude=lat, longitude=0.0, height=0.0, zone=0.0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ChainWarning)    # humidity above 100 %
        got = chain(noon(doy, humidity=humidity), site=site)
        explicit = chain(noon(doy, humidity=humidity), site=site, turbidity="bounded")
        as_model = chain(noon(doy, humidity=humidity), site=site, turbidity="model")
    np.testing.assert_allclose(got.linke.iloc[0], want, rtol=1e-14)
    assert got.equals(explicit)
    assert as_model.linke.iloc[0] == model
    # the beam of a clear sky is kept: the default's is that of its turbidity
    beam = float(S.MaxDirekteStrahlung(doy, 0.0, got.zenith.iloc[0], want,
                                       S.RelOptLuftmasse(got.zenith.iloc[0])))
    np.testing.assert_allclose(got.direct_max.iloc[0], beam, rtol=1e-12)


def test_a_missing_humidity_stays_missing():
    got = chain(noon(172, humidity=np.nan), site=Site(48.14, 11.58, 520.0, zone=0.0))
    assert np.isnan(got.linke.iloc[0]) and np.isnan(got.direct_max.iloc[0])


def year():
    """Steps through 2025 in humid air (60 to 100 %) under any cloud."""
    times = pd.date_range("2025-01-01", "2025-12-31 23:00", freq="97min", tz="UTC")
    rng = np.random.default_rng(11)
    n = len(times)
    return pd.DataFrame({"humidity": rng.uniform(60, 100, n), "air_temp": rng.uniform(-5, 35, n),
                         "cloud": rng.uniform(0, 8, n)}, index=times)


@pytest.mark.parametrize("lat", [48.14, -33.87])
def test_model_and_bounded_differ_only_beyond_the_bound(lat):
    weather = year()
    site = Site(latitude=lat, longitude=11.58, height=520.0, zone=1.0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ChainWarning)
        model = chain(weather, site=site, turbidity="model")
    bounded = chain(weather, site=site)
    # turbidity="model" is the chain given LinkeTruebung itself as its linke
    doy = (weather.index + pd.Timedelta(hours=1)).dayofyear.to_numpy().astype(float)
    given = chain(weather.assign(linke=U.LinkeTruebung(doy, lat, weather.humidity.to_numpy())),
                  site=site)
    assert np.array_equal(model.to_numpy(), given.to_numpy(), equal_nan=True)
    beyond = model.linke.to_numpy() > BOUND
    assert 0 < beyond.sum() < len(beyond)
    assert np.array_equal(bounded[~beyond].to_numpy(), model[~beyond].to_numpy(), equal_nan=True)
    assert (bounded.linke <= BOUND).all()
    assert (bounded.linke[beyond] < model.linke[beyond]).all()


@pytest.mark.parametrize("turbidity, said", [("model", True), ("bounded", False),
                                             ("climatology", False)])
def test_only_the_explicit_model_is_warned_of(turbidity, said):
    if turbidity == "climatology":
        pytest.importorskip("pvlib")
        pytest.importorskip("h5py")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        chain(noon(172, humidity=97.0), site=Site(48.14, 11.58, 520.0, zone=0.0),
              turbidity=turbidity)
    kinds = [w.message.kind for w in caught if isinstance(w.message, ChainWarning)]
    assert ("turbidity" in kinds) == said


def test_a_humid_typical_year_keeps_its_beam():
    """Greensboro's TMY3 year: the model's humidity branch passes 7 on many
    hours; the default on none."""
    pvlib = pytest.importorskip("pvlib")
    from pathlib import Path

    path = Path(pvlib.__file__).parent / "data" / "723170TYA.CSV"
    tmy, meta = pvlib.iotools.read_tmy3(path, map_variables=True, coerce_year=2025)
    weather = pd.DataFrame({"air_temp": tmy["temp_air"], "humidity": tmy["relative_humidity"],
                            "wind": tmy["wind_speed"], "cloud": tmy["TotCld (tenths)"] * 0.8})
    site = Site(latitude=meta["latitude"], longitude=meta["longitude"],
                height=meta["altitude"], zone=meta["TZ"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ChainWarning)
        model = chain(weather, site=site, turbidity="model")
    default = chain(weather, site=site)
    assert (model.linke > BOUND).sum() > 1000
    assert (default.linke <= BOUND).all()
    assert list(default.columns) == list(NAMES)
